#include "deadline_stream.h"

namespace {
// Receive buffer of readToEnd; what it reads are small answers.
constexpr std::size_t kReadToEndChunk = 4096;
} // namespace

DeadlineStream::DeadlineStream(const sock::Socket &socket, const WorkerPool &pool)
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
