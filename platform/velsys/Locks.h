// Reader/writer locks of the foundation.
//
// TReadWriteLock is a writer-preferring reader/writer lock. Lock/Unlock take it exclusively and
// are re-entrant for the thread that holds it (the coherence service takes its lock again while
// holding it); LockRead/UnlockRead take it shared, and a thread that already holds it
// exclusively may also take it shared (counted as one more exclusive level).
//
// Writers are not starved: once a writer waits, new shared holds wait behind it, so a steady
// stream of readers cannot keep it out. A thread that already holds the lock shared and takes
// it shared again is not new: its nested hold is granted at once even while a writer waits
// (the writer waits for that thread anyway, so holding the nested hold back would deadlock).
// The uncontended paths are one atomic instruction each way; waiting threads sleep on a
// condition variable.
// TRecursiveMutex has the same semantics under the name the cascade invalidation uses.
//
// REQUIRES: a thread holding only a shared hold must not call Lock (no upgrade). A thread that
// holds the lock shared must not wait for another thread that is about to take it shared for
// the first time (that thread waits behind any waiting writer, and the writer waits for the
// first thread).
// Debug builds report an upgrade (a thread holding only a shared hold calls Lock) instead of
// waiting for ever, as long as the shared hold is one of the holds the thread tracks (see
// Locks.cpp).
//
// TMutex is a std::mutex that the thread-safety analysis knows as a lock (see
// velsys/ThreadAnnotations.h); TMutexLock holds one for a scope and can hand its
// std::unique_lock to a std::condition_variable. TSharedMutex is the same for std::shared_mutex,
// held by TSharedMutexLock (exclusive) and TSharedMutexReadLock (shared). These and the scoped
// guards of TReadWriteLock are this platform's own and live in namespace velmora; the two lock
// types the library's interfaces name stay at global scope.
// Thread contract: safe for concurrent use.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "velsys/Export.h"
#include "velsys/ThreadAnnotations.h"

class VEL_CAPABILITY("mutex") VELPLATFORM_EXPORT TReadWriteLock {
public:
    // The argument is a spin count, accepted for source compatibility and ignored.
    explicit TReadWriteLock(int spinCount = 0);
    TReadWriteLock(const TReadWriteLock&) = delete;
    TReadWriteLock& operator=(const TReadWriteLock&) = delete;
    ~TReadWriteLock();

    // The lock's own implementation is not checked by the analysis: it is what the analysis
    // takes on trust.
    void Lock() VEL_ACQUIRE() VEL_NO_THREAD_SAFETY_ANALYSIS {
        if (IsLockedByCurrentThread()) {
            ++m_depth;
            return;
        }
        std::uint32_t free = 0;
        if (!m_state.compare_exchange_strong(free, kWriter, std::memory_order_acquire,
                                             std::memory_order_relaxed))
            LockSlow();
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        m_depth = 1;
    }
    void Unlock() VEL_RELEASE() VEL_NO_THREAD_SAFETY_ANALYSIS {
        if (!IsLockedByCurrentThread()) FailNotHolder();
        if (--m_depth != 0) return;
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        // Sequentially consistent with the sleepers' count: a thread going to sleep either is
        // counted here or sees the lock free before it sleeps.
        m_state.fetch_and(~kWriter);
        if (m_sleepers.load() != 0) WakeSleepers();
    }
    void LockRead() VEL_ACQUIRE_SHARED() VEL_NO_THREAD_SAFETY_ANALYSIS;
    void UnlockRead() VEL_RELEASE_SHARED() VEL_NO_THREAD_SAFETY_ANALYSIS;
    // Takes the lock exclusively if it is free (or held by this thread); never waits.
    bool TryLock() VEL_TRY_ACQUIRE(true) VEL_NO_THREAD_SAFETY_ANALYSIS;

    // Whether the calling thread holds the lock exclusively.
    bool IsLockedByCurrentThread() const {
        return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    // m_state: bit 31 held exclusively, bits 16..30 writers waiting, bits 0..15 shared holds
    // (each nested shared hold counts once).
    static constexpr std::uint32_t kWriter = 1u << 31;
    static constexpr std::uint32_t kWaitingWriter = 1u << 16;
    static constexpr std::uint32_t kWaitingWriterMask = kWriter - kWaitingWriter;
    static constexpr std::uint32_t kReaderMask = kWaitingWriter - 1;

    void LockSlow();
    [[noreturn]] static void FailNotHolder();
    void LockReadSlow();
    // Wakes every sleeper if there is one; called after a change of m_state that may let a
    // sleeper in.
    void WakeSleepers();

    std::atomic<std::uint32_t> m_state{0};
    // Threads asleep (or about to sleep) on m_wake; changed under m_sleepMutex.
    std::atomic<std::uint32_t> m_sleepers{0};
    std::mutex m_sleepMutex;
    std::condition_variable m_wake;
    // The exclusive holder, or a default id. Written only by the holder while it holds.
    std::atomic<std::thread::id> m_owner;
    // Exclusive nesting depth; touched only by the holder.
    unsigned m_depth = 0;
};

class VEL_CAPABILITY("mutex") VELPLATFORM_EXPORT TRecursiveMutex : public TReadWriteLock {
public:
    explicit TRecursiveMutex(int spinCount = 0) : TReadWriteLock(spinCount) {}
};

namespace velmora {

// Scoped holds. The guard releases what it took when it goes out of scope.
class VEL_SCOPED_CAPABILITY TExclusiveLockGuard {
public:
    explicit TExclusiveLockGuard(TReadWriteLock& lock) VEL_ACQUIRE(lock) : m_lock(lock) {
        m_lock.Lock();
    }
    ~TExclusiveLockGuard() VEL_RELEASE() { m_lock.Unlock(); }
    TExclusiveLockGuard(const TExclusiveLockGuard&) = delete;
    TExclusiveLockGuard& operator=(const TExclusiveLockGuard&) = delete;

private:
    TReadWriteLock& m_lock;
};

class VEL_SCOPED_CAPABILITY TSharedLockGuard {
public:
    explicit TSharedLockGuard(TReadWriteLock& lock) VEL_ACQUIRE_SHARED(lock) : m_lock(lock) {
        m_lock.LockRead();
    }
    ~TSharedLockGuard() VEL_RELEASE() { m_lock.UnlockRead(); }
    TSharedLockGuard(const TSharedLockGuard&) = delete;
    TSharedLockGuard& operator=(const TSharedLockGuard&) = delete;

private:
    TReadWriteLock& m_lock;
};

// A std::mutex known to the analysis. lock/unlock/try_lock keep the standard names, so that
// std::lock_guard, std::unique_lock and std::condition_variable_any accept it; the analysis
// follows only TMutexLock (and direct calls), not the standard guards.
class VEL_CAPABILITY("mutex") TMutex {
public:
    TMutex() = default;
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    void lock() VEL_ACQUIRE() { m_mutex.lock(); }
    void unlock() VEL_RELEASE() { m_mutex.unlock(); }
    bool try_lock() VEL_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    friend class TMutexLock;
    std::mutex m_mutex;
};

// Holds a TMutex from construction to destruction, unless released meanwhile with Unlock (and
// taken again with Lock). Native() is for std::condition_variable::wait, which releases and
// retakes the mutex inside the call: the analysis sees the mutex held throughout.
class VEL_SCOPED_CAPABILITY TMutexLock {
public:
    explicit TMutexLock(TMutex& mutex) VEL_ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~TMutexLock() VEL_RELEASE() {}
    TMutexLock(const TMutexLock&) = delete;
    TMutexLock& operator=(const TMutexLock&) = delete;

    void Lock() VEL_ACQUIRE() { m_lock.lock(); }
    void Unlock() VEL_RELEASE() { m_lock.unlock(); }
    std::unique_lock<std::mutex>& Native() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

// A std::shared_mutex known to the analysis.
class VEL_CAPABILITY("mutex") TSharedMutex {
public:
    TSharedMutex() = default;
    TSharedMutex(const TSharedMutex&) = delete;
    TSharedMutex& operator=(const TSharedMutex&) = delete;

    void lock() VEL_ACQUIRE() { m_mutex.lock(); }
    void unlock() VEL_RELEASE() { m_mutex.unlock(); }
    void lock_shared() VEL_ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlock_shared() VEL_RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

class VEL_SCOPED_CAPABILITY TSharedMutexLock {
public:
    explicit TSharedMutexLock(TSharedMutex& mutex) VEL_ACQUIRE(mutex) : m_mutex(mutex) {
        m_mutex.lock();
    }
    ~TSharedMutexLock() VEL_RELEASE() { m_mutex.unlock(); }
    TSharedMutexLock(const TSharedMutexLock&) = delete;
    TSharedMutexLock& operator=(const TSharedMutexLock&) = delete;

private:
    TSharedMutex& m_mutex;
};

class VEL_SCOPED_CAPABILITY TSharedMutexReadLock {
public:
    explicit TSharedMutexReadLock(TSharedMutex& mutex) VEL_ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
        m_mutex.lock_shared();
    }
    ~TSharedMutexReadLock() VEL_RELEASE() { m_mutex.unlock_shared(); }
    TSharedMutexReadLock(const TSharedMutexReadLock&) = delete;
    TSharedMutexReadLock& operator=(const TSharedMutexReadLock&) = delete;

private:
    TSharedMutex& m_mutex;
};

}  // namespace velmora
