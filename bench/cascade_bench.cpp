// Cascade invalidation: the cost of OnDirty that affects one of many registered scopes, beside
// a plain scan of as many hash sets, and the cost of recording one entry use beside a bare
// insert into a hash set.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <unordered_set>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "velcore/ThreadContext.h"

using namespace velmora::caching;

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kGuidsPerScope = 10;
// The guid of the one affected scope of an iteration: above every guid the others recorded.
constexpr unsigned kAffectedGuidBase = 0x10000000u;

class NoopHandler : public IScopeDirtyHandler {
public:
    void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) override {}
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// OnDirty of one guid that one scope among n registered ones recorded: the scope turns dirty,
// is dropped and its handler told. The scope is made afresh for each iteration, untimed.
void BM_CascadeOnDirtyOneOfMany(benchmark::State& state) {
    const auto scopeCount = static_cast<unsigned>(state.range(0));
    CascadeInvalidatorAggregator aggregator;
    velmora::ScopedThreadContext context;
    auto& current = context.Get().GetQueryCacheContext().m_invalidatorScope;
    auto handler = std::make_shared<NoopHandler>();
    auto makeScope = [&](std::initializer_list<unsigned> guids) {
        auto scope = std::make_shared<CascadeInvalidatorAggregator::Scope>(&aggregator);
        current = scope;
        for (unsigned guid : guids) aggregator.OnEntryUsed(guid, nullptr);
        scope->AddHandler(handler);
        current.reset();
    };
    for (unsigned s = 0; s + 1 < scopeCount; ++s) {
        const unsigned first = s * kGuidsPerScope;
        makeScope({first, first + 1, first + 2, first + 3, first + 4, first + 5, first + 6,
                   first + 7, first + 8, first + 9});
    }
    unsigned guid = kAffectedGuidBase;
    for (auto _ : state) {
        makeScope({++guid});
        const std::vector<unsigned> guids{guid};
        const auto start = Clock::now();
        aggregator.OnDirty(guids, nullptr);
        state.SetIterationTime(Seconds(start));
    }
    state.counters["scopes"] = static_cast<double>(aggregator.GetScopeCount() + 1);
}

// By hand: the scopes' guid sets, each asked whether it holds the dirty guid.
void BM_CascadeOnDirtyOneOfMany_Baseline(benchmark::State& state) {
    const auto scopeCount = static_cast<unsigned>(state.range(0));
    std::vector<std::unordered_set<unsigned>> sets(scopeCount);
    for (unsigned s = 0; s + 1 < scopeCount; ++s)
        for (unsigned g = 0; g < kGuidsPerScope; ++g) sets[s].insert(s * kGuidsPerScope + g);
    unsigned guid = kAffectedGuidBase;
    for (auto _ : state) {
        sets.back() = {++guid};
        const auto start = Clock::now();
        size_t found = 0;
        for (const auto& set : sets) found += set.count(guid);
        benchmark::DoNotOptimize(found);
        state.SetIterationTime(Seconds(start));
    }
}

// Each use records a guid from a window of 1024 in the thread's current scope, so after the
// first round every guid is already recorded, as when a job reads the same entries again and
// again. Each call finds the scope through the thread context and asks the log whether its
// line is wanted (it is not).
void BM_CascadeOnEntryUsed(benchmark::State& state) {
    CascadeInvalidatorAggregator aggregator;
    velmora::ScopedThreadContext context;
    context.Get().GetQueryCacheContext().m_invalidatorScope =
        std::make_shared<CascadeInvalidatorAggregator::Scope>(&aggregator);
    unsigned i = 0;
    for (auto _ : state) aggregator.OnEntryUsed(i++ & 1023u, nullptr);
}

// By hand: a job that keeps the ids it used in its own hash set, inserting each id it uses
// (from the same window, so most inserts find the id already there). No thread context, no
// log, no lock: the least a caller could do.
void BM_CascadeOnEntryUsed_Baseline(benchmark::State& state) {
    std::unordered_set<unsigned> guids;
    unsigned i = 0;
    for (auto _ : state) {
        guids.insert(i++ & 1023u);
        benchmark::DoNotOptimize(guids);
    }
}

}  // namespace

BENCHMARK(BM_CascadeOnDirtyOneOfMany)->Arg(1000)->Arg(10000)->UseManualTime();
BENCHMARK(BM_CascadeOnDirtyOneOfMany_Baseline)->Arg(1000)->Arg(10000)->UseManualTime();
BENCHMARK(BM_CascadeOnEntryUsed);
BENCHMARK(BM_CascadeOnEntryUsed_Baseline);

BENCHMARK_MAIN();
