#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "ExternalCacheTestSupport.h"
#include "caching/DiskExternalCache.h"

using namespace velmora::caching;
using namespace veltest;
namespace opt = velmora::appoptions;

namespace {

using ExternalCacheConcurrency = ExternalCacheTest;

// An exiting process: this test program started again with VELTEST_EXIT_DURING_STORES=<dir>
// hands disk stores to the pool without waiting for them and returns from main while they run,
// as a host does that stores a result and then quits.
const int s_exitingRole = [] {
    const char* dir = std::getenv("VELTEST_EXIT_DURING_STORES");
    if (!dir) return 0;
    AppConfig::GetInstance().SetExternalCacheDir(TString(dir));
    AppConfig::GetInstance().SetExternalCacheEnabled(true);
    {
        DiskExternalCache cache(TString("exit"), nullptr);
        for (int i = 0; i < 200; ++i)
            cache.TryStore(TString::number(i % 16), Bytes(std::string(64 * 1024, 'x')), 0, -1);
    }
    std::exit(0);  // destroys the process's statics while the stores go on
}();

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

// A disk store still running when its process exited read the name prefix of its temporary
// files from a static string that the exit had destroyed (a race the thread sanitizer reported,
// and a read of freed memory).
TEST(ExternalCacheExit, StoreRunningAtExitReadDestroyedStatic) {
    ScratchDir dir;
    for (int run = 0; run < 5; ++run) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("VELTEST_EXIT_DURING_STORES", dir.Path().c_str(), 1);
            ::execl("/proc/self/exe", "exiting", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << "run " << run;
    }
}

}  // namespace
