// AsyncTask: futures, promises and background work on a process-wide thread pool.
//
// Async starts a piece of work and hands back a Future that shares the work's state; the state
// is owned jointly by every Future copy and by the queued or running work, so releasing a Future
// neither cancels nor waits for work that was queued or started. Deferred work that nobody ran
// runs when the last Future reference goes, on the releasing thread. Failures travel in the
// future: an exception escaping the work is stored and rethrown by Get.
// Thread contract: safe for concurrent use (a Future may be copied to and waited on from any
// thread; completion is visible to every waiter).
//
// The pool. Worker threads are started on demand and kept warm: a worker that finds no work
// waits up to GetPoolIdleTime (30 s) for more before its thread exits, so steady load starts no
// threads. At most GetPoolSize() (32) workers at a time run tasks launched from outside the
// pool: such a task goes to an idle worker (or a new one) while fewer run, else it waits in the
// queue (first in, first out), so the threads follow the work in flight and a burst of calls
// queues instead of starting a thread per call. A task launched from a pool worker, which may
// be about to wait for it, never waits behind the queue: it gets an idle worker or a new one,
// up to twice the limit in all (this is "the pool refuses" and the dedicated thread of
// Launch::Async; the extra worker then stays warm like any other). Launch::PoolOrDeferred never
// waits in the queue either: when no worker can take it at once the pool refuses it and it becomes
// deferred work. A worker that cannot be started leaves std::system_error in the future.
//
// Cancellation. Every thread has a current cancellation context (none by default, which is
// never cancelled). Work runs under the context that was current on the launching thread. A
// task whose context is cancelled before the work starts skips the work and completes with
// CancelException; cancelling while the work runs changes nothing (WhenCanceled::AfterWorkEnds),
// the work may poll IsCurrentContextCancelled. Hosts create contexts with
// CancellationContext::Create, bind them to a thread with ScopedCancellationContext, and cancel
// them with Cancel; a context is also cancelled when its parent is.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "velsys/Exceptions.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"

namespace AsyncTask {

enum class Launch : std::int32_t { PoolOrDeferred = 0, Async = 1, Deferred = 2 };
enum class WhenCanceled : std::int32_t { AfterWorkEnds = 0 };
enum class PreStartCancellationBehavior : std::int32_t { SkipWork = 0 };
enum class FutureStatus : std::int32_t { Deferred = 0, Ready = 1, Timeout = 2 };

// Waiting on or reading a Future that has no state.
class VELPLATFORM_EXPORT InvalidFutureException : public VelmoraException {
public:
    InvalidFutureException();
    ~InvalidFutureException() override;
};
// Stored in a future whose work was skipped because its context was cancelled before it ran.
class VELPLATFORM_EXPORT CancelException : public VelmoraException {
public:
    CancelException();
    ~CancelException() override;
};
// Stored when the producing side went away without a result.
class VELPLATFORM_EXPORT BrokenPromiseException : public VelmoraException {
public:
    BrokenPromiseException();
    ~BrokenPromiseException() override;
};
// Thrown by the producing side when it sets a result a second time.
class VELPLATFORM_EXPORT PromiseAlreadySetException : public VelmoraException {
public:
    PromiseAlreadySetException();
    ~PromiseAlreadySetException() override;
};

// A cancellation flag with an optional parent. Safe for concurrent use.
class VELPLATFORM_EXPORT CancellationContext {
public:
    // A new, not cancelled context; it also counts as cancelled once `parent` is.
    static std::shared_ptr<CancellationContext> Create(
        std::shared_ptr<CancellationContext> parent = nullptr);

    explicit CancellationContext(std::shared_ptr<CancellationContext> parent);
    // Cancels this context and every context made with it as parent. Idempotent.
    void Cancel();
    bool IsCancelled() const;

private:
    const std::shared_ptr<CancellationContext> m_parent;  // Constant after construction.
    std::atomic<bool> m_cancelled{false};
};

// The calling thread's current context (null when none is bound).
VELPLATFORM_EXPORT std::shared_ptr<CancellationContext> GetCurrentCancellationContext();
// Whether the calling thread's current context is cancelled (false when none is bound).
VELPLATFORM_EXPORT bool IsCurrentContextCancelled();

// Binds `context` (may be null) as the calling thread's current context for the length of a
// scope and restores the previous one after. Not thread-safe: use from one thread at a time.
class VELPLATFORM_EXPORT ScopedCancellationContext {
public:
    explicit ScopedCancellationContext(std::shared_ptr<CancellationContext> context);
    ~ScopedCancellationContext();
    ScopedCancellationContext(const ScopedCancellationContext&) = delete;
    ScopedCancellationContext& operator=(const ScopedCancellationContext&) = delete;

private:
    std::shared_ptr<CancellationContext> m_previous;
};

// The most workers that serve queued tasks (see the header comment): 32.
VELPLATFORM_EXPORT int GetPoolSize();
// How long an idle worker waits for work before its thread exits.
VELPLATFORM_EXPORT std::chrono::milliseconds GetPoolIdleTime();
// A snapshot of the pool, for tests and diagnostics.
struct PoolStatistics {
    long long threadsStarted = 0;  // worker threads started since the process began
    int threads = 0;               // worker threads alive now
    int idle = 0;                  // of which waiting for work
    int queued = 0;                // tasks waiting for a worker
};
VELPLATFORM_EXPORT PoolStatistics GetPoolStatistics();

namespace detail {

class TaskBase;

// Type-independent part of a shared state. Guarded by m_mutex: everything below it.
class VELPLATFORM_EXPORT StateBase {
public:
    StateBase();
    virtual ~StateBase();
    StateBase(const StateBase&) = delete;
    StateBase& operator=(const StateBase&) = delete;

    // Marks the state complete with an exception. Returns false, changing nothing, when it was
    // already complete.
    bool TrySetException(std::exception_ptr error);
    // Installs deferred work (which completes the state when run). REQUIRES: called once,
    // before the state is shared.
    void SetDeferred(std::unique_ptr<class TaskBase> work);

    FutureStatus WaitFor(std::chrono::milliseconds timeout);
    // Runs deferred work here if nobody has claimed it, then waits until complete.
    void RunDeferredOrWait();
    // The release procedure for the last Future reference: runs unclaimed deferred work here
    // (work whose context is cancelled completes with CancelException without running), waits,
    // and raises "Not ready after wait! future=%1 state=%2." if the state is still not complete.
    void Release(const void* future);
    // Rethrows the stored exception, if any. REQUIRES: complete.
    void RethrowIfError();

    // The Future references to this state: each Future copy adds one; dropping the last one
    // (DropFuture returns true) is the moment of the release procedure.
    void AddFuture() { m_futures.fetch_add(1, std::memory_order_relaxed); }
    bool DropFuture() { return m_futures.fetch_sub(1, std::memory_order_acq_rel) == 1; }

protected:
    // Marks complete after the derived class stored the value. REQUIRES: m_mutex held; the
    // caller calls NotifyComplete after releasing it.
    void MarkCompleteLocked() VEL_REQUIRES(m_mutex);
    // Wakes the waiters of a state just marked complete.
    void NotifyComplete();
    bool IsCompleteLocked() const VEL_REQUIRES(m_mutex) { return m_complete; }
    // Whether complete, without the lock; true makes everything completion wrote visible.
    bool IsDone() const { return m_done.load(std::memory_order_acquire); }

    velmora::TMutex m_mutex;

private:
    // Moves unclaimed deferred work out; empty when there is none.
    std::unique_ptr<TaskBase> TryClaimDeferred();
    // Runs claimed work on this thread; an exception escaping it completes the state.
    void RunClaimed(std::unique_ptr<TaskBase> work);

    std::condition_variable m_cv;
    bool m_complete VEL_GUARDED_BY(m_mutex) = false;
    std::atomic<bool> m_done{false};  // m_complete, readable without the lock
    std::atomic<long> m_futures{0};
    // Written once, under m_mutex; read without it once m_done is set (see RethrowIfError).
    std::exception_ptr m_error VEL_GUARDED_BY(m_mutex);
    // Deferred work nobody has claimed yet; empty once claimed or when the work is not deferred.
    std::unique_ptr<TaskBase> m_deferred VEL_GUARDED_BY(m_mutex);
};

template <class T>
using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <class T>
class State final : public StateBase {
public:
    bool TrySetValue(Stored<T> value) {
        {
            velmora::TMutexLock lock(m_mutex);
            if (IsCompleteLocked()) return false;
            m_value.emplace(std::move(value));
            MarkCompleteLocked();
        }
        NotifyComplete();
        return true;
    }
    // REQUIRES: complete without an error.
    // Not checked by the lock analysis: a complete state's value is read without the lock (it
    // is never written again, and IsDone makes the write visible), which the analysis cannot
    // express.
    const Stored<T>& Value() VEL_NO_THREAD_SAFETY_ANALYSIS {
        if (IsDone()) return *m_value;
        velmora::TMutexLock lock(m_mutex);
        return *m_value;
    }

private:
    // Written once, under m_mutex.
    std::optional<Stored<T>> m_value VEL_GUARDED_BY(m_mutex);
};

// Logs the exception in flight from a destructor's release at Error.
VELPLATFORM_EXPORT void LogReleaseFailure() noexcept;

// Runs `work` for `state` under `context`, or skips it when the context is cancelled.
template <class T, class F>
void RunWork(State<T>& state, const std::shared_ptr<CancellationContext>& context, F& work) {
    if (context && context->IsCancelled()) {
        state.TrySetException(std::make_exception_ptr(CancelException()));
        return;
    }
    ScopedCancellationContext bind(context);
    try {
        if constexpr (std::is_void_v<T>) {
            work();
            state.TrySetValue(std::monostate{});
        } else {
            state.TrySetValue(work());
        }
    } catch (...) {
        state.TrySetException(std::current_exception());
    }
}

// Work that runs once. Destroying a task that never ran (a refused or abandoned one) completes
// its state with BrokenPromiseException.
class VELPLATFORM_EXPORT TaskBase {
public:
    virtual ~TaskBase();
    virtual void Run() = 0;
};
using TaskPtr = std::unique_ptr<TaskBase>;

// Work queued on the pool: it shares its state with the futures.
template <class T, class F>
class PoolTask final : public TaskBase {
public:
    PoolTask(std::shared_ptr<State<T>> state, std::shared_ptr<CancellationContext> context, F work)
        : m_state(std::move(state)), m_context(std::move(context)), m_work(std::move(work)) {}
    ~PoolTask() override {
        if (m_state) m_state->TrySetException(std::make_exception_ptr(BrokenPromiseException()));
    }
    void Run() override {
        auto state = std::move(m_state);
        if (state) RunWork<T>(*state, m_context, m_work);
    }

private:
    std::shared_ptr<State<T>> m_state;
    std::shared_ptr<CancellationContext> m_context;
    F m_work;
};

// Deferred work owned by its own state, which it therefore refers to by address.
template <class T, class F>
class DeferredTask final : public TaskBase {
public:
    DeferredTask(State<T>* state, std::shared_ptr<CancellationContext> context, F work)
        : m_state(state), m_context(std::move(context)), m_work(std::move(work)) {}
    void Run() override { RunWork<T>(*m_state, m_context, m_work); }

private:
    State<T>* m_state;
    std::shared_ptr<CancellationContext> m_context;
    F m_work;
};

// Hands a task to the pool (see the header comment). Returns false, the task untouched, only
// when `mayRefuse` and no worker can take it at once; raises std::system_error when a needed
// worker thread cannot be started.
VELPLATFORM_EXPORT bool SubmitToPool(TaskPtr& task, bool mayRefuse);

}  // namespace detail

// The consuming side of a shared state. Copies share the state; the release procedure runs when
// the last copy goes. A default-constructed Future has no state.
template <class T>
class Future {
public:
    Future() = default;
    explicit Future(std::shared_ptr<detail::State<T>> state) : m_state(std::move(state)) {
        if (m_state) m_state->AddFuture();
    }
    Future(const Future& other) : m_state(other.m_state) {
        if (m_state) m_state->AddFuture();
    }
    Future(Future&& other) noexcept = default;
    Future& operator=(const Future& other) {
        if (this != &other) *this = Future(other);
        return *this;
    }
    Future& operator=(Future&& other) noexcept {
        if (this != &other) {
            Drop();
            m_state = std::move(other.m_state);
        }
        return *this;
    }
    ~Future() { Drop(); }

    bool IsValid() const { return bool(m_state); }

    // Waits at most `timeout` (negative counts as 0). Returns Ready when complete, Deferred when
    // the work is deferred and nobody has started it (it is not run here), else Timeout.
    // Raises InvalidFutureException when there is no state.
    FutureStatus WaitFor(std::chrono::milliseconds timeout) const {
        return CheckedState().WaitFor(timeout);
    }
    // Waits until complete, running unclaimed deferred work on this thread; rethrows the
    // stored exception or returns the value. Raises InvalidFutureException without a state.
    T Get() const {
        detail::State<T>& state = CheckedState();
        state.RunDeferredOrWait();
        state.RethrowIfError();
        if constexpr (!std::is_void_v<T>) return state.Value();
    }
    // Drops this reference now; when it was the last one, runs the release procedure here and
    // lets its logic failure propagate (the destructor logs it instead).
    void Release() {
        auto state = std::move(m_state);
        if (state && state->DropFuture()) state->Release(this);
    }

private:
    detail::State<T>& CheckedState() const {
        if (!IsValid()) throw InvalidFutureException();
        return *m_state;
    }
    // Drops this reference; the last one runs the release procedure, logging its failure.
    void Drop() noexcept {
        try {
            Release();
        } catch (...) {
            detail::LogReleaseFailure();
        }
    }

    std::shared_ptr<detail::State<T>> m_state;
};

// The producing side of a shared state, for work that completes somewhere else. Destroying a
// Promise that set no result stores BrokenPromiseException. Not thread-safe: use from one thread
// at a time (the Future it made may be used anywhere).
template <class T>
class Promise {
public:
    Promise() : m_state(std::make_shared<detail::State<T>>()) {}
    ~Promise() {
        if (m_state && !m_set)
            m_state->TrySetException(std::make_exception_ptr(BrokenPromiseException()));
    }
    Promise(Promise&&) noexcept = default;
    Promise& operator=(Promise&&) = delete;

    Future<T> GetFuture() const { return Future<T>(m_state); }
    // Raises PromiseAlreadySetException when a result was already set.
    template <class... V>
    void SetValue(V&&... value) {
        if (!m_state->TrySetValue(detail::Stored<T>(std::forward<V>(value)...)))
            throw PromiseAlreadySetException();
        m_set = true;
    }
    void SetException(std::exception_ptr error) {
        if (!m_state->TrySetException(std::move(error))) throw PromiseAlreadySetException();
        m_set = true;
    }

private:
    std::shared_ptr<detail::State<T>> m_state;
    bool m_set = false;
};

// A future that is already complete with `value`.
template <class T>
Future<std::decay_t<T>> MakeReadyFuture(T&& value) {
    auto state = std::make_shared<detail::State<std::decay_t<T>>>();
    state->TrySetValue(std::forward<T>(value));
    return Future<std::decay_t<T>>(std::move(state));
}
inline Future<void> MakeReadyFuture() {
    auto state = std::make_shared<detail::State<void>>();
    state->TrySetValue(std::monostate{});
    return Future<void>(std::move(state));
}

// Starts `work` (a callable taking no arguments) as described in the header comment and
// returns its future. The work runs at most once, on a pool worker or dedicated thread
// (Launch::Async), on the thread that first calls Get or releases the last reference
// (Launch::Deferred), or either (Launch::PoolOrDeferred), under the launching thread's
// cancellation context and with no lock of this facility held.
template <class F>
requires std::is_invocable_v < std::decay_t<F>
& > Future<std::invoke_result_t<std::decay_t<F>&>> Async(Launch launch, WhenCanceled,
                                                         PreStartCancellationBehavior, F&& work) {
    using T = std::invoke_result_t<std::decay_t<F>&>;
    auto state = std::make_shared<detail::State<T>>();
    auto context = GetCurrentCancellationContext();
    if (launch == Launch::Async || launch == Launch::PoolOrDeferred) {
        detail::TaskPtr task = std::make_unique<detail::PoolTask<T, std::decay_t<F>>>(
            state, std::move(context), std::forward<F>(work));
        try {
            if (detail::SubmitToPool(task, launch == Launch::PoolOrDeferred))
                return Future<T>(std::move(state));
        } catch (...) {
            state->TrySetException(std::current_exception());
            return Future<T>(std::move(state));
        }
        // Refused: the task becomes deferred work. It refers to its state until it is claimed,
        // which Get or the release procedure always does.
        state->SetDeferred(std::move(task));
        return Future<T>(std::move(state));
    }
    state->SetDeferred(std::make_unique<detail::DeferredTask<T, std::decay_t<F>>>(
        state.get(), std::move(context), std::forward<F>(work)));
    return Future<T>(std::move(state));
}

// The same with the result type named explicitly: Async<bool>(launch, w, p, work).
template <class T>
Future<T> Async(Launch launch, WhenCanceled whenCanceled, PreStartCancellationBehavior preStart,
                std::function<T()> work) {
    return Async<std::function<T()>>(launch, whenCanceled, preStart, std::move(work));
}

}  // namespace AsyncTask
