// What the indexed cache adds to the plain one: the index tables, lookups through an index,
// pruning by hint, and the policy hooks with the clock each one sees.
#include "utility/IndexedCache.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "utility/CacheTestHelpers.h"

using namespace veltest;
using Call = RecordingPolicy::Call;
using Ids = std::vector<unsigned int>;

namespace {

struct Indexed : ::testing::Test {
    Ids Add(std::initializer_list<int> values) { return AddValues(cache, values); }

    std::shared_ptr<RecordingPolicy> policy = std::make_shared<RecordingPolicy>();
    IndexedCache cache{policy, nullptr};
};

// CheckTables holds every table against the others (no key with an empty id set included).
TEST_F(Indexed, AnIndexWithoutANameOrAFunctionOrWithATakenNameIsRefused) {
    Add({7, 7, 8});
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const auto filed = cache.GetIndexedEntries();
    EXPECT_FALSE(cache.AddIndex("", ValueKey));
    EXPECT_FALSE(cache.AddIndex("other", IndexedCache::KeyFunction()));
    EXPECT_FALSE(cache.AddIndex("value", [](const Entry&) { return TString("x"); }));
    EXPECT_EQ(cache.GetIndexedEntries(), filed);
}

TEST_F(Indexed, TablesFollowDeletions) {
    const Ids ids = Add({7, 7, 8});
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    EXPECT_EQ(cache.GetHints("value", "7"), (std::set<unsigned int>{ids[0], ids[1]}));
    cache.DeleteEntry(ids[0]);
    cache.DeleteEntry(ids[1]);
    cache.DeleteEntry(ids[1]);  // not held: no change
    EXPECT_TRUE(cache.GetHints("value", "7").empty());
    EXPECT_EQ(cache.CheckTables(), TString());
    EXPECT_TRUE(cache.DeleteEntries(nullptr).empty());
    EXPECT_EQ(IdsOf(cache.DeleteEntries()), Ids{ids[2]});
    EXPECT_TRUE(cache.GetIndexedEntries().empty());
}

TEST_F(Indexed, AnIndexedPredicateIsTriedOnlyOnTheEntriesFiledUnderItsKey) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    ASSERT_TRUE(cache.AddIndex("parity", [](const Entry& e) {
        return TString(ValueOf(e.GetData()) % 2 ? "odd" : "even");
    }));
    const Ids ids = Add({3, 4, 3, 3, 6});
    auto threes = ValueIs(3, true);
    unsigned int hint = 99;
    EXPECT_EQ(ValueOf(cache.UseEntryGetHint(threes, hint)), 3);
    EXPECT_EQ(hint, ids[0]) << "the smallest id filed under the key";
    EXPECT_EQ(threes->calls, 1);

    auto elsewhere = Claiming([](int v) { return v == 3; }, "value", "5");
    EXPECT_FALSE(cache.UseEntry(elsewhere));
    EXPECT_EQ(elsewhere->calls, 0) << "nothing filed under value|5: no scan";
    EXPECT_EQ(ValueOf(cache.UseEntry(Claiming([](int v) { return v == 6; }, "nosuch", "k"))), 6)
        << "an index that is not registered means a scan";

    // Claims "even" but also matches 3: the odd entries are never examined.
    auto evenOrThree = Claiming([](int v) { return v == 4 || v == 3; }, "parity", "even");
    EXPECT_EQ(IdsOf(cache.DeleteEntries(evenOrThree)), Ids{ids[1]});
    EXPECT_EQ(evenOrThree->calls, 2);
    EXPECT_EQ(cache.CheckTables(), TString());
}

TEST_F(Indexed, PruneHintsDeletesTheOldestBeyondTheLimitOnePerCall) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const Ids ids = Add({1, 1, 1, 2});
    EXPECT_EQ(cache.PruneHints(ValueIs(1, true), 3).GetID(), 0u);
    EXPECT_EQ(cache.PruneHints(nullptr, 0).GetID(), 0u);
    EXPECT_EQ(cache.GetEntryCount(), 4u);

    const Entry pruned = cache.PruneHints(ValueIs(1, true), 1);
    EXPECT_EQ(pruned.GetID(), ids[0]);
    EXPECT_FALSE(pruned.GetData());
    EXPECT_EQ(pruned.GetClock(), 0u);
    EXPECT_EQ(cache.GetHints("value", "1"), (std::set<unsigned int>{ids[1], ids[2]}));
    EXPECT_EQ(cache.PruneHints(ValueIs(2, true), 0).GetID(), ids[3]);
    EXPECT_EQ(IdsOf(policy->Calls(RecordingPolicy::Deleted)), (Ids{ids[0], ids[3]}));
    EXPECT_EQ(cache.CheckTables(), TString());
}

TEST_F(Indexed, ThePolicyHearsEachChangeInOrderWithTheClockItSees) {
    const Ids ids = Add({1, 2});
    cache.JustIncrementClock();
    cache.JustIncrementClock();
    ASSERT_TRUE(cache.UseEntry(ids[0]));  // the policy sees the previous clock
    cache.JustIncrementClock();
    ASSERT_TRUE(cache.UseEntry(ValueIs(2)));           // the policy sees the new clock
    EXPECT_EQ(cache.GetEntry(ids[0]).GetClock(), 2u);  // a use, but not stamped
    EXPECT_EQ(cache.GetEntry(ids[1] + 1000).GetID(), 0u);
    cache.DeleteEntry(ids[1]);
    using H = RecordingPolicy::Hook;
    EXPECT_EQ(policy->Calls(), (std::vector<Call>{{H::Added, ids[0], 0},
                                                  {H::Added, ids[1], 0},
                                                  {H::Used, ids[0], 0},
                                                  {H::Used, ids[1], 3},
                                                  {H::Used, ids[0], 2},
                                                  {H::Deleted, ids[1], 3}}));

    // Another policy chooses, the own policy hears; a new policy is first handed the entries.
    const unsigned int three = cache.AddEntry(MakePayload(3));
    cache.JustIncrementClock();
    const unsigned int four = cache.AddEntry(MakePayload(4));
    EXPECT_EQ(IdsOf(cache.Purge(std::make_shared<MRUPolicy>(1))), (Ids{ids[0], three}));
    EXPECT_EQ(IdsOf(policy->Calls(H::Deleted)), (Ids{ids[0], ids[1], three}));
    cache.SetPolicy(policy, nullptr);
    EXPECT_TRUE(policy->Calls(H::Catalog).empty());
    auto next = std::make_shared<RecordingPolicy>();
    cache.SetPolicy(next, nullptr);
    EXPECT_EQ(next->Calls(), (std::vector<Call>{{H::Catalog, 0, 0}, {H::Added, four, 4}}));
}

TEST_F(Indexed, AComputingPolicyRemovesExactlyTheHeldEntriesItNames) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const Ids ids = Add({1, 2, 3});
    policy->computed = EntrySet{Entry(ids[0]), Entry(ids[2]), Entry(ids[2] + 1000)};
    const EntrySet removed = cache.Purge();
    EXPECT_EQ(IdsOf(removed), (Ids{ids[0], ids[2]}));
    for (const auto& e : removed) EXPECT_TRUE(e.GetData()) << "held entry, with its payload";
    EXPECT_EQ(IdsOf(cache.GetEntries()), Ids{ids[1]});
    EXPECT_EQ(cache.CheckTables(), TString());
}

TEST_F(Indexed, UpdateHintPrefersAMatchingHint) {
    auto anything = std::make_shared<BooleanEntryPredicate>(true);
    const Ids ids = Add({1, 2});
    unsigned int hint = ids[1];
    EXPECT_EQ(ValueOf(cache.UseEntryUpdateHint(anything, hint)), 2);
    EXPECT_EQ(hint, ids[1]);
    cache.DeleteEntry(ids[1]);
    EXPECT_EQ(ValueOf(cache.UseEntryUpdateHint(anything, hint)), 1);
    EXPECT_EQ(hint, ids[0]);
}

TEST_F(Indexed, UpdateHintIsKeptOnAMiss) {
    const Ids ids = Add({1, 2});
    unsigned int hint = ids[0];
    EXPECT_FALSE(cache.UseEntryUpdateHint(ValueIs(9), hint));
    EXPECT_FALSE(cache.UseEntryUpdateHint(nullptr, hint));
    EXPECT_EQ(hint, ids[0]);
}

TEST_F(Indexed, AnEntryIsUsedOnlyWhenItMatchesThePredicate) {
    const Ids ids = Add({1, 2});
    EXPECT_FALSE(cache.UseEntryIfMatchesPredicate(ids[0], ValueIs(2)));
    EXPECT_EQ(ValueOf(cache.UseEntryIfMatchesPredicate(ids[0], ValueIs(1))), 1);
}

TEST_F(Indexed, AFailingKeyFunctionLeavesTheTablesWhole) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    ASSERT_TRUE(cache.AddIndex("picky", [](const Entry& e) {
        if (ValueOf(e.GetData()) == 13) throw std::runtime_error("unlucky");
        return TString("ok");
    }));
    const Ids ids = Add({1, 2});
    EXPECT_THROW(cache.AddEntry(MakePayload(13)), std::runtime_error);
    EXPECT_EQ(IdsOf(cache.GetEntries()), ids);
    EXPECT_EQ(policy->Calls(RecordingPolicy::Added).size(), 2u);
    EXPECT_EQ(cache.CheckTables(), TString());

    // An index whose function fails on a held entry (after filing others) is not registered.
    const auto filed = cache.GetIndexedEntries();
    EXPECT_THROW(cache.AddIndex("fails",
                                [](const Entry& e) -> TString {
                                    if (ValueOf(e.GetData()) == 2) throw std::runtime_error("no");
                                    return TString("y");
                                }),
                 std::runtime_error);
    EXPECT_EQ(cache.GetIndexedEntries(), filed);
    EXPECT_EQ(cache.CheckTables(), TString());
    EXPECT_TRUE(cache.AddIndex("fails", ValueKey)) << "the failed index was not registered";
}

}  // namespace
