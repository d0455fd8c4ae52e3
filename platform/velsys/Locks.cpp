#include "velsys/Locks.h"

#include "velsys/Exceptions.h"

TReadWriteLock::TReadWriteLock(int /*spinCount*/) : m_owner(std::thread::id()) {}

TReadWriteLock::~TReadWriteLock() = default;

bool TReadWriteLock::IsLockedByCurrentThread() const {
    return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void TReadWriteLock::Lock() {
    if (IsLockedByCurrentThread()) {
        ++m_depth;
        return;
    }
    m_mutex.lock();
    m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    m_depth = 1;
}

bool TReadWriteLock::TryLock() {
    if (IsLockedByCurrentThread()) {
        ++m_depth;
        return true;
    }
    if (!m_mutex.try_lock()) return false;
    m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    m_depth = 1;
    return true;
}

void TReadWriteLock::Unlock() {
    VEL_ASSERT_MSG(IsLockedByCurrentThread(), "Unlock by a thread that does not hold the lock");
    if (--m_depth == 0) {
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        m_mutex.unlock();
    }
}

void TReadWriteLock::LockRead() {
    if (IsLockedByCurrentThread()) {
        ++m_depth;
        return;
    }
    m_mutex.lock_shared();
}

void TReadWriteLock::UnlockRead() {
    if (IsLockedByCurrentThread()) {
        Unlock();
        return;
    }
    m_mutex.unlock_shared();
}
