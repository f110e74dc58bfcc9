// Hand-made DNS messages for the discovery tests, and conversions between
// Qt's byte arrays and the codec's byte views.
#pragma once

#include "dns_codec.h"
#include "protocol.h"

#include <QByteArray>
#include <QStringList>

namespace dnstest {

inline const QString kService = protocol::kServiceType;

inline const auto bytes = [](std::span<const std::uint8_t> s) {
    return QByteArray(reinterpret_cast<const char *>(s.data()), qsizetype(s.size()));
};
inline const auto view = [](const QByteArray &b) {
    return mdns::Bytes(reinterpret_cast<const std::uint8_t *>(b.constData()), std::size_t(b.size()));
};
inline const auto u16 = [](int v) { return QByteArray(1, char(v >> 8)) + char(v); };
inline const auto u32 = [](std::uint32_t v) { return u16(int(v >> 16)) + u16(int(v)); };
inline const auto pointer = [](int offset) { return u16(0xC000 | offset); };

// Labels without the zero byte, so that a pointer may follow; name() ends them.
inline const auto labels = [](const QString &dotted) {
    QByteArray out;
    for (const QString &label : dotted.split('.', Qt::SkipEmptyParts))
        out += char(label.toUtf8().size()) + label.toUtf8();
    return out;
};
inline const auto name = [](const QString &dotted) { return labels(dotted) + '\0'; };

inline const auto header = [](int id, int flags, int questions, int answers = 0, int additionals = 0) {
    return u16(id) + u16(flags) + u16(questions) + u16(answers) + u16(0) + u16(additionals);
};
inline const auto question = [](const QString &owner, int type, int rrclass) {
    return name(owner) + u16(type) + u16(rrclass);
};
inline const auto record = [](const QString &owner, int type, const QByteArray &data,
                              std::uint32_t ttl = 120) {
    return name(owner) + u16(type) + u16(1) + u32(ttl) + u16(int(data.size())) + data;
};

} // namespace dnstest
