// Threads with an owner. Every thread of a service is started through its
// pool, and the pool's owner ends them all (stop, or destruction) before it
// goes away, so no thread ever runs on a destroyed object.
#pragma once

#include "socket.h"

#include <QDeadlineTimer>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

class WorkerPool
{
public:
    WorkerPool();
    // Stops and waits, like stop().
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // Runs job on a new thread. Returns false, without running it, once the
    // pool is stopping or when no thread can be made.
    template <typename F> bool spawn(F &&job);

    // Refuses new threads, ends every wait of the running ones at once and
    // returns when the last of them has finished.
    void stop();
    bool stopping() const { return m_state->stopping.load(); }

    // Sleeps up to ms; false when the pool stopped meanwhile.
    bool sleep(int ms) const;
    // Waits until the socket is ready or the deadline passes; Error also when
    // the pool stops.
    sock::Readiness waitReadable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;
    sock::Readiness waitWritable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;

private:
    // Workers hold the state by shared pointer: the last thing a worker
    // touches after its job (lowering the count) may outlive the pool.
    // The platform socket layer, up for as long as the waker's sockets exist.
    struct SocketLayer
    {
        SocketLayer() { sock::startup(); }
        ~SocketLayer() { sock::cleanup(); }
        SocketLayer(const SocketLayer &) = delete;
        SocketLayer &operator=(const SocketLayer &) = delete;
    };
    struct State
    {
        SocketLayer layer; // first: started before the waker, shut down after it
        std::mutex mutex;
        std::condition_variable changed;
        int active = 0;
        std::atomic<bool> stopping{false};
        sock::Waker waker; // woken with stopping, so blocked waits end at once
    };
    sock::Readiness wait(const sock::Socket &socket, const QDeadlineTimer &deadline, bool forWrite) const;

    std::shared_ptr<State> m_state;
};

template <typename F> bool WorkerPool::spawn(F &&job)
{
    std::shared_ptr<State> state = m_state;
    {
        std::lock_guard lock(state->mutex);
        if (state->stopping)
            return false;
        ++state->active;
    }
    const auto done = [state] {
        std::lock_guard lock(state->mutex);
        --state->active;
        state->changed.notify_all();
    };
    try {
        std::thread([done, owned = std::forward<F>(job)]() mutable {
            {
                // The job and everything it captured end here, before the
                // owner may be released by the count below.
                auto local = std::move(owned);
                local();
            }
            done();
        }).detach();
    } catch (const std::system_error &) {
        done();
        return false;
    }
    return true;
}
