#include "velsys/AsyncTask.h"

#include <algorithm>
#include <deque>
#include <thread>

#include "velcoreplatform/TFormatString.h"
#include "velcoreplatform/TLog.h"

namespace AsyncTask {

InvalidFutureException::InvalidFutureException() : VelmoraException("InvalidFuture") {}
InvalidFutureException::~InvalidFutureException() = default;
CancelException::CancelException() : VelmoraException("Canceled") {}
CancelException::~CancelException() = default;
BrokenPromiseException::BrokenPromiseException() : VelmoraException("BrokenPromise") {}
BrokenPromiseException::~BrokenPromiseException() = default;
PromiseAlreadySetException::PromiseAlreadySetException() : VelmoraException("PromiseAlreadySet") {}
PromiseAlreadySetException::~PromiseAlreadySetException() = default;

// ---- cancellation contexts ---------------------------------------------------------------

namespace {
thread_local std::shared_ptr<CancellationContext> t_currentContext;
}

std::shared_ptr<CancellationContext> CancellationContext::Create(
    std::shared_ptr<CancellationContext> parent) {
    return std::make_shared<CancellationContext>(std::move(parent));
}

CancellationContext::CancellationContext(std::shared_ptr<CancellationContext> parent)
    : m_parent(std::move(parent)) {}

void CancellationContext::Cancel() {
    m_cancelled.store(true, std::memory_order_release);
}

bool CancellationContext::IsCancelled() const {
    for (const CancellationContext* c = this; c; c = c->m_parent.get())
        if (c->m_cancelled.load(std::memory_order_acquire)) return true;
    return false;
}

std::shared_ptr<CancellationContext> GetCurrentCancellationContext() {
    return t_currentContext;
}

bool IsCurrentContextCancelled() {
    return t_currentContext && t_currentContext->IsCancelled();
}

ScopedCancellationContext::ScopedCancellationContext(std::shared_ptr<CancellationContext> context)
    : m_previous(std::exchange(t_currentContext, std::move(context))) {}

ScopedCancellationContext::~ScopedCancellationContext() {
    t_currentContext = std::move(m_previous);
}

// ---- the pool ----------------------------------------------------------------------------

namespace {

// Workers wait for tasks; a task is accepted only while more workers are idle than tasks are
// waiting, so an accepted task never waits behind a busy worker.
class ThreadPool {
public:
    // Returns once every worker waits for work, so that the first tasks find them idle.
    explicit ThreadPool(int size) : m_size(size) {
        for (int i = 0; i < size; ++i) std::thread([this] { WorkerLoop(); }).detach();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_started.wait(lock, [&] { return m_idle == static_cast<std::size_t>(m_size); });
    }

    bool TrySubmit(std::function<void()>& task) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() >= m_idle) return false;
        m_queue.push_back(std::move(task));
        m_cv.notify_one();
        return true;
    }

    int Size() const { return m_size; }

private:
    void WorkerLoop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                ++m_idle;
                m_started.notify_all();
                m_cv.wait(lock, [this] { return !m_queue.empty(); });
                --m_idle;
                task = std::move(m_queue.front());
                m_queue.pop_front();
            }
            RunTask(task);
        }
    }

    static void RunTask(std::function<void()>& task) {
        try {
            task();
        } catch (...) {
            // Task bodies store their own exceptions; anything here is the machinery's.
            TLog::LogCurrentException(TLog::Error, "Exception escaped an asynchronous task.");
        }
        task = nullptr;  // destroy the body (and its state reference) on this thread
    }

    const int m_size;  // Constant after construction.
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::condition_variable m_started;
    // Guarded by m_mutex.
    std::deque<std::function<void()>> m_queue;
    std::size_t m_idle = 0;
};

ThreadPool& Pool() {
    // Never destroyed: workers may still be waiting when static destructors run.
    static ThreadPool* pool =
        new ThreadPool(std::max(2, static_cast<int>(std::thread::hardware_concurrency())));
    return *pool;
}

std::atomic<long long> s_dedicatedThreads{0};

}  // namespace

int GetPoolSize() {
    return Pool().Size();
}

long long GetDedicatedThreadCount() {
    return s_dedicatedThreads.load();
}

namespace detail {

bool TrySubmitToPool(std::function<void()>& task) {
    return Pool().TrySubmit(task);
}

void StartDedicatedThread(std::function<void()> task) {
    std::thread([task = std::move(task)]() mutable {
        try {
            task();
        } catch (...) {
            TLog::LogCurrentException(TLog::Error, "Exception escaped an asynchronous task.");
        }
    }).detach();
    s_dedicatedThreads.fetch_add(1);
}

void LogReleaseFailure() noexcept {
    try {
        TLog::LogCurrentException(TLog::Error, "Exception caught while releasing a future.");
    } catch (...) {
    }
}

// ---- shared state ------------------------------------------------------------------------

StateBase::StateBase() = default;
StateBase::~StateBase() = default;

bool StateBase::TrySetException(std::exception_ptr error) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_complete) return false;
    m_error = std::move(error);
    CompleteLocked(lock);
    return true;
}

void StateBase::CompleteLocked(std::unique_lock<std::mutex>& lock) {
    m_complete = true;
    lock.unlock();
    m_cv.notify_all();
}

void StateBase::SetDeferred(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deferred = std::move(work);
}

FutureStatus StateBase::WaitFor(std::chrono::milliseconds timeout) {
    if (timeout.count() < 0) timeout = std::chrono::milliseconds(0);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_complete) return FutureStatus::Ready;
    if (m_deferred) return FutureStatus::Deferred;
    // Deferred work another thread has claimed counts as running.
    return m_cv.wait_for(lock, timeout, [this] { return m_complete; }) ? FutureStatus::Ready
                                                                       : FutureStatus::Timeout;
}

bool StateBase::TryClaimDeferred(std::function<void()>& work) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_deferred) return false;
    work = std::move(m_deferred);
    m_deferred = nullptr;
    return true;
}

void StateBase::RunClaimed(std::function<void()>& work) {
    try {
        work();
    } catch (...) {
        TrySetException(std::current_exception());
    }
    work = nullptr;
}

void StateBase::RunDeferredOrWait() {
    std::function<void()> work;
    if (TryClaimDeferred(work)) {
        RunClaimed(work);
        // Work bodies always complete their state; this only guards against a waiter hanging.
        TrySetException(std::make_exception_ptr(BrokenPromiseException()));
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_complete; });
}

void StateBase::Release(const void* future) {
    std::function<void()> work;
    if (!TryClaimDeferred(work)) return;  // queued, running or done: released without waiting
    RunClaimed(work);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_complete) {
        lock.unlock();
        const std::string text = TFormatString("Not ready after wait! future=%1 state=%2.",
                                               TString::pointer(future), TString::pointer(this))
                                     .ToString()
                                     .toStdString();
        ThrowLogicException(__FILE__, __LINE__, text.c_str());
    }
}

void StateBase::RethrowIfError() {
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        error = m_error;
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace detail
}  // namespace AsyncTask
