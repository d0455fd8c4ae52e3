// The coherence timing records as the host sees them: string tables for log lines and metrics,
// and the sum of removal records. (The severity of coherence logging is seen in the cascade
// tests' log lines.)
#include <gtest/gtest.h>

#include "caching/CacheCoherence.h"

using namespace velmora::caching;

namespace {

TEST(CoherenceMetrics, TablesNameEveryFieldAndUpdatesKeepOtherKeys) {
    EXPECT_EQ(StringLookupTableFromMetrics(OnRemovedMetrics{}),
              (StringLookupTable{{"on-removed-ms", "0"},
                                 {"on-removed-guid-count", "0"},
                                 {"on-removed-lock-ms", "0"},
                                 {"on-removed-prune-ms", "0"}}));

    StringLookupTable table{{"on-added-ms", "old"}, {"request", "r1"}};
    UpdateStringLookupTableWithMetrics(OnAddedMetrics{18446744073709551615ull, 1, 20, 300, 4000},
                                       table);
    EXPECT_EQ(table, (StringLookupTable{{"on-added-ms", "18446744073709551615"},
                                        {"on-added-lock-ms", "1"},
                                        {"on-added-dirty-ms", "20"},
                                        {"on-added-prune-ms", "300"},
                                        {"on-added-publish-ms", "4000"},
                                        {"request", "r1"}}));
    UpdateStringLookupTableWithMetrics(OnRemovedMetrics{5, 6, 7, 8}, table);
    EXPECT_EQ(table.size(), 10u);
    EXPECT_EQ(table.at("on-removed-ms"), TString("5"));
    EXPECT_EQ(table.at("on-removed-guid-count"), TString("6"));
    EXPECT_EQ(table.at("on-removed-lock-ms"), TString("7"));
    EXPECT_EQ(table.at("on-removed-prune-ms"), TString("8"));
}

TEST(CoherenceMetrics, AddMetricsAddsEveryField) {
    OnRemovedMetrics total{1, 3, 5, 7};
    AddMetrics(total, OnRemovedMetrics{10, 4, 50, 70});
    EXPECT_EQ(StringLookupTableFromMetrics(total),
              (StringLookupTable{{"on-removed-ms", "11"},
                                 {"on-removed-guid-count", "7"},
                                 {"on-removed-lock-ms", "55"},
                                 {"on-removed-prune-ms", "77"}}));
}

}  // namespace
