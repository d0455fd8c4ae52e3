// Cascade invalidation: the cost of OnDirty as the number of registered scopes grows, beside a
// plain scan of as many hash sets, and the cost of recording one entry use beside a bare insert.
#include <benchmark/benchmark.h>

#include <memory>
#include <unordered_set>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "velcore/ThreadContext.h"

using namespace velmora::caching;

namespace {

constexpr unsigned kGuidsPerScope = 10;
// A guid no scope recorded: every call scans all scopes and finds nothing, so the state stays
// the same from one iteration to the next.
constexpr unsigned kUnusedGuid = 0xFFFFFFF0u;

class NoopHandler : public IScopeDirtyHandler {
public:
    void OnScopeDirty(const std::shared_ptr<IInvalidatorAggregatorScope>&) override {}
};

void BM_CascadeOnDirty(benchmark::State& state) {
    const auto scopeCount = static_cast<unsigned>(state.range(0));
    CascadeInvalidatorAggregator aggregator;
    ScopedThreadContext context;
    auto handler = std::make_shared<NoopHandler>();
    std::vector<std::shared_ptr<IInvalidatorAggregatorScope>> scopes;
    for (unsigned s = 0; s < scopeCount; ++s) {
        auto scope = std::make_shared<CascadeInvalidatorAggregator::Scope>(&aggregator);
        context.Get().GetQueryCacheContext().m_invalidatorScope = scope;
        for (unsigned g = 0; g < kGuidsPerScope; ++g)
            aggregator.OnEntryUsed(s * kGuidsPerScope + g, nullptr);
        scope->AddHandler(handler);
        scopes.push_back(scope);
    }
    context.Get().GetQueryCacheContext().m_invalidatorScope.reset();
    const std::vector<unsigned> guids{kUnusedGuid};
    for (auto _ : state) aggregator.OnDirty(guids, nullptr);
    state.counters["scopes"] = static_cast<double>(aggregator.GetScopeCount());
}

void BM_CascadeOnDirty_Baseline(benchmark::State& state) {
    const auto scopeCount = static_cast<unsigned>(state.range(0));
    std::vector<std::unordered_set<unsigned>> sets(scopeCount);
    for (unsigned s = 0; s < scopeCount; ++s)
        for (unsigned g = 0; g < kGuidsPerScope; ++g) sets[s].insert(s * kGuidsPerScope + g);
    unsigned guid = kUnusedGuid;
    for (auto _ : state) {
        benchmark::DoNotOptimize(guid);
        size_t found = 0;
        for (const auto& set : sets) found += set.count(guid);
        benchmark::DoNotOptimize(found);
    }
}

// Each use records a guid from a window of 1024 in the current scope, so the set stops growing.
void BM_CascadeOnEntryUsed(benchmark::State& state) {
    CascadeInvalidatorAggregator aggregator;
    ScopedThreadContext context;
    context.Get().GetQueryCacheContext().m_invalidatorScope =
        std::make_shared<CascadeInvalidatorAggregator::Scope>(&aggregator);
    unsigned i = 0;
    for (auto _ : state) aggregator.OnEntryUsed(i++ & 1023u, nullptr);
}

void BM_CascadeOnEntryUsed_Baseline(benchmark::State& state) {
    std::unordered_set<unsigned> guids;
    unsigned i = 0;
    for (auto _ : state) {
        guids.insert(i++ & 1023u);
        benchmark::DoNotOptimize(guids);
    }
}

}  // namespace

BENCHMARK(BM_CascadeOnDirty)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_CascadeOnDirty_Baseline)->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK(BM_CascadeOnEntryUsed);
BENCHMARK(BM_CascadeOnEntryUsed_Baseline);

BENCHMARK_MAIN();
