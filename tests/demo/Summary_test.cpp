// What the end of a run tells a script: the exit code and the JSON's verdicts.
#include "harness/Summary.h"

#include "baselines/Comparison.h"
#include "harness/Sampling.h"
#include "report/Report.h"

#include <gtest/gtest.h>

namespace demo {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The parent kept every statistic the workers had reported, histograms included, for every
// second of the workload: an hour's soak grew it by about 130 MiB. A second keeps what is
// charted, its own latency percentiles among them.
TEST(SummaryTimeline, EverySecondKeptEveryStatisticOfTheRun) {
    Stats workers;
    workers.Count("queries", 10);
    workers.Count("layer.memory", 8);
    workers.Count("ec.load.disk.hit", 5);
    for (int i = 0; i < 10; ++i) workers.histograms["latency.all"].Add(1000);
    workers.histograms["latency.memory"].Add(1000);
    Histogram before;
    const Stats first = ChartedSecond(workers, before);
    EXPECT_TRUE(first.histograms.empty());
    EXPECT_EQ(first.counters.count("ec.load.disk.hit"), 0u);
    EXPECT_EQ(first.Get("queries"), 10);
    EXPECT_EQ(first.Get("layer.memory"), 8);
    EXPECT_NEAR(double(first.Get("second.latency-p50-ns")), 1000, 250);

    for (int i = 0; i < 10; ++i) workers.histograms["latency.all"].Add(1000000);
    const Stats second = ChartedSecond(workers, before);
    EXPECT_NEAR(double(second.Get("second.latency-p50-ns")), 1000000, 250000);  // its own only
    EXPECT_EQ(ChartedSecond(workers, before).counters.count("second.latency-p50-ns"), 0u);
}

// The parent kept a point of the timeline for every second of the run, about 1 KiB each: a run
// of days grew it without end. Past its bound the timeline halves its resolution instead.
TEST(SummaryTimeline, TheParentsTimelineGrewWithEverySecondOfALongRun) {
    RunFacts facts;
    const auto push = [&facts](std::int64_t i) {
        Stats point;
        point.Count("layer.memory", 10 * (i + 1));  // as reported by the point's end
        facts.workersEachSecond.push_back(point);
        facts.answersPerSecond.push_back(i + 1);
        facts.lagP50MsEachSecond.push_back(i % 2 ? -1 : i);
        facts.lagP99MsEachSecond.push_back(100 - i);
    };
    for (std::int64_t i = 0; i < 9; ++i) {
        push(i);
        BoundTimeline(facts, 8);
    }
    // Halved at 8 points; the ninth waits for its pair.
    ASSERT_EQ(facts.workersEachSecond.size(), 5u);
    EXPECT_EQ(facts.secondsPerPoint, 2);
    EXPECT_EQ(facts.answersPerSecond, (std::vector<std::int64_t>{3, 7, 11, 15, 9}));
    EXPECT_EQ(facts.lagP50MsEachSecond, (std::vector<std::int64_t>{0, 2, 4, 6, 8}));
    EXPECT_EQ(facts.lagP99MsEachSecond, (std::vector<std::int64_t>{100, 98, 96, 94, 92}));
    EXPECT_EQ(facts.workersEachSecond[3].Get("layer.memory"), 80);  // the later of its pair

    // The report's time axis and rates follow the resolution: the fourth point ends at 8 s and
    // its memory answers came at 20 in 2 s.
    facts.workersEachSecond.pop_back();
    for (auto* list :
         {&facts.answersPerSecond, &facts.lagP50MsEachSecond, &facts.lagP99MsEachSecond})
        list->pop_back();
    const std::string html = HtmlReport(facts, Summary(facts, Stats{}, Stats{}), nullptr);
    EXPECT_TRUE(Has(html, "data-t=\"8\" data-v=\"10\""));
    EXPECT_FALSE(Has(html, "data-t=\"5\""));

    // However long the run, the timeline stays within its bound.
    for (std::int64_t i = 0; i < 60; ++i) {
        push(i);
        BoundTimeline(facts, 8);
        ASSERT_LE(facts.workersEachSecond.size(), 8u);
    }
    EXPECT_GE(facts.secondsPerPoint, 1 << 14);
}

TEST(SummaryVerdict, FailuresInAnyProcessMakeACorrectRunUnclean) {
    RunFacts facts;
    facts.durationSec = 1;
    const Summary clean(facts, Stats{}, Stats{});
    EXPECT_EQ(clean.ExitCode(), 0);
    EXPECT_TRUE(Has(clean.Json(), "\"correct\": true, \"clean\": true"));

    Stats refused, timedOut, warned, ok;
    refused.Count("ec.load.redis.jam");
    timedOut.Count("ec.store.redis.fail", 2);
    warned.Count("log.warnings");
    ok.Count("ec.load.disk.hit");
    for (const auto& [workers, writer] :
         {std::pair{refused, ok}, std::pair{ok, timedOut}, std::pair{warned, ok}}) {
        const Summary summary(facts, workers, writer);
        EXPECT_EQ(summary.ExitCode(), 3);
        EXPECT_TRUE(Has(summary.Json(), "\"correct\": true, \"clean\": false"));
        EXPECT_TRUE(Has(summary.Table(), "NOT CLEAN"));
    }
    // Stale answers outweigh failures.
    warned.Count("settle.stale");
    EXPECT_EQ(Summary(facts, warned, ok).ExitCode(), 1);
}

// A run of a few minutes has a timeline of a few hundred seconds; the JSON line that carries it
// was cut at 512 bytes, and the JSON could not be read.
TEST(SummaryJson, LongTimelineIsWrittenWhole) {
    RunFacts facts;
    facts.durationSec = 300;
    facts.answersPerSecond.assign(300, 123456);
    facts.answersPerSecond.back() = 654321;
    const std::string json = Summary(facts, Stats{}, Stats{}).Json();
    EXPECT_TRUE(Has(json, ", 654321], \"lag_p50_ms\""));
}

// The parent adds the workers' per-key counts up: a key two workers loaded counts twice, and the
// mean is over every herd key, the ones no worker loaded included. A version loaded by two
// workers is one first load and one repeat; a key loaded again at a new version, two first loads.
TEST(SummaryChaos, HerdLoadsPerKeyAddUpOverWorkersAndCountUnloadedKeys) {
    Stats first, second, workers;
    first.Count("herd.loads.3");
    first.Count("herd.version.3.7");
    first.Count("herd.loads.5", 2);
    first.Count("herd.version.5.1");
    first.Count("herd.version.5.2");
    second.Count("herd.loads.3");
    second.Count("herd.version.3.7");
    second.Count("herd.loadsX", 7);  // not a key's count
    workers.Merge(first);
    workers.Merge(second);
    const HerdLoads herd = HerdLoadsOf(workers, 8);
    EXPECT_EQ(herd.loads, 4);
    EXPECT_EQ(herd.keysLoaded, 2);
    EXPECT_EQ(herd.maxPerKey, 2);
    EXPECT_DOUBLE_EQ(herd.meanPerKey, 0.5);
    EXPECT_EQ(herd.firstLoads, 3);
    EXPECT_EQ(herd.repeats, 1);

    RunFacts facts;
    facts.durationSec = 1;
    facts.chaos = true;
    facts.herdAtSec = 4;
    facts.herdKeys = 8;
    const std::string json = Summary(facts, workers, Stats{}).Json();
    EXPECT_TRUE(Has(json,
                    "\"loads\": 4, \"keys_loaded\": 2, \"max_loads_per_key\": 2, "
                    "\"mean_loads_per_key\": 0.500"));
}

// The outage's slowest answer is reported as it was, not as the bound of its histogram bucket,
// and survives the trip from a worker to the parent.
TEST(SummaryChaos, OutageMaximumIsTheSlowestAnswerOfAnyWorker) {
    Stats first, second;
    first.histograms["latency.outage"].Add(1'000'000);
    second.histograms["latency.outage"].Add(2'345'678);
    second.histograms["latency.outage"].Add(3'000);
    Stats workers = Stats::Decode(first.Encode());
    workers.Merge(Stats::Decode(second.Encode()));
    EXPECT_EQ(workers.histograms["latency.outage"].Count(), 3);
    EXPECT_DOUBLE_EQ(workers.histograms["latency.outage"].MaxUs(), 2345.678);

    RunFacts facts;
    facts.durationSec = 1;
    facts.outageAtSec = 11;
    facts.outageSec = 5;
    EXPECT_TRUE(Has(Summary(facts, workers, Stats{}).Table(), "max 2.3 ms"));
}

// Fail-safe answers are judged like any other: one stale beyond the window makes the run
// incorrect, caller errors alone do not.
TEST(SummaryVerdict, StaleFailSafeAnswerFailsTheRunAndCallerErrorsDoNot) {
    RunFacts facts;
    facts.durationSec = 1;
    Stats errors;
    errors.Count("caller-errors", 3);
    errors.Count("caller-errors.had-answer", 2);
    const Summary withErrors(facts, errors, Stats{});
    EXPECT_TRUE(withErrors.Correct());
    EXPECT_TRUE(Has(withErrors.Json(), "\"caller_errors\": {\"total\": 3, \"had_answer\": 2}"));
    Stats stale;
    stale.Count("check.stale-beyond-window");
    stale.Count("check.stale-answers-beyond-window");
    EXPECT_EQ(Summary(facts, stale, Stats{}).ExitCode(), 1);
}

// A set-up is compared by the time its workers spent answering, the judge's time left out, and
// against the first row of each reference set-up (the default time to live), not a later one.
TEST(Comparison, RatiosAreOfAnsweringTimeAgainstTheFirstRowOfEachSetUp) {
    const auto row = [](const char* setup, long long ttlMs, std::int64_t answers,
                        std::int64_t judgeNs) {
        Stats workers;
        workers.Count("queries", answers);
        workers.Count("judge-ns", judgeNs);
        workers.Count("check.fresh", 3);
        workers.Count("check.stale-beyond-window", 2);
        return ComparisonRow::From(setup, ttlMs, 10, 2, workers);
    };
    // Two workers judged for 4 s in all: each answered for 8 of the 10 s.
    const Comparison comparison(
        {row("database", 0, 800, 4'000'000'000), row("redis-ttl", 600'000, 8000, 4'000'000'000),
         row("redis-ttl", 1000, 40'000, 0), row("velcache", 0, 80'000, 4'000'000'000)},
        2, 200);
    const ComparisonRow& velcache = comparison.Rows().back();
    EXPECT_DOUBLE_EQ(velcache.AnswersPerSec(), 10'000);
    EXPECT_EQ(velcache.checked, 5);
    EXPECT_EQ(velcache.staleBeyondWindow, 2);
    EXPECT_DOUBLE_EQ(comparison.RatioTo(velcache, "database"), 100);
    EXPECT_DOUBLE_EQ(comparison.RatioTo(velcache, "redis-ttl"), 10);
    EXPECT_DOUBLE_EQ(comparison.RatioTo(velcache, "local-ttl"), 0);  // none ran
    const std::string table = comparison.Table();
    EXPECT_TRUE(Has(table, "budget 200 answers per worker")) << table;
    EXPECT_TRUE(Has(table, "600 s")) << table;
    EXPECT_TRUE(Has(table, "  1 s")) << table;
    EXPECT_TRUE(Has(comparison.Json(), "\"vs_redis_ttl\": 10.000")) << comparison.Json();
}

}  // namespace
// Announcements are counted over every process, the writer's changes included, and the
// writer is one of the processes that receive them.
TEST(SummaryTraffic, PublishedAndDeliveredCountEveryProcess) {
    Stats workers, writer;
    workers.Count("health.published", 30);
    workers.Count("health.fills-not-published", 270);
    workers.Count("health.received", 300);
    writer.Count("health.published", 10);
    writer.Count("health.received", 100);
    writer.Count("updates", 5);
    const CoherenceTraffic traffic = TrafficOf(workers, writer, 3);
    EXPECT_EQ(traffic.published, 40);
    EXPECT_EQ(traffic.fillsNotPublished, 270);
    EXPECT_DOUBLE_EQ(traffic.publishedPerChange, 8);
    EXPECT_DOUBLE_EQ(traffic.deliveriesPerProcess, 100);
    EXPECT_EQ(TrafficOf(workers, Stats{}, 0).publishedPerChange, 0);  // no change: no ratio

    RunFacts facts;
    facts.durationSec = 1;
    facts.processes = 3;
    facts.skipKnownFills = false;
    const Summary summary(facts, workers, writer);
    EXPECT_TRUE(Has(summary.Json(),
                    "\"published_per_change\": 8.00, \"deliveries_per_process\": "
                    "100.0, \"fills_not_published\": 270, \"skip_known_fills\": "
                    "false"));
    EXPECT_TRUE(Has(summary.Table(), "8.00 announcements published per row update (40 for 5)"));
}

}  // namespace demo
