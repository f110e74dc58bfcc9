#include "http_wire.h"

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
