// The plain cache: additions, uses, hints, deletions and purges as a caller sees them.
#include "utility/Cache.h"

#include <gtest/gtest.h>

#include <set>

#include "support/TestEnvironment.h"
#include "velsys/Exceptions.h"

using namespace CacheHelpers;
using veltest::MakePayload;
using veltest::ValueOf;

namespace {

// Matches entries whose payload carries a given value.
struct ValuePredicate : EntryPredicate {
    explicit ValuePredicate(int value) : m_value(value) {}
    bool Matches(const Entry& e) override {
        ++calls;
        return ValueOf(e.GetData()) == m_value;
    }
    int m_value;
    int calls = 0;
};

// A policy that keeps everything and counts its calls.
struct KeepAllPolicy : IPolicy {
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long now) override {
        ++calls;
        lastNow = now;
        return EntrySet(first, last);
    }
    int calls = 0;
    unsigned long long lastNow = 0;
};

// A policy whose purge fails.
struct ThrowingPolicy : IPolicy {
    EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator,
                   unsigned long long) override {
        throw VelmoraException("purge failed");
    }
};

std::set<int> ValuesOf(const EntrySet& set) {
    std::set<int> values;
    for (const Entry& e : set) values.insert(ValueOf(e.GetData()));
    return values;
}

std::set<unsigned long long> ClocksOf(const EntrySet& set) {
    std::set<unsigned long long> clocks;
    for (const Entry& e : set) clocks.insert(e.GetClock());
    return clocks;
}

}  // namespace

TEST(CacheLifetime, DefaultCacheEvictsOnTheSeventhIncrement) {
    Cache cache;
    const unsigned id = cache.AddEntry(MakePayload(1));
    EXPECT_EQ(cache.GetEntries().begin()->GetClock(), 0u);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(cache.IncrementClock().empty()) << "increment " << i;
    EntrySet purged = cache.IncrementClock();
    ASSERT_EQ(purged.size(), 1u);
    EXPECT_EQ(purged.begin()->GetID(), id);
    EXPECT_EQ(ValueOf(purged.begin()->GetData()), 1);
    EXPECT_EQ(cache.GetSize(), 0u);
}

TEST(CacheLifetime, AUseExtendsTheLifetime) {
    Cache cache;
    const unsigned id = cache.AddEntry(MakePayload(1));
    for (int i = 0; i < 3; ++i) cache.IncrementClock();
    EXPECT_EQ(ValueOf(cache.UseEntry(id)), 1);  // stamped with clock 3
    for (int clock = 4; clock <= 9; ++clock) EXPECT_TRUE(cache.IncrementClock().empty());
    EXPECT_EQ(cache.IncrementClock().size(), 1u);  // clock 10: 3 + 6 < 10
}

TEST(CachePurge, MruKeepsMostRecentlyUsed) {
    Cache cache(std::make_shared<MRUPolicy>(2));
    for (int i = 0; i < 5; ++i) {
        cache.AddEntry(MakePayload(i));
        cache.JustIncrementClock();
    }
    EXPECT_EQ(cache.GetSize(), 5u);
    EntrySet purged = cache.Purge();
    EXPECT_EQ(ClocksOf(purged), (std::set<unsigned long long>{0, 1, 2}));
    EXPECT_EQ(ClocksOf(cache.GetEntries()), (std::set<unsigned long long>{3, 4}));
}

TEST(CachePurge, KeepAllPolicyChangesNothingAndDoesNotReplaceTheOwnPolicy) {
    auto own = std::make_shared<MRUPolicy>(1);
    Cache cache(own);
    cache.AddEntry(MakePayload(1));
    cache.AddEntry(MakePayload(2));
    auto keepAll = std::make_shared<KeepAllPolicy>();
    EXPECT_TRUE(cache.Purge(keepAll).empty());
    EXPECT_TRUE(cache.IncrementClock(keepAll).empty());
    EXPECT_EQ(keepAll->calls, 2);
    EXPECT_EQ(keepAll->lastNow, 1u);  // the clock advanced before the purge
    EXPECT_EQ(cache.GetSize(), 2u);
    EXPECT_EQ(cache.GetPolicy(), own);
    EXPECT_EQ(cache.Purge().size(), 1u);  // the own policy still applies
}

TEST(CachePurge, FailingPolicyLeavesTheEntriesButTheClockHasMoved) {
    Cache cache;
    cache.AddEntry(MakePayload(1));
    EXPECT_THROW(cache.IncrementClock(std::make_shared<ThrowingPolicy>()), VelmoraException);
    EXPECT_EQ(cache.GetSize(), 1u);
    EXPECT_EQ(cache.GetClock(), 1u);
}

TEST(CachePurge, RemovedPayloadsLiveAsLongAsTheCallerKeepsThem) {
    const long live = veltest::TestPayload::Live();
    EntrySet removed;
    {
        Cache cache;
        cache.AddEntry(MakePayload(1));
        cache.AddEntry(MakePayload(2));
        removed = cache.DeleteEntries();
        EXPECT_EQ(cache.GetSize(), 0u);
    }
    EXPECT_EQ(ValuesOf(removed), (std::set<int>{1, 2}));
    EXPECT_EQ(veltest::TestPayload::Live(), live + 2);
    removed.clear();
    EXPECT_EQ(veltest::TestPayload::Live(), live);
}

TEST(CacheDelete, ByPredicateReturnsOnlyTheMatches) {
    Cache cache;
    cache.AddEntry(MakePayload(1));
    cache.AddEntry(MakePayload(2));
    cache.AddEntry(MakePayload(2));
    EXPECT_EQ(cache.DeleteEntries(std::make_shared<ValuePredicate>(2)).size(), 2u);
    EXPECT_EQ(ValuesOf(cache.GetEntries()), (std::set<int>{1}));
}

TEST(CacheDelete, MissingIdReturnsNullAndChangesNothing) {
    Cache cache;
    const unsigned id = cache.AddEntry(MakePayload(1));
    EXPECT_FALSE(cache.DeleteEntry(id + 1000));
    EXPECT_EQ(cache.GetSize(), 1u);
    EXPECT_EQ(ValueOf(cache.DeleteEntry(id)), 1);
    EXPECT_FALSE(cache.HasEntry(id));
    EXPECT_FALSE(cache.DeleteEntry(id));
    EXPECT_TRUE(cache.DeleteEntries().empty());
}

TEST(CacheLookup, IdZeroIsNeverHeld) {
    Cache cache;
    cache.AddEntry(MakePayload(1));
    EXPECT_FALSE(cache.HasEntry(0u));
    EXPECT_FALSE(cache.UseEntry(0u));
}

TEST(CacheLookup, HasEntryIsNotAUse) {
    Cache cache;
    const unsigned id = cache.AddEntry(MakePayload(1));
    cache.JustIncrementClock();
    EXPECT_TRUE(cache.HasEntry(id));
    EXPECT_TRUE(cache.HasEntry(std::make_shared<ValuePredicate>(1)));
    EXPECT_FALSE(cache.HasEntry(std::make_shared<ValuePredicate>(2)));
    EXPECT_EQ(cache.GetEntries().begin()->GetClock(), 0u);
}

TEST(CacheLookup, UseByPredicateStampsTheEntry) {
    Cache cache;
    cache.AddEntry(MakePayload(1));
    cache.JustIncrementClock();
    cache.JustIncrementClock();
    EXPECT_EQ(ValueOf(cache.UseEntry(std::make_shared<ValuePredicate>(1))), 1);
    EXPECT_EQ(cache.GetEntries().begin()->GetClock(), 2u);
    EXPECT_FALSE(cache.UseEntry(std::make_shared<ValuePredicate>(9)));
}

TEST(CacheHint, MatchingHintSparesTheScan) {
    Cache cache;
    for (int i = 0; i < 50; ++i) cache.AddEntry(MakePayload(i));
    const unsigned target = cache.AddEntry(MakePayload(7777));
    auto predicate = std::make_shared<ValuePredicate>(7777);
    unsigned hint = target;
    EXPECT_EQ(ValueOf(cache.UseEntry(predicate, hint)), 7777);
    EXPECT_EQ(hint, target);
    EXPECT_EQ(predicate->calls, 1);
}

TEST(CacheHint, StaleHintFallsBackToTheScanAndIsRewritten) {
    Cache cache;
    const unsigned gone = cache.AddEntry(MakePayload(5));
    const unsigned other = cache.AddEntry(MakePayload(5));
    cache.DeleteEntry(gone);
    unsigned hint = gone;
    EXPECT_EQ(ValueOf(cache.UseEntry(std::make_shared<ValuePredicate>(5), hint)), 5);
    EXPECT_EQ(hint, other);

    hint = other;
    EXPECT_FALSE(cache.UseEntry(std::make_shared<ValuePredicate>(6), hint));
    EXPECT_EQ(hint, 0u);
}

TEST(CacheHint, UseEntryGetHintIgnoresTheHintPassedIn) {
    Cache cache;
    const unsigned a = cache.AddEntry(MakePayload(1));
    cache.AddEntry(MakePayload(2));
    unsigned hint = a;  // matches, but must not be consulted
    auto predicate = std::make_shared<ValuePredicate>(2);
    EXPECT_EQ(ValueOf(cache.UseEntryGetHint(predicate, hint)), 2);
    EXPECT_NE(hint, a);
    hint = 12345;
    EXPECT_FALSE(cache.UseEntryGetHint(std::make_shared<ValuePredicate>(3), hint));
    EXPECT_EQ(hint, 0u);
}

TEST(CachePolicy, SetPolicyWithNullClockKeepsTheClock) {
    Cache cache;
    cache.JustIncrementClock();
    cache.AddEntry(MakePayload(1));
    EXPECT_EQ(cache.GetSize(), 1u);
    auto mru = std::make_shared<MRUPolicy>(0);
    cache.SetPolicy(mru, nullptr);
    EXPECT_EQ(cache.GetClock(), 1u);
    EXPECT_EQ(cache.GetPolicy(), mru);
    EXPECT_EQ(cache.GetSize(), 1u);  // nothing purged by SetPolicy
    cache.SetPolicy(mru, CreateBasicClock());
    EXPECT_EQ(cache.GetClock(), 0u);
}

TEST(CachePolicy, SystemClockStampsEntriesWithWallTime) {
    Cache cache(std::make_shared<LifetimePolicy>(60'000), CreateSystemClock());
    cache.AddEntry(MakePayload(1));
    EXPECT_GT(cache.GetEntries().begin()->GetClock(), 60'000'000'000'000ULL);
    EXPECT_TRUE(cache.Purge().empty());  // used within the last minute
}

TEST(CacheConstruction, NullPolicyRaisesTheLogicException) {
    try {
        Cache cache{std::shared_ptr<IPolicy>()};
        FAIL() << "no exception";
    } catch (const LogicException& e) {
        EXPECT_EQ(e.GetExpression(), "m_policy");
        EXPECT_EQ(e.GetFile(), "main/utility/Cache.cpp");
    }
    EXPECT_THROW(Cache(std::shared_ptr<IPolicy>(), CreateSystemClock()), LogicException);
}

TEST(CacheConstruction, LifetimeConstructorBuildsALifetimePolicy) {
    Cache cache(2);
    EXPECT_NE(std::dynamic_pointer_cast<LifetimePolicy>(cache.GetPolicy()), nullptr);
    cache.AddEntry(MakePayload(1));
    cache.IncrementClock();
    cache.IncrementClock();
    EXPECT_EQ(cache.IncrementClock().size(), 1u);  // clock 3: 0 + 2 < 3
}
