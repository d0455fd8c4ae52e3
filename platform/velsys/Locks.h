// Reader/writer locks of the foundation.
//
// TReadWriteLock thinly wraps std::shared_mutex. Lock/Unlock take it exclusively and are
// re-entrant for the thread that holds it (the coherence service takes its lock again while
// holding it); LockRead/UnlockRead take it shared, and a thread that already holds it
// exclusively may also take it shared (counted as one more exclusive level). Shared holds are
// not re-entrant across a waiting writer by contract; the glibc implementation prefers readers,
// so a nested LockRead does not deadlock in practice, but callers should not rely on it.
// TRecursiveMutex has the same semantics under the name the cascade invalidation uses.
//
// REQUIRES: a thread holding only a shared hold must not call Lock (no upgrade).
// Thread contract: safe for concurrent use.
#pragma once

#include <atomic>
#include <shared_mutex>
#include <thread>

#include "velsys/Export.h"

class VELPLATFORM_EXPORT TReadWriteLock {
public:
    // The argument is a spin count, accepted for source compatibility and ignored.
    explicit TReadWriteLock(int spinCount = 0);
    TReadWriteLock(const TReadWriteLock&) = delete;
    TReadWriteLock& operator=(const TReadWriteLock&) = delete;
    ~TReadWriteLock();

    void Lock();
    void Unlock();
    void LockRead();
    void UnlockRead();
    // Takes the lock exclusively if it is free (or held by this thread); never waits.
    bool TryLock();

    // Whether the calling thread holds the lock exclusively.
    bool IsLockedByCurrentThread() const;

private:
    std::shared_mutex m_mutex;
    // The exclusive holder, or a default id. Written only by the holder while it holds.
    std::atomic<std::thread::id> m_owner;
    // Exclusive nesting depth; touched only by the holder.
    unsigned m_depth = 0;
};

class VELPLATFORM_EXPORT TRecursiveMutex : public TReadWriteLock {
public:
    explicit TRecursiveMutex(int spinCount = 0) : TReadWriteLock(spinCount) {}
};

// Scoped holds. The guard releases what it took when it goes out of scope.
class TExclusiveLockGuard {
public:
    explicit TExclusiveLockGuard(TReadWriteLock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~TExclusiveLockGuard() { m_lock.Unlock(); }
    TExclusiveLockGuard(const TExclusiveLockGuard&) = delete;
    TExclusiveLockGuard& operator=(const TExclusiveLockGuard&) = delete;

private:
    TReadWriteLock& m_lock;
};

class TSharedLockGuard {
public:
    explicit TSharedLockGuard(TReadWriteLock& lock) : m_lock(lock) { m_lock.LockRead(); }
    ~TSharedLockGuard() { m_lock.UnlockRead(); }
    TSharedLockGuard(const TSharedLockGuard&) = delete;
    TSharedLockGuard& operator=(const TSharedLockGuard&) = delete;

private:
    TReadWriteLock& m_lock;
};
