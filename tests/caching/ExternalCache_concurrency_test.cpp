#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "ExternalCacheTestSupport.h"
#include "caching/DiskExternalCache.h"

using namespace velmora::caching;
using namespace veltest;
namespace opt = velmora::appoptions;

namespace {

class ExternalCacheConcurrency : public ExternalCacheTest {
protected:
    static constexpr int kThreads = 4, kRounds = 40, kOps = kThreads * kRounds;
};

// Many threads store, load and drop a few shared keys on two disk caches over one directory:
// every future completes exactly once with an answer of its kind, and every operation writes
// one log line and closes one metrics scope.
TEST_F(ExternalCacheConcurrency, EveryOperationCompletesOnceWithOneLineAndOneScope) {
    ScratchDir dir;
    opt::ScopedOverride wait("ExternalCacheConcurrencyTimeoutMs", 10000);
    const DiskExternalCache caches[] = {DiskExternalCache(TString("ns"), nullptr),
                                        DiskExternalCache(TString("ns"), nullptr)};
    std::atomic<int> stores{0}, loads{0}, drops{0}, wrongHits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const DiskExternalCache& cache = caches[(t + i) % 2];
                const std::string value = "v" + std::to_string(i % 5);
                const TString key = TString::number(i % 5);
                auto store = cache.TryStore(key, Bytes(value), 0, -1);
                auto load = cache.TryLoad(key);
                auto drop = cache.TryDrop(key);
                stores += store.Get();
                // There is no atomic replacement: a load racing a store of the same key may read
                // a value file still being written, but never bytes stored under another key.
                const auto loaded = load.Get();
                wrongHits += loaded && value.rfind(Text(loaded), 0) != 0;
                ++loads;
                drops += drop.Get();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(stores.load() + loads.load() + drops.load(), 3 * kOps);
    EXPECT_EQ(wrongHits.load(), 0);
    for (const char* op : {"ec-store", "ec-load", "ec-drop"}) {
        EXPECT_EQ(m_host.Log().Find(TString(op)).size(), size_t(kOps)) << op;
        EXPECT_EQ(m_metrics->Find(TString(op)).size(), size_t(kOps)) << op;
    }
}

// Backend calls in flight never exceed the process-wide limit; then, with a time-out shorter
// than the calls, every store is answered once while the abandoned calls finish on their own.
TEST_F(ExternalCacheConcurrency, SemaphoreBoundsBackendCallsAndTimeoutsRaceCleanly) {
    int limit = 0;
    {
        opt::ScopedOverride noWait("ExternalCacheConcurrencyTimeoutMs", 0);
        std::vector<RefCntPtr<TSemaphoreScope>> held;
        for (auto hold = TryAcquireConcurrencySemaphore(); hold->IsAcquired() && limit < 100000;
             hold = TryAcquireConcurrencySemaphore(), ++limit)
            held.push_back(hold);
    }
    ASSERT_GT(limit, 0);
    opt::ScopedOverride wait("ExternalCacheConcurrencyTimeoutMs", 60000);
    std::atomic<int> inFlight{0}, peak{0}, finished{0};
    constexpr int kStores = 64;
    for (bool shortTimeout : {false, true}) {
        opt::ScopedOverride timeout("ExternalCacheStoreTimeoutMs", shortTimeout ? 1 : 60000);
        ScriptedCache cache;  // reads the time-out now
        cache.store = [&](TString, TString, ExternalBytesPtr, long long) {
            const int now = ++inFlight;
            for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --inFlight, ++finished;
        };
        finished = 0;
        Clear();
        std::vector<AsyncTask::Future<bool>> futures;
        for (int i = 0; i < kStores; ++i)
            futures.push_back(cache.TryStore(TString::number(i), Bytes("v"), 0, -1));
        int done = 0;
        for (auto& future : futures) done += future.Get();
        EXPECT_EQ(m_host.Log().Find(TString("ec-store")).size(), size_t(kStores));
        // A 2 ms call cannot finish within 1 ms every time.
        EXPECT_EQ(done == kStores, !shortTimeout) << done;
        EXPECT_TRUE(shortTimeout || peak.load() <= limit) << peak.load();
        for (int i = 0; i < 1000 && finished.load() < kStores; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(finished.load(), kStores);
    }
}

int ThreadsOfThisProcess() {
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// Every call used to start a thread of its own once the few pool workers were busy: a burst of
// 500 stores on a slow backend started over 500 threads, and sequential stores one or two
// threads per call.
TEST_F(ExternalCacheConcurrency, ThreadPerCall) {
    ScriptedCache cache;
    cache.store = [](TString, TString, ExternalBytesPtr, long long) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    std::vector<AsyncTask::Future<bool>> burst;
    for (int i = 0; i < 500; ++i)
        burst.push_back(cache.TryStore(TString::number(i), Bytes("v"), 0, -1));
    int peak = 0, stored = 0;
    for (auto& future : burst) {
        peak = std::max(peak, ThreadsOfThisProcess());
        stored += future.Get();
    }
    RecordProperty("peak_threads", peak);
    EXPECT_LT(peak, 64);
    EXPECT_GT(stored, 0);
    EXPECT_EQ(m_host.Log().Find(TString("ec-store")).size(), 500u);

    cache.store = [](TString, TString, ExternalBytesPtr, long long) {};
    const long long before = AsyncTask::GetPoolStatistics().threadsStarted;
    for (int i = 0; i < 10000; ++i) cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get();
    const long long created = AsyncTask::GetPoolStatistics().threadsStarted - before;
    RecordProperty("threads_started_per_10000_stores", int(created));
    EXPECT_LE(created, 8);
}

}  // namespace
