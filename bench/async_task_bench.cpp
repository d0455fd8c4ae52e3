// Async + Get round trip of an empty task, beside a bare std::thread start/join and a bare
// condition-variable hand-off to a waiting thread.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "velsys/AsyncTask.h"

using namespace AsyncTask;

namespace {

void AsyncGet(benchmark::State& state) {
    for (auto _ : state) {
        auto f = Async(Launch::Async, WhenCanceled::AfterWorkEnds,
                       PreStartCancellationBehavior::SkipWork, [] { return true; });
        benchmark::DoNotOptimize(f.Get());
    }
}

// The same figure, paired with each baseline.
void AsyncGetVsThread(benchmark::State& state) {
    AsyncGet(state);
}

void AsyncGetVsThread_Baseline(benchmark::State& state) {
    for (auto _ : state) {
        bool result = false;
        std::thread([&] { result = true; }).join();
        benchmark::DoNotOptimize(result);
    }
}

void AsyncGetVsHandOff(benchmark::State& state) {
    AsyncGet(state);
}

void AsyncGetVsHandOff_Baseline(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable cv;
    long long posted = 0;
    long long done = 0;
    bool stop = false;
    std::thread worker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return stop || posted > done; });
            if (stop) return;
            ++done;  // the empty task
            cv.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        const long long mine = ++posted;
        cv.notify_all();
        cv.wait(lock, [&] { return done >= mine; });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    cv.notify_all();
    worker.join();
}

}  // namespace

BENCHMARK(AsyncGetVsThread);
BENCHMARK(AsyncGetVsThread_Baseline);
BENCHMARK(AsyncGetVsHandOff);
BENCHMARK(AsyncGetVsHandOff_Baseline);

BENCHMARK_MAIN();
