// Conversions between Qt's byte arrays and the codec's byte views, shared by
// the discovery tests.
#pragma once

#include "dns_codec.h"

#include <QByteArray>

#include <span>

namespace dnstest {

inline QByteArray bytes(std::span<const std::uint8_t> s)
{
    return QByteArray(reinterpret_cast<const char *>(s.data()), qsizetype(s.size()));
}

inline mdns::Bytes view(const QByteArray &b)
{
    return mdns::Bytes(reinterpret_cast<const std::uint8_t *>(b.constData()), std::size_t(b.size()));
}

} // namespace dnstest
