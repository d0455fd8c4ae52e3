#include <gtest/gtest.h>

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
