// The plain cache beside the standard containers it is built on. Each "X" figure has an
// "X_Baseline" measured in the same run; scripts/bench prints the ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <unordered_set>
#include <vector>

#include "utility/Cache.h"

using namespace CacheHelpers;

namespace {

class Data : public VelCacheData {
public:
    explicit Data(int v) : value(v) {}
    int value;
};

// A cache with n entries whose clocks are 0..n-1 (one JustIncrementClock between additions).
std::unique_ptr<Cache> FilledCache(std::size_t n, std::shared_ptr<IPolicy> policy,
                                   std::vector<unsigned>* ids = nullptr) {
    auto cache = std::make_unique<Cache>(std::move(policy));
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned id = cache->AddEntry(Payload(new Data(int(i))));
        if (ids) ids->push_back(id);
        cache->JustIncrementClock();
    }
    return cache;
}

// The baseline's idea of an entry: an id, a counted object, a clock.
struct PlainEntry {
    unsigned id;
    std::atomic<long>* refs;
    unsigned long long clock;
    bool operator==(const PlainEntry& o) const { return id == o.id; }
};
struct PlainHash {
    std::size_t operator()(const PlainEntry& e) const { return e.id; }
};

// Both sides add into a set that is emptied (untimed) every kBatch additions, so that each
// measures inserts into a set of the same sizes.
constexpr int kBatch = 100000;

void BM_AddEntry(benchmark::State& state) {
    auto cache = std::make_unique<Cache>(std::make_shared<MRUPolicy>(1));
    Payload payload(new Data(1));
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache->AddEntry(payload));
        if (++n == kBatch) {
            state.PauseTiming();
            cache = std::make_unique<Cache>(std::make_shared<MRUPolicy>(1));
            n = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_AddEntry);

void BM_AddEntry_Baseline(benchmark::State& state) {
    std::unordered_set<PlainEntry, PlainHash> set;
    std::atomic<long> refs{0};
    unsigned next = 0;
    int n = 0;
    for (auto _ : state) {
        refs.fetch_add(1, std::memory_order_relaxed);
        set.insert(PlainEntry{++next, &refs, 0});
        if (++n == kBatch) {
            state.PauseTiming();
            std::unordered_set<PlainEntry, PlainHash>().swap(set);
            n = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_AddEntry_Baseline);

void BM_UseEntryById(benchmark::State& state) {
    std::vector<unsigned> ids;
    auto cache = FilledCache(std::size_t(state.range(0)), std::make_shared<MRUPolicy>(1), &ids);
    std::size_t i = 0;
    for (auto _ : state) {
        Payload p = cache->UseEntry(ids[i]);
        benchmark::DoNotOptimize(p.Get());
        if (++i == ids.size()) i = 0;
    }
}
BENCHMARK(BM_UseEntryById)->Arg(1000)->Arg(100000)->Arg(1000000);

void BM_UseEntryById_Baseline(benchmark::State& state) {
    const auto n = std::size_t(state.range(0));
    std::unordered_set<PlainEntry, PlainHash> set;
    // One heap object per counter, as payloads are.
    std::vector<std::unique_ptr<std::atomic<long>>> refs;
    std::vector<unsigned> ids;
    for (std::size_t i = 0; i < n; ++i) {
        refs.push_back(std::make_unique<std::atomic<long>>(0));
        set.insert(PlainEntry{unsigned(i + 1), refs.back().get(), 0});
        ids.push_back(unsigned(i + 1));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        auto it = set.find(PlainEntry{ids[i], nullptr, 0});
        it->refs->fetch_add(1, std::memory_order_relaxed);
        benchmark::DoNotOptimize(it->refs);
        it->refs->fetch_sub(1, std::memory_order_acq_rel);
        if (++i == ids.size()) i = 0;
    }
}
BENCHMARK(BM_UseEntryById_Baseline)->Arg(1000)->Arg(100000)->Arg(1000000);

struct ValueIs : EntryPredicate {
    explicit ValueIs(int v) : value(v) {}
    bool Matches(const Entry& e) override {
        return static_cast<const Data*>(e.GetData().Get())->value == value;
    }
    int value;
};

// A predicate scan that finds nothing: the whole set is visited.
void BM_UseEntryByPredicate(benchmark::State& state) {
    auto cache = FilledCache(std::size_t(state.range(0)), std::make_shared<MRUPolicy>(1));
    auto predicate = std::make_shared<ValueIs>(-1);
    for (auto _ : state) benchmark::DoNotOptimize(cache->UseEntry(predicate).Get());
}
BENCHMARK(BM_UseEntryByPredicate)->Arg(1000)->Arg(100000);

void BM_UseEntryByPredicate_Baseline(benchmark::State& state) {
    const auto n = std::size_t(state.range(0));
    std::unordered_set<PlainEntry, PlainHash> set;
    std::vector<RefCntPtr<Data>> data;
    for (std::size_t i = 0; i < n; ++i) {
        data.emplace_back(new Data(int(i)));
        set.insert(PlainEntry{unsigned(i + 1), nullptr, i});
    }
    for (auto _ : state) {
        auto it = std::find_if(set.begin(), set.end(),
                               [&](const PlainEntry& e) { return data[e.id - 1]->value == -1; });
        benchmark::DoNotOptimize(it);
    }
}
BENCHMARK(BM_UseEntryByPredicate_Baseline)->Arg(1000)->Arg(100000);

// Purges a cache of n entries (clocks 0..n-1) down to a tenth.
template <class MakePolicy>
void RunPurge(benchmark::State& state, MakePolicy makePolicy) {
    const auto n = std::size_t(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto cache = FilledCache(n, makePolicy(n));
        state.ResumeTiming();
        EntrySet purged = cache->Purge();
        benchmark::DoNotOptimize(purged.size());
        state.PauseTiming();
        purged.clear();
        cache.reset();
        state.ResumeTiming();
    }
}

void BM_PurgeMru(benchmark::State& state) {
    RunPurge(state, [](std::size_t n) { return std::make_shared<MRUPolicy>(n / 10); });
}
BENCHMARK(BM_PurgeMru)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_PurgeLifetime(benchmark::State& state) {
    RunPurge(state, [](std::size_t n) { return std::make_shared<LifetimePolicy>(n / 10); });
}
BENCHMARK(BM_PurgeLifetime)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Copying the entry set plus nth_element over the clocks.
void PurgeBaseline(benchmark::State& state) {
    const auto n = std::size_t(state.range(0));
    auto cache = FilledCache(n, std::make_shared<MRUPolicy>(1));
    const EntrySet entries = cache->GetEntries();
    for (auto _ : state) {
        EntrySet copy = entries;
        std::vector<unsigned long long> clocks;
        clocks.reserve(copy.size());
        for (const Entry& e : copy) clocks.push_back(e.GetClock());
        std::nth_element(clocks.begin(), clocks.begin() + std::ptrdiff_t(n / 10), clocks.end(),
                         std::greater<>());
        benchmark::DoNotOptimize(clocks.data());
        state.PauseTiming();
        copy.clear();
        state.ResumeTiming();
    }
}
void BM_PurgeMru_Baseline(benchmark::State& state) {
    PurgeBaseline(state);
}
BENCHMARK(BM_PurgeMru_Baseline)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
void BM_PurgeLifetime_Baseline(benchmark::State& state) {
    PurgeBaseline(state);
}
BENCHMARK(BM_PurgeLifetime_Baseline)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
