// Entries, clocks, predicates and the four eviction policies.
#include "utility/CacheHelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>
#include <unordered_set>

#include "utility/CacheTestHelpers.h"

using namespace veltest;
using Clocks = std::multiset<unsigned long long>;

namespace {

// Entries whose payloads carry their clock values.
EntrySet MakeSet(std::initializer_list<int> clocks) {
    EntrySet set;
    for (int clock : clocks) set.insert(Entry(MakePayload(clock), unsigned(clock)));
    return set;
}

// Run alone (as CTest does), this also sees the first ids of the process: 0 must never be one.
TEST(EntryIds, AreUniqueAcrossThreads) {
    constexpr int kThreads = 4, kPerThread = 5000;
    std::vector<std::vector<unsigned>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                ids[size_t(t)].push_back(Entry(Payload(), 0).GetID());
        });
    for (auto& th : threads) th.join();
    std::unordered_set<unsigned> all;
    for (auto& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), size_t(kThreads * kPerThread));
    EXPECT_EQ(all.count(0u), 0u);
}

TEST(EntryIds, OnlyPayloadEntriesIssueThem) {
    const unsigned before = Entry(MakePayload(), 0).GetID();
    const Entry key(5), empty;
    EXPECT_EQ(Entry(MakePayload(), 0).GetID(), before + 1);  // neither key nor empty took one
}

TEST(Predicates, BinderKeepsItsOwnReference) {
    auto p = ValueIs(4);
    const EntryPredicateBinder binder(p);
    p.reset();
    EXPECT_TRUE(binder(Entry(MakePayload(4), 0)));
    EXPECT_FALSE(binder(Entry(MakePayload(5), 0)));
}

TEST(Clocks, SystemClockCountsMillisecondsFromTheFirstDayOfYearOne) {
    constexpr long long kYearOneToUnixEpochMs = 62'135'596'800'000LL;
    const long long expected = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count() +
                               kYearOneToUnixEpochMs;
    const auto got = static_cast<long long>(CreateSystemClock()->GetClock());
    EXPECT_LT(std::llabs(got - expected), 60'000LL);  // a bound on the unit, not on speed
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
        {std::make_shared<LifetimePolicy>(6), MakeSet({0, 1, 9}), {1, 9}},  // at 7: strict
        {std::make_shared<LifetimePolicy>(0), MakeSet({6, 7}), {7}},
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

}  // namespace
