#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "velsys/AsyncTask.h"

using namespace AsyncTask;
using namespace std::chrono_literals;

namespace {
template <class F>
auto Launch_(Launch launch, F&& work) {
    return Async(launch, WhenCanceled::AfterWorkEnds, PreStartCancellationBehavior::SkipWork,
                 std::forward<F>(work));
}
}  // namespace

// Pool tasks that block waiting for another task (the guarded call with a time-out of the
// external caches) must not starve the tasks they wait for.
TEST(AsyncTaskConcurrency, SixtyFourNestedWaitsAtOnceCompleteWithoutDeadlock) {
    constexpr int kOuter = 64;
    std::atomic<int> inside{0};
    std::vector<Future<bool>> outer;
    for (int i = 0; i < kOuter; ++i) {
        outer.push_back(Launch_(Launch::Async, [&] {
            // Hold the outer tasks until every worker runs one (the rest wait in the queue).
            ++inside;
            for (int s = 0; s < 3000 && inside < std::min(kOuter, GetPoolSize()); ++s)
                std::this_thread::sleep_for(10ms);
            auto inner = Launch_(Launch::Async, [] { return true; });
            return inner.WaitFor(60s) == FutureStatus::Ready && inner.Get();
        }));
    }
    for (auto& f : outer) ASSERT_EQ(f.WaitFor(90s), FutureStatus::Ready);
    EXPECT_EQ(inside.load(), kOuter);
    for (auto& f : outer) EXPECT_TRUE(f.Get());
}

// An asynchronous result is visible, whole, to waiters on every thread.
TEST(AsyncTaskConcurrency, ManyThreadsGetAndWaitOnOneFuture) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> go{false};
        std::atomic<int> seen{0};
        int payload = 0;
        auto f = Launch_(Launch::Async, [&] {
            while (!go) std::this_thread::yield();
            payload = round + 1;  // published by completing the future
            return round;
        });
        std::vector<std::thread> threads;
        for (int i = 0; i < 6; ++i)
            threads.emplace_back([&, f] {
                if (f.WaitFor(30s) == FutureStatus::Ready && f.Get() == round &&
                    payload == round + 1)
                    ++seen;
            });
        go = true;
        for (auto& t : threads) t.join();
        EXPECT_EQ(seen.load(), 6);
    }
}
