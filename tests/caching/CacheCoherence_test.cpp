// The coherence timing records as a host logs them: each field under its own key, sums per field.
#include "caching/CacheCoherence.h"

#include <gtest/gtest.h>

using namespace velmora::caching;

TEST(CoherenceMetrics, EachFieldLandsUnderItsOwnKeyAndOtherKeysStay) {
    OnRemovedMetrics removed{1, 3, 5, 7};
    AddMetrics(removed, OnRemovedMetrics{10, 40, 500, 7000});
    StringLookupTable table = StringLookupTableFromMetrics(removed);
    EXPECT_EQ(table, (StringLookupTable{{"on-removed-ms", "11"},
                                        {"on-removed-guid-count", "43"},
                                        {"on-removed-lock-ms", "505"},
                                        {"on-removed-prune-ms", "7007"}}));
    UpdateStringLookupTableWithMetrics(OnAddedMetrics{18446744073709551615ull, 1, 20, 300, 4000},
                                       table);
    EXPECT_EQ(table.size(), 9u);
    EXPECT_EQ(table.at("on-removed-ms"), TString("11"));
    EXPECT_EQ(table.at("on-added-ms"), TString("18446744073709551615"));
    EXPECT_EQ(table.at("on-added-lock-ms"), TString("1"));
    EXPECT_EQ(table.at("on-added-dirty-ms"), TString("20"));
    EXPECT_EQ(table.at("on-added-prune-ms"), TString("300"));
    EXPECT_EQ(table.at("on-added-publish-ms"), TString("4000"));
}
