#include "Roles.h"

#include <chrono>
#include <random>
#include <thread>

#include "FreshnessChecker.h"
#include "ResultCache.h"
#include "velcore/ThreadContext.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;
using Clock = std::chrono::steady_clock;

namespace demo {

namespace {

constexpr double kSampleFraction = 0.01;
constexpr double kMaxChecksPerSecond = 100;
constexpr auto kBaselineEvery = std::chrono::milliseconds(50);
constexpr auto kReportEvery = std::chrono::milliseconds(500);
constexpr auto kSettle = std::chrono::milliseconds(1500);
constexpr std::int64_t kWindowMs = 1000;

std::int64_t Ns(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

// The library's figures of the two caches, as a worker reports them.
void AddCacheCounts(const BaseResults& base, const DerivedResults& derived, Stats& stats) {
    const ReadThroughCounters rt = base.GetCounters();
    stats.counters["rt.memory-hits"] = rt.memoryHits;
    for (std::size_t i = 0; i < rt.layerHits.size(); ++i)
        stats.counters[std::string("rt.hits.") + LayerName(static_cast<Layer>(i + 1))] =
            rt.layerHits[i];
    stats.counters["rt.loads"] = rt.loads;
    stats.counters["rt.load-failures"] = rt.loadFailures;
    stats.counters["rt.coalesced-waits"] = rt.coalescedWaits;
    stats.counters["rt.wait-timeouts"] = rt.waitTimeouts;
    stats.counters["rt.raced-fills-dropped"] = rt.racedFillsDropped;
    stats.counters["rt.lower-rejected"] = rt.lowerRejected;
    stats.counters["rt.external-failures"] = rt.externalFailures;
    stats.counters["invalidations"] = rt.invalidations;
    stats.counters["evictions"] = rt.evictions;
    const DerivedResultCounters d = derived.GetCounters();
    stats.counters["derived.held"] = d.held;
    stats.counters["derived.built"] = d.built;
    stats.counters["derived.not-kept"] = d.notKept;
    stats.counters["derived.dropped-dirty"] = d.droppedDirty;
    stats.counters["derived.dropped-on-prune"] = d.droppedOnPrune;
}

}  // namespace

void RunWorker(DemoHost& host, const QueryCatalogue& catalogue) {
    ScopedThreadContext context;  // holds the current cascade scope of this thread
    const ChildConfig& config = host.Config();
    Stats stats;
    QueryRunner runner(config.dbPath, catalogue);
    const std::unique_ptr<BaseResults> base = MakeBaseResults(
        config.runId, config.memoryEntries, host.Disk(), host.Redis(), host.Service());
    DerivedResults derived(host.Service());
    Answerer answerer(*base, derived, catalogue, runner);
    FreshnessChecker checker(runner, stats, kWindowMs);
    ZipfSampler zipf(catalogue.Size(), 1.0, config.seed,
                     config.seed * 7919 + static_cast<std::uint64_t>(config.index));
    std::mt19937_64 random(config.seed + 17 * static_cast<std::uint64_t>(config.index));
    std::uniform_real_distribution<double> uniform(0, 1);

    const auto report = [&](const char* kind) {
        host.AddHostCounts(stats);
        AddCacheCounts(*base, derived, stats);
        host.Report(kind, stats);
    };
    report("ready");
    host.WaitFor("go");

    auto nextBaseline = Clock::now() + kBaselineEvery;
    auto nextReport = Clock::now() + kReportEvery;
    auto lastRefill = Clock::now();
    double checkBudget = kMaxChecksPerSecond;
    while (!host.Received("settle")) {
        const auto start = Clock::now();
        const int qid = zipf.Next();
        if (start >= nextBaseline) {  // the database alone, on the same stream
            runner.Compute(qid);
            stats.histograms["latency.sqlite-alone"].Add(Ns(Clock::now() - start));
            nextBaseline = start + kBaselineEvery;
            continue;
        }
        const Answerer::Answer answer = answerer.Get(qid);
        const std::int64_t ns = Ns(Clock::now() - start);
        stats.Count("queries");
        stats.Count(std::string("layer.") + LayerName(answer.layer));
        stats.histograms[std::string("latency.") + LayerName(answer.layer)].Add(ns);
        stats.histograms["latency.all"].Add(ns);

        checkBudget =
            std::min(kMaxChecksPerSecond,
                     checkBudget + kMaxChecksPerSecond *
                                       std::chrono::duration<double>(start - lastRefill).count());
        lastRefill = start;
        if (answer.layer != Layer::Sqlite && uniform(random) < kSampleFraction) {
            if (checkBudget >= 1) {
                checkBudget -= 1;
                checker.CheckServed(answer.result);
            } else {
                stats.Count("check.skipped");
            }
        }
        if (start >= nextReport) {
            report("progress");
            nextReport = start + kReportEvery;
        }
    }

    // The writer has stopped: let its last announcements arrive, then compare everything held.
    RedisSubscriptionManager::GetInstance().WaitUntilSubscribed(
        TString(DemoHost::kCoherenceNamespace) + TString("*"), std::chrono::seconds(10));
    std::this_thread::sleep_for(kSettle);
    std::vector<ResultPtr> held;
    for (auto& [key, result] : base->HeldValues()) {
        stats.Count("held." + catalogue.Get(result->qid).tables);
        held.push_back(std::move(result));
    }
    for (auto& [key, result] : derived.HeldValues()) held.push_back(std::move(result));
    checker.CheckHeld(held);
    report("final");
}

}  // namespace demo
