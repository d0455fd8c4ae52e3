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

using namespace veltest;
using Clocks = std::multiset<unsigned long long>;

namespace {

// Entries whose payloads carry their clock values.
EntrySet MakeSet(std::initializer_list<int> clocks) {
    EntrySet set;
    for (int clock : clocks) set.insert(Entry(MakePayload(clock), clock));
    return set;
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
    EXPECT_EQ(std::make_tuple(key.GetID(), bool(key.GetData()), key.GetClock(), empty.GetID()),
              std::make_tuple(5u, false, 0ull, 0u));
}

TEST(EntryValue, IdentityIsTheIdAndCopiesShareThePayload) {
    const long live = TestPayload::Live();
    {
        EntrySet set = MakeSet({99});
        const Entry b = *set.begin(), sameId(b.GetID());
        EXPECT_TRUE(b == sameId);  // payload and clock differ, id is the same
        EXPECT_FALSE(b == Entry(b.GetID() + 1));
        EXPECT_EQ(TestPayload::Live(), live + 1);

        // Use stamps the clock in place, inside a set too, and hands out a new reference.
        Payload p = set.find(sameId)->Use(12);
        EXPECT_EQ(set.find(sameId)->GetClock(), 12u);
        EXPECT_EQ(ValueOf(p), 99);
        EXPECT_EQ(p->GetRefCount(), 3);
        Entry none(9);
        EXPECT_FALSE(none.Use(4));
        EXPECT_EQ(none.GetClock(), 4u);
    }
    EXPECT_EQ(TestPayload::Live(), live);
}

TEST(Predicates, LifetimeIsStrictBinderKeepsItsOwnReference) {
    const unsigned long long cases[][4] = {// lifetime, now, clock, matches
                                           {6, 7, 0, 1},
                                           {6, 7, 1, 0},
                                           {6, 6, 0, 0},
                                           {0, 1, 0, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(LifetimePredicate(c[0], c[1]).Matches(Entry(Payload(), c[2])), c[3] == 1)
            << c[0] << " " << c[1] << " " << c[2];
    BooleanEntryPredicate yes(true);
    EXPECT_TRUE(yes.Matches(Entry(3)) && !BooleanEntryPredicate(false).Matches(Entry(3)));
    EXPECT_TRUE(yes.GetIndexName().isEmpty() && yes.GetKeyForIndexing().isEmpty());
    EXPECT_FALSE(yes.HasIndex());

    auto p = ValueIs(4);
    const EntryPredicateBinder binder(p);
    p.reset();
    EXPECT_TRUE(binder(Entry(MakePayload(4), 0)));
    EXPECT_FALSE(binder(Entry(MakePayload(5), 0)));
}

TEST(Clocks, SystemClockFollowsWallTimeInMilliseconds) {
    auto wall = CreateSystemClock();
    const auto first = wall->GetClock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    wall->Increment();
    const auto elapsed = wall->GetClock() - first;
    EXPECT_GT(first, 60'000'000'000'000ULL);  // milliseconds since 0001-01-01
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 60'000u);  // a sanity bound on the unit, not a timing assertion
}

TEST(PolicyPurge, KeepsTheRightEntriesAsCopiesSharingThePayloads) {
    auto mru = [](int limit) { return std::make_shared<MRUPolicy>(limit); };
    auto dropping = [](std::shared_ptr<EntryPredicate> p) {
        return std::make_shared<EntryPredicatePolicy>(std::move(p));
    };
    auto cascade = [](std::shared_ptr<IPolicy> a, std::shared_ptr<IPolicy> b) {
        auto c = std::make_shared<CascadedPolicy>(std::move(a));
        c->AddPolicy(std::move(b));
        return c;
    };
    const std::tuple<std::shared_ptr<IPolicy>, EntrySet, Clocks> cases[] = {
        {mru(3), MakeSet({1, 5, 2, 4, 3}), {3, 4, 5}},
        {mru(3), MakeSet({1, 2, 3}), {1, 2, 3}},
        {mru(0), MakeSet({1, 2}), {}},
        {mru(0), MakeSet({}), {}},
        {std::make_shared<LifetimePolicy>(6), MakeSet({0, 1, 9}), {1, 9}},  // at clock 7
        {dropping(std::make_shared<BooleanEntryPredicate>(true)), MakeSet({1, 2}), {}},
        {dropping(std::make_shared<BooleanEntryPredicate>(false)), MakeSet({1, 2}), {1, 2}},
        {cascade(mru(2), dropping(ValueIs(10))), MakeSet({1, 8, 9, 10}), {9}},
        {cascade(dropping(ValueIs(10)), mru(2)), MakeSet({1, 8, 9, 10}), {8, 9}},
    };
    int row = 0;
    for (const auto& [policy, entries, expected] : cases) {
        SCOPED_TRACE(row++);
        const EntrySet kept = policy->Purge(entries.cbegin(), entries.cend(), 7);
        Clocks clocks;
        for (const Entry& e : kept) {
            clocks.insert(e.GetClock());
            ASSERT_EQ(entries.count(e), 1u);
            EXPECT_EQ(entries.find(e)->GetData().Get(), e.GetData().Get());
        }
        EXPECT_EQ(clocks, expected);
    }
}

TEST(PolicyHooks, DefaultsRefuseWhatAPolicyDoesNotOffer) {
    MRUPolicy policy(1);
    EXPECT_FALSE(policy.HasCapability(IPolicy::ComputesEntriesToPurge));
    EXPECT_THROW(policy.ComputeEntriesToPurge(), NotImplementedException);
    EXPECT_THROW(policy.GetCacheSizeBytes(), NotImplementedException);
}

}  // namespace
