#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "velsys/AsyncTask.h"

using namespace AsyncTask;
using namespace std::chrono_literals;

// Pool tasks that block waiting for another task (the guarded call with a time-out of the
// external caches) must not starve the tasks they wait for.
TEST(AsyncTaskConcurrency, SixtyFourNestedWaitsAtOnceCompleteWithoutDeadlock) {
    constexpr int kOuter = 64;
    std::atomic<int> inside{0};
    std::atomic<bool> allInside{false};
    std::vector<Future<bool>> outer;
    for (int i = 0; i < kOuter; ++i) {
        outer.push_back(Async(Launch::Async, WhenCanceled::AfterWorkEnds,
                              PreStartCancellationBehavior::SkipWork, [&] {
                                  // Hold every outer task until all 64 are running at once.
                                  if (++inside == kOuter) allInside = true;
                                  for (int s = 0; s < 3000 && !allInside; ++s)
                                      std::this_thread::sleep_for(10ms);
                                  auto inner = Async(Launch::Async, WhenCanceled::AfterWorkEnds,
                                                     PreStartCancellationBehavior::SkipWork,
                                                     [] { return true; });
                                  return inner.WaitFor(60s) == FutureStatus::Ready && inner.Get();
                              }));
    }
    for (auto& f : outer) ASSERT_EQ(f.WaitFor(90s), FutureStatus::Ready);
    EXPECT_TRUE(allInside.load());
    for (auto& f : outer) EXPECT_TRUE(f.Get());
}

TEST(AsyncTaskConcurrency, DeferredWorkRunsOnceWhenManyThreadsGetAtOnce) {
    std::atomic<int> runs{0};
    auto f = Async(Launch::Deferred, WhenCanceled::AfterWorkEnds,
                   PreStartCancellationBehavior::SkipWork, [&] {
                       ++runs;
                       std::this_thread::sleep_for(5ms);
                       return std::make_shared<std::vector<unsigned char>>(1, 42);
                   });
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([f, &ok] {
            auto bytes = f.Get();
            if (bytes && bytes->at(0) == 42) ++ok;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(ok.load(), 8);
}

TEST(AsyncTaskConcurrency, CompletionIsVisibleToWaitersOnEveryThread) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> go{false};
        int payload = 0;
        auto f = Async(Launch::Async, WhenCanceled::AfterWorkEnds,
                       PreStartCancellationBehavior::SkipWork, [&] {
                           while (!go) std::this_thread::yield();
                           payload = round + 1;  // published by completing the future
                       });
        std::vector<std::thread> waiters;
        std::atomic<int> seen{0};
        for (int i = 0; i < 4; ++i)
            waiters.emplace_back([&, f] {
                if (f.WaitFor(30s) == FutureStatus::Ready && payload == round + 1) ++seen;
            });
        go = true;
        for (auto& t : waiters) t.join();
        EXPECT_EQ(seen.load(), 4);
    }
}
