#include "velsys/Semaphore.h"

TSemaphore::TSemaphore(long count) : m_available(count < 0 ? 0 : count) {}

bool TSemaphore::TryTake() {
    long available = m_available.load(std::memory_order_relaxed);
    while (available > 0)
        if (m_available.compare_exchange_weak(available, available - 1)) return true;
    return false;
}

bool TSemaphore::Acquire(std::chrono::milliseconds timeout) {
    if (TryTake()) return true;
    if (timeout.count() < 0) timeout = std::chrono::milliseconds(0);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_waiters.fetch_add(1);
    const bool taken = m_cv.wait_for(lock, timeout, [this] { return TryTake(); });
    m_waiters.fetch_sub(1);
    return taken;
}

void TSemaphore::Release() {
    m_available.fetch_add(1);
    // A waiter registers before it tests for a slot: either it sees this one, or this sees it.
    if (m_waiters.load() > 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cv.notify_one();
    }
}

TSemaphoreScope::TSemaphoreScope(TSemaphore& semaphore, std::chrono::milliseconds timeout)
    : m_semaphore(semaphore), m_acquired(semaphore.Acquire(timeout)) {}

TSemaphoreScope::~TSemaphoreScope() {
    if (m_acquired) m_semaphore.Release();
}
