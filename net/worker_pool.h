#pragma once

#include "network_service.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

// Bookkeeping shared by NetworkService and its worker threads. Workers hold
// it by shared pointer, so the last thing a worker touches after its job
// (lowering the count) outlives the service if it has to.
struct WorkerPool
{
    std::mutex mutex;
    std::condition_variable changed;
    int active = 0;        // threads started and not yet finished
    bool stopping = false; // no new threads once set
    // Woken with stopping, so that threads blocked on a socket return at
    // once instead of polling the flag.
    sock::Waker waker;

    // Open server connections, in total and per peer address.
    int connections = 0;
    std::map<std::uint32_t, int> connectionsPerAddress;
};

template <typename F> bool NetworkService::spawnWorker(F &&f)
{
    std::shared_ptr<WorkerPool> pool = m_pool;
    {
        std::lock_guard lock(pool->mutex);
        if (pool->stopping)
            return false;
        ++pool->active;
    }
    try {
        std::thread([pool, job = std::forward<F>(f)]() mutable {
            {
                // The job and everything it captured end here, before the
                // destructor may be released by the count below.
                auto owned = std::move(job);
                owned();
            }
            std::lock_guard lock(pool->mutex);
            --pool->active;
            pool->changed.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        std::lock_guard lock(pool->mutex);
        --pool->active;
        pool->changed.notify_all();
        return false;
    }
    return true;
}
