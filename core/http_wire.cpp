#include "http_wire.h"

#include <QList>

#include <limits>

namespace httpwire {

namespace {
const QByteArray kTerminator = QByteArrayLiteral("\r\n\r\n");
}

HeadReader::State HeadReader::feed(const char *data, qsizetype size)
{
    if (m_state != State::Incomplete)
        return m_state;
    // Only the tail that could complete a terminator needs searching again.
    const qsizetype from = qMax<qsizetype>(0, m_buffer.size() - (kTerminator.size() - 1));
    m_buffer.append(data, size);
    const qsizetype found = m_buffer.indexOf(kTerminator, from);
    if (found >= 0 && found <= kMaxHeadBytes) {
        m_headEnd = found;
        m_state = State::Complete;
    } else if (found > kMaxHeadBytes || m_buffer.size() - (kTerminator.size() - 1) > kMaxHeadBytes) {
        m_state = State::TooLarge;
        m_buffer.clear();
    }
    return m_state;
}

QString headerValue(const QByteArray &head, const QByteArray &name)
{
    const QByteArray key = name.toLower() + ':';
    qsizetype start = 0;
    while (start <= head.size()) {
        qsizetype end = head.indexOf('\n', start);
        if (end < 0)
            end = head.size();
        const QByteArray line = head.mid(start, end - start).trimmed();
        if (line.toLower().startsWith(key))
            return QString::fromUtf8(line.mid(key.size()).trimmed());
        start = end + 1;
    }
    return QString();
}

BodyLength contentLength(const QByteArray &head)
{
    static const QByteArray kLengthName = QByteArray(protocol::kHeaderContentLength).toLower();
    static const QByteArray kEncodingName = QByteArray(protocol::kHeaderTransferEncoding).toLower();
    constexpr BodyLength kInvalid{BodyLength::Kind::Invalid, 0};
    BodyLength found;
    for (const QByteArray &raw : head.split('\n')) {
        const QByteArray line = raw.trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).toLower();
        const QByteArray trimmedName = name.trimmed();
        if (trimmedName != kLengthName && trimmedName != kEncodingName)
            continue;
        if (name != trimmedName || trimmedName == kEncodingName)
            return kInvalid;
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (value.isEmpty())
            return kInvalid;
        qint64 bytes = 0;
        for (const char c : value) {
            if (c < '0' || c > '9' || bytes > (std::numeric_limits<qint64>::max() - (c - '0')) / 10)
                return kInvalid;
            bytes = bytes * 10 + (c - '0');
        }
        if (found.kind == BodyLength::Kind::Declared && found.bytes != bytes)
            return kInvalid;
        found = {BodyLength::Kind::Declared, bytes};
    }
    return found;
}

QByteArray jsonResponse(const QByteArray &body)
{
    QByteArray response =
        QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ");
    response += QByteArray::number(body.size());
    response += QByteArrayLiteral("\r\nConnection: close\r\n\r\n");
    response += body;
    return response;
}

QByteArray replyBody(const QByteArray &response)
{
    const qsizetype at = response.indexOf(kTerminator);
    return at < 0 ? response : response.mid(at + kTerminator.size());
}

} // namespace httpwire
