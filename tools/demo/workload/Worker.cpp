#include "Roles.h"

#include <chrono>
#include <random>
#include <thread>

#include "DerivedResults.h"
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

// Answers one query through the caches; the scope records every memory entry used.
class Answerer {
public:
    Answerer(ResultCache& cache, DerivedResults& derived, const QueryCatalogue& catalogue,
             Stats& stats)
        : m_cache(cache), m_derived(derived), m_catalogue(catalogue), m_stats(stats) {}

    ResultCache::Answer Answer(int qid) {
        const auto scope = CascadeInvalidatorAggregator_CreateQueryJobScope();
        ResultCache::Answer answer =
            m_catalogue.Get(qid).Derived() ? Derive(qid, *scope) : m_cache.Get(qid);
        scope->EndScope();
        return answer;
    }

private:
    ResultCache::Answer Derive(int qid, IInvalidatorAggregatorScope& scope) {
        ResultCache::Answer answer;
        if ((answer.result = m_derived.Find(qid))) {
            m_stats.Count("derived.held");
            return answer;
        }
        // Registered before any entry is used, so that no change can slip in unseen.
        const auto handler = m_derived.NewHandler(qid);
        scope.AddHandler(handler);
        std::vector<ResultCache::Answer> parts;
        bool allHeld = true;
        for (const int part : m_catalogue.Get(qid).components) {
            parts.push_back(m_cache.Get(part));
            answer.layer = std::max(answer.layer, parts.back().layer);
            allHeld = allHeld && parts.back().guid != 0;
        }
        auto result = std::make_shared<QueryResult>();
        result->qid = qid;
        result->timestamp = UINT64_MAX;
        std::vector<const std::vector<Row>*> rows;
        for (const auto& part : parts) {
            result->versions.push_back(part.result->versions.at(0));
            result->timestamp = std::min(result->timestamp, part.result->timestamp);
            rows.push_back(&part.result->rows);
        }
        result->rows = ShareRows(rows);
        answer.result = result;
        // An entry dropped before its use was recorded cannot make the scope dirty any more.
        std::vector<unsigned int> guids;
        for (const auto& part : parts) {
            allHeld = allHeld && m_cache.StillHeld(part.guid);
            guids.push_back(part.guid);
        }
        m_stats.Count(allHeld && m_derived.Put(handler, result, std::move(guids))
                          ? "derived.built"
                          : "derived.not-kept");
        return answer;
    }

    ResultCache& m_cache;
    DerivedResults& m_derived;
    const QueryCatalogue& m_catalogue;
    Stats& m_stats;
};

}  // namespace

void RunWorker(DemoHost& host, const QueryCatalogue& catalogue) {
    ScopedThreadContext context;  // holds the current cascade scope of this thread
    const ChildConfig& config = host.Config();
    Stats stats;
    QueryRunner runner(config.dbPath, catalogue);
    ResultCache cache(host, catalogue, runner, stats);
    const auto derived = std::make_shared<DerivedResults>();
    host.OnEvicted([weak = std::weak_ptr<DerivedResults>(derived)](const auto& guids) {
        if (auto d = weak.lock()) d->OnEntriesEvicted(guids);
    });
    Answerer answerer(cache, *derived, catalogue, stats);
    FreshnessChecker checker(runner, stats, kWindowMs);
    ZipfSampler zipf(catalogue.Size(), 1.0, config.seed,
                     config.seed * 7919 + static_cast<std::uint64_t>(config.index));
    std::mt19937_64 random(config.seed + 17 * static_cast<std::uint64_t>(config.index));
    std::uniform_real_distribution<double> uniform(0, 1);

    const auto report = [&](const char* kind) {
        host.AddHostCounts(stats);
        stats.counters["invalidations"] = cache.Invalidations();
        stats.counters["cascade.scopes-invalidated"] = derived->ScopesInvalidated();
        stats.counters["derived.dropped-on-eviction"] = derived->DroppedOnEviction();
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
        const ResultCache::Answer answer = answerer.Answer(qid);
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
    std::vector<ResultPtr> held = cache.HeldResults();
    for (ResultPtr& r : derived->Held()) held.push_back(std::move(r));
    checker.CheckHeld(held);
    for (const auto& [tables, count] : cache.EntriesByTables())
        stats.counters["held." + tables.substr(tables.find('|') + 1)] =
            static_cast<std::int64_t>(count);
    report("final");
}

}  // namespace demo
