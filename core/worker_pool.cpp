#include "worker_pool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {
// How often a blocked worker looks at the stop flag when the platform gave
// us no waker to end its wait at once.
constexpr int kPollSliceMs = 50;
std::atomic<bool> g_leftBehind{false};
} // namespace

WorkerPool::WorkerPool() : StopToken(std::make_shared<State>()) {}

WorkerPool::~WorkerPool()
{
    stop();
}

void WorkerPool::requestStop()
{
    State &s = *m_state;
    std::lock_guard owner(s.ownerLock);
    std::lock_guard lock(s.mutex);
    if (!s.stopping) // a later call waits no longer than the first
        s.stopDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
    s.stopping = true;
    s.waker.wake();
    s.changed.notify_all();
}

void WorkerPool::stop()
{
    State &s = *m_state;
    requestStop();
    std::unique_lock lock(s.mutex);
    s.changed.wait_until(lock, s.stopDeadline, [&s] { return s.active == 0; });
    s.changed.wait(lock, [&s] { return s.joined == 0; });
    if (s.active > 0)
        g_leftBehind = true;
}

bool WorkerPool::leftJobsBehind()
{
    return g_leftBehind;
}

void WorkerPool::exitNowIfJobsLeftBehind(int status)
{
    if (!g_leftBehind)
        return;
    std::fflush(nullptr);
    std::_Exit(status);
}

bool StopToken::sleep(int ms) const
{
    std::unique_lock lock(m_state->mutex);
    return !m_state->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                      [this] { return m_state->stopping.load(); });
}

sock::Readiness StopToken::waitReadable(const sock::Socket &socket, const QDeadlineTimer &deadline) const
{
    return wait(socket, deadline, false);
}

sock::Readiness StopToken::waitWritable(const sock::Socket &socket, const QDeadlineTimer &deadline) const
{
    return wait(socket, deadline, true);
}

sock::Readiness StopToken::wait(const sock::Socket &socket, const QDeadlineTimer &deadline,
                                bool forWrite) const
{
    const bool woken = m_state->waker.valid();
    for (;;) {
        if (m_state->stopping)
            return sock::Readiness::Error;
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return sock::Readiness::Timeout;
        // With a waker the wait lasts until the socket, the deadline or stop()
        // ends it; an idle service then costs no wake-ups at all.
        const qint64 cap = woken ? std::numeric_limits<int>::max() : kPollSliceMs;
        const int slice = left < 0 ? (woken ? -1 : kPollSliceMs) : int(std::min<qint64>(left, cap));
        const sock::Readiness r = sock::waitUnlessWoken(socket, m_state->waker, forWrite, slice);
        if (r != sock::Readiness::Timeout)
            return r;
    }
}
