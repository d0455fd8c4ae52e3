// The two lock-protected caches: one suite over both where they share a behaviour, then what
// each does on its own, then where their callbacks run relative to the lock.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <type_traits>

#include "utility/CacheTestHelpers.h"
#include "utility/SynchronizedCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Locks.h"

using namespace veltest;
using Ids = std::vector<unsigned int>;

namespace {

template <class C>
class LockedCaches : public ::testing::Test {
protected:
    static constexpr bool kPlain = std::is_same_v<C, SynchronizedCache>;
    LockedCaches() {
        if constexpr (kPlain) {
            cache = std::make_unique<C>(std::make_shared<RecordingPolicy>(), &lock);
        } else {
            cache = std::make_unique<C>(std::make_shared<RecordingPolicy>(), &lock, nullptr);
            cache->AddIndex("value", ValueKey);
        }
    }
    unsigned int Add(int value) { return cache->AddEntry(MakePayload(value)); }
    // The hint-first lookup of each cache.
    Payload GetWithHint(std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) {
        if constexpr (kPlain)
            return cache->TryGetEntry(predicate, hint);
        else
            return cache->TryGetEntryUpdateHint(predicate, hint);
    }

    TReadWriteLock lock;
    std::unique_ptr<C> cache;
};
using LockedTypes = ::testing::Types<SynchronizedCache, SynchronizedIndexedCache>;
TYPED_TEST_SUITE(LockedCaches, LockedTypes);

TYPED_TEST(LockedCaches, OnDirtyAndDeleteByPredicateRemoveOnlyTheirEntries) {
    const unsigned int a = this->Add(1), b = this->Add(2);
    this->cache->OnDirty({});
    this->cache->OnDirty({b + 1000, a, 0, a});
    EXPECT_FALSE(this->cache->TryGetEntry(a));
    EXPECT_EQ(ValueOf(this->cache->TryGetEntry(b)), 2);

    const unsigned int c = this->Add(2), d = this->Add(3);
    const EntrySet removed = this->cache->DeleteEntries(ValueIs(2));
    EXPECT_EQ(IdsOf(removed), (Ids{b, c}));
    for (const auto& e : removed) EXPECT_EQ(ValueOf(e.GetData()), 2);
    EXPECT_EQ(ValueOf(this->cache->TryGetEntry(d)), 3);
    EXPECT_TRUE(this->cache->DeleteEntries(ValueIs(2)).empty());
}

TYPED_TEST(LockedCaches, AMatchingHintIsKeptAStaleOneReplacedByTheFirstMatchOrZero) {
    const unsigned int gone = this->Add(5), other = this->Add(6);
    unsigned int hint = gone;
    EXPECT_EQ(ValueOf(this->GetWithHint(ValueIs(5), hint)), 5);
    EXPECT_EQ(hint, gone);
    this->cache->OnDirty({gone});
    EXPECT_EQ(ValueOf(this->GetWithHint(ValueIs(6), hint)), 6);
    EXPECT_EQ(hint, other);
    EXPECT_FALSE(this->GetWithHint(ValueIs(7), hint));  // held, but no longer matching
    EXPECT_EQ(hint, 0u);

    hint = 42;  // the plain cache clears the hint on a miss, the indexed one leaves it
    EXPECT_FALSE(this->cache->TryGetEntryAndHint(ValueIs(9), hint));
    EXPECT_EQ(hint, TestFixture::kPlain ? 0u : 42u);
    EXPECT_EQ(ValueOf(this->cache->TryGetEntryAndHint(ValueIs(6), hint)), 6);
    EXPECT_EQ(hint, other);
}

// A policy that runs `action` on each entry it is shown (with no lock held) and keeps nothing.
std::shared_ptr<IPolicy> Acting(std::function<void()> action) {
    return std::make_shared<EntryPredicatePolicy>(std::make_shared<ValuePredicate>([action](int) {
        action();
        return true;
    }));
}

// A purge works on a snapshot taken under the lock: removals elsewhere meanwhile are still
// reported, later additions left alone. The clock advances before a purge.
TEST(SynchronizedCache, PurgeReportsRemovalsMadeElsewhere) {
    TReadWriteLock lock;
    SynchronizedCache cache(std::make_shared<LifetimePolicy>(2), &lock);
    const unsigned int a = cache.AddEntry(MakePayload(1)), b = cache.AddEntry(MakePayload(2));
    EXPECT_EQ(IdsOf(cache.PurgeWithPolicy(*Acting([&] { cache.TryDeleteEntry(a); }))), (Ids{a, b}));
    EXPECT_EQ(cache.GetSize(), 0u);

    const unsigned int c = cache.AddEntry(MakePayload(3));
    unsigned int late = 0;
    const EntrySet removed = cache.PurgeWithPolicy(*Acting([&] {
        if (!late) late = cache.AddEntry(MakePayload(4));
    }));
    EXPECT_EQ(IdsOf(removed), Ids{c});
    EXPECT_EQ(ValueOf(cache.TryGetEntry(late)), 4);
}

TEST(SynchronizedCache, IncrementAdvancesTheClockBeforeItPurges) {
    TReadWriteLock lock;
    SynchronizedCache cache(std::make_shared<LifetimePolicy>(2), &lock);
    const unsigned int old = cache.AddEntry(MakePayload(1));
    cache.IncrementClock();
    cache.IncrementClock();
    EXPECT_EQ(IdsOf(cache.IncrementClock()), Ids{old});  // 0 + 2 < 3
    MRUPolicy none(0);
    const unsigned int recent = cache.AddEntry(MakePayload(2));
    EXPECT_EQ(IdsOf(cache.IncrementClockWithPolicy(none)), Ids{recent});
    EXPECT_EQ(cache.GetCache()->GetClock(), 4u);
}

struct SynchronizedIndexed : ::testing::Test {
    SynchronizedIndexed() { cache.AddIndex("value", ValueKey); }
    Ids Add(std::initializer_list<int> values) { return AddValues(cache, values); }

    HostScope host;  // CheckTablesTestOnly needs the unit-test flag
    TReadWriteLock lock;
    std::shared_ptr<RecordingPolicy> policy = std::make_shared<RecordingPolicy>();
    SynchronizedIndexedCache cache{policy, &lock, nullptr};
};

TEST_F(SynchronizedIndexed, CandidatesComeFromTheIndexAndAreTriedOnlyThere) {
    EXPECT_EQ(cache.FindFirstMatch(ValueIs(1, true)), 0u);
    const Ids ids = Add({1, 1, 2});
    auto none = Claiming([](int) { return false; }, "value", "1");
    EXPECT_EQ(cache.FindFirstMatch(none), 0u);
    EXPECT_EQ(none->calls, 2) << "only the two candidates filed under value|1";
    EXPECT_EQ(IdsOf(cache.GetPossiblyMatchingEntries(ValueIs(1))), ids);
    EXPECT_EQ(cache.FindFirstMatch(ValueIs(2, true)), ids[2]);

    // Claims the key "1" but matches value 2 too: the entry filed under "2" must survive.
    EXPECT_EQ(IdsOf(cache.DeleteEntries(Claiming([](int v) { return v <= 2; }, "value", "1"))),
              (Ids{ids[0], ids[1]}));
    EXPECT_EQ(IdsOf(cache.GetEntries()), Ids{ids[2]});
    EXPECT_EQ(policy->Calls(RecordingPolicy::Deleted).size(), 2u);
    EXPECT_EQ(cache.CheckTablesTestOnly(), TString());
}

TEST_F(SynchronizedIndexed, APrecomputedPredicateKeepsItsAnswersAndAsksAboutNewcomers) {
    const Ids ids = Add({1, 2});
    bool acceptAll = false;
    auto changing = std::make_shared<ValuePredicate>([&](int v) { return acceptAll || v == 1; });
    auto precomputed = cache.MakePrecomputedPredicate(changing);
    acceptAll = true;
    EXPECT_FALSE(precomputed->Matches(*cache.GetEntries().find(Entry(ids[1]))));
    EXPECT_TRUE(precomputed->Matches(*cache.GetEntries().find(Entry(ids[0]))));
    const unsigned int later = cache.AddEntry(MakePayload(3));
    EXPECT_TRUE(precomputed->Matches(*cache.GetEntries().find(Entry(later))));
    EXPECT_TRUE(cache.MakePrecomputedPredicate(ValueIs(1, true))->HasIndex());
    EXPECT_EQ(IdsOf(cache.PrecomputePredicateAndDeleteEntries(ValueIs(3))), Ids{later});
}

TEST_F(SynchronizedIndexed, ReplaceByPredicateKeepsTheNewEntry) {
    const Ids ids = Add({1, 1, 2});
    auto [added, deleted] =
        cache.AddEntryAndDeleteExistingEntriesItMatches(MakePayload(1), ValueIs(1, true));
    EXPECT_EQ(IdsOf(deleted), (Ids{ids[0], ids[1]}));
    EXPECT_EQ(IdsOf(cache.GetEntries()), (Ids{ids[2], added}));
    EXPECT_EQ(ValueOf(cache.TryGetEntry(added)), 1);
    EXPECT_EQ(cache.CheckTablesTestOnly(), TString());
}

TEST_F(SynchronizedIndexed, AComputingPolicyHasExactlyItsSetDeleted) {
    const Ids ids = Add({1, 2, 3});
    policy->computed = EntrySet{Entry(ids[0]), Entry(ids[2])};
    EXPECT_EQ(IdsOf(cache.Purge()), (Ids{ids[0], ids[2]}));
    EXPECT_EQ(IdsOf(cache.GetEntries()), Ids{ids[1]});
}

// --- Where callbacks run relative to the lock ---------------------------------------------

// Makes predicates, a policy and payloads that record, on every call (or release), whether
// another thread could take the lock then. `held` is the id of a held entry, `none` a hint that
// names none.
struct Prober {
    explicit Prober(std::chrono::milliseconds w) : wait(w) {}
    void Record() {
        const bool free = LockCanBeTakenElsewhere(lock, wait);
        std::lock_guard<std::mutex> guard(mutex);
        answers.push_back(free);
    }
    std::shared_ptr<ValuePredicate> Probe(bool matches, TString key = TString()) {
        return std::make_shared<ValuePredicate>([this, matches](int) { return Record(), matches; },
                                                TString(key.isEmpty() ? "" : "value"), key);
    }
    // A payload that probes when it is released: a host destructor may do anything.
    Payload Released() {
        struct Probe : VelCacheData {
            explicit Probe(Prober& p) : prober(p) {}
            ~Probe() override { prober.Record(); }
            Prober& prober;
        };
        return Payload(new Probe(*this));
    }
    std::shared_ptr<IPolicy> Policy() {
        return std::make_shared<EntryPredicatePolicy>(Probe(true));
    }

    const std::chrono::milliseconds wait;
    TReadWriteLock lock;
    std::mutex mutex;
    std::vector<bool> answers;
    unsigned int held = 0, none = 0;
};

// Adds an entry whose payload only the cache holds, then marks it dirty.
template <class C>
void DirtyReleased(C& cache, Prober& p) {
    const unsigned int id = cache.AddEntry(p.Released());
    cache.OnDirty({id});
}

// Runs each operation on a new cache of three entries whose own policy probes, and expects the
// probes to have run and seen the lock free (or held, where `free` says so). A free lock is seen
// at once; a held one is reported after the wait.
template <class C>
void ExpectProbes(
    std::function<std::unique_ptr<C>(Prober&)> make,
    std::vector<std::tuple<const char*, bool, std::function<void(C&, Prober&)>>> ops) {
    for (const auto& [name, free, op] : ops) {
        SCOPED_TRACE(name);
        Prober p(free ? std::chrono::milliseconds(5000) : std::chrono::milliseconds(200));
        auto cache = make(p);
        for (int i = 0; i < 3; ++i) p.held = cache->AddEntry(MakePayload(i));
        op(*cache, p);
        EXPECT_FALSE(p.answers.empty()) << "no callback ran";
        for (bool answer : p.answers) EXPECT_EQ(answer, free);
    }
}

TEST(LockAndCallbacks, SynchronizedCacheRunsPoliciesAndPredicatesWithTheLockFree) {
    using C = SynchronizedCache;
    using P = Prober;
    ExpectProbes<C>(
        [](P& p) { return std::make_unique<C>(p.Policy(), &p.lock); },
        {{"Purge", true, [](C& c, P&) { c.Purge(); }},
         {"IncrementClock", true, [](C& c, P&) { c.IncrementClock(); }},
         {"PurgeWithPolicy", true, [](C& c, P& p) { c.PurgeWithPolicy(*p.Policy()); }},
         {"IncrementClockWithPolicy", true,
          [](C& c, P& p) { c.IncrementClockWithPolicy(*p.Policy()); }},
         {"DeleteEntries", true, [](C& c, P& p) { c.DeleteEntries(p.Probe(true)); }},
         {"TryGetEntry", true, [](C& c, P& p) { c.TryGetEntry(p.Probe(false)); }},
         {"TryGetEntry, hint", true, [](C& c, P& p) { c.TryGetEntry(p.Probe(false), p.held); }},
         {"TryGetEntryAndHint", true,
          [](C& c, P& p) { c.TryGetEntryAndHint(p.Probe(false), p.none); }},
         {"VisitEntries", true, [](C& c, P& p) { c.VisitEntries(p.Probe(false)); }},
         {"OnDirty", true, [](C& c, P& p) { DirtyReleased(c, p); }}});
}

// The rows expecting the lock held are the control that shows the probe can fail.
TEST(LockAndCallbacks, SynchronizedIndexedCacheRunsPoliciesAndPredicatesWithTheLockFree) {
    using C = SynchronizedIndexedCache;
    using P = Prober;
    auto make = [](P& p) {
        auto cache = std::make_unique<C>(p.Policy(), &p.lock, nullptr);
        cache->AddIndex("value", [](const Entry&) { return TString("k"); });
        return cache;
    };
    ExpectProbes<C>(
        make,
        {{"Purge", true, [](C& c, P&) { c.Purge(); }},
         {"FindFirstMatch", true, [](C& c, P& p) { c.FindFirstMatch(p.Probe(false, "k")); }},
         {"TryGetEntry", true, [](C& c, P& p) { c.TryGetEntry(p.Probe(true)); }},
         {"TryGetEntryUpdateHint, no hint", true,
          [](C& c, P& p) { c.TryGetEntryUpdateHint(p.Probe(false, "k"), p.none); }},
         {"DeleteEntries, index", true, [](C& c, P& p) { c.DeleteEntries(p.Probe(true, "k")); }},
         {"PrecomputePredicateAndDeleteEntries", true,
          [](C& c, P& p) { c.PrecomputePredicateAndDeleteEntries(p.Probe(true)); }},
         {"AddEntryAndDeleteExistingEntriesItMatches", true,
          [](C& c, P& p) {
              c.AddEntryAndDeleteExistingEntriesItMatches(MakePayload(), p.Probe(true));
          }},
         {"OnDirty", true, [](C& c, P& p) { DirtyReleased(c, p); }},
         {"DeleteEntries, no index (held)", false,
          [](C& c, P& p) { c.DeleteEntries(p.Probe(false)); }},
         {"TryGetEntryUpdateHint, the hinted entry (held)", false,
          [](C& c, P& p) { c.TryGetEntryUpdateHint(p.Probe(true), p.held); }}});
}

}  // namespace
