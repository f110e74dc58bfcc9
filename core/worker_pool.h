// Threads with an owner. Every thread of a service is started through its
// pool, and the pool's owner stops it before it goes away. A job is one of
// two kinds, and says which when it starts:
//
// - spawnJoined(): the job may use its owner anywhere; stop() waits for it
//   to its end.
// - spawnDetachable(): the job may be left behind. A worker that cannot be
//   woken (one stuck in a file on a stalled mount) must not hold the end of
//   the program hostage, so stop() waits for it only for a while. Such a job
//   is a function that captures nothing; it gets its data as arguments and
//   its owner only through an OwnerHandle, whose with() runs under the owner
//   lock, or not at all once stopping began. No pointer to the owner is
//   handed to it any other way.
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

class WorkerPool;

// What a worker may do with its pool without touching the owner: ask
// whether it is stopping, and wait in ways that end when it does. Copies
// share the pool's state and stay valid when the pool is gone.
class StopToken
{
public:
    bool stopping() const { return m_state->stopping.load(); }
    // Sleeps up to ms; false when the pool stopped meanwhile.
    bool sleep(int ms) const;
    // Waits until the socket is ready or the deadline passes; Error also when
    // the pool stops.
    sock::Readiness waitReadable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;
    sock::Readiness waitWritable(const sock::Socket &socket, const QDeadlineTimer &deadline) const;

protected:
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
        // Held while anyone but a joined job touches the owner, and taken by
        // requestStop() to raise the flag, so no such access runs once
        // stopping began. Recursive: a slot connected directly to a signal
        // emitted under it may call its owner again. Taken before mutex,
        // never after it.
        std::recursive_mutex ownerLock;
        std::mutex mutex;
        std::condition_variable changed;
        int active = 0;
        int joined = 0; // the active jobs that stop() must wait for to the end
        std::chrono::steady_clock::time_point stopDeadline;
        std::atomic<bool> stopping{false};
        sock::Waker waker; // woken with stopping, so blocked waits end at once
    };
    explicit StopToken(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    // Runs f unless stopping began, which it holds off meanwhile.
    template <typename F> bool unlessStopping(F &&f) const
    {
        std::lock_guard lock(m_state->ownerLock);
        if (m_state->stopping)
            return false;
        std::forward<F>(f)();
        return true;
    }

    std::shared_ptr<State> m_state;

private:
    sock::Readiness wait(const sock::Socket &socket, const QDeadlineTimer &deadline, bool forWrite) const;
};

// A detachable job's one door to its owner.
template <typename Owner> class OwnerHandle : public StopToken
{
public:
    // Runs f(owner) unless the pool is stopping, and keeps stopping from
    // beginning while f runs: the owner outlives f. False when f was not run.
    // A slot connected directly to a signal that f emits runs here too, on
    // this thread and under the lock; the owner's users connect from their
    // own thread, with automatic or queued connections.
    template <typename F> bool with(F &&f) const
    {
        return unlessStopping([&] { std::forward<F>(f)(*m_owner); });
    }

private:
    friend class WorkerPool;
    OwnerHandle(std::shared_ptr<State> state, Owner &owner) : StopToken(std::move(state)), m_owner(&owner) {}
    Owner *m_owner;
};

class WorkerPool : public StopToken
{
public:
    // How long stop() waits for detachable jobs; short enough that quitting
    // the program stays prompt.
    static constexpr int kStopWaitMs = 1500;

    WorkerPool();
    // Stops, like stop().
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // Both return false, without running the job, once the pool is stopping
    // or when no thread can be made.
    //
    // Runs job() on a new thread; stop() waits for it to the end.
    template <typename F> bool spawnJoined(F &&job);
    // Runs job(handle, copies of args...) on a new thread, handle being an
    // OwnerHandle<Owner> to owner; stop() may leave it behind.
    template <typename Owner, typename Job, typename... Args>
    bool spawnDetachable(Owner &owner, Job job, Args &&...args);

    // Refuses new threads and ends every wait of the running ones at once.
    // Returns when the jobs have ended, or, once the joined ones have,
    // kStopWaitMs after the first call, leaving the detachable ones behind.
    void stop();
    // The first half of stop(), without the wait: owners of several pools
    // start all of them stopping first, so that their waits overlap. Waits
    // for an owner access under way (with(), whileRunning()) to end.
    void requestStop();

    // The owner's own access to what its detachable jobs reach through
    // with(): runs f unless the pool is stopping, excluding with() and stop()
    // meanwhile. False when f was not run.
    template <typename F> bool whileRunning(F &&f) const { return unlessStopping(std::forward<F>(f)); }

    // Whether a pool of this process left a job behind. Such a job may still
    // run, so the process must not destroy its globals (Qt's among them)
    // under it: see exitNowIfJobsLeftBehind().
    static bool leftJobsBehind();
    // Called once the program's orderly end is done (services destroyed,
    // settings written): when a job was left behind, flushes the standard
    // streams and ends the process with status at once, without running
    // global destructors. Returns otherwise.
    static void exitNowIfJobsLeftBehind(int status);

private:
    template <typename Body> bool launch(bool joined, Body &&body);
};

template <typename F> bool WorkerPool::spawnJoined(F &&job)
{
    static_assert(std::is_invocable_v<std::decay_t<F> &>, "a joined job takes no arguments");
    return launch(true, std::forward<F>(job));
}

template <typename Owner, typename Job, typename... Args>
bool WorkerPool::spawnDetachable(Owner &owner, Job job, Args &&...args)
{
    static_assert(std::is_empty_v<Job> || std::is_function_v<std::remove_pointer_t<Job>>,
                  "a job that may outlive its owner captures nothing: its data come as arguments");
    static_assert(
        (!std::is_same_v<std::remove_cv_t<std::remove_pointer_t<std::decay_t<Args>>>, Owner> && ...),
        "a job that may outlive its owner reaches it only through its handle");
    static_assert(std::is_invocable_v<Job &, const OwnerHandle<Owner> &, std::decay_t<Args> &...>);
    return launch(false, [handle = OwnerHandle<Owner>(m_state, owner), job,
                          ... data = std::forward<Args>(args)]() mutable { job(handle, data...); });
}

template <typename Body> bool WorkerPool::launch(bool joined, Body &&body)
{
    std::shared_ptr<State> state = m_state;
    {
        std::lock_guard lock(state->mutex);
        if (state->stopping)
            return false;
        ++state->active;
        state->joined += joined ? 1 : 0;
    }
    const auto done = [state, joined] {
        std::lock_guard lock(state->mutex);
        --state->active;
        state->joined -= joined ? 1 : 0;
        state->changed.notify_all();
    };
    try {
        std::thread([done, owned = std::forward<Body>(body)]() mutable {
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
