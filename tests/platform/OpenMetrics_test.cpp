// The text an OpenMetricsSink renders, as a scraper reads it: counters and cumulative latency
// histograms per label set, labels mapped from tags (others left out), snapshot figures as
// gauges holding their last value, collectors run at each rendering, records passed on.
#include "metrics2/OpenMetrics.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace {

using Metrics::MetricsRecord;
using Metrics::OpenMetricsOptions;
using Metrics::OpenMetricsSink;

MetricsRecord Record(const char* name, std::chrono::microseconds elapsed,
                     std::vector<std::pair<TString, Metrics::TagValue>> tags) {
    MetricsRecord r;
    r.name = name;
    r.elapsed = elapsed;
    r.tags = std::move(tags);
    return r;
}

// The lines of `text` that start with `prefix`.
std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

TEST(OpenMetricsSink, OperationsBecomeCountersAndCumulativeHistogramsPerLabelSet) {
    Metrics::OpenMetricsOptions options;
    options.bucketsSec = {1e-4, 1e-3, 1e-2};
    auto next = std::make_shared<Metrics::CapturingMetricsSink>();
    OpenMetricsSink sink(next, options);
    const auto load = [&](std::chrono::microseconds took, const char* outcome) {
        sink.Record(Record("ec-load", took,
                           {{"key-hash", TString("k1")},
                            {"cns", TString("ns \"a\"\\")},
                            {"outcome", TString(outcome)},
                            {"key-size-b", std::int32_t{9}}}));
    };
    load(std::chrono::microseconds(50), "hit");
    load(std::chrono::microseconds(2000), "hit");
    load(std::chrono::microseconds(5000), "hit");
    load(std::chrono::microseconds(90), "miss");
    sink.Record(Record("DiskExternalCache::TryLoad", std::chrono::microseconds(20000), {}));
    const std::string text = sink.Render();
    EXPECT_EQ(next->Records().size(), 5u);

    const std::string hit = R"(namespace="ns \"a\"\\",outcome="hit")";
    EXPECT_EQ(Lines(text, "# TYPE velcache_ec_load_total "),
              std::vector<std::string>{"# TYPE velcache_ec_load_total counter"});
    EXPECT_EQ(Lines(text, "velcache_ec_load_total{"),
              (std::vector<std::string>{
                  "velcache_ec_load_total{" + hit + "} 3",
                  R"(velcache_ec_load_total{namespace="ns \"a\"\\",outcome="miss"} 1)"}));
    EXPECT_EQ(
        Lines(text, "velcache_ec_load_seconds_bucket{" + hit),
        (std::vector<std::string>{"velcache_ec_load_seconds_bucket{" + hit + ",le=\"0.0001\"} 1",
                                  "velcache_ec_load_seconds_bucket{" + hit + ",le=\"0.001\"} 1",
                                  "velcache_ec_load_seconds_bucket{" + hit + ",le=\"0.01\"} 3",
                                  "velcache_ec_load_seconds_bucket{" + hit + ",le=\"+Inf\"} 3"}));
    EXPECT_EQ(Lines(text, "velcache_ec_load_seconds_count{" + hit),
              std::vector<std::string>{"velcache_ec_load_seconds_count{" + hit + "} 3"});
    EXPECT_EQ(Lines(text, "velcache_ec_load_seconds_sum{" + hit),
              std::vector<std::string>{"velcache_ec_load_seconds_sum{" + hit + "} 0.00705"});
    EXPECT_EQ(Lines(text, "# TYPE velcache_ec_load_seconds "),
              std::vector<std::string>{"# TYPE velcache_ec_load_seconds histogram"});
    // Keys and sizes are no labels; the backend's scope gets its layer from its name.
    EXPECT_EQ(text.find("key"), std::string::npos);
    EXPECT_EQ(
        Lines(text,
              "velcache_diskexternalcache_tryload_seconds_bucket{layer=\"disk\",le=\"0.01\"} 0")
            .size(),
        1u);
    EXPECT_EQ(
        Lines(text,
              "velcache_diskexternalcache_tryload_seconds_bucket{layer=\"disk\",le=\"+Inf\"} 1")
            .size(),
        1u);
}

TEST(OpenMetricsSink, SnapshotFiguresAreGaugesOfTheLastValueAskedForAtEachRendering) {
    OpenMetricsSink sink;
    std::int64_t received = 3;
    int collected = 0;
    sink.AddCollector([&] {
        ++collected;
        sink.Record(Record("RedisPubsub::Health", std::chrono::microseconds(1),
                           {{"received", received}, {"lag-p99-ms", std::int64_t{-1}}}));
        sink.Record(Record("ReadThroughCache::Counters", std::chrono::microseconds(1),
                           {{"name", TString("VelDemo.results")}, {"loads", std::int64_t{4}}}));
    });
    EXPECT_EQ(Lines(sink.Render(), "velcache_redispubsub_health_received "),
              std::vector<std::string>{"velcache_redispubsub_health_received 3"});
    received = 5;
    const std::string text = sink.Render();
    EXPECT_EQ(collected, 2);
    EXPECT_EQ(Lines(text, "velcache_redispubsub_health_received"),
              std::vector<std::string>{"velcache_redispubsub_health_received 5"});
    EXPECT_EQ(Lines(text, "# TYPE velcache_redispubsub_health_received "),
              std::vector<std::string>{"# TYPE velcache_redispubsub_health_received gauge"});
    EXPECT_EQ(Lines(text, "velcache_redispubsub_health_lag_p99_seconds "),
              std::vector<std::string>{"velcache_redispubsub_health_lag_p99_seconds -0.001"});
    EXPECT_EQ(Lines(text, "velcache_readthroughcache_counters_loads"),
              std::vector<std::string>{
                  R"(velcache_readthroughcache_counters_loads{namespace="VelDemo.results"} 4)"});
    // A snapshot is no operation: no counter or histogram of its own.
    EXPECT_EQ(text.find("redispubsub_health_total"), std::string::npos);
    EXPECT_EQ(text.find("redispubsub_health_seconds"), std::string::npos);
}

// A figure its scope described as a count that only grows is a counter named _total with the
// description's help, so that rate() works across restarts; an undescribed one stays a gauge.
TEST(OpenMetricsSink, DescribedCountsAreCountersWithTheirHelp) {
    Metrics::DescribeFigure("OpenMetricsTest::Snapshot", "sent", Metrics::FigureKind::Counter,
                            "Messages sent.");
    Metrics::DescribeFigure("OpenMetricsTest::Snapshot", "waiting", Metrics::FigureKind::Gauge,
                            "Messages waiting now.");
    OpenMetricsOptions options;
    options.snapshotScopes.push_back("OpenMetricsTest::Snapshot");
    OpenMetricsSink sink(nullptr, options);
    sink.Record(Record(
        "OpenMetricsTest::Snapshot", std::chrono::microseconds(1),
        {{"sent", std::int64_t{7}}, {"waiting", std::int64_t{2}}, {"other", std::int64_t{1}}}));
    sink.Record(Record("OpenMetricsTest::Snapshot", std::chrono::microseconds(1),
                       {{"sent", std::int64_t{9}}}));
    const std::string text = sink.Render();
    EXPECT_EQ(Lines(text, "velcache_openmetricstest_snapshot_sent"),
              std::vector<std::string>{"velcache_openmetricstest_snapshot_sent_total 9"});
    EXPECT_EQ(
        Lines(text, "# TYPE velcache_openmetricstest_snapshot_sent"),
        std::vector<std::string>{"# TYPE velcache_openmetricstest_snapshot_sent_total counter"});
    EXPECT_EQ(Lines(text, "# HELP velcache_openmetricstest_snapshot_sent"),
              std::vector<std::string>{
                  "# HELP velcache_openmetricstest_snapshot_sent_total Messages sent."});
    EXPECT_EQ(Lines(text, "# TYPE velcache_openmetricstest_snapshot_waiting"),
              std::vector<std::string>{"# TYPE velcache_openmetricstest_snapshot_waiting gauge"});
    EXPECT_EQ(Lines(text, "# HELP velcache_openmetricstest_snapshot_waiting"),
              std::vector<std::string>{
                  "# HELP velcache_openmetricstest_snapshot_waiting Messages waiting now."});
    EXPECT_EQ(Lines(text, "# TYPE velcache_openmetricstest_snapshot_other"),
              std::vector<std::string>{"# TYPE velcache_openmetricstest_snapshot_other gauge"});
}

// Workers record while scrapes render, and a scrape's collector records too (as a component
// asked for its figures does): nothing lost, and no scrape waits on itself.
TEST(OpenMetricsSink, RecordsFromManyThreadsAddUpWhileScrapesRender) {
    auto next = std::make_shared<Metrics::CapturingMetricsSink>();
    OpenMetricsSink sink(next);
    sink.AddCollector([&sink] {
        sink.Record(Record("RedisPubsub::Health", std::chrono::microseconds(1),
                           {{"received", std::int64_t{1}}}));
    });
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&sink, t] {
            for (int i = 0; i < kEach; ++i)
                sink.Record(Record("ec-store", std::chrono::microseconds(i),
                                   {{"outcome", TString(t % 2 ? "done" : "skipped")}}));
        });
    for (int i = 0; i < 20; ++i) sink.Render();
    for (std::thread& t : threads) t.join();
    const std::string text = sink.Render();
    EXPECT_EQ(Lines(text, "velcache_ec_store_total"),
              (std::vector<std::string>{"velcache_ec_store_total{outcome=\"done\"} " +
                                            std::to_string(kThreads / 2 * kEach),
                                        "velcache_ec_store_total{outcome=\"skipped\"} " +
                                            std::to_string(kThreads / 2 * kEach)}));
    EXPECT_EQ(next->Find("ec-store").size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(next->Find("RedisPubsub::Health").size(), 21u);
}

}  // namespace
