// The coherence timing records as a host logs them: each field under its own key, sums per field.
#include "caching/CacheCoherence.h"

#include <gtest/gtest.h>

using namespace velmora::caching;

TEST(CoherenceMetrics, EachFieldLandsUnderItsOwnKeyAndOtherKeysStay) {
    OnRemovedMetrics removed{1, 3, 5, 7};
    AddMetrics(removed, OnRemovedMetrics{10, 40, 500, 7000});
    velmora::StringLookupTable table = StringLookupTableFromMetrics(removed);
    UpdateStringLookupTableWithMetrics(OnAddedMetrics{18446744073709551615ull, 1, 20, 300, 4000},
                                       table);
    EXPECT_EQ(table, (velmora::StringLookupTable{{"on-removed-ms", "11"},
                                                 {"on-removed-guid-count", "43"},
                                                 {"on-removed-lock-ms", "505"},
                                                 {"on-removed-prune-ms", "7007"},
                                                 {"on-added-ms", "18446744073709551615"},
                                                 {"on-added-lock-ms", "1"},
                                                 {"on-added-dirty-ms", "20"},
                                                 {"on-added-prune-ms", "300"},
                                                 {"on-added-publish-ms", "4000"}}));
}
