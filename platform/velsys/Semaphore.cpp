#include "velsys/Semaphore.h"

TSemaphore::TSemaphore(long count) : m_available(count < 0 ? 0 : count) {}

bool TSemaphore::Acquire(std::chrono::milliseconds timeout) {
    if (timeout.count() < 0) timeout = std::chrono::milliseconds(0);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, timeout, [this] { return m_available > 0; })) return false;
    --m_available;
    return true;
}

void TSemaphore::Release() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_available;
    }
    m_cv.notify_one();
}

long TSemaphore::GetAvailable() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_available;
}

TSemaphoreScope::TSemaphoreScope(TSemaphore& semaphore, std::chrono::milliseconds timeout)
    : m_semaphore(semaphore), m_acquired(semaphore.Acquire(timeout)) {}

TSemaphoreScope::~TSemaphoreScope() {
    if (m_acquired) m_semaphore.Release();
}
