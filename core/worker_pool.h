// Threads with an owner. Every thread of a service is started through its
// pool, and the pool's owner stops it before it goes away. A worker that
// cannot be woken (one stuck in a file on a stalled mount) must not hold the
// end of the program hostage, so the owner waits for such a worker only for
// a while and then leaves it behind, safely, if the worker was written for
// it: see spawn().
#pragma once

#include "socket.h"

#include <QDeadlineTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

class WorkerPool
{
public:
    // How long stop() waits for workers it may leave behind; short enough
    // that quitting the program stays prompt.
    static constexpr int kStopWaitMs = 1500;

    WorkerPool();
    // Stops, like stop().
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // Runs job on a new thread. Returns false, without running it, once the
    // pool is stopping or when no thread can be made.
    //
    // A job that takes a `const WorkerPool &` is handed a handle to this pool
    // that stays valid when the pool and its owner are gone. Such a job
    // waits only through the handle and touches its owner (members, signals)
    // only inside the handle's withOwner(); stop() may leave it behind. A job
    // that takes nothing may touch its owner anywhere: stop() waits for it
    // to the end.
    template <typename F> bool spawn(F &&job);

    // Refuses new threads and ends every wait of the running ones at once.
    // Returns when the workers have ended, or kStopWaitMs after the first
    // call, leaving behind those that can be left; true when none was.
    bool stop();
    // The first half of stop(), without the wait: owners of several pools
    // start all of them stopping first, so that their waits overlap.
    void requestStop();
    bool stopping() const { return m_state->stopping.load(); }

    // Runs f unless the pool is stopping, and keeps stop() from beginning
    // while f runs: the owner outlives f. False when f was not run.
    template <typename F> bool withOwner(F &&f) const;

    // Sleeps up to ms; false when the pool stopped meanwhile.
    bool sleep(int ms) const;
    // Waits until the socket is ready or the deadline passes; Error also when
    // the pool stops.
    sock::Readiness waitReadable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;
    sock::Readiness waitWritable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;

private:
    // The platform socket layer, up for as long as the waker's sockets exist.
    struct SocketLayer
    {
        SocketLayer() { sock::startup(); }
        ~SocketLayer() { sock::cleanup(); }
        SocketLayer(const SocketLayer &) = delete;
        SocketLayer &operator=(const SocketLayer &) = delete;
    };
    // Shared by the pool and its workers: all that a worker left behind
    // touches once its owner is gone.
    struct State
    {
        SocketLayer layer; // first: started before the waker, shut down after it
        // Held by withOwner() and taken by stop() to raise the flag, so no
        // owner access runs once stop() has begun. Recursive: a slot
        // connected directly to a signal emitted under it may call its owner
        // again. Taken before mutex, never after it.
        std::recursive_mutex ownerLock;
        std::mutex mutex;
        std::condition_variable changed;
        int active = 0;
        int pinned = 0; // the active jobs that stop() must wait for to the end
        std::chrono::steady_clock::time_point stopDeadline;
        std::atomic<bool> stopping{false};
        sock::Waker waker; // woken with stopping, so blocked waits end at once
    };
    // A handle for a worker: shares the state, never stops the pool.
    explicit WorkerPool(std::shared_ptr<State> state) : m_state(std::move(state)), m_owner(false) {}
    sock::Readiness wait(const sock::Socket &socket, const QDeadlineTimer &deadline, bool forWrite) const;

    std::shared_ptr<State> m_state;
    const bool m_owner = true;
};

template <typename F> bool WorkerPool::spawn(F &&job)
{
    constexpr bool leavable = std::is_invocable_v<std::decay_t<F> &, const WorkerPool &>;
    std::shared_ptr<State> state = m_state;
    {
        std::lock_guard lock(state->mutex);
        if (state->stopping)
            return false;
        ++state->active;
        state->pinned += leavable ? 0 : 1;
    }
    const auto done = [state] {
        std::lock_guard lock(state->mutex);
        --state->active;
        state->pinned -= leavable ? 0 : 1;
        state->changed.notify_all();
    };
    try {
        std::thread([done, state, owned = std::forward<F>(job)]() mutable {
            {
                // The job and everything it captured end here, before the
                // owner may be released by the count below.
                auto local = std::move(owned);
                if constexpr (leavable)
                    local(WorkerPool(state));
                else
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

template <typename F> bool WorkerPool::withOwner(F &&f) const
{
    std::lock_guard lock(m_state->ownerLock);
    if (m_state->stopping)
        return false;
    std::forward<F>(f)();
    return true;
}
