// Entries, clocks, predicates and the four eviction policies.
#include "utility/CacheHelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>
#include <unordered_set>

#include "utility/CacheTestHelpers.h"
#include "velcore/NotImplementedException.h"
#include "velsys/Exceptions.h"

using namespace CacheHelpers;
using veltest::MakePayload;
using veltest::ValueIs;
using veltest::ValueOf;

namespace {

// Entries whose payloads carry their clock values.
EntrySet MakeSet(std::initializer_list<int> clocks) {
    EntrySet set;
    for (int clock : clocks) set.insert(Entry(MakePayload(clock), clock));
    return set;
}

std::multiset<unsigned long long> ClocksOf(const EntrySet& set) {
    std::multiset<unsigned long long> clocks;
    for (const Entry& e : set) clocks.insert(e.GetClock());
    return clocks;
}

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

TEST(EntryIds, AreUniqueAcrossThreadsAndOnlyPayloadEntriesIssueThem) {
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

    const unsigned before = Entry(MakePayload(), 0).GetID();
    const Entry key(5), empty;
    EXPECT_EQ(Entry(MakePayload(), 0).GetID(), before + 1);  // neither key nor empty took one
    EXPECT_EQ(key.GetID(), 5u);
    EXPECT_FALSE(key.GetData());
    EXPECT_EQ(key.GetClock(), 0u);
    EXPECT_EQ(empty.GetID(), 0u);
}

TEST(EntryValue, IdentityIsTheIdAndCopiesShareThePayload) {
    const long live = veltest::TestPayload::Live();
    {
        EntrySet set = MakeSet({99});
        const Entry b = *set.begin(), sameId(b.GetID());
        EXPECT_TRUE(b == sameId);  // payload and clock differ, id is the same
        EXPECT_FALSE(b == Entry(b.GetID() + 1));
        EXPECT_EQ(EntryHash()(Entry(7)), 7u);
        EXPECT_TRUE(EntryLess()(Entry(2), Entry(10)));
        EXPECT_FALSE(EntryLess()(Entry(10), Entry(2)));
        EXPECT_EQ(b.GetData()->GetRefCount(), 2);
        EXPECT_EQ(veltest::TestPayload::Live(), live + 1);

        // Use stamps the clock in place, inside a set too, and hands out a new reference.
        Payload p = set.find(sameId)->Use(12);
        EXPECT_EQ(set.find(sameId)->GetClock(), 12u);
        EXPECT_EQ(ValueOf(p), 99);
        EXPECT_EQ(p->GetRefCount(), 3);
        Entry none(9);
        EXPECT_FALSE(none.Use(4));
        EXPECT_EQ(none.GetClock(), 4u);
    }
    EXPECT_EQ(veltest::TestPayload::Live(), live);
}

TEST(Predicates, LifetimeIsStrictBooleanIgnoresTheEntryBaseHasNoIndex) {
    const struct {
        unsigned long long lifetime, now, clock;
        bool matches;
    } cases[] = {{6, 7, 0, true}, {6, 7, 1, false}, {6, 6, 0, false}, {0, 1, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lifetime << " " << c.now << " " << c.clock);
        EXPECT_EQ(LifetimePredicate(c.lifetime, c.now).Matches(Entry(Payload(), c.clock)),
                  c.matches);
    }
    EXPECT_TRUE(BooleanEntryPredicate(true).Matches(Entry(3)));
    EXPECT_FALSE(BooleanEntryPredicate(false).Matches(Entry(3)));
    BooleanEntryPredicate base(true);
    EXPECT_TRUE(base.GetIndexName().isEmpty() && base.GetKeyForIndexing().isEmpty());
    EXPECT_FALSE(base.HasIndex());

    auto p = ValueIs(4);
    const EntryPredicateBinder binder(p);
    p.reset();  // the binder keeps its own reference
    EXPECT_TRUE(binder(Entry(MakePayload(4), 0)));
    EXPECT_FALSE(binder(Entry(MakePayload(5), 0)));
}

TEST(Clocks, BasicCountsIncrementsSystemFollowsWallTime) {
    auto basic = CreateBasicClock();
    EXPECT_EQ(basic->GetClock(), 0u);
    for (int i = 0; i < 3; ++i) basic->Increment();
    EXPECT_EQ(basic->GetClock(), 3u);

    auto wall = CreateSystemClock();
    const auto first = wall->GetClock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wall->Increment();
    const auto second = wall->GetClock();
    EXPECT_GT(first, 60'000'000'000'000ULL);  // milliseconds since 0001-01-01
    EXPECT_GE(second - first, 50u);
    EXPECT_LT(second - first, 60'000u);  // a sanity bound on the unit, not a timing assertion
}

TEST(PolicyPurge, KeepsTheRightEntriesAsCopiesSharingThePayloads) {
    auto cascade = [](std::shared_ptr<IPolicy> a, std::shared_ptr<IPolicy> b) {
        auto c = std::make_shared<CascadedPolicy>(std::move(a));
        c->AddPolicy(std::move(b));
        return c;
    };
    auto mru2 = std::make_shared<MRUPolicy>(2);
    auto drop10 = std::make_shared<EntryPredicatePolicy>(ValueIs(10));
    const struct {
        const char* name;
        std::shared_ptr<IPolicy> policy;
        EntrySet entries;
        std::multiset<unsigned long long> kept;
    } cases[] = {
        {"MRU over the limit", std::make_shared<MRUPolicy>(3), MakeSet({1, 5, 2, 4, 3}), {3, 4, 5}},
        {"MRU within the limit", std::make_shared<MRUPolicy>(3), MakeSet({1, 2, 3}), {1, 2, 3}},
        {"MRU limit 0", std::make_shared<MRUPolicy>(0), MakeSet({1, 2}), {}},
        {"MRU limit 0, empty", std::make_shared<MRUPolicy>(0), MakeSet({}), {}},
        {"Lifetime at 7", std::make_shared<LifetimePolicy>(6), MakeSet({0, 1, 9}), {1, 9}},
        {"Predicate true",
         std::make_shared<EntryPredicatePolicy>(std::make_shared<BooleanEntryPredicate>(true)),
         MakeSet({1, 2}),
         {}},
        {"Predicate false",
         std::make_shared<EntryPredicatePolicy>(std::make_shared<BooleanEntryPredicate>(false)),
         MakeSet({1, 2}),
         {1, 2}},
        {"MRU, then drop 10", cascade(mru2, drop10), MakeSet({1, 8, 9, 10}), {9}},
        {"drop 10, then MRU", cascade(drop10, mru2), MakeSet({1, 8, 9, 10}), {8, 9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EntrySet kept = c.policy->Purge(c.entries.cbegin(), c.entries.cend(), 7);
        EXPECT_EQ(ClocksOf(kept), c.kept);
        for (const Entry& e : kept) {
            ASSERT_EQ(c.entries.count(e), 1u);
            EXPECT_EQ(c.entries.find(e)->GetData().Get(), e.GetData().Get());
        }
    }
}

TEST(PolicyHooks, DefaultsCatalogueAndRefuse) {
    veltest::RecordingPolicy policy;
    EntrySet entries = MakeSet({1, 2, 3});
    policy.IPolicy::CatalogCacheEntries(entries);
    EXPECT_EQ(veltest::IdsOf(policy.Calls(veltest::RecordingPolicy::Added)),
              veltest::IdsOf(entries));
    EXPECT_FALSE(policy.IPolicy::HasCapability(IPolicy::ComputesEntriesToPurge));
    EXPECT_FALSE(policy.IPolicy::HasCapability(static_cast<IPolicy::Capability>(7)));
    try {
        policy.IPolicy::ComputeEntriesToPurge();
        FAIL() << "ComputeEntriesToPurge did not throw";
    } catch (const NotImplementedException& e) {
        EXPECT_EQ(e.GetMessage(), "");
        EXPECT_EQ(e.GetError(), VelmoraError::NoError);
    }
    EXPECT_THROW(policy.GetCacheSizeBytes(), NotImplementedException);
}

}  // namespace
