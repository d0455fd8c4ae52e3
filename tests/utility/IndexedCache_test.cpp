#include "utility/IndexedCache.h"

#include <gtest/gtest.h>

#include "utility/CacheTestHelpers.h"
#include "velcore/NotImplementedException.h"
#include "velsys/Exceptions.h"

using namespace CacheHelpers;
using veltest::IdsOf;
using veltest::MakePayload;
using veltest::RecordingPolicy;
using veltest::ValueIs;
using veltest::ValueKey;
using veltest::ValueOf;

namespace {

struct IndexedCacheTest : ::testing::Test {
    IndexedCacheTest() : policy(std::make_shared<RecordingPolicy>()), cache(policy, nullptr) {}

    // Adds entries carrying the given numbers; returns their ids in order.
    std::vector<unsigned int> Add(std::initializer_list<int> values) {
        std::vector<unsigned int> ids;
        for (int v : values) ids.push_back(cache.AddEntry(MakePayload(v)));
        return ids;
    }

    std::shared_ptr<RecordingPolicy> policy;
    IndexedCache cache;
};

TEST(IndexedCacheConstruction, NullPolicyRaisesLogicExceptionFromItsOwnSource) {
    try {
        IndexedCache cache(std::shared_ptr<IPolicy>(), nullptr);
        FAIL() << "no exception";
    } catch (const LogicException& e) {
        EXPECT_EQ(e.GetExpression(), "m_policy");
        EXPECT_NE(e.GetFile().find("main/utility/IndexedCache"), std::string::npos) << e.GetFile();
    }
}

TEST(IndexedCacheConstruction, DefaultPurgesLikeThePlainCache) {
    IndexedCache cache;
    const unsigned int id = cache.AddEntry(MakePayload(1));
    EXPECT_EQ(cache.GetEntry(id).GetClock(), 0u);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(cache.IncrementClock().empty()) << i;
    EXPECT_EQ(IdsOf(cache.IncrementClock()), std::vector<unsigned int>{id});
    EXPECT_EQ(cache.GetEntryCount(), 0u);
}

TEST_F(IndexedCacheTest, AddIndexRefusesEmptyNameEmptyFunctionAndDuplicates) {
    Add({1, 2});
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const auto before = cache.GetIndexedEntries();
    EXPECT_FALSE(cache.AddIndex("", ValueKey));
    EXPECT_FALSE(cache.AddIndex("other", IndexedCache::KeyFunction()));
    EXPECT_FALSE(cache.AddIndex("value", [](const Entry&) { return TString("x"); }));
    EXPECT_EQ(cache.GetIndexedEntries(), before);
    EXPECT_EQ(cache.GetCacheData().indexFunctions.size(), 1u);
}

TEST_F(IndexedCacheTest, AddIndexFilesHeldEntriesAndHintsFollowDeletion) {
    const auto ids = Add({7, 7, 8});
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    EXPECT_EQ(cache.GetHints("value", "7"), (std::set<unsigned int>{ids[0], ids[1]}));
    EXPECT_EQ(cache.GetIndexedEntryCount(), 2u);
    EXPECT_EQ(cache.GetCacheData().entryIndexKeys.at(ids[2]), std::set<TString>{"value|8"});

    cache.DeleteEntry(ids[0]);
    cache.DeleteEntry(ids[1]);
    EXPECT_TRUE(cache.GetHints("value", "7").empty());
    EXPECT_EQ(cache.GetIndexedEntryCount(), 1u);
    EXPECT_EQ(cache.GetCacheData().indexedEntries.count("value|7"), 0u);
    EXPECT_EQ(cache.CheckTables(), TString());
}

TEST(IndexedCacheKeys, NameAndKeyAreJoinedWithoutEscaping) {
    EXPECT_EQ(IndexedCache::MakeIndexKey("a|b", "c"), TString("a|b|c"));
    EXPECT_EQ(IndexedCache::MakeIndexKey("a|b", "c"), IndexedCache::MakeIndexKey("a", "b|c"));
    EXPECT_EQ(IndexedCache::MakeIndexKey("%2", "%1"), TString("%2|%1"));
}

TEST_F(IndexedCacheTest, IndexedPredicateIsAnsweredOnlyFromItsKey) {
    ASSERT_TRUE(cache.AddIndex("value", [](const Entry&) { return TString("k"); }));
    Add({5});
    // Nothing is filed under "value|other": no scan, even though an entry would match.
    auto elsewhere =
        std::make_shared<veltest::ValuePredicate>([](int v) { return v == 5; }, "value", "other");
    EXPECT_FALSE(cache.UseEntry(elsewhere));
    EXPECT_EQ(elsewhere->Calls(), 0);
    // A predicate naming an index that is not registered is answered by a scan.
    auto unregistered =
        std::make_shared<veltest::ValuePredicate>([](int v) { return v == 5; }, "nosuch", "k");
    EXPECT_EQ(ValueOf(cache.UseEntry(unregistered)), 5);
}

TEST_F(IndexedCacheTest, IndexedSearchTakesTheSmallestMatchingIdAndTestsOnlyCandidates) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const auto ids = Add({3, 4, 3, 3});
    auto threes = ValueIs(3, true);
    unsigned int hint = 99;
    EXPECT_EQ(ValueOf(cache.UseEntryGetHint(threes, hint)), 3);
    EXPECT_EQ(hint, ids[0]);
    EXPECT_EQ(threes->Calls(), 1);
}

TEST_F(IndexedCacheTest, PruneHintsDeletesTheOldestBeyondTheLimit) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const auto ids = Add({1, 1, 1, 2});
    auto ones = ValueIs(1, true);

    EXPECT_EQ(cache.PruneHints(ones, 3).GetID(), 0u);
    EXPECT_EQ(cache.GetEntryCount(), 4u);

    const Entry pruned = cache.PruneHints(ones, 2);
    EXPECT_EQ(pruned.GetID(), ids[0]);
    EXPECT_FALSE(pruned.GetData());
    EXPECT_EQ(pruned.GetClock(), 0u);
    EXPECT_EQ(cache.GetHints("value", "1"), (std::set<unsigned int>{ids[1], ids[2]}));
    ASSERT_EQ(policy->Deleted().size(), 1u);
    EXPECT_EQ(policy->Deleted()[0].id, ids[0]);

    auto twos = ValueIs(2, true);
    EXPECT_EQ(cache.PruneHints(twos, 0).GetID(), ids[3]);
    EXPECT_EQ(cache.GetEntryCount(), 2u);
    EXPECT_EQ(cache.CheckTables(), TString());
}

TEST_F(IndexedCacheTest, PurgeWithAnotherPolicyTellsTheOwnPolicyOfEachRemoval) {
    const auto ids = Add({1, 2, 3});
    cache.JustIncrementClock();
    cache.UseEntry(ids[2]);
    const EntrySet removed = cache.Purge(std::make_shared<MRUPolicy>(1));
    EXPECT_EQ(IdsOf(removed), (std::vector<unsigned int>{ids[0], ids[1]}));
    std::vector<unsigned int> told;
    for (const auto& call : policy->Deleted()) told.push_back(call.id);
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<unsigned int>{ids[0], ids[1]}));
    EXPECT_EQ(cache.GetPolicy(), policy);
}

TEST_F(IndexedCacheTest, SetPolicyCataloguesOnlyANewPolicyAndKeepsTheClockWhenNull) {
    Add({1, 2, 3});
    cache.JustIncrementClock();
    cache.SetPolicy(policy, nullptr);
    EXPECT_EQ(policy->CatalogCalls(), 0);

    auto next = std::make_shared<RecordingPolicy>();
    cache.SetPolicy(next, nullptr);
    EXPECT_EQ(next->CatalogCalls(), 1);
    EXPECT_EQ(next->Added().size(), 3u);
    EXPECT_EQ(cache.GetPolicy(), next);
    EXPECT_EQ(cache.GetClock(), 1u);

    cache.SetPolicy(next, CreateBasicClock());
    EXPECT_EQ(cache.GetClock(), 0u);
}

TEST_F(IndexedCacheTest, ComputingPolicyRemovesExactlyTheHeldEntriesItNames) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const auto ids = Add({1, 2, 3});
    policy->SetComputed(EntrySet{Entry(ids[0]), Entry(ids[2]), Entry(ids[2] + 1000)});
    const EntrySet removed = cache.Purge();
    EXPECT_EQ(IdsOf(removed), (std::vector<unsigned int>{ids[0], ids[2]}));
    for (const auto& e : removed) EXPECT_TRUE(e.GetData()) << "held entry, with its payload";
    EXPECT_EQ(IdsOf(cache.GetEntries()), std::vector<unsigned int>{ids[1]});
    EXPECT_EQ(cache.CheckTables(), TString());
}

TEST_F(IndexedCacheTest, UseByIdShowsThePolicyTheOldClockUseByPredicateTheNewOne) {
    const auto ids = Add({1});
    cache.JustIncrementClock();
    cache.JustIncrementClock();
    ASSERT_TRUE(cache.UseEntry(ids[0]));
    ASSERT_EQ(policy->Used().size(), 1u);
    EXPECT_EQ(policy->Used()[0].clock, 0u);

    cache.JustIncrementClock();
    ASSERT_TRUE(cache.UseEntry(ValueIs(1)));
    ASSERT_EQ(policy->Used().size(), 2u);
    EXPECT_EQ(policy->Used()[1].clock, 3u);
}

TEST_F(IndexedCacheTest, GetEntryCopiesWithoutStampingAndIgnoresUnknownIds) {
    const auto ids = Add({1});
    cache.JustIncrementClock();
    const Entry got = cache.GetEntry(ids[0]);
    EXPECT_EQ(got.GetClock(), 0u);
    EXPECT_EQ(ValueOf(got.GetData()), 1);
    EXPECT_EQ(cache.GetEntry(ids[0]).GetClock(), 0u) << "GetEntry is no use of the entry";
    EXPECT_EQ(policy->Used().size(), 2u);

    EXPECT_EQ(cache.GetEntry(ids[0] + 1000).GetID(), 0u);
    EXPECT_EQ(policy->Used().size(), 2u);
}

TEST_F(IndexedCacheTest, HintsAfterAMiss) {
    const auto ids = Add({1, 2});
    unsigned int hint = ids[0];
    EXPECT_FALSE(cache.UseEntryUpdateHint(ValueIs(9), hint));
    EXPECT_EQ(hint, ids[0]);
    EXPECT_FALSE(cache.UseEntryUpdateHint(nullptr, hint));
    EXPECT_EQ(hint, ids[0]);

    hint = ids[0];
    EXPECT_FALSE(cache.UseEntryGetHint(ValueIs(9), hint));
    EXPECT_EQ(hint, 0u);
}

TEST_F(IndexedCacheTest, UpdateHintPrefersAMatchingHintAndOtherwiseSearches) {
    auto anything = std::make_shared<BooleanEntryPredicate>(true);
    const auto ids = Add({1, 2});
    unsigned int hint = ids[1];
    EXPECT_EQ(ValueOf(cache.UseEntryUpdateHint(anything, hint)), 2);
    EXPECT_EQ(hint, ids[1]);

    cache.DeleteEntry(ids[1]);
    EXPECT_EQ(ValueOf(cache.UseEntryUpdateHint(anything, hint)), 1);
    EXPECT_EQ(hint, ids[0]);

    EXPECT_FALSE(cache.UseEntryIfMatchesPredicate(ids[0], ValueIs(2)));
    EXPECT_EQ(ValueOf(cache.UseEntryIfMatchesPredicate(ids[0], ValueIs(1))), 1);
}

TEST_F(IndexedCacheTest, DeleteEntriesNullAndEverything) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    const auto ids = Add({1, 2});
    EXPECT_TRUE(cache.DeleteEntries(nullptr).empty());
    EXPECT_EQ(IdsOf(cache.DeleteEntries()), ids);
    EXPECT_EQ(cache.GetEntryCount(), 0u);
    EXPECT_TRUE(cache.GetCacheData().indexedEntries.empty());
    EXPECT_TRUE(cache.GetCacheData().entryIndexKeys.empty());
    EXPECT_EQ(policy->Deleted().size(), 2u);
    EXPECT_TRUE(cache.DeleteEntries().empty());
}

TEST_F(IndexedCacheTest, IndexedDeletionExaminesOnlyEntriesFiledUnderTheKey) {
    // The "parity" index files by even/odd; the predicate claims that key but matches any 4.
    ASSERT_TRUE(cache.AddIndex("parity", [](const Entry& e) {
        return TString(ValueOf(e.GetData()) % 2 ? "odd" : "even");
    }));
    const auto ids = Add({4, 3, 4, 6});
    auto fours = std::make_shared<veltest::ValuePredicate>([](int v) { return v == 4 || v == 3; },
                                                           "parity", "even");
    EXPECT_EQ(IdsOf(cache.DeleteEntries(fours)), (std::vector<unsigned int>{ids[0], ids[2]}));
    EXPECT_EQ(IdsOf(cache.GetEntries()), (std::vector<unsigned int>{ids[1], ids[3]}));
    EXPECT_EQ(fours->Calls(), 3) << "only the three entries filed under parity|even";
    EXPECT_EQ(cache.CheckTables(), TString());
}

TEST_F(IndexedCacheTest, FailingKeyFunctionLeavesTheTablesWhole) {
    ASSERT_TRUE(cache.AddIndex("value", ValueKey));
    ASSERT_TRUE(cache.AddIndex("picky", [](const Entry& e) {
        if (ValueOf(e.GetData()) == 13) throw std::runtime_error("unlucky");
        return TString("ok");
    }));
    const auto ids = Add({1});
    EXPECT_THROW(cache.AddEntry(MakePayload(13)), std::runtime_error);
    EXPECT_EQ(IdsOf(cache.GetEntries()), ids);
    EXPECT_EQ(cache.CheckTables(), TString());
    EXPECT_EQ(policy->Added().size(), 1u);

    // An index whose function fails on a held entry is not registered at all.
    ASSERT_TRUE(cache.AddIndex("late", [](const Entry&) { return TString("x"); }));
    cache.AddEntry(MakePayload(2));
    const auto before = cache.GetIndexedEntries();
    EXPECT_THROW(cache.AddIndex("fails",
                                [](const Entry& e) -> TString {
                                    if (ValueOf(e.GetData()) == 2) throw std::runtime_error("no");
                                    return TString("y");
                                }),
                 std::runtime_error);
    EXPECT_EQ(cache.GetIndexedEntries(), before);
    EXPECT_EQ(cache.GetCacheData().indexFunctions.count("fails"), 0u);
    EXPECT_EQ(cache.CheckTables(), TString());
}

}  // namespace
