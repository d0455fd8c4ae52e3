#include "velsys/AsyncTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace AsyncTask;
using namespace std::chrono_literals;

namespace {

template <class F>
auto Launch_(Launch launch, F&& work) {
    return Async(launch, WhenCanceled::AfterWorkEnds, PreStartCancellationBehavior::SkipWork,
                 std::forward<F>(work));
}

// A gate that work can block on until the test opens it.
struct Gate {
    std::promise<void> promise;
    std::shared_future<void> future = promise.get_future().share();
    void Open() { promise.set_value(); }
    void Wait() const { future.wait(); }
};

}  // namespace

TEST(AsyncTask, AsyncWorkRunsOnAnotherThread) {
    const auto caller = std::this_thread::get_id();
    EXPECT_TRUE(Launch_(Launch::Async, [&] { return std::this_thread::get_id() != caller; }).Get());
}

TEST(AsyncTask, GetRethrowsTheWorksExceptionEveryTime) {
    auto f = Launch_(Launch::Async, []() -> bool { throw std::runtime_error("boom"); });
    EXPECT_THROW(f.Get(), std::runtime_error);
    EXPECT_THROW(f.Get(), std::runtime_error);
}

TEST(AsyncTask, WaitForANegativeTimeOutCountsAsZero) {
    Gate gate;
    auto blocked = Launch_(Launch::Async, [&] { gate.Wait(); });
    EXPECT_EQ(blocked.WaitFor(-1000000ms), FutureStatus::Timeout);  // negative counts as zero
    gate.Open();
    EXPECT_EQ(blocked.WaitFor(30s), FutureStatus::Ready);
}

TEST(AsyncTask, CancelledBeforeStartSkipsWorkAndCompletesWithCancelException) {
    std::atomic<int> runs{0};
    auto context = CancellationContext::Create();
    Future<bool> got;
    {
        ScopedCancellationContext bind(context);
        got = Launch_(Launch::Deferred, [&] { return ++runs > 0; });
        auto released = Launch_(Launch::Deferred, [&] { ++runs; });
        context->Cancel();
        released.Release();  // deferred work of a cancelled context is not run on release
    }
    EXPECT_THROW(got.Get(), CancelException);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(GetCurrentCancellationContext(), nullptr);
}

// Work runs under the launching thread's context; a cancellation of its parent while it runs
// completes the future only when the work ends.
TEST(AsyncTask, WorkRunsUnderTheLaunchingContextAndCancellingItWaitsForTheWork) {
    auto parent = CancellationContext::Create();
    auto child = CancellationContext::Create(parent);
    ScopedCancellationContext bind(child);
    Gate started, proceed;
    auto f = Launch_(Launch::Async, [&] {
        started.Open();
        proceed.Wait();
        return GetCurrentCancellationContext() == child && IsCurrentContextCancelled();
    });
    started.Wait();
    parent->Cancel();
    EXPECT_TRUE(child->IsCancelled());
    EXPECT_EQ(f.WaitFor(20ms), FutureStatus::Timeout);
    proceed.Open();
    EXPECT_TRUE(f.Get());  // the work ran to its end and saw the cancellation
}

// A burst beyond the pool's size waits in the queue instead of starting a thread per task, while
// a task launched from pool work (which may wait for it) never queues.
TEST(AsyncTask, ThreadPerCallBurstQueuesBeyondThePoolSizeAndNestedWorkNeverWaits) {
    Gate gate;
    std::atomic<int> started{0};
    std::vector<Future<bool>> blocked;
    const int burst = 3 * GetPoolSize();
    for (int i = 0; i < burst; ++i)
        blocked.push_back(Launch_(Launch::Async, [&] {
            ++started;
            gate.Wait();
            // Launched from a pool worker while the queue is full: runs at once all the same.
            return Launch_(Launch::Async, [] { return true; }).WaitFor(30s) == FutureStatus::Ready;
        }));
    for (int i = 0; i < 3000 && GetPoolStatistics().queued + started.load() < burst; ++i)
        std::this_thread::sleep_for(1ms);
    const PoolStatistics busy = GetPoolStatistics();
    EXPECT_GT(busy.queued, 0);
    EXPECT_LE(busy.threads, 2 * GetPoolSize());
    gate.Open();
    for (auto& b : blocked) EXPECT_TRUE(b.Get());
    EXPECT_LE(GetPoolStatistics().threads, 2 * GetPoolSize());
}
