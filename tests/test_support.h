// Helpers shared by the tests: a raw TCP client that can pace its writes and
// choose its source address.
#pragma once

#include "private_network_guard.h"
#include "socket.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/tcp.h>

namespace testsupport {

inline std::uint32_t ipv4(const char *text)
{
    std::uint32_t a = 0;
    sock::parseIPv4(text, &a);
    return a;
}

// Connects from the given local address (0 lets the system choose) to
// 127.0.0.1:port. Invalid socket on failure.
inline sock::Socket connectFrom(std::uint32_t source, std::uint16_t port)
{
    sock::Socket s(::socket(AF_INET, SOCK_STREAM, 0));
    if (source != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(source);
        if (::bind(s.handle(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            return sock::Socket();
    }
    int one = 1;
    ::setsockopt(s.handle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(ipv4("127.0.0.1"));
    if (::connect(s.handle(), reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0)
        return sock::Socket();
    return s;
}

inline bool sendAll(const sock::Socket &s, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const long n = sock::send(s, data.constData() + done, std::size_t(data.size() - done));
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads until the peer closes, an error, or timeoutMs pass. closed reports
// whether the peer really closed (or reset) within the time.
inline QByteArray readUntilClosed(const sock::Socket &s, int timeoutMs = 5000, bool *closed = nullptr)
{
    QByteArray data;
    QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    if (closed)
        *closed = false;
    while (!deadline.hasExpired()) {
        if (sock::waitReadable(s, int(qMax<qint64>(1, deadline.remainingTime()))) != sock::Readiness::Ready)
            break;
        const long n = sock::receive(s, buffer, sizeof buffer);
        if (n <= 0) {
            if (closed)
                *closed = true;
            break;
        }
        data.append(buffer, n);
    }
    return data;
}

// Sends the pieces one by one (pausing between them so that each travels in
// a segment of its own) and returns everything the server answered.
inline QByteArray exchange(std::uint16_t port, const QList<QByteArray> &pieces, int pauseMs = 0,
                           std::uint32_t source = 0)
{
    sock::Socket s = connectFrom(source, port);
    if (!s.valid())
        return QByteArray("<connect failed>");
    for (const QByteArray &piece : pieces) {
        sendAll(s, piece);
        if (pauseMs > 0)
            QThread::msleep(pauseMs);
    }
    return readUntilClosed(s);
}

} // namespace testsupport
