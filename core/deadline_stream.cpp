#include "deadline_stream.h"

#include <QFile>

#include <algorithm>
#include <climits>
#include <memory>

namespace {
// Receive buffer of readToEnd; what it reads are small answers.
constexpr std::size_t kReadToEndChunk = 4096;
// Progress is told in whole percents: one step in the system moves at most
// a hundredth of a file, so that none of them is skipped.
constexpr qint64 kStepsPerFile = 100;

qint64 largestStep(qint64 size)
{
    return std::min<qint64>(std::max(DeadlineStream::kFileChunkBytes, size / kStepsPerFile), INT_MAX);
}
} // namespace

DeadlineStream::DeadlineStream(const sock::Socket &socket, const StopToken &pool)
    : m_socket(socket), m_pool(pool)
{
    sock::setNonBlocking(m_socket, true);
}

long DeadlineStream::readSome(char *buffer, std::size_t capacity, const QDeadlineTimer &deadline) const
{
    for (;;) {
        const long n = sock::receive(m_socket, buffer, capacity);
        if (n != sock::kIoWouldBlock)
            return n;
        if (m_pool.waitReadable(m_socket, deadline) != sock::Readiness::Ready)
            return kTimedOut;
    }
}

bool DeadlineStream::writeAll(const char *data, qsizetype size, int stallMs,
                              const std::function<void(qint64)> &onSent) const
{
    qsizetype done = 0;
    while (done < size) {
        const long n = sock::send(m_socket, data + done, std::size_t(size - done));
        if (n == sock::kIoWouldBlock) {
            if (m_pool.waitWritable(m_socket, QDeadlineTimer(stallMs)) != sock::Readiness::Ready)
                return false;
            continue;
        }
        if (n <= 0)
            return false;
        done += n;
        if (onSent)
            onSent(n);
    }
    return true;
}

bool DeadlineStream::readToFile(QFile &file, qint64 size, int idleMs, FileCopy copy,
                                const std::function<void(qint64)> &onStored) const
{
    const qint64 start = file.pos();
    qint64 done = 0;
    if (copy == FileCopy::InKernel && size > 0) {
        sock::FileReceiver receiver;
        const qint64 step = largestStep(size);
        while (done < size) {
            if (m_pool.stopping())
                return false;
            const long n =
                receiver.receive(m_socket, file.handle(), std::size_t(std::min(step, size - done)));
            if (n == sock::kIoUnsupported)
                break; // the rest goes through the buffer below
            if (n == sock::kIoWouldBlock) {
                if (m_pool.waitReadable(m_socket, QDeadlineTimer(idleMs)) != sock::Readiness::Ready)
                    return false;
                continue;
            }
            if (n <= 0)
                return false;
            done += n;
            if (onStored)
                onStored(n);
        }
        // The file object has not seen what went past it.
        if (done < size && !file.seek(start + done))
            return false;
    }
    if (done == size)
        return true;
    const auto buffer = std::make_unique<char[]>(kFileChunkBytes);
    while (done < size) {
        if (m_pool.stopping())
            return false;
        const long n = readSome(buffer.get(), std::size_t(std::min(kFileChunkBytes, size - done)), idleMs);
        if (n <= 0 || file.write(buffer.get(), n) != n)
            return false;
        done += n;
        if (onStored)
            onStored(n);
    }
    return true;
}

bool DeadlineStream::writeFromFile(QFile &file, qint64 size, int stallMs,
                                   const std::function<void(qint64)> &onSent) const
{
    // Never more than a hundredth of the file per write, so that progress in
    // whole percents misses none.
    const qint64 chunk = std::min(largestStep(size), kSendChunkMaxBytes);
    const auto buffer = std::make_unique<char[]>(std::size_t(chunk));
    qint64 done = 0;
    while (done < size) {
        if (m_pool.stopping())
            return false;
        const qint64 got = file.read(buffer.get(), std::min(chunk, size - done));
        if (got <= 0 || !writeAll(buffer.get(), got, stallMs, onSent))
            return false;
        done += got;
    }
    return true;
}

DeadlineStream::Until DeadlineStream::readToEnd(QByteArray *into, qsizetype maxBytes, int idleMs) const
{
    char buffer[kReadToEndChunk];
    for (;;) {
        const long n = readSome(buffer, sizeof buffer, idleMs);
        if (n == 0 || n == sock::kIoError)
            return Until::Closed;
        if (n < 0 || into->size() + n > maxBytes)
            return Until::Failed;
        into->append(buffer, n);
    }
}
