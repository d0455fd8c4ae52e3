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

using namespace CacheHelpers;
using veltest::MakePayload;
using veltest::ValueOf;
using veltest::ValuePredicate;

namespace {

// Each adder adds kRounds entries; the other threads run at least kMinRounds rounds and go on
// while any adder runs.
constexpr int kRounds = 1000;
constexpr int kMinRounds = 50;
constexpr int kKeys = 8;

// What the worker threads saw, merged after they stop.
struct Ledger {
    void Added(unsigned int id) {
        std::lock_guard<std::mutex> guard(mutex);
        added.push_back(id);
    }
    void Removed(const EntrySet& entries) {
        std::lock_guard<std::mutex> guard(mutex);
        for (const auto& e : entries) ++removedBy[e.GetID()];
    }
    void Removed(unsigned int id) {
        std::lock_guard<std::mutex> guard(mutex);
        ++removedBy[id];
    }
    void Dirtied(const std::vector<unsigned int>& ids) {
        std::lock_guard<std::mutex> guard(mutex);
        dirtied.insert(ids.begin(), ids.end());
    }

    std::mutex mutex;
    std::vector<unsigned int> added;
    std::map<unsigned int, int> removedBy;  // id -> number of removal calls that returned it
    std::set<unsigned int> dirtied;
};

// Runs `bodies` on threads of their own, started together; each gets its thread's number.
void RunTogether(const std::vector<std::function<void(std::minstd_rand&)>>& bodies) {
    // Started together on a latch, so that the first rounds already overlap.
    std::latch start(static_cast<std::ptrdiff_t>(bodies.size()));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        threads.emplace_back([&, i] {
            std::minstd_rand random(static_cast<unsigned>(i) + 1);
            start.arrive_and_wait();
            bodies[i](random);
        });
    }
    for (auto& t : threads) t.join();
}

// Counts an adder thread out when it ends; the other threads keep working (after their own
// bounded rounds) while any adder runs, so every kind of call overlaps the additions. They
// yield between rounds: the platform lock prefers readers, and back-to-back shared holds would
// otherwise keep the adders out for long stretches.
struct AddingScope {
    explicit AddingScope(std::atomic<int>& adding) : m_adding(adding) {}
    ~AddingScope() { --m_adding; }
    std::atomic<int>& m_adding;
};

// Policies and predicates here pause before answering, which widens the window between a
// snapshot and the deletion that follows it, where other threads' removals must not be
// reported twice.
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

std::shared_ptr<ValuePredicate> KeyIs(int key, bool indexed) {
    return std::make_shared<ValuePredicate>(
        [key](int v) {
            Pause();
            return v % kKeys == key;
        },
        indexed ? TString("key") : TString(), indexed ? TString::number(key) : TString());
}

TEST(SynchronizedIndexedCacheConcurrency, RemovalsAccountForEveryEntryAndTablesStayWhole) {
    veltest::HostScope host;
    const long liveBefore = veltest::TestPayload::Live();
    // Records deletions (under the cache's exclusive lock) and purges most-recently-used.
    auto policy = std::make_shared<veltest::RecordingPolicy>(std::make_shared<PausingMRU>());
    Ledger ledger;
    std::atomic<unsigned int> newest{0};
    std::atomic<int> adding{2};
    std::set<unsigned int> held;
    std::vector<veltest::RecordingPolicy::Call> deleted;
    {
        TReadWriteLock lock;
        SynchronizedIndexedCache cache(policy, &lock, nullptr);
        ASSERT_TRUE(cache.AddIndex(
            "key", [](const Entry& e) { return TString::number(ValueOf(e.GetData()) % kKeys); }));
        ASSERT_TRUE(cache.AddIndex(
            "parity", [](const Entry& e) { return TString::number(ValueOf(e.GetData()) % 2); }));
        auto someId = [&](std::minstd_rand& r) -> unsigned int {
            const unsigned int top = newest.load();
            return top == 0 ? 0u : top - static_cast<unsigned int>(r() % std::min(top, 100u));
        };
        auto adder = [&](std::minstd_rand& r) {
            AddingScope scope(adding);
            for (int i = 0; i < kRounds; ++i, std::this_thread::yield()) {
                const int value = static_cast<int>(r() % 1000);
                unsigned int id = 0;
                if (i % 10 == 0) {
                    auto [newId, gone] = cache.AddEntryAndDeleteExistingEntriesItMatches(
                        MakePayload(value), KeyIs(value % kKeys, i % 20 == 0));
                    id = newId;
                    ledger.Removed(gone);
                } else {
                    id = cache.AddEntry(MakePayload(value));
                }
                ledger.Added(id);
                newest.store(std::max(newest.load(), id));
            }
        };
        auto reader = [&](std::minstd_rand& r) {
            unsigned int hint = 0;
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield()) {
                cache.TryGetEntry(someId(r));
                cache.TryGetEntryUpdateHint(KeyIs(static_cast<int>(r() % kKeys), true), hint);
                cache.TryGetEntry(KeyIs(static_cast<int>(r() % kKeys), false));
                cache.GetIndexedEntryCount();
            }
        };
        auto deleter = [&](std::minstd_rand& r) {
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield()) {
                const int key = static_cast<int>(r() % kKeys);
                switch (i % 3) {
                    case 0:
                        ledger.Removed(cache.DeleteEntries(KeyIs(key, true)));
                        break;
                    case 1:
                        ledger.Removed(cache.DeleteEntries(KeyIs(key, false)));
                        break;
                    default:
                        ledger.Removed(
                            cache.PrecomputePredicateAndDeleteEntries(KeyIs(key, i % 2)));
                        break;
                }
            }
        };
        auto purger = [&](std::minstd_rand& r) {
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield()) {
                ledger.Removed(i % 2 ? cache.Purge() : cache.IncrementClock());
                const Entry pruned =
                    cache.PruneHints(KeyIs(static_cast<int>(r() % kKeys), true), 3);
                if (pruned.GetID() != 0) ledger.Removed(pruned.GetID());
            }
        };
        auto dirtier = [&](std::minstd_rand& r) {
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield()) {
                const std::vector<unsigned int> ids{someId(r), someId(r)};
                ledger.Dirtied(ids);
                cache.OnDirty(ids);
            }
        };
        RunTogether({adder, adder, reader, deleter, purger, dirtier});

        EXPECT_EQ(cache.CheckTablesTestOnly(), TString());
        for (const auto& e : cache.GetEntries()) held.insert(e.GetID());
        deleted = policy->Deleted();
    }

    std::map<unsigned int, int> deletions;
    for (const auto& call : deleted) ++deletions[call.id];
    for (const auto& [id, count] : deletions)
        EXPECT_EQ(count, 1) << "entry " << id << " deleted twice";
    for (const auto& [id, count] : ledger.removedBy) {
        EXPECT_EQ(count, 1) << "entry " << id << " returned by " << count << " removal calls";
        EXPECT_EQ(deletions.count(id), 1u) << "entry " << id << " returned but never deleted";
        EXPECT_EQ(held.count(id), 0u) << "entry " << id << " returned but still held";
    }
    for (const auto& [id, count] : deletions) {
        if (ledger.removedBy.count(id) == 0) {
            EXPECT_EQ(ledger.dirtied.count(id), 1u) << "entry " << id << " vanished unreported";
        }
    }
    for (unsigned int id : ledger.added)
        EXPECT_EQ(held.count(id) + deletions.count(id), 1u) << "entry " << id << " lost";
    EXPECT_GT(ledger.removedBy.size(), 0u);
    EXPECT_EQ(veltest::TestPayload::Live(), liveBefore) << "payloads leaked or lost";
}

// SynchronizedCache reports what its snapshot chose, so an entry that another thread removed in
// the meantime may be reported twice; what it guarantees is that nothing vanishes unreported and
// nothing reported is still held.
TEST(SynchronizedCacheConcurrency, RemovalsAccountForEveryEntry) {
    const long liveBefore = veltest::TestPayload::Live();
    Ledger ledger;
    std::atomic<unsigned int> newest{0};
    std::atomic<int> adding{2};
    std::set<unsigned int> held;
    std::set<unsigned int> deletedById;
    std::mutex deletedByIdMutex;
    {
        TReadWriteLock lock;
        SynchronizedCache cache(std::make_shared<PausingMRU>(), &lock);
        auto someId = [&](std::minstd_rand& r) -> unsigned int {
            const unsigned int top = newest.load();
            return top == 0 ? 0u : top - static_cast<unsigned int>(r() % std::min(top, 100u));
        };
        auto adder = [&](std::minstd_rand& r) {
            AddingScope scope(adding);
            for (int i = 0; i < kRounds; ++i, std::this_thread::yield()) {
                const unsigned int id = cache.AddEntry(MakePayload(static_cast<int>(r() % 1000)));
                ledger.Added(id);
                newest.store(std::max(newest.load(), id));
            }
        };
        auto reader = [&](std::minstd_rand& r) {
            unsigned int hint = 0;
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield()) {
                cache.TryGetEntry(someId(r));
                cache.TryGetEntry(KeyIs(static_cast<int>(r() % kKeys), false), hint);
                cache.GetSize();
            }
        };
        auto deleter = [&](std::minstd_rand& r) {
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield()) {
                ledger.Removed(cache.DeleteEntries(KeyIs(static_cast<int>(r() % kKeys), false)));
                const unsigned int id = someId(r);
                if (cache.TryDeleteEntry(id)) {
                    std::lock_guard<std::mutex> guard(deletedByIdMutex);
                    EXPECT_TRUE(deletedById.insert(id).second)
                        << "payload of " << id << " returned twice";
                }
            }
        };
        auto purger = [&](std::minstd_rand&) {
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield())
                ledger.Removed(i % 2 ? cache.Purge() : cache.IncrementClock());
        };
        auto dirtier = [&](std::minstd_rand& r) {
            for (int i = 0; i < kMinRounds || adding.load() > 0; ++i, std::this_thread::yield()) {
                const std::vector<unsigned int> ids{someId(r), someId(r)};
                ledger.Dirtied(ids);
                cache.OnDirty(ids);
            }
        };
        RunTogether({adder, adder, reader, deleter, purger, dirtier});
        for (const auto& e : cache.GetCache()->GetEntries()) held.insert(e.GetID());
    }

    for (const auto& [id, count] : ledger.removedBy)
        EXPECT_EQ(held.count(id), 0u) << "entry " << id << " reported removed but still held";
    for (unsigned int id : deletedById) EXPECT_EQ(held.count(id), 0u);
    for (unsigned int id : ledger.added) {
        const bool accounted = held.count(id) || ledger.removedBy.count(id) ||
                               deletedById.count(id) || ledger.dirtied.count(id);
        EXPECT_TRUE(accounted) << "entry " << id << " lost";
    }
    EXPECT_GT(ledger.removedBy.size(), 0u);
    EXPECT_EQ(veltest::TestPayload::Live(), liveBefore) << "payloads leaked or lost";
}

}  // namespace
