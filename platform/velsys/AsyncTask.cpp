#include "velsys/AsyncTask.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <thread>
#include <vector>

#include "velcoreplatform/TFormatString.h"
#include "velcoreplatform/TLog.h"

using velmora::TMutex;
using velmora::TMutexLock;

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

// How long a waiter polls before it sleeps. A thread that sleeps costs a wake-up (several
// microseconds on a virtual machine, more when its processor has gone idle) on top of the wait,
// and a thread that polls takes a processor from others. So a waiter polls for up to twice as
// long as waits have lately lasted in this process (WaitBudget): work handed to a warm worker
// that makes a round trip to a local server, plain or encrypted, is then met without a sleep,
// while waits that last longer than kMaxSpinTime poll only briefly. The poll yields the
// processor every few rounds, so work that needs it is not held up.
constexpr std::chrono::microseconds kMinSpinTime{20};
constexpr std::chrono::microseconds kMaxSpinTime{250};
constexpr std::chrono::microseconds kIdleSpinTime{20};

// A moving average of how long waiters waited for work to be done, over the whole process.
// Updated without a lock: a lost update only delays the average by one wait.
class WaitBudget {
public:
    static WaitBudget& Get() {
        static WaitBudget s_budget;  // trivially destructible: safe during static destruction
        return s_budget;
    }

    // How long the next waiter polls before it sleeps.
    std::chrono::nanoseconds SpinTime() const {
        const std::chrono::nanoseconds average(m_averageNs.load(std::memory_order_relaxed));
        if (average > kMaxSpinTime) return kMinSpinTime;
        return std::clamp<std::chrono::nanoseconds>(2 * average, kMinSpinTime, kMaxSpinTime);
    }

    // Counts a wait that ended with the work done; a long one counts as a few times the longest
    // poll, so that the average comes back soon once waits are short again.
    void Record(std::chrono::nanoseconds waited) {
        const std::int64_t sample =
            std::min<std::chrono::nanoseconds>(waited, 4 * kMaxSpinTime).count();
        const std::int64_t average = m_averageNs.load(std::memory_order_relaxed);
        m_averageNs.store(average + (sample - average) / 8, std::memory_order_relaxed);
    }

private:
    // Until waits are counted, a waiter polls for twice this.
    static constexpr std::chrono::nanoseconds kFirstAverage{25'000};
    std::atomic<std::int64_t> m_averageNs{kFirstAverage.count()};
};

// Polls `done` for up to `limit`; true as soon as it holds.
template <class F>
bool SpinUntil(F done, std::chrono::nanoseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (int i = 1;; ++i) {
        if (done()) return true;
        if (i % 16 == 0) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::yield();
        }
    }
}

}  // namespace

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

namespace detail {
TaskBase::~TaskBase() = default;
}  // namespace detail

namespace {

using detail::TaskPtr;

constexpr int kPoolSize = 32;
constexpr std::chrono::milliseconds kIdleTime{30000};

thread_local bool t_isPoolWorker = false;

// Runs the task; its body (and its state reference) is destroyed by the caller, on this thread.
void RunTask(TaskPtr& task) {
    try {
        task->Run();
    } catch (...) {
        // Task bodies store their own exceptions; anything here is the machinery's.
        TLog::LogCurrentException(TLog::Error, "Exception escaped an asynchronous task.");
    }
}

// See the header comment. Lock order: m_mutex is a leaf; no task runs under it.
class ThreadPool {
public:
    bool Submit(TaskPtr& task, bool mayRefuse) {
        // A task launched from a pool worker is "nested": its launcher may be about to wait for
        // it. Other tasks are served by at most kPoolSize workers at a time.
        const bool nested = t_isPoolWorker;
        Worker* idle = nullptr;
        {
            TMutexLock lock(m_mutex);
            const bool mayServe = nested || m_serving < kPoolSize;
            if (mayServe && !m_idle.empty()) {
                idle = m_idle.back();  // the most recently idle: the others may time out
                m_idle.pop_back();
                idle->task = std::move(task);
                idle->nested = nested;
                idle->handed.store(true, std::memory_order_release);
                // Under the lock: once it is released the worker may run the task, idle out and
                // be gone.
                idle->wake.notify_one();
            } else if (mayServe && m_threads < 2 * kPoolSize) {
                ++m_threads;
                ++m_started;
            } else if (mayRefuse) {
                return false;
            } else {
                // Beyond twice the limit even a nested task waits, ahead of the others.
                if (nested)
                    m_queue.push_front(std::move(task));
                else
                    m_queue.push_back(std::move(task));
                return true;
            }
            if (!nested) ++m_serving;
        }
        if (idle) return true;
        StartWorker(task, nested);
        return true;
    }

    PoolStatistics Statistics() {
        TMutexLock lock(m_mutex);
        PoolStatistics stats;
        stats.threadsStarted = m_started;
        stats.threads = m_threads;
        stats.idle = int(m_idle.size());
        stats.queued = int(m_queue.size());
        return stats;
    }

private:
    // An idle worker waits on its own condition variable under the pool's mutex; a submitter
    // hands it a task and notifies only that worker.
    struct Worker {
        std::condition_variable wake;
        // Guarded by the pool's m_mutex.
        TaskPtr task;
        bool nested = false;
        std::atomic<bool> handed{false};  // task was set; polled without the lock
    };

    // Starts a worker whose first task is `task`; leaves `task` untouched when the thread
    // cannot be started (and raises std::system_error).
    void StartWorker(TaskPtr& task, bool nested) {
        detail::TaskBase* first = task.get();
        try {
            std::thread([this, first, nested] { WorkerLoop(TaskPtr(first), nested); }).detach();
        } catch (...) {
            TMutexLock lock(m_mutex);
            --m_threads;
            if (!nested) --m_serving;
            throw;
        }
        task.release();  // now owned by the worker
    }

    void WorkerLoop(TaskPtr task, bool nested) {
        t_isPoolWorker = true;
        Worker self;
        for (;;) {
            RunTask(task);
            // The finished body is destroyed only once this worker is back on the idle list
            // (outside the lock): its waiter may already be submitting the next task, which
            // should find this worker, still spinning, rather than wake a sleeping one.
            TaskPtr finished = std::move(task);
            TMutexLock lock(m_mutex);
            if (!nested) --m_serving;
            if (!m_queue.empty() && m_serving < kPoolSize) {
                task = std::move(m_queue.front());
                m_queue.pop_front();
                nested = false;  // queued tasks count as served, nested ones too
                ++m_serving;
                continue;
            }
            m_idle.push_back(&self);
            // A worker that just finished spins briefly before it sleeps: back-to-back work
            // then needs no wake-up. Briefer than a waiter: back-to-back work comes within
            // microseconds or not soon, and meanwhile the threads it just served need the
            // processor.
            lock.Unlock();
            finished.reset();
            if (SpinUntil([&] { return self.handed.load(std::memory_order_acquire); },
                          kIdleSpinTime)) {
                // The submitter took this worker off the idle list and set the task before the
                // flag, and touches neither again: no need for the lock to take it.
                task = std::move(self.task);
                nested = self.nested;
                self.handed.store(false, std::memory_order_relaxed);
                continue;
            }
            lock.Lock();
            if (!self.wake.wait_for(lock.Native(), kIdleTime, [&] { return bool(self.task); })) {
                m_idle.erase(std::find(m_idle.begin(), m_idle.end(), &self));
                --m_threads;
                return;
            }
            task = std::move(self.task);
            nested = self.nested;
            self.handed.store(false, std::memory_order_relaxed);
        }
    }

    TMutex m_mutex;
    std::vector<Worker*> m_idle VEL_GUARDED_BY(m_mutex);
    std::deque<TaskPtr> m_queue VEL_GUARDED_BY(m_mutex);
    int m_threads VEL_GUARDED_BY(m_mutex) = 0;
    int m_serving VEL_GUARDED_BY(m_mutex) = 0;  // workers running tasks that are not nested
    long long m_started VEL_GUARDED_BY(m_mutex) = 0;
};

ThreadPool& Pool() {
    // Never destroyed: workers may still be waiting when static destructors run.
    static ThreadPool* pool = new ThreadPool();
    return *pool;
}

}  // namespace

int GetPoolSize() {
    return kPoolSize;
}

std::chrono::milliseconds GetPoolIdleTime() {
    return kIdleTime;
}

PoolStatistics GetPoolStatistics() {
    return Pool().Statistics();
}

namespace detail {

bool SubmitToPool(TaskPtr& task, bool mayRefuse) {
    return Pool().Submit(task, mayRefuse);
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
    {
        TMutexLock lock(m_mutex);
        if (m_complete) return false;
        m_error = std::move(error);
        MarkCompleteLocked();
    }
    NotifyComplete();
    return true;
}

void StateBase::MarkCompleteLocked() {
    m_complete = true;
    m_done.store(true, std::memory_order_release);
}

void StateBase::NotifyComplete() {
    m_cv.notify_all();
}

void StateBase::SetDeferred(std::unique_ptr<TaskBase> work) {
    TMutexLock lock(m_mutex);
    m_deferred = std::move(work);
}

FutureStatus StateBase::WaitFor(std::chrono::milliseconds timeout) {
    if (timeout.count() < 0) timeout = std::chrono::milliseconds(0);
    const auto until = std::chrono::steady_clock::now() + timeout;
    TMutexLock lock(m_mutex);
    if (m_complete) return FutureStatus::Ready;
    if (m_deferred) return FutureStatus::Deferred;
    // As in RunDeferredOrWait: work handed to a warm worker is often done within microseconds.
    lock.Unlock();
    WaitBudget& budget = WaitBudget::Get();
    const auto start = std::chrono::steady_clock::now();
    if (SpinUntil([this] { return m_done.load(std::memory_order_acquire); },
                  std::min<std::chrono::nanoseconds>(timeout, budget.SpinTime()))) {
        budget.Record(std::chrono::steady_clock::now() - start);
        return FutureStatus::Ready;
    }
    lock.Lock();
    // Deferred work another thread has claimed counts as running.
    if (!m_cv.wait_until(lock.Native(), until,
                         [this]() VEL_REQUIRES(m_mutex) { return m_complete; }))
        return FutureStatus::Timeout;
    budget.Record(std::chrono::steady_clock::now() - start);
    return FutureStatus::Ready;
}

std::unique_ptr<TaskBase> StateBase::TryClaimDeferred() {
    TMutexLock lock(m_mutex);
    return std::move(m_deferred);
}

void StateBase::RunClaimed(std::unique_ptr<TaskBase> work) {
    try {
        work->Run();
    } catch (...) {
        TrySetException(std::current_exception());
    }
    work.reset();
}

void StateBase::RunDeferredOrWait() {
    if (m_done.load(std::memory_order_acquire)) return;
    if (auto work = TryClaimDeferred()) {
        RunClaimed(std::move(work));
        // Work bodies always complete their state; this only guards against a waiter hanging.
        TrySetException(std::make_exception_ptr(BrokenPromiseException()));
        return;
    }
    // Most work handed to a warm worker is done within microseconds: a short spin saves the
    // sleep and wake-up of this thread.
    WaitBudget& budget = WaitBudget::Get();
    const auto start = std::chrono::steady_clock::now();
    if (!SpinUntil([this] { return m_done.load(std::memory_order_acquire); }, budget.SpinTime())) {
        TMutexLock lock(m_mutex);
        m_cv.wait(lock.Native(), [this]() VEL_REQUIRES(m_mutex) { return m_complete; });
    }
    budget.Record(std::chrono::steady_clock::now() - start);
}

void StateBase::Release(const void* future) {
    // A complete state has no deferred work left: it completes only by running that work.
    if (m_done.load(std::memory_order_acquire)) return;
    auto work = TryClaimDeferred();
    if (!work) return;  // queued, running or done: released without waiting
    RunClaimed(std::move(work));
    TMutexLock lock(m_mutex);
    if (!m_complete) {
        lock.Unlock();
        const std::string text = TFormatString("Not ready after wait! future=%1 state=%2.",
                                               TString::pointer(future), TString::pointer(this))
                                     .ToString()
                                     .toStdString();
        ThrowLogicException(__FILE__, __LINE__, text.c_str());
    }
}

// Not checked by the lock analysis: a complete state's error is read without the lock (it is
// never written again, and m_done makes the write visible), which the analysis cannot express.
void StateBase::RethrowIfError() VEL_NO_THREAD_SAFETY_ANALYSIS {
    // Once complete, the error is never written again.
    if (m_done.load(std::memory_order_acquire)) {
        if (m_error) std::rethrow_exception(m_error);
        return;
    }
    std::exception_ptr error;
    {
        TMutexLock lock(m_mutex);
        error = m_error;
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace detail
}  // namespace AsyncTask
