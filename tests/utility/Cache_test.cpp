// The plain and the indexed cache where they behave alike (one suite over both), then what only
// the plain cache offers, then construction of all four caches.
#include "utility/Cache.h"

#include <gtest/gtest.h>

#include <set>

#include "utility/CacheTestHelpers.h"
#include "utility/IndexedCache.h"
#include "utility/SynchronizedCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Exceptions.h"
#include "velsys/Locks.h"

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

// How many IncrementClock calls it takes until one purges something (-1: none in 100).
template <class C>
int IncrementsUntilPurge(C& cache) {
    for (int n = 1; n <= 100; ++n)
        if (!cache.IncrementClock().empty()) return n;
    return -1;
}

template <class C>
class BothCaches : public ::testing::Test {};
using CacheTypes = ::testing::Types<Cache, IndexedCache>;
TYPED_TEST_SUITE(BothCaches, CacheTypes);

TYPED_TEST(BothCaches, LifetimeCountsFromTheLastUse) {
    TypeParam byDefault, two(2), used;
    AddValues(byDefault, {1});
    AddValues(two, {1});
    EXPECT_EQ(IncrementsUntilPurge(byDefault), 7);  // clock 7: 0 + 6 < 7
    EXPECT_EQ(IncrementsUntilPurge(two), 3);
    EXPECT_TRUE(byDefault.GetEntries().empty());

    const auto ids = AddValues(used, {1, 2});
    for (int i = 0; i < 3; ++i) used.IncrementClock();
    EXPECT_EQ(ValueOf(used.UseEntry(ids[1])), 2);  // stamped with clock 3
    for (int i = 4; i <= 6; ++i) EXPECT_TRUE(used.IncrementClock().empty());
    EXPECT_EQ(IdsOf(used.IncrementClock()), std::vector<unsigned int>{ids[0]});
    EXPECT_EQ(IncrementsUntilPurge(used), 3);  // clock 10: 3 + 6 < 10
}

TYPED_TEST(BothCaches, PurgeUsesThePolicyPassedOrItsOwnAndTheAdvancedClock) {
    auto own = std::make_shared<MRUPolicy>(2);
    TypeParam cache(own, nullptr);
    for (int v = 0; v < 5; ++v, cache.JustIncrementClock()) cache.AddEntry(MakePayload(v));
    // The entries carry their clocks, 0 to 4; the clock reads 5.
    EXPECT_TRUE(cache.Purge(std::make_shared<LifetimePolicy>(5)).empty());
    // At clock 6 (advanced before the purge) clocks 0 and 1 are older than 4.
    EXPECT_EQ(ValuesOf(cache.IncrementClock(std::make_shared<LifetimePolicy>(4))),
              (std::multiset<int>{0, 1}));
    EXPECT_EQ(cache.GetPolicy(), own);
    EXPECT_EQ(ValuesOf(cache.Purge()), std::multiset<int>{2});
    EXPECT_EQ(ClocksOf(cache.GetEntries()), (std::set<unsigned long long>{3, 4}));

    auto failing = std::make_shared<EntryPredicatePolicy>(std::make_shared<ValuePredicate>(
        [](int) -> bool { throw VelmoraException("purge failed"); }));
    EXPECT_THROW(cache.IncrementClock(failing), VelmoraException);
    EXPECT_EQ(cache.GetEntries().size(), 2u);
    EXPECT_EQ(cache.GetClock(), 7u);

    // A new policy purges nothing by itself; without a new clock the clock stays.
    auto none = std::make_shared<MRUPolicy>(0);
    cache.SetPolicy(none, nullptr);
    EXPECT_EQ(cache.GetPolicy(), none);
    EXPECT_EQ(cache.GetClock(), 7u);
    EXPECT_EQ(cache.GetEntries().size(), 2u);
    cache.SetPolicy(none, CreateBasicClock());
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

TEST(CacheOnly, AMatchingHintSparesTheScanHasEntryIsNoUseDeleteEntryReturnsThePayload) {
    Cache cache;
    for (int i = 0; i < 50; ++i) cache.AddEntry(MakePayload(i));
    const unsigned int target = cache.AddEntry(MakePayload(77));
    cache.JustIncrementClock();
    auto predicate = ValueIs(77);
    EXPECT_TRUE(cache.HasEntry(target) && cache.HasEntry(predicate) && !cache.HasEntry(0u));
    EXPECT_FALSE(cache.HasEntry(ValueIs(78)));
    EXPECT_EQ(ClocksOf(cache.GetEntries()), std::set<unsigned long long>{0});
    unsigned int hint = target;
    predicate->calls = 0;
    EXPECT_EQ(ValueOf(cache.UseEntry(predicate, hint)), 77);
    EXPECT_EQ(hint, target);
    EXPECT_EQ(predicate->calls, 1);

    const unsigned int other = cache.AddEntry(MakePayload(77));
    EXPECT_FALSE(cache.DeleteEntry(other + 1000));
    EXPECT_EQ(ValueOf(cache.DeleteEntry(target)), 77);
    EXPECT_FALSE(cache.HasEntry(target));
    EXPECT_EQ(ValueOf(cache.UseEntry(predicate, hint)), 77);  // a stale hint is rewritten
    EXPECT_EQ(hint, other);
    EXPECT_FALSE(cache.UseEntry(ValueIs(78), hint));  // held, but no longer matching
    EXPECT_EQ(hint, 0u);
}

TEST(CacheConstruction, ANullPolicyRaisesMPolicyInEveryCache) {
    TReadWriteLock lock;
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { Cache c{std::shared_ptr<IPolicy>()}; }, "main/utility/Cache.cpp"},
        {[] { Cache c(nullptr, CreateSystemClock()); }, "main/utility/Cache.cpp"},
        {[] { IndexedCache c(nullptr, nullptr); }, "main/utility/IndexedCache.cpp"},
        {[&] { SynchronizedCache c(nullptr, &lock); }, "main/utility/Cache.cpp"},
        {[] { SynchronizedIndexedCache c(nullptr, nullptr); }, "main/utility/IndexedCache.cpp"},
    };
    int row = 0;
    for (const auto& [make, file] : cases) {
        SCOPED_TRACE(row++);
        try {
            make();
            ADD_FAILURE() << "no exception";
        } catch (const LogicException& e) {
            EXPECT_EQ(e.GetExpression(), "m_policy");
            EXPECT_EQ(e.GetFile(), file);
        }
    }
}

}  // namespace
