// The plain and the indexed cache where they behave alike (one suite over both), then what only
// the plain cache offers, then construction of all four caches.
#include "utility/Cache.h"

#include <gtest/gtest.h>

#include <set>

#include "utility/CacheTestHelpers.h"
#include "utility/IndexedCache.h"
#include "velsys/Exceptions.h"

using namespace veltest;

namespace {

std::multiset<int> ValuesOf(const EntrySet& set) {
    std::multiset<int> values;
    for (const Entry& e : set) values.insert(ValueOf(e.GetData()));
    return values;
}

std::set<unsigned long long> ClocksOf(const EntrySet& set) {
    std::set<unsigned long long> clocks;
    for (const Entry& e : set) clocks.insert(e.GetClock());
    return clocks;
}

template <class C>
class BothCaches : public ::testing::Test {};
using CacheTypes = ::testing::Types<Cache, IndexedCache>;
TYPED_TEST_SUITE(BothCaches, CacheTypes);

TYPED_TEST(BothCaches, PurgeUsesThePolicyPassedOrItsOwnAndTheAdvancedClock) {
    TypeParam cache(std::make_shared<MRUPolicy>(2), nullptr);
    for (int v = 0; v < 5; ++v, cache.JustIncrementClock()) cache.AddEntry(MakePayload(v));
    // The entries carry their clocks, 0 to 4; the clock reads 5.
    EXPECT_TRUE(cache.Purge(std::make_shared<LifetimePolicy>(5)).empty());
    // At clock 6 (advanced before the purge) clocks 0 and 1 are older than 4.
    EXPECT_EQ(ValuesOf(cache.IncrementClock(std::make_shared<LifetimePolicy>(4))),
              (std::multiset<int>{0, 1}));
    EXPECT_EQ(ValuesOf(cache.Purge()), std::multiset<int>{2});

    auto failing = std::make_shared<EntryPredicatePolicy>(std::make_shared<ValuePredicate>(
        [](int) -> bool { throw VelmoraException("purge failed"); }));
    EXPECT_THROW(cache.IncrementClock(failing), VelmoraException);
    EXPECT_EQ(ClocksOf(cache.GetEntries()), (std::set<unsigned long long>{3, 4}));
    EXPECT_EQ(cache.GetClock(), 7u);

    // A new policy purges nothing by itself; a new clock replaces the old one.
    cache.SetPolicy(std::make_shared<MRUPolicy>(0), nullptr);
    EXPECT_EQ(cache.GetEntries().size(), 2u);
    EXPECT_EQ(cache.GetClock(), 7u);
    cache.SetPolicy(std::make_shared<MRUPolicy>(0), CreateBasicClock());
    EXPECT_EQ(cache.GetClock(), 0u);
    EXPECT_EQ(cache.Purge().size(), 2u);
}

TYPED_TEST(BothCaches, DeletionsReturnThePayloadsWhichOutliveTheCache) {
    const long live = TestPayload::Live();
    EntrySet byPredicate, rest;
    {
        TypeParam cache;
        AddValues(cache, {1, 2, 2, 3});
        byPredicate = cache.DeleteEntries(ValueIs(2));
        EXPECT_EQ(ValuesOf(cache.GetEntries()), (std::multiset<int>{1, 3}));
        rest = cache.DeleteEntries();
        EXPECT_TRUE(cache.GetEntries().empty());
        EXPECT_TRUE(cache.DeleteEntries().empty());
    }
    EXPECT_EQ(ValuesOf(byPredicate), (std::multiset<int>{2, 2}));
    EXPECT_EQ(ValuesOf(rest), (std::multiset<int>{1, 3}));
    EXPECT_EQ(TestPayload::Live(), live + 4);
    byPredicate.clear();
    rest.clear();
    EXPECT_EQ(TestPayload::Live(), live);
}

TYPED_TEST(BothCaches, UsesStampTheCurrentClockAndGetHintIgnoresTheHintPassedIn) {
    TypeParam cache;
    const auto ids = AddValues(cache, {1, 2});
    cache.JustIncrementClock();
    EXPECT_FALSE(cache.UseEntry(0u));
    EXPECT_FALSE(cache.UseEntry(ids[1] + 1000));
    EXPECT_EQ(ValueOf(cache.UseEntry(ValueIs(1))), 1);
    unsigned int hint = ids[0];  // matches, but must not be consulted
    EXPECT_EQ(ValueOf(cache.UseEntryGetHint(ValueIs(2), hint)), 2);
    EXPECT_EQ(hint, ids[1]);
    EXPECT_EQ(ClocksOf(cache.GetEntries()), std::set<unsigned long long>{1});
    EXPECT_FALSE(cache.UseEntryGetHint(ValueIs(9), hint));
    EXPECT_EQ(hint, 0u);
    EXPECT_FALSE(cache.UseEntry(ValueIs(9)));
}

TEST(CacheOnly, AMatchingHintSparesTheScanAStaleOneIsRewrittenAMissClearsIt) {
    Cache cache;
    for (int i = 0; i < 50; ++i) cache.AddEntry(MakePayload(i));
    const unsigned int target = cache.AddEntry(MakePayload(77));
    const unsigned int other = cache.AddEntry(MakePayload(77));
    auto predicate = ValueIs(77);
    unsigned int hint = other;
    EXPECT_EQ(ValueOf(cache.UseEntry(predicate, hint)), 77);
    EXPECT_EQ(predicate->calls, 1);
    EXPECT_EQ(ValueOf(cache.DeleteEntry(other)), 77);
    EXPECT_FALSE(cache.DeleteEntry(other));
    EXPECT_EQ(ValueOf(cache.UseEntry(predicate, hint)), 77);
    EXPECT_EQ(hint, target);
    EXPECT_FALSE(cache.UseEntry(ValueIs(78), hint));  // held, but no longer matching
    EXPECT_EQ(hint, 0u);
}

TEST(CacheOnly, HasEntryIsNoUse) {
    Cache cache;
    const unsigned int id = cache.AddEntry(MakePayload(1));
    cache.JustIncrementClock();
    EXPECT_TRUE(cache.HasEntry(id) && cache.HasEntry(ValueIs(1)));
    EXPECT_FALSE(cache.HasEntry(0u) || cache.HasEntry(ValueIs(2)));
    EXPECT_EQ(ClocksOf(cache.GetEntries()), std::set<unsigned long long>{0});
}

}  // namespace
