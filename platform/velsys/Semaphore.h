// A counting semaphore with timed acquisition, and a reference-counted hold on it.
//
// TSemaphore starts with a number of free slots; Acquire waits at most the given time for one.
// TSemaphoreScope tries to take one slot when it is made and gives it back when its last
// reference goes, so a hold can travel with asynchronous work. The semaphore must outlive every
// scope made on it.
// Thread contract: safe for concurrent use.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "velsys/Export.h"
#include "velsys/RefCnt.h"

class VELPLATFORM_EXPORT TSemaphore {
public:
    explicit TSemaphore(long count);
    TSemaphore(const TSemaphore&) = delete;
    TSemaphore& operator=(const TSemaphore&) = delete;

    // Takes one slot, waiting at most `timeout` (a negative time-out counts as 0).
    // Returns false, and takes nothing, when no slot came free in time.
    bool Acquire(std::chrono::milliseconds timeout);
    // Gives one slot back and wakes one waiter.
    void Release();

private:
    // Takes a slot if one is free, without the lock.
    bool TryTake();

    // Free slots are counted without the lock, so that taking and giving back a slot nobody
    // waits for costs no lock; waiters register under the lock, and a release that sees one
    // notifies under it (both sides sequentially consistent, so no wake-up is lost).
    std::atomic<long> m_available;
    std::atomic<int> m_waiters{0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

class VELPLATFORM_EXPORT TSemaphoreScope : public RefCntObject {
public:
    // Tries to take a slot of `semaphore` within `timeout`. REQUIRES: semaphore outlives this.
    TSemaphoreScope(TSemaphore& semaphore, std::chrono::milliseconds timeout);
    bool IsAcquired() const { return m_acquired; }

protected:
    ~TSemaphoreScope() override;

private:
    TSemaphore& m_semaphore;
    const bool m_acquired;
};
