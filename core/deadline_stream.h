// A non-blocking socket read and written only through waits that end at a
// deadline or when the pool stops: the one loop every server and client
// exchange uses, so no request can hold a thread past its time-out or past
// the end of the program.
#pragma once

#include "socket.h"
#include "worker_pool.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <functional>

class DeadlineStream
{
public:
    // Makes socket non-blocking; both must outlive the stream.
    DeadlineStream(const sock::Socket &socket, const WorkerPool &pool);

    // Returned when the deadline passed or the pool stopped before a byte came.
    static constexpr long kTimedOut = -3;

    // One read: > 0 bytes, 0 when the peer closed, sock::kIoError when the
    // connection failed (a reset), kTimedOut. Waits only when nothing is
    // buffered, so a streaming body costs one call per read.
    long readSome(char *buffer, std::size_t capacity, const QDeadlineTimer &deadline) const;
    // Same, the deadline idleMs from now.
    long readSome(char *buffer, std::size_t capacity, int idleMs) const
    {
        return readSome(buffer, capacity, QDeadlineTimer(idleMs));
    }

    // Hands all of data to the socket; false when the peer is gone, takes no
    // byte for stallMs, or the pool stops. onSent hears of every partial
    // write, so that progress follows what the peer really took.
    bool writeAll(const char *data, qsizetype size, int stallMs,
                  const std::function<void(qint64)> &onSent = {}) const;
    bool writeAll(const QByteArray &data, int stallMs) const
    {
        return writeAll(data.constData(), data.size(), stallMs);
    }

    enum class Until { Closed, Failed };
    // Appends everything the peer sends until it closes or resets the
    // connection (Closed: what arrived is its answer), or until idleMs of
    // silence, more than maxBytes in all, or the pool stops (Failed).
    Until readToEnd(QByteArray *into, qsizetype maxBytes, int idleMs) const;

    const sock::Socket &socket() const { return m_socket; }

private:
    const sock::Socket &m_socket;
    const WorkerPool &m_pool;
};
