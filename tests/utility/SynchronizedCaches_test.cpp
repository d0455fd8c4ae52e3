// Behaviour of the two lock-protected caches: one suite over both where they share a behaviour,
// then what each does on its own, then where their callbacks run relative to the lock.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "utility/CacheTestHelpers.h"
#include "utility/LockProbe.h"
#include "utility/SynchronizedCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Exceptions.h"
#include "velsys/Locks.h"

using namespace CacheHelpers;
using veltest::IdsOf;
using veltest::MakePayload;
using veltest::RecordingPolicy;
using veltest::ValueIs;
using veltest::ValueKey;
using veltest::ValueOf;

namespace {

// What the shared suite needs of a lock-protected cache.
class LockedCache {
public:
    virtual ~LockedCache() = default;
    virtual unsigned int Add(int value) = 0;
    virtual unsigned long long Size() = 0;
    virtual Payload GetById(unsigned int id) = 0;
    virtual EntrySet PurgeKeepingAll() = 0;
    virtual void OnDirty(const std::vector<unsigned int>& ids) = 0;
    // The hint-first lookup: SynchronizedCache::TryGetEntry(predicate, hint) or
    // SynchronizedIndexedCache::TryGetEntryUpdateHint.
    virtual Payload GetWithHint(std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) = 0;
    virtual Payload GetAndHint(std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) = 0;
    virtual EntrySet DeleteMatching(std::shared_ptr<EntryPredicate> predicate) = 0;

    TReadWriteLock lock;
};

class Plain : public LockedCache {
public:
    Plain() : m_cache(std::make_shared<LifetimePolicy>(1000), &lock) {}
    unsigned int Add(int value) override { return m_cache.AddEntry(MakePayload(value)); }
    unsigned long long Size() override { return m_cache.GetSize(); }
    Payload GetById(unsigned int id) override { return m_cache.TryGetEntry(id); }
    EntrySet PurgeKeepingAll() override {
        RecordingPolicy keepAll;
        return m_cache.PurgeWithPolicy(keepAll);
    }
    void OnDirty(const std::vector<unsigned int>& ids) override { m_cache.OnDirty(ids); }
    Payload GetWithHint(std::shared_ptr<EntryPredicate> p, unsigned int& hint) override {
        return m_cache.TryGetEntry(std::move(p), hint);
    }
    Payload GetAndHint(std::shared_ptr<EntryPredicate> p, unsigned int& hint) override {
        return m_cache.TryGetEntryAndHint(std::move(p), hint);
    }
    EntrySet DeleteMatching(std::shared_ptr<EntryPredicate> p) override {
        return m_cache.DeleteEntries(std::move(p));
    }

private:
    SynchronizedCache m_cache;
};

class Indexed : public LockedCache {
public:
    Indexed() : m_cache(std::make_shared<RecordingPolicy>(), &lock, nullptr) {
        m_cache.AddIndex("value", ValueKey);
    }
    unsigned int Add(int value) override { return m_cache.AddEntry(MakePayload(value)); }
    unsigned long long Size() override { return m_cache.GetEntryCount(); }
    Payload GetById(unsigned int id) override { return m_cache.TryGetEntry(id); }
    EntrySet PurgeKeepingAll() override { return m_cache.Purge(); }
    void OnDirty(const std::vector<unsigned int>& ids) override { m_cache.OnDirty(ids); }
    Payload GetWithHint(std::shared_ptr<EntryPredicate> p, unsigned int& hint) override {
        return m_cache.TryGetEntryUpdateHint(std::move(p), hint);
    }
    Payload GetAndHint(std::shared_ptr<EntryPredicate> p, unsigned int& hint) override {
        return m_cache.TryGetEntryAndHint(std::move(p), hint);
    }
    EntrySet DeleteMatching(std::shared_ptr<EntryPredicate> p) override {
        return m_cache.DeleteEntries(std::move(p));
    }

private:
    SynchronizedIndexedCache m_cache;
};

struct Implementation {
    std::string name;
    std::function<std::unique_ptr<LockedCache>()> make;
};

class LockedCaches : public ::testing::TestWithParam<Implementation> {
protected:
    LockedCaches() : cache(GetParam().make()) {}
    std::unique_ptr<LockedCache> cache;
};

TEST_P(LockedCaches, PurgeWithAPolicyThatKeepsEverythingRemovesNothing) {
    cache->Add(1);
    cache->Add(2);
    EXPECT_TRUE(cache->PurgeKeepingAll().empty());
    EXPECT_EQ(cache->Size(), 2u);
}

TEST_P(LockedCaches, OnDirtyDeletesTheHeldIdsAndIgnoresTheRest) {
    const unsigned int a = cache->Add(1);
    const unsigned int b = cache->Add(2);
    cache->OnDirty({});
    EXPECT_EQ(cache->Size(), 2u);
    cache->OnDirty({b + 1000, a, 0, a});
    EXPECT_EQ(cache->Size(), 1u);
    EXPECT_FALSE(cache->GetById(a));
    EXPECT_EQ(ValueOf(cache->GetById(b)), 2);
}

TEST_P(LockedCaches, AMatchingHintIsKeptAStaleOneReplacedByTheFirstMatchOrZero) {
    const unsigned int gone = cache->Add(5);
    const unsigned int other = cache->Add(6);
    unsigned int hint = gone;
    EXPECT_EQ(ValueOf(cache->GetWithHint(ValueIs(5), hint)), 5);
    EXPECT_EQ(hint, gone);
    cache->OnDirty({gone});
    EXPECT_EQ(ValueOf(cache->GetWithHint(ValueIs(6), hint)), 6);
    EXPECT_EQ(hint, other);

    hint = other;  // held, but no longer matching
    EXPECT_FALSE(cache->GetWithHint(ValueIs(7), hint));
    EXPECT_EQ(hint, 0u);
}

TEST_P(LockedCaches, DeleteByPredicateReturnsTheMatchesWithTheirPayloads) {
    const unsigned int a = cache->Add(1);
    cache->Add(2);
    const unsigned int c = cache->Add(1);
    const EntrySet removed = cache->DeleteMatching(ValueIs(1));
    EXPECT_EQ(IdsOf(removed), (std::vector<unsigned int>{a, c}));
    for (const auto& e : removed) EXPECT_EQ(ValueOf(e.GetData()), 1);
    EXPECT_EQ(cache->Size(), 1u);
    EXPECT_TRUE(cache->DeleteMatching(ValueIs(1)).empty());
}

INSTANTIATE_TEST_SUITE_P(
    BothCaches, LockedCaches,
    ::testing::Values(Implementation{"SynchronizedCache",
                                     [] { return std::unique_ptr<LockedCache>(new Plain); }},
                      Implementation{"SynchronizedIndexedCache",
                                     [] { return std::unique_ptr<LockedCache>(new Indexed); }}),
    [](const ::testing::TestParamInfo<Implementation>& info) { return info.param.name; });

// A policy that runs `during` (with no lock held) and then keeps nothing.
struct ActingPolicy : IPolicy {
    explicit ActingPolicy(std::function<void()> during) : m_during(std::move(during)) {}
    EntrySet Purge(EntrySet::const_iterator, EntrySet::const_iterator,
                   unsigned long long) override {
        m_during();
        return {};
    }
    std::function<void()> m_during;
};

struct SynchronizedCacheTest : ::testing::Test {
    TReadWriteLock lock;
    SynchronizedCache cache{std::make_shared<LifetimePolicy>(2), &lock};
};

TEST_F(SynchronizedCacheTest, EntryRemovedElsewhereAfterTheSnapshotIsStillReported) {
    const unsigned int a = cache.AddEntry(MakePayload(1));
    const unsigned int b = cache.AddEntry(MakePayload(2));
    ActingPolicy policy([&] { EXPECT_EQ(ValueOf(cache.TryDeleteEntry(a)), 1); });
    EXPECT_EQ(IdsOf(cache.PurgeWithPolicy(policy)), (std::vector<unsigned int>{a, b}));
    EXPECT_EQ(cache.GetSize(), 0u);
}

TEST_F(SynchronizedCacheTest, EntryAddedAfterTheSnapshotIsNeitherPurgedNorFound) {
    cache.AddEntry(MakePayload(1));
    unsigned int late = 0;
    ActingPolicy policy([&] { late = cache.AddEntry(MakePayload(2)); });
    const EntrySet removed = cache.PurgeWithPolicy(policy);
    EXPECT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed.count(Entry(late)), 0u);
    EXPECT_EQ(ValueOf(cache.TryGetEntry(late)), 2);

    struct AddingPredicate : EntryPredicate {
        explicit AddingPredicate(SynchronizedCache& c) : cache(c) {}
        bool Matches(const Entry& e) override {
            if (!added) added = cache.AddEntry(MakePayload(3));
            return ValueOf(e.GetData()) == 3;
        }
        SynchronizedCache& cache;
        unsigned int added = 0;
    };
    auto adding = std::make_shared<AddingPredicate>(cache);
    EXPECT_FALSE(cache.TryGetEntry(adding));
    EXPECT_NE(adding->added, 0u);
}

TEST_F(SynchronizedCacheTest, GetAndHintClearsTheHintWhenNothingMatches) {
    cache.AddEntry(MakePayload(1));
    unsigned int hint = 42;
    EXPECT_FALSE(cache.TryGetEntryAndHint(ValueIs(9), hint));
    EXPECT_EQ(hint, 0u);
}

TEST_F(SynchronizedCacheTest, VisitEntriesAsksEveryEntryOnce) {
    auto visitor = ValueIs(0);
    cache.VisitEntries(visitor);
    EXPECT_EQ(visitor->Calls(), 0);
    for (int i = 0; i < 3; ++i) cache.AddEntry(MakePayload(i));
    cache.VisitEntries(visitor);
    EXPECT_EQ(visitor->Calls(), 3);
    EXPECT_EQ(cache.GetSize(), 3u);
}

TEST_F(SynchronizedCacheTest, IncrementClockPurgesWhatBecameTooOld) {
    const unsigned int old = cache.AddEntry(MakePayload(1));
    cache.IncrementClock();
    cache.IncrementClock();
    const unsigned int recent = cache.AddEntry(MakePayload(2));
    EXPECT_EQ(IdsOf(cache.IncrementClock()), std::vector<unsigned int>{old});
    EXPECT_EQ(ValueOf(cache.TryGetEntry(recent)), 2);

    MRUPolicy none(0);
    EXPECT_EQ(IdsOf(cache.IncrementClockWithPolicy(none)), std::vector<unsigned int>{recent});
    EXPECT_EQ(cache.GetCache()->GetClock(), 4u);
}

struct SynchronizedIndexedCacheTest : ::testing::Test {
    SynchronizedIndexedCacheTest() { cache.AddIndex("value", ValueKey); }
    std::vector<unsigned int> Add(std::initializer_list<int> values) {
        std::vector<unsigned int> ids;
        for (int v : values) ids.push_back(cache.AddEntry(MakePayload(v)));
        return ids;
    }

    veltest::HostScope host;
    TReadWriteLock lock;
    std::shared_ptr<RecordingPolicy> policy = std::make_shared<RecordingPolicy>();
    SynchronizedIndexedCache cache{policy, &lock, nullptr};
};

TEST(SynchronizedIndexedCacheLock, ABorrowedLockIsLeftUsableAndAnOwnLockWorks) {
    TReadWriteLock lock;
    {
        SynchronizedIndexedCache cache(std::make_shared<MRUPolicy>(4), &lock, nullptr);
        cache.AddEntry(MakePayload(1));
    }
    EXPECT_TRUE(veltest::LockCanBeTakenElsewhere(lock, std::chrono::seconds(5)));
    // An own lock is made and destroyed with the cache (the sanitizer builds check the latter).
    SynchronizedIndexedCache own(std::make_shared<MRUPolicy>(4), nullptr);
    const unsigned int id = own.AddEntry(MakePayload(2));
    EXPECT_EQ(ValueOf(own.TryGetEntry(id)), 2);
}

TEST_F(SynchronizedIndexedCacheTest, CandidatesComeFromTheIndexAndFirstMatchFromThem) {
    EXPECT_EQ(cache.FindFirstMatch(ValueIs(1, true)), 0u);
    const auto ids = Add({1, 1, 2});
    auto none = std::make_shared<veltest::ValuePredicate>([](int) { return false; }, "value", "1");
    EXPECT_EQ(IdsOf(cache.GetPossiblyMatchingEntries(none)),
              (std::vector<unsigned int>{ids[0], ids[1]}));
    EXPECT_EQ(cache.FindFirstMatch(none), 0u);
    EXPECT_EQ(none->Calls(), 2) << "only the two candidates filed under value|1";
    EXPECT_EQ(IdsOf(cache.GetPossiblyMatchingEntries(ValueIs(1))), ids);
    EXPECT_EQ(cache.FindFirstMatch(ValueIs(2, true)), ids[2]);
}

TEST_F(SynchronizedIndexedCacheTest, GetAndHintLeavesTheHintAloneOnAMiss) {
    Add({1});
    unsigned int hint = 42;
    EXPECT_FALSE(cache.TryGetEntryAndHint(ValueIs(9), hint));
    EXPECT_EQ(hint, 42u);
    EXPECT_FALSE(cache.TryGetEntry(ValueIs(9, true)));
}

TEST_F(SynchronizedIndexedCacheTest, UpdateHintWithAValidHintDoesNotSearch) {
    const auto ids = Add({1, 1});
    auto ones = ValueIs(1, true);
    unsigned int hint = ids[1];
    EXPECT_EQ(ValueOf(cache.TryGetEntryUpdateHint(ones, hint)), 1);
    EXPECT_EQ(hint, ids[1]);
    EXPECT_EQ(ones->Calls(), 1);
}

TEST_F(SynchronizedIndexedCacheTest, APrecomputedPredicateKeepsItsAnswersAndAsksAboutNewcomers) {
    const auto ids = Add({1, 2});
    bool acceptAll = false;
    auto changing = std::make_shared<veltest::ValuePredicate>(
        [&acceptAll](int v) { return acceptAll || v == 1; });
    auto precomputed = cache.MakePrecomputedPredicate(changing);
    acceptAll = true;
    EXPECT_FALSE(precomputed->Matches(*cache.GetEntries().find(Entry(ids[1]))));
    EXPECT_TRUE(precomputed->Matches(*cache.GetEntries().find(Entry(ids[0]))));
    const unsigned int later = cache.AddEntry(MakePayload(3));
    EXPECT_TRUE(precomputed->Matches(*cache.GetEntries().find(Entry(later))));

    auto indexed = cache.MakePrecomputedPredicate(ValueIs(1, true));
    EXPECT_EQ(indexed->GetIndexName(), TString("value"));
    EXPECT_EQ(indexed->GetKeyForIndexing(), TString("1"));
    EXPECT_TRUE(indexed->HasIndex());
}

TEST_F(SynchronizedIndexedCacheTest, ReplaceByPredicateKeepsTheNewEntry) {
    const auto ids = Add({1, 1, 2});
    auto [added, deleted] =
        cache.AddEntryAndDeleteExistingEntriesItMatches(MakePayload(1), ValueIs(1, true));
    EXPECT_EQ(IdsOf(deleted), (std::vector<unsigned int>{ids[0], ids[1]}));
    EXPECT_EQ(deleted.count(Entry(added)), 0u);
    EXPECT_EQ(IdsOf(cache.GetEntries()), (std::vector<unsigned int>{ids[2], added}));
    EXPECT_EQ(ValueOf(cache.TryGetEntry(added)), 1);
    EXPECT_EQ(cache.CheckTablesTestOnly(), TString());
}

TEST_F(SynchronizedIndexedCacheTest, IndexedDeletionTouchesOnlyHintedMatches) {
    const auto ids = Add({1, 1, 2});
    // Claims the key "1" but matches value 2 too: the entry filed under "2" must survive.
    auto oneOrTwo =
        std::make_shared<veltest::ValuePredicate>([](int v) { return v <= 2; }, "value", "1");
    EXPECT_EQ(IdsOf(cache.DeleteEntries(oneOrTwo)), (std::vector<unsigned int>{ids[0], ids[1]}));
    EXPECT_EQ(IdsOf(cache.GetEntries()), std::vector<unsigned int>{ids[2]});
    EXPECT_EQ(policy->Deleted().size(), 2u);
    EXPECT_TRUE(cache.DeleteEntries(nullptr).empty());

    Add({3, 4});
    EXPECT_EQ(cache.PrecomputePredicateAndDeleteEntries(ValueIs(3)).size(), 1u);
    EXPECT_EQ(cache.GetEntryCount(), 2u);
    EXPECT_EQ(cache.CheckTablesTestOnly(), TString());
}

TEST_F(SynchronizedIndexedCacheTest, AComputingPolicyHasExactlyItsSetDeleted) {
    const auto ids = Add({1, 2, 3});
    policy->SetComputed(EntrySet{Entry(ids[0]), Entry(ids[2])});
    EXPECT_EQ(IdsOf(cache.Purge()), (std::vector<unsigned int>{ids[0], ids[2]}));
    EXPECT_EQ(IdsOf(cache.GetEntries()), std::vector<unsigned int>{ids[1]});
}

// --- Where callbacks run relative to the lock ---------------------------------------------

using Millis = std::chrono::milliseconds;
// Long enough that a free lock is always seen free; a held one is reported after it.
constexpr Millis kFreeWait{5000};

struct Probed {
    std::string operation;
    std::function<void(TReadWriteLock&, veltest::LockObserver&)> run;
};

void ExpectEveryProbeFree(const std::vector<Probed>& operations) {
    for (const auto& op : operations) {
        TReadWriteLock lock;
        veltest::LockObserver observer(lock, kFreeWait);
        op.run(lock, observer);
        const auto answers = observer.Answers();
        EXPECT_FALSE(answers.empty()) << op.operation << ": no callback ran";
        for (bool free : answers)
            EXPECT_TRUE(free) << op.operation << " ran a callback under the lock";
    }
}

std::shared_ptr<EntryPredicate> Probe(veltest::LockObserver& o, bool matches, TString key = {}) {
    return std::make_shared<veltest::ProbingPredicate>(o, matches, std::move(key));
}

TEST(LockAndCallbacks, SynchronizedCacheRunsPoliciesAndPredicatesWithTheLockFree) {
    auto filled = [](TReadWriteLock& lock, std::shared_ptr<IPolicy> policy) {
        auto cache = std::make_unique<SynchronizedCache>(std::move(policy), &lock);
        for (int i = 0; i < 3; ++i) cache->AddEntry(MakePayload(i));
        return cache;
    };
    auto keepAll = std::make_shared<RecordingPolicy>();
    ExpectEveryProbeFree({
        {"Purge",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             auto c = filled(l, std::make_shared<veltest::ProbingPolicy>(o));
             EXPECT_EQ(c->Purge().size(), 3u);
         }},
        {"IncrementClock",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             filled(l, std::make_shared<veltest::ProbingPolicy>(o))->IncrementClock();
         }},
        {"PurgeWithPolicy",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             veltest::ProbingPolicy p(o);
             EXPECT_EQ(filled(l, keepAll)->PurgeWithPolicy(p).size(), 3u);
         }},
        {"IncrementClockWithPolicy",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             veltest::ProbingPolicy p(o);
             filled(l, keepAll)->IncrementClockWithPolicy(p);
         }},
        {"DeleteEntries",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             auto c = filled(l, keepAll);
             EXPECT_EQ(c->DeleteEntries(Probe(o, true)).size(), 3u);
         }},
        {"TryGetEntry(predicate)",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             filled(l, keepAll)->TryGetEntry(Probe(o, false));
         }},
        {"TryGetEntry(predicate, hint)",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             auto c = filled(l, keepAll);
             unsigned int hint = c->AddEntry(MakePayload(9));
             c->TryGetEntry(Probe(o, false), hint);
         }},
        {"TryGetEntryAndHint",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             unsigned int hint = 0;
             filled(l, keepAll)->TryGetEntryAndHint(Probe(o, false), hint);
         }},
        {"VisitEntries",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             filled(l, keepAll)->VisitEntries(Probe(o, false));
         }},
    });
}

TEST(LockAndCallbacks, SynchronizedIndexedCacheRunsPoliciesAndPredicatesWithTheLockFree) {
    auto filled = [](TReadWriteLock& lock, std::shared_ptr<IPolicy> policy) {
        auto cache = std::make_unique<SynchronizedIndexedCache>(std::move(policy), &lock, nullptr);
        cache->AddIndex("value", [](const Entry&) { return TString("k"); });
        for (int i = 0; i < 3; ++i) cache->AddEntry(MakePayload(i));
        return cache;
    };
    auto keepAll = std::make_shared<RecordingPolicy>();
    ExpectEveryProbeFree({
        {"Purge",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             auto c = filled(l, std::make_shared<veltest::ProbingPolicy>(o));
             EXPECT_EQ(c->Purge().size(), 3u);
         }},
        {"FindFirstMatch",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             filled(l, keepAll)->FindFirstMatch(Probe(o, false, "k"));
         }},
        {"TryGetEntry(predicate)",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             EXPECT_TRUE(filled(l, keepAll)->TryGetEntry(Probe(o, true)));
         }},
        {"TryGetEntryUpdateHint without a hint",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             unsigned int hint = 0;
             filled(l, keepAll)->TryGetEntryUpdateHint(Probe(o, false, "k"), hint);
         }},
        {"DeleteEntries through the index",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             EXPECT_EQ(filled(l, keepAll)->DeleteEntries(Probe(o, true, "k")).size(), 3u);
         }},
        {"PrecomputePredicateAndDeleteEntries without an index",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             auto c = filled(l, keepAll);
             EXPECT_EQ(c->PrecomputePredicateAndDeleteEntries(Probe(o, true)).size(), 3u);
         }},
        {"AddEntryAndDeleteExistingEntriesItMatches",
         [&](TReadWriteLock& l, veltest::LockObserver& o) {
             auto c = filled(l, keepAll);
             auto result =
                 c->AddEntryAndDeleteExistingEntriesItMatches(MakePayload(7), Probe(o, true));
             EXPECT_EQ(result.second.size(), 3u);
             EXPECT_EQ(c->GetEntryCount(), 1u);
         }},
    });
}

// The control that shows the probe can fail: the operations that are meant to evaluate the
// predicate under the lock are seen doing so.
TEST(LockAndCallbacks, TheProbeSeesTheLockWhereItIsMeantToBeHeld) {
    TReadWriteLock lock;
    veltest::LockObserver observer(lock, Millis(200));
    SynchronizedIndexedCache cache(std::make_shared<RecordingPolicy>(), &lock, nullptr);
    const unsigned int id = cache.AddEntry(MakePayload(1));
    cache.DeleteEntries(Probe(observer, false));  // no index: under the exclusive lock
    unsigned int hint = id;
    cache.TryGetEntryUpdateHint(Probe(observer, true), hint);  // the hinted entry, under the lock
    EXPECT_EQ(observer.Answers(), (std::vector<bool>{false, false}));
}

}  // namespace
