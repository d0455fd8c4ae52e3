// The coherence timing records as the host sees them: string tables for log lines and metrics,
// the sum of removal records, and the severity of coherence logging.
#include <gtest/gtest.h>

#include "caching/CacheCoherence.h"
#include "support/TestEnvironment.h"

using namespace velmora::caching;

namespace {

TEST(CoherenceMetricsTables, AllZeroRemovalRecordGivesFourZeroKeys) {
    const StringLookupTable table = StringLookupTableFromMetrics(OnRemovedMetrics{});
    EXPECT_EQ(table, (StringLookupTable{{"on-removed-ms", "0"},
                                        {"on-removed-guid-count", "0"},
                                        {"on-removed-lock-ms", "0"},
                                        {"on-removed-prune-ms", "0"}}));
}

TEST(CoherenceMetricsTables, UpdateOverwritesItsKeysAndKeepsOthers) {
    StringLookupTable table{{"on-added-ms", "old"}, {"request", "r1"}};
    OnAddedMetrics added;
    added.totalMs = 18446744073709551615ull;
    added.lockMs = 1;
    added.dirtyMs = 20;
    added.pruneMs = 300;
    added.publishMs = 4000;
    UpdateStringLookupTableWithMetrics(added, table);
    EXPECT_EQ(table, (StringLookupTable{{"on-added-ms", "18446744073709551615"},
                                        {"on-added-lock-ms", "1"},
                                        {"on-added-dirty-ms", "20"},
                                        {"on-added-prune-ms", "300"},
                                        {"on-added-publish-ms", "4000"},
                                        {"request", "r1"}}));

    OnRemovedMetrics removed;
    removed.totalMs = 5;
    removed.guidCount = 6;
    removed.lockMs = 7;
    removed.pruneMs = 8;
    UpdateStringLookupTableWithMetrics(removed, table);
    EXPECT_EQ(table.size(), 10u);
    EXPECT_EQ(table.at("on-removed-guid-count"), TString("6"));
    EXPECT_EQ(table.at("on-removed-prune-ms"), TString("8"));
    EXPECT_EQ(table.at("on-added-ms"), TString("18446744073709551615"));
}

TEST(CoherenceMetricsSum, AddMetricsAddsEveryField) {
    OnRemovedMetrics total{1, 3, 5, 7};
    const OnRemovedMetrics more{10, 4, 50, 70};
    AddMetrics(total, more);
    EXPECT_EQ(total.totalMs, 11u);
    EXPECT_EQ(total.guidCount, 7u);
    EXPECT_EQ(total.lockMs, 55u);
    EXPECT_EQ(total.pruneMs, 77u);
}

TEST(CoherenceLogLevel, FollowsTheOptionOnEveryCall) {
    veltest::HostScope host;
    EXPECT_EQ(GetCacheSynchronizationLogLevel(), TLog::NonErrorDebug);
    velmora::appoptions::Set("CacheSynchronizationLogging", true);
    EXPECT_EQ(GetCacheSynchronizationLogLevel(), TLog::NonErrorInfo);
    {
        velmora::appoptions::ScopedOverride off("CacheSynchronizationLogging", false);
        EXPECT_EQ(GetCacheSynchronizationLogLevel(), TLog::NonErrorDebug);
    }
    EXPECT_EQ(GetCacheSynchronizationLogLevel(), TLog::NonErrorInfo);
}

}  // namespace
