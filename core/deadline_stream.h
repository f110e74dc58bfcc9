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

class QFile;

class DeadlineStream
{
public:
    // Makes socket non-blocking; both must outlive the stream.
    DeadlineStream(const sock::Socket &socket, const StopToken &pool);

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

    // Received file bodies are copied through a buffer of this size where
    // the system cannot move them itself; at most one is held per upload.
    static constexpr qint64 kFileChunkBytes = 64 * 1024;

    // How received file bodies travel. InKernel lets the system move the
    // bytes from the socket into the file where the platform can, which
    // costs the process no copy of them; Buffered always copies through the
    // process (the way every platform can go, and the one InKernel falls back
    // to by itself).
    enum class FileCopy { InKernel, Buffered };

    // Stores exactly size bytes from the socket at the file's position, and
    // no byte more of the socket. False when the peer closed, failed or sent
    // nothing for idleMs, the file took fewer bytes, or the pool stops.
    // onStored hears of every piece that reached the file; none is larger
    // than a hundredth of size (or one buffer, where that is more), so
    // progress in whole percents misses none of them.
    bool readToFile(QFile &file, qint64 size, int idleMs, FileCopy copy,
                    const std::function<void(qint64)> &onStored) const;
    // Sends exactly size bytes of the file from its position. False when the
    // peer is gone or takes no byte for stallMs, the file ends or cannot be
    // read before size bytes, or the pool stops. onSent as onStored above.
    //
    // Reads through one buffer of up to kSendChunkMaxBytes, as the fastest
    // plain copy does. Over loopback this kept up with that copy where
    // sendfile() trailed it by 10-20 % in time and CPU in most runs (page-
    // sized pieces cost the receiving side of TCP more than large ones). On
    // a real link the link is the limit, and the copy through the buffer
    // costs a few per cent of one core at 1 Gbit/s.
    bool writeFromFile(QFile &file, qint64 size, int stallMs,
                       const std::function<void(qint64)> &onSent) const;
    static constexpr qint64 kSendChunkMaxBytes = 4 * 1024 * 1024;

    enum class Until { Closed, Failed };
    // Appends everything the peer sends until it closes or resets the
    // connection (Closed: what arrived is its answer), or until idleMs of
    // silence, more than maxBytes in all, or the pool stops (Failed).
    Until readToEnd(QByteArray *into, qsizetype maxBytes, int idleMs) const;

    const sock::Socket &socket() const { return m_socket; }

private:
    const sock::Socket &m_socket;
    const StopToken &m_pool;
};
