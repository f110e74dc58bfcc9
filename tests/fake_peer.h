// Small in-process peers for client tests where exact reply bytes or exact
// timing matter more than a realistic phone: answer with given bytes, stay
// silent, stream an endless reply, or hold a request body until released.
#pragma once

#include "http_wire.h"
#include "socket.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>

class FakePeer
{
public:
    enum class Mode {
        Answer,   // read the request, send the reply bytes, close
        Silent,   // accept and never read or write; connections stay open
        Endless,  // read the request, then send reply bytes over and over
        HoldBody, // read the head, then wait for release() before reading the body
    };

    explicit FakePeer(Mode mode, QByteArray reply = QByteArray(), int receiveBuffer = 0)
        : m_mode(mode), m_reply(std::move(reply))
    {
        m_listener = sock::tcpListen(0x7f000001, 0, 64, true);
        if (receiveBuffer > 0)
            ::setsockopt(m_listener.handle(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sock::setNonBlocking(m_listener, true);
        m_port = sock::localPort(m_listener);
        m_thread = std::thread([this] { run(); });
    }
    ~FakePeer()
    {
        m_stop = true;
        m_thread.join();
    }
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    std::uint16_t port() const { return m_port; }
    void release() { m_released = true; }

    // Requests read in full (head, blank line and Content-Length body).
    QList<QByteArray> requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    int accepted() const { return m_accepted; }
    int finished() const { return m_finished; }
    // HoldBody: body bytes that arrived, and whether the client closed the
    // connection before Content-Length was reached.
    qint64 bodyBytes() const { return m_bodyBytes; }
    bool endedEarly() const { return m_endedEarly; }
    // Silent: whether every held connection has been closed by the client.
    // (Drains what they sent on the way.)
    bool allClosedByClient()
    {
        std::lock_guard lock(m_mutex);
        char buffer[65536];
        for (const sock::Socket &s : m_held) {
            for (;;) {
                if (sock::waitReadable(s, 0) != sock::Readiness::Ready)
                    return false;
                if (sock::receive(s, buffer, sizeof buffer) <= 0)
                    break;
            }
        }
        return true;
    }

private:
    static constexpr int kSliceMs = 20;

    bool waitReadable(const sock::Socket &s)
    {
        while (!m_stop) {
            if (sock::waitReadable(s, kSliceMs) != sock::Readiness::Timeout)
                return true;
        }
        return false;
    }

    void run()
    {
        while (!m_stop) {
            if (sock::waitReadable(m_listener, kSliceMs) != sock::Readiness::Ready)
                continue;
            sock::Socket s = sock::tcpAccept(m_listener, nullptr);
            if (!s.valid())
                continue;
            ++m_accepted;
            if (m_mode == Mode::Silent) {
                std::lock_guard lock(m_mutex);
                m_held.push_back(std::move(s));
                continue;
            }
            serve(s);
            ++m_finished;
        }
    }

    void serve(const sock::Socket &s)
    {
        httpwire::HeadReader reader;
        char buffer[65536];
        while (reader.state() == httpwire::HeadReader::State::Incomplete) {
            if (!waitReadable(s))
                return;
            const long n = sock::receive(s, buffer, sizeof buffer);
            if (n <= 0)
                return;
            reader.feed(buffer, n);
        }
        const QByteArray head = reader.head();
        const qint64 length = httpwire::headerValue(head, "Content-Length").toLongLong();
        QByteArray body = reader.remainder();
        if (m_mode == Mode::HoldBody) {
            while (!m_released && !m_stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
        }
        qint64 received = body.size();
        while (received < length) {
            if (!waitReadable(s))
                return;
            const long n = sock::receive(s, buffer, sizeof buffer);
            if (n <= 0) {
                m_endedEarly = true;
                break;
            }
            received += n;
            if (body.size() < 1024 * 1024)
                body.append(buffer, n);
        }
        m_bodyBytes = received;
        {
            std::lock_guard lock(m_mutex);
            m_requests.append(head + "\r\n\r\n" + body);
        }
        if (m_endedEarly)
            return;
        do {
            qsizetype done = 0;
            while (done < m_reply.size() && !m_stop) {
                if (sock::waitWritable(s, kSliceMs) != sock::Readiness::Ready)
                    continue;
                const long n = sock::send(s, m_reply.constData() + done, std::size_t(m_reply.size() - done));
                if (n <= 0)
                    return;
                done += n;
            }
        } while (m_mode == Mode::Endless && !m_stop);
    }

    Mode m_mode;
    QByteArray m_reply;
    sock::Socket m_listener;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_released{false};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_finished{0};
    std::atomic<qint64> m_bodyBytes{0};
    std::atomic<bool> m_endedEarly{false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_requests;
    std::vector<sock::Socket> m_held;
};

// A listener whose accept queue is full: a further connect gets no answer
// at all, like a phone that dropped off the network mid-handshake.
class UnansweredPort
{
public:
    UnansweredPort()
    {
        m_listener = sock::tcpListen(0x7f000001, 0, 0, true);
        m_port = sock::localPort(m_listener);
        for (int i = 0; i < 8; ++i) {
            sock::Socket s;
            if (sock::tcpConnect(0x7f000001, m_port, 200, &s) != sock::ConnectResult::Connected)
                break;
            m_filling.push_back(std::move(s));
        }
    }
    std::uint16_t port() const { return m_port; }

private:
    sock::Socket m_listener;
    std::uint16_t m_port = 0;
    std::vector<sock::Socket> m_filling;
};
