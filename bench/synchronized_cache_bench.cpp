// The lock-protected caches beside what a caller would otherwise write. Each "X" figure has an
// "X_Baseline" measured in the same run; scripts/bench prints the ratios.
//
// A second thread stays alive (blocked) for the whole run: glibc makes locks markedly cheaper
// in a process that has only ever had one thread, which would flatter every lock figure.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "utility/SynchronizedCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Locks.h"

using namespace CacheHelpers;

namespace {

using Clock = std::chrono::steady_clock;

class Data : public VelCacheData {
public:
    explicit Data(int v) : value(v) {}
    int value;
};

int ValueOf(const Entry& e) {
    return static_cast<Data*>(e.GetData().Get())->value;
}

// ---- TryGetEntry by id -------------------------------------------------------------------

constexpr int kLookupEntries = 10000;

struct LookupFixture {
    LookupFixture() : cache(std::make_shared<MRUPolicy>(kLookupEntries), nullptr) {
        for (int i = 0; i < kLookupEntries; ++i) {
            Payload p(new Data(i));
            const unsigned id = cache.AddEntry(p);
            ids.push_back(id);
            map.emplace(id, p);
        }
    }
    SynchronizedIndexedCache cache;
    std::vector<unsigned> ids;
    std::shared_mutex mutex;
    std::unordered_map<unsigned, Payload> map;
};

LookupFixture& Lookup() {
    static LookupFixture fixture;
    return fixture;
}

void BM_SyncIndexedTryGetEntry(benchmark::State& state) {
    auto& f = Lookup();
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.cache.TryGetEntry(f.ids[i % f.ids.size()]));
        i += 13;
    }
}
BENCHMARK(BM_SyncIndexedTryGetEntry)->Threads(1)->Threads(2)->UseRealTime();

void BM_SyncIndexedTryGetEntry_Baseline(benchmark::State& state) {
    auto& f = Lookup();
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7919;
    for (auto _ : state) {
        Payload found;
        {
            std::shared_lock<std::shared_mutex> guard(f.mutex);
            auto it = f.map.find(f.ids[i % f.ids.size()]);
            if (it != f.map.end()) found = it->second;
        }
        benchmark::DoNotOptimize(found);
        i += 13;
    }
}
BENCHMARK(BM_SyncIndexedTryGetEntry_Baseline)->Threads(1)->Threads(2)->UseRealTime();

// ---- DeleteEntries through the index vs a full scan ---------------------------------------

constexpr int kBigEntries = 1000000;
constexpr int kGroupSize = 10;

// Matches the entries of one group of ten; names the "group" index when indexed.
struct GroupPredicate : EntryPredicate {
    GroupPredicate(int group, bool indexed) : m_group(group), m_indexed(indexed) {}
    bool Matches(const Entry& e) override { return ValueOf(e) / kGroupSize == m_group; }
    TString GetIndexName() const override { return m_indexed ? TString("group") : TString(); }
    TString GetKeyForIndexing() const override {
        return m_indexed ? TString::number(m_group) : TString();
    }
    bool HasIndex() const override { return m_indexed; }
    int m_group;
    bool m_indexed;
};

// One cache of a million entries in groups of ten, shared by both figures; each iteration
// deletes one group and, untimed, adds it back.
SynchronizedIndexedCache& BigCache() {
    static SynchronizedIndexedCache* cache = [] {
        auto* c =
            new SynchronizedIndexedCache(std::make_shared<MRUPolicy>(2 * kBigEntries), nullptr);
        c->AddIndex("group",
                    [](const Entry& e) { return TString::number(ValueOf(e) / kGroupSize); });
        for (int i = 0; i < kBigEntries; ++i) c->AddEntry(Payload(new Data(i)));
        return c;
    }();
    return *cache;
}

void DeleteGroups(benchmark::State& state, bool indexed) {
    auto& cache = BigCache();
    int group = 0;
    for (auto _ : state) {
        const EntrySet removed =
            cache.DeleteEntries(std::make_shared<GroupPredicate>(group, indexed));
        state.PauseTiming();
        if (removed.size() != kGroupSize) state.SkipWithError("wrong number of entries deleted");
        for (const Entry& e : removed) cache.AddEntry(Payload(new Data(ValueOf(e))));
        group = (group + 7) % (kBigEntries / kGroupSize);
        state.ResumeTiming();
    }
    state.counters["entries"] = static_cast<double>(cache.GetEntryCount());
}

void BM_SyncIndexedDeleteTenOfAMillion(benchmark::State& state) {
    DeleteGroups(state, true);
}
BENCHMARK(BM_SyncIndexedDeleteTenOfAMillion)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same deletion with a predicate that names no index: every entry is examined.
void BM_SyncIndexedDeleteTenOfAMillion_Baseline(benchmark::State& state) {
    DeleteGroups(state, false);
}
BENCHMARK(BM_SyncIndexedDeleteTenOfAMillion_Baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- SynchronizedCache::Purge with a reader running ---------------------------------------

constexpr int kPurgeEntries = 100000;
constexpr int kPurgeKeep = 50000;

// Reads by id in a loop while `running`, and keeps the longest single TryGetEntry it saw (the
// longest time the purge kept the lock from a reader) and the number of lookups it made.
struct Reader {
    Reader(SynchronizedCache& cache, std::vector<unsigned> ids)
        : m_cache(cache), m_ids(std::move(ids)) {
        m_thread = std::thread([this] {
            std::size_t i = 0;
            while (m_running.load(std::memory_order_relaxed)) {
                const auto start = Clock::now();
                benchmark::DoNotOptimize(m_cache.TryGetEntry(m_ids[i++ % m_ids.size()]));
                const auto took = Clock::now() - start;
                if (took > m_longest) m_longest = took;
                ++m_lookups;
            }
        });
    }
    // Stops the reader and returns the longest wait in milliseconds.
    double Stop() {
        m_running = false;
        m_thread.join();
        return std::chrono::duration<double, std::milli>(m_longest).count();
    }

    SynchronizedCache& m_cache;
    std::vector<unsigned> m_ids;
    std::atomic<bool> m_running{true};
    Clock::duration m_longest{};
    double m_lookups = 0;
    std::thread m_thread;
};

std::unique_ptr<SynchronizedCache> PurgeCache(TReadWriteLock& lock, std::vector<unsigned>& ids) {
    auto cache =
        std::make_unique<SynchronizedCache>(std::make_shared<MRUPolicy>(kPurgeKeep), &lock);
    for (int i = 0; i < kPurgeEntries; ++i) {
        ids.push_back(cache->AddEntry(Payload(new Data(i))));
        cache->GetCache()->JustIncrementClock();
    }
    return cache;
}

void BM_SyncPurgeMru(benchmark::State& state) {
    double longestWait = 0, longestSnapshot = 0, lookups = 0;
    for (auto _ : state) {
        state.PauseTiming();
        TReadWriteLock lock;
        std::vector<unsigned> ids;
        auto cache = PurgeCache(lock, ids);
        // The snapshot's hold, timed on its own: the same two calls under the same lock.
        {
            std::vector<Entry> copy;
            const auto start = Clock::now();
            velmora::TExclusiveLockGuard guard(lock);
            benchmark::DoNotOptimize(cache->GetCache()->GetClock());
            cache->GetCache()->CopyEntries(copy);
            longestSnapshot =
                std::max(longestSnapshot,
                         std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        Reader reader(*cache, ids);
        state.ResumeTiming();
        const EntrySet removed = cache->Purge();
        state.PauseTiming();
        longestWait = std::max(longestWait, reader.Stop());
        lookups += reader.m_lookups;
        if (removed.size() != kPurgeEntries - kPurgeKeep) state.SkipWithError("wrong purge size");
        state.ResumeTiming();
    }
    state.counters["max_reader_wait_ms"] = longestWait;
    state.counters["snapshot_hold_ms"] = longestSnapshot;
    state.counters["reader_lookups"] =
        benchmark::Counter(lookups, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SyncPurgeMru)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same purge done the plain way: the whole Cache::Purge under one exclusive hold.
void BM_SyncPurgeMru_Baseline(benchmark::State& state) {
    double longestWait = 0, lookups = 0;
    for (auto _ : state) {
        state.PauseTiming();
        TReadWriteLock lock;
        std::vector<unsigned> ids;
        auto cache = PurgeCache(lock, ids);
        Reader reader(*cache, ids);
        state.ResumeTiming();
        EntrySet removed;
        {
            velmora::TExclusiveLockGuard guard(lock);
            removed = cache->GetCache()->Purge();
        }
        state.PauseTiming();
        longestWait = std::max(longestWait, reader.Stop());
        lookups += reader.m_lookups;
        if (removed.size() != kPurgeEntries - kPurgeKeep) state.SkipWithError("wrong purge size");
        state.ResumeTiming();
    }
    state.counters["max_reader_wait_ms"] = longestWait;
    state.counters["reader_lookups"] =
        benchmark::Counter(lookups, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SyncPurgeMru_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // The idle second thread: alive and blocked until every benchmark has run.
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread idle([&] {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return finished; });
    });

    benchmark::Initialize(&argc, argv);
    const bool unrecognized = benchmark::ReportUnrecognizedArguments(argc, argv);
    if (!unrecognized) benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    done.notify_one();
    idle.join();
    return unrecognized ? 1 : 0;
}
