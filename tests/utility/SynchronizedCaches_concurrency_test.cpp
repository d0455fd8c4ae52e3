// Several threads add, read by id and by predicate, delete by predicate, purge and mark dirty on
// one lock-protected cache for a bounded number of rounds. Afterwards the removals must account
// for every entry: nothing vanished unreported, nothing was reported that is still held, and the
// index tables agree with the entries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "utility/CacheTestHelpers.h"
#include "utility/SynchronizedCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Locks.h"

using namespace veltest;
using Random = std::minstd_rand;
using Round = std::function<void(Random&, int)>;

namespace {

// Each of two adders runs kRounds rounds; every other thread runs at least kMinRounds rounds and
// goes on while an adder runs, so every kind of call overlaps the additions.
constexpr int kRounds = 1000, kMinRounds = 50, kKeys = 8;

// Policies and predicates pause before answering, which widens the window between a snapshot
// and the deletion that follows it, where other threads' removals must not be reported twice.
void Pause() {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
}

struct PausingMRU : MRUPolicy {
    PausingMRU() : MRUPolicy(64) {}
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long now) override {
        Pause();
        return MRUPolicy::Purge(first, last, now);
    }
};

// Matches values of `key` modulo kKeys, through the "key" index when `indexed`.
std::shared_ptr<ValuePredicate> KeyIs(int key, bool indexed) {
    auto test = [key](int v) { return Pause(), v % kKeys == key; };
    return std::make_shared<ValuePredicate>(test, TString(indexed ? "key" : ""),
                                            indexed ? TString::number(key) : TString());
}

// What the threads saw, merged under one mutex; then the runner.
struct Ledger {
    void Added(unsigned int id) {
        std::lock_guard<std::mutex> guard(mutex);
        added.push_back(id);
        newest = std::max(newest.load(), id);
    }
    void Removed(unsigned int id) {
        std::lock_guard<std::mutex> guard(mutex);
        ++removedBy[id];
    }
    void Removed(const EntrySet& entries) {
        for (const auto& e : entries) Removed(e.GetID());
    }
    // One of the last hundred ids issued (possibly gone).
    unsigned int SomeId(Random& r) {
        const unsigned int top = newest.load();
        return top == 0 ? 0u : top - static_cast<unsigned int>(r() % std::min(top, 100u));
    }
    void Dirty(velmora::caching::ICoherentCache& cache, Random& r) {
        const std::vector<unsigned int> ids{SomeId(r), SomeId(r)};
        {
            std::lock_guard<std::mutex> guard(mutex);
            dirtied.insert(ids.begin(), ids.end());
        }
        cache.OnDirty(ids);
    }
    // Runs two threads of `add` and one of each of `others`, started together on a latch so
    // that the first rounds already overlap. Threads yield between rounds: the platform lock
    // prefers readers, and back-to-back shared holds would otherwise keep the adders out.
    void Run(const Round& add, const std::vector<Round>& others) {
        std::vector<Round> bodies{add, add};
        bodies.insert(bodies.end(), others.begin(), others.end());
        std::latch start(static_cast<std::ptrdiff_t>(bodies.size()));
        std::atomic<int> adding{2};
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < bodies.size(); ++t) {
            threads.emplace_back([&, t] {
                Random r(static_cast<unsigned>(t) + 1);
                start.arrive_and_wait();
                for (int i = 0; t < 2 ? i < kRounds : i < kMinRounds || adding > 0; ++i) {
                    bodies[t](r, i);
                    std::this_thread::yield();
                }
                if (t < 2) --adding;
            });
        }
        for (auto& t : threads) t.join();
    }

    std::mutex mutex;
    std::vector<unsigned int> added;
    std::map<unsigned int, int> removedBy;  // id -> number of removal calls that returned it
    std::set<unsigned int> dirtied;
    std::atomic<unsigned int> newest{0};
};

TEST(SynchronizedIndexedCacheConcurrency, RemovalsAccountForEveryEntryAndTablesStayWhole) {
    HostScope host;
    const long liveBefore = TestPayload::Live();
    // Records deletions (under the cache's exclusive lock) and purges most-recently-used.
    auto policy = std::make_shared<RecordingPolicy>(std::make_shared<PausingMRU>());
    Ledger ledger;
    std::set<unsigned int> held;
    {
        TReadWriteLock lock;
        SynchronizedIndexedCache cache(policy, &lock, nullptr);
        ASSERT_TRUE(cache.AddIndex(
            "key", [](const Entry& e) { return TString::number(ValueOf(e.GetData()) % kKeys); }));
        ASSERT_TRUE(cache.AddIndex(
            "parity", [](const Entry& e) { return TString::number(ValueOf(e.GetData()) % 2); }));
        unsigned int hint = 0;
        auto add = [&](Random& r, int i) {
            const int value = static_cast<int>(r() % 1000);
            if (i % 10 != 0) return ledger.Added(cache.AddEntry(MakePayload(value)));
            auto [id, gone] = cache.AddEntryAndDeleteExistingEntriesItMatches(
                MakePayload(value), KeyIs(value % kKeys, i % 20 == 0));
            ledger.Removed(gone);
            ledger.Added(id);
        };
        auto read = [&](Random& r, int) {
            cache.TryGetEntry(ledger.SomeId(r));
            cache.TryGetEntryUpdateHint(KeyIs(r() % kKeys, true), hint);
            cache.TryGetEntry(KeyIs(r() % kKeys, false));
            cache.GetIndexedEntryCount();
        };
        auto remove = [&](Random& r, int i) {
            auto keyIs = KeyIs(r() % kKeys, i % 3 == 0 || (i % 3 == 2 && i % 2));
            ledger.Removed(i % 3 == 2 ? cache.PrecomputePredicateAndDeleteEntries(keyIs)
                                      : cache.DeleteEntries(keyIs));
        };
        auto purge = [&](Random& r, int i) {
            ledger.Removed(i % 2 ? cache.Purge() : cache.IncrementClock());
            const Entry pruned = cache.PruneHints(KeyIs(r() % kKeys, true), 3);
            if (pruned.GetID() != 0) ledger.Removed(pruned.GetID());
        };
        ledger.Run(add, {read, remove, purge, [&](Random& r, int) { ledger.Dirty(cache, r); }});
        EXPECT_EQ(cache.CheckTablesTestOnly(), TString());
        for (const auto& e : cache.GetEntries()) held.insert(e.GetID());
    }

    std::map<unsigned int, int> deletions;
    for (const auto& call : policy->Calls(RecordingPolicy::Deleted)) ++deletions[call.id];
    for (const auto& [id, count] : deletions) {
        EXPECT_EQ(count, 1) << "entry " << id << " deleted twice";
        EXPECT_TRUE(ledger.removedBy.count(id) || ledger.dirtied.count(id))
            << "entry " << id << " vanished unreported";
    }
    for (const auto& [id, count] : ledger.removedBy) {
        EXPECT_EQ(count, 1) << "entry " << id << " returned by " << count << " removal calls";
        EXPECT_EQ(deletions.count(id), 1u) << "entry " << id << " returned but never deleted";
        EXPECT_EQ(held.count(id), 0u) << "entry " << id << " returned but still held";
    }
    for (unsigned int id : ledger.added)
        EXPECT_EQ(held.count(id) + deletions.count(id), 1u) << "entry " << id << " lost";
    EXPECT_GT(ledger.removedBy.size(), 0u);
    EXPECT_EQ(TestPayload::Live(), liveBefore) << "payloads leaked or lost";
}

// SynchronizedCache reports what its snapshot chose, so an entry that another thread removed in
// the meantime may be reported twice; what it guarantees is that nothing vanishes unreported and
// nothing reported is still held.
TEST(SynchronizedCacheConcurrency, RemovalsAccountForEveryEntry) {
    const long liveBefore = TestPayload::Live();
    Ledger ledger;
    std::set<unsigned int> held, deletedById;  // the latter written by the one deleting thread
    {
        TReadWriteLock lock;
        SynchronizedCache cache(std::make_shared<PausingMRU>(), &lock);
        unsigned int hint = 0;
        auto read = [&](Random& r, int) {
            cache.TryGetEntry(ledger.SomeId(r));
            cache.TryGetEntry(KeyIs(r() % kKeys, false), hint);
            cache.GetSize();
        };
        auto remove = [&](Random& r, int) {
            ledger.Removed(cache.DeleteEntries(KeyIs(r() % kKeys, false)));
            const unsigned int id = ledger.SomeId(r);
            if (cache.TryDeleteEntry(id) && !deletedById.insert(id).second)
                ADD_FAILURE() << id << " returned twice";
        };
        ledger.Run(
            [&](Random& r, int) { ledger.Added(cache.AddEntry(MakePayload(int(r() % 1000)))); },
            {read, remove,
             [&](Random&, int i) {
                 ledger.Removed(i % 2 ? cache.Purge() : cache.IncrementClock());
             },
             [&](Random& r, int) { ledger.Dirty(cache, r); }});
        for (const auto& e : cache.GetCache()->GetEntries()) held.insert(e.GetID());
    }

    for (const auto& [id, count] : ledger.removedBy)
        EXPECT_EQ(held.count(id), 0u) << "entry " << id << " reported removed but still held";
    for (unsigned int id : deletedById) EXPECT_EQ(held.count(id), 0u);
    for (unsigned int id : ledger.added) {
        EXPECT_TRUE(held.count(id) || ledger.removedBy.count(id) || deletedById.count(id) ||
                    ledger.dirtied.count(id))
            << "entry " << id << " lost";
    }
    EXPECT_GT(ledger.removedBy.size(), 0u);
    EXPECT_EQ(TestPayload::Live(), liveBefore) << "payloads leaked or lost";
}

}  // namespace
