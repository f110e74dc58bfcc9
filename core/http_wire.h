// The HTTP wire shape shared by the server and the client requests: finding
// the end of a request head, header lookup and the single response shape.
// Pure functions over bytes, so they can be tested and fuzzed without sockets.
#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QString>

namespace httpwire {

// Largest request head (request line and headers, terminator excluded) the
// server reads; a peer that sends more is dropped without an answer.
inline constexpr qsizetype kMaxHeadBytes = protocol::kMaxHeadBytes;

// Accumulates received bytes until the blank line that ends a request head.
class HeadReader
{
public:
    enum class State { Incomplete, Complete, TooLarge };

    // Appends bytes and looks for "\r\n\r\n". Once Complete or TooLarge,
    // further bytes are ignored.
    State feed(const char *data, qsizetype size);
    State state() const { return m_state; }

    // The head without its terminator, valid once Complete.
    QByteArray head() const { return m_buffer.left(m_headEnd); }
    // The bytes that followed the terminator in what was fed so far.
    QByteArray remainder() const { return m_buffer.mid(m_headEnd + 4); }

private:
    QByteArray m_buffer;
    qsizetype m_headEnd = -1;
    State m_state = State::Incomplete;
};

// The value of header name in head: the first line whose trimmed, lower-cased
// text starts with name in lower case followed by ":"; the rest of that line,
// trimmed and decoded as UTF-8. Empty when no line matches.
QString headerValue(const QByteArray &head, const QByteArray &name);

// How a request head declares the length of its body.
struct BodyLength
{
    enum class Kind {
        Absent,   // no Content-Length
        Declared, // bytes holds it
        Invalid,  // the framing cannot be trusted: the request is refused
    };
    Kind kind = Kind::Absent;
    qint64 bytes = 0;
};

// The body length head declares. Invalid for any Transfer-Encoding header
// (bodies are never chunked here, and a peer that says so would have its
// chunk lines stored as data), for a Content-Length whose value is not only
// ASCII digits or does not fit 63 bits ("+12", "12abc", "0x10", "-1"), for
// a blank between the name of either header and its colon, and for two
// Content-Length headers that differ (the first wins in headerValue, the
// last in other programs). Blanks around the value are fine, and so is the
// same value twice.
BodyLength contentLength(const QByteArray &head);

// "HTTP/1.1 200 OK" with a JSON body; the outcome is told by the body alone.
QByteArray jsonResponse(const QByteArray &body);

// The bytes after the first "\r\n\r\n" of a response, or the whole response
// when it holds no such separator.
QByteArray replyBody(const QByteArray &response);

} // namespace httpwire
