// Entries, clocks, predicates and the four eviction policies.
#include "utility/CacheHelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>
#include <unordered_set>
#include <vector>

#include "support/TestEnvironment.h"
#include "velcore/NotImplementedException.h"
#include "velsys/Exceptions.h"

using namespace CacheHelpers;
using veltest::MakePayload;
using veltest::ValueOf;

namespace {

// An entry with a given clock value (ids are issued as usual).
Entry MakeEntry(unsigned long long clock, int value = 0) {
    return Entry(MakePayload(value), clock);
}

EntrySet MakeSet(std::initializer_list<unsigned long long> clocks) {
    EntrySet set;
    for (auto clock : clocks) set.insert(MakeEntry(clock));
    return set;
}

std::multiset<unsigned long long> ClocksOf(const EntrySet& set) {
    std::multiset<unsigned long long> clocks;
    for (const Entry& e : set) clocks.insert(e.GetClock());
    return clocks;
}

// A predicate that matches one id.
struct IdPredicate : EntryPredicate {
    explicit IdPredicate(unsigned id) : m_id(id) {}
    bool Matches(const Entry& e) override { return e.GetID() == m_id; }
    unsigned m_id;
};

// A policy that records the hooks it is given.
struct RecordingPolicy : IPolicy {
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long) override {
        return EntrySet(first, last);
    }
    void OnEntryAdded(const Entry& e) override { added.push_back(e.GetID()); }
    std::vector<unsigned> added;
};

}  // namespace

TEST(EntryIds, FirstEntriesOfAFreshProcessAreOneThenTwo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-runs this test alone in a new process
    EXPECT_EXIT(
        {
            Entry first(MakePayload(), 0);
            Entry second(MakePayload(), 0);  // in no cache at all
            std::exit(first.GetID() == 1 && second.GetID() == 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(EntryIds, AreUniqueAcrossThreads) {
    constexpr int kThreads = 4, kPerThread = 5000;
    std::vector<std::vector<unsigned>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) ids[t].push_back(Entry(Payload(), 0).GetID());
        });
    for (auto& th : threads) th.join();
    std::unordered_set<unsigned> all;
    for (auto& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), size_t(kThreads * kPerThread));
    EXPECT_EQ(all.count(0u), 0u);
}

TEST(EntryIdentity, IsTheIdAlone) {
    Entry a(7);
    Entry b = MakeEntry(99, 5);
    Entry c(b.GetID());
    EXPECT_FALSE(a == b);
    EXPECT_TRUE(b == c);  // payload and clock differ, id is the same
    EXPECT_EQ(EntryHash()(b), EntryHash()(c));
    EXPECT_EQ(EntryHash()(a), 7u);
    EXPECT_TRUE(EntryLess()(Entry(2), Entry(10)));
    EXPECT_FALSE(EntryLess()(Entry(10), Entry(2)));
}

TEST(EntryIdentity, KeyOnlyAndEmptyEntriesIssueNoIdAndHoldNoPayload) {
    const unsigned before = Entry(MakePayload(), 0).GetID();
    Entry key(5);
    Entry empty;
    EXPECT_EQ(key.GetID(), 5u);
    EXPECT_FALSE(key.GetData());
    EXPECT_EQ(key.GetClock(), 0u);
    EXPECT_EQ(empty.GetID(), 0u);
    // Only the payload constructor issued an id in between.
    EXPECT_EQ(Entry(MakePayload(), 0).GetID(), before + 1);
}

TEST(EntryUse, StampsTheClockAndReturnsANewReference) {
    Entry e = MakeEntry(3, 42);
    const long refsBefore = e.GetData()->GetRefCount();
    Payload p = e.Use(7);
    EXPECT_EQ(e.GetClock(), 7u);
    EXPECT_EQ(ValueOf(p), 42);
    EXPECT_EQ(e.GetData()->GetRefCount(), refsBefore + 1);

    Entry none(9);
    EXPECT_FALSE(none.Use(4));
    EXPECT_EQ(none.GetClock(), 4u);
}

TEST(EntryUse, ClockCanBeRewrittenInsideASet) {
    EntrySet set;
    Entry e = MakeEntry(1);
    set.insert(e);
    set.find(Entry(e.GetID()))->Use(12);
    EXPECT_EQ(set.find(Entry(e.GetID()))->GetClock(), 12u);
}

TEST(EntryLifetime, PayloadIsReleasedWithTheLastCopy) {
    const long live = veltest::TestPayload::Live();
    {
        Entry e = MakeEntry(0);
        Entry copy = e;
        Entry assigned;
        assigned = copy;
        EXPECT_EQ(veltest::TestPayload::Live(), live + 1);
        EXPECT_EQ(e.GetData()->GetRefCount(), 3);
    }
    EXPECT_EQ(veltest::TestPayload::Live(), live);
}

TEST(Predicates, LifetimePredicateIsStrict) {
    LifetimePredicate p(6, 7);
    EXPECT_TRUE(p.Matches(MakeEntry(0)));   // 0 + 6 < 7
    EXPECT_FALSE(p.Matches(MakeEntry(1)));  // 1 + 6 == 7
    EXPECT_FALSE(LifetimePredicate(6, 6).Matches(MakeEntry(0)));
}

TEST(Predicates, BooleanPredicateIgnoresTheEntry) {
    EXPECT_TRUE(BooleanEntryPredicate(true).Matches(Entry(3)));  // no payload
    EXPECT_FALSE(BooleanEntryPredicate(false).Matches(MakeEntry(1)));
}

TEST(Predicates, BaseCarriesNoIndexInformation) {
    IdPredicate p(1);
    EXPECT_TRUE(p.GetIndexName().isEmpty());
    EXPECT_TRUE(p.GetKeyForIndexing().isEmpty());
    EXPECT_FALSE(p.HasIndex());
}

TEST(Predicates, BinderHoldsItsOwnReference) {
    auto p = std::make_shared<IdPredicate>(4);
    EntryPredicateBinder binder(p);
    EntryPredicateBinder copy(binder);
    p.reset();
    EXPECT_TRUE(copy(Entry(4)));
    EXPECT_FALSE(copy(Entry(5)));
}

TEST(Clocks, BasicClockCountsIncrements) {
    auto clock = CreateBasicClock();
    EXPECT_EQ(clock->GetClock(), 0u);
    for (int i = 0; i < 3; ++i) clock->Increment();
    EXPECT_EQ(clock->GetClock(), 3u);
}

TEST(Clocks, SystemClockFollowsWallTimeAndIgnoresIncrement) {
    auto clock = CreateSystemClock();
    const auto first = clock->GetClock();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    clock->Increment();
    const auto second = clock->GetClock();
    // Milliseconds since 0001-01-01: far beyond a counting clock's values.
    EXPECT_GT(first, 60'000'000'000'000ULL);
    EXPECT_GE(second - first, 200u);
    EXPECT_LT(second - first, 60'000u);  // a sanity bound on the unit, not a timing assertion
}

TEST(Payloads, BareVelCacheDataReports24Bytes) {
    RefCntPtr<VelCacheData> data(new VelCacheData());
    EXPECT_EQ(data->GetMemoryUsage(), 24u);
}

TEST(MRUPolicyPurge, KeepsTheMostRecentlyUsed) {
    EntrySet entries = MakeSet({1, 2, 3, 4, 5});
    MRUPolicy policy(3);
    EXPECT_EQ(ClocksOf(policy.Purge(entries.cbegin(), entries.cend(), 5)),
              (std::multiset<unsigned long long>{3, 4, 5}));
}

TEST(MRUPolicyPurge, KeepsEverythingWithinTheLimit) {
    EntrySet entries = MakeSet({1, 2, 3});
    EXPECT_EQ(MRUPolicy(3).Purge(entries.cbegin(), entries.cend(), 0).size(), 3u);
}

TEST(MRUPolicyPurge, ZeroLimitKeepsNothing) {
    EntrySet entries = MakeSet({1, 2});
    EntrySet empty;
    EXPECT_TRUE(MRUPolicy(0).Purge(entries.cbegin(), entries.cend(), 0).empty());
    EXPECT_TRUE(MRUPolicy(0).Purge(empty.cbegin(), empty.cend(), 0).empty());
}

TEST(MRUPolicyPurge, SurvivorsShareThePayloads) {
    EntrySet entries = MakeSet({1, 2});
    EntrySet kept = MRUPolicy(1).Purge(entries.cbegin(), entries.cend(), 0);
    ASSERT_EQ(kept.size(), 1u);
    const Entry& survivor = *kept.begin();
    EXPECT_EQ(entries.find(survivor)->GetData().Get(), survivor.GetData().Get());
    EXPECT_EQ(survivor.GetClock(), 2u);
}

TEST(LifetimePolicyPurge, DropsEntriesOlderThanTheLifetime) {
    EntrySet entries = MakeSet({0, 1});
    EXPECT_EQ(ClocksOf(LifetimePolicy(6).Purge(entries.cbegin(), entries.cend(), 7)),
              (std::multiset<unsigned long long>{1}));
}

TEST(EntryPredicatePolicyPurge, KeepsWhatThePredicateDoesNotMatch) {
    EntrySet entries = MakeSet({1, 2, 3});
    auto all =
        std::make_shared<EntryPredicatePolicy>(std::make_shared<BooleanEntryPredicate>(true));
    auto none =
        std::make_shared<EntryPredicatePolicy>(std::make_shared<BooleanEntryPredicate>(false));
    EXPECT_TRUE(all->Purge(entries.cbegin(), entries.cend(), 0).empty());
    EXPECT_EQ(none->Purge(entries.cbegin(), entries.cend(), 0).size(), 3u);
}

TEST(CascadedPolicyPurge, MembersApplyInOrderOfAddition) {
    EntrySet entries = MakeSet({1, 8, 9, 10});
    unsigned idOf10 = 0;
    for (const Entry& e : entries)
        if (e.GetClock() == 10) idOf10 = e.GetID();
    auto mru = std::make_shared<MRUPolicy>(2);
    auto drop10 = std::make_shared<EntryPredicatePolicy>(std::make_shared<IdPredicate>(idOf10));

    CascadedPolicy mruFirst(mru);
    mruFirst.AddPolicy(drop10);
    EXPECT_EQ(ClocksOf(mruFirst.Purge(entries.cbegin(), entries.cend(), 10)),
              (std::multiset<unsigned long long>{9}));

    CascadedPolicy predicateFirst(drop10);
    predicateFirst.AddPolicy(mru);
    EXPECT_EQ(ClocksOf(predicateFirst.Purge(entries.cbegin(), entries.cend(), 10)),
              (std::multiset<unsigned long long>{8, 9}));
}

TEST(PolicyHooks, DefaultsCatalogueAndRefuse) {
    RecordingPolicy policy;
    EntrySet entries = MakeSet({1, 2, 3});
    policy.CatalogCacheEntries(entries);
    EXPECT_EQ(policy.added.size(), 3u);
    EXPECT_FALSE(policy.HasCapability(IPolicy::ComputesEntriesToPurge));
    EXPECT_FALSE(policy.HasCapability(static_cast<IPolicy::Capability>(7)));
    try {
        policy.ComputeEntriesToPurge();
        FAIL() << "ComputeEntriesToPurge did not throw";
    } catch (const VelmoraException& e) {
        EXPECT_NE(dynamic_cast<const NotImplementedException*>(&e), nullptr);
        EXPECT_EQ(e.GetMessage(), "");
        EXPECT_EQ(e.GetError(), VelmoraError::NoError);
    }
    EXPECT_THROW(policy.GetCacheSizeBytes(), NotImplementedException);
}
