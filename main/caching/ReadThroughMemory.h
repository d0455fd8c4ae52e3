// The read-through cache's memory layer: the entries, the index a hit reads, the frequency
// policy's share of a hit, and the hit count. Private to the library.
//
// What the layer offers the cache (lookup, hit recording, admission, the checks of a hit):
//  - Lookup: KeyTable::Lookup(slot, key, stripe, copy) finds the key's entry under its part's
//    reader lock and hands it to `copy` while the lock is held; no exclusive lock, and no write
//    to a line another thread writes. The key is hashed once (KeyTable::SlotOf), and the slot is
//    also what the policy knows the key by.
//  - Hit recording: FrequencyState::RecordHit, a write to the thread's own ring, read into the
//    policy at the next fill or when the ring is full (FrequencyHitLog); a hit never waits for
//    the policy's lock (the one that fills a ring tries it).
//  - Admission and eviction: a fill files its key with the policy under the policy's lock
//    (FrequencyPolicy::OnMiss), after the rings, and deletes what it evicts through the key table.
//  - The checks of a hit, all made by the cache on what Lookup lent: the key itself (two keys
//    may share a slot), the entry's deadline against one reading of a coarse clock rounded up,
//    the coherence service's hearing against the same reading, a tag scope's note of the
//    entry's tags. A fill's entry is filed pending and answered only once its fill's second
//    verdict passed (KeyTable::Show). Entries dropped by an arrival, a tag, a clear or the
//    policy leave the table before the call that drops them returns: what is not in the table
//    is never answered.
//  - What a hit writes: its thread's reader count in the part's lock and ring slot (lines of
//    the thread's stripe, which no other thread writes unless more than eight threads share
//    stripes) and its hit count (a line of its own for each of the first 64 threads), and, for Get,
//    the value's reference count (the result shares the value: threads reading the same key move
//    that line between them; Visit lends the value instead).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "caching/CacheTags.h"
#include "caching/FrequencyPolicy.h"
#include "caching/ReadThroughCache.h"
#include "utility/SynchronizedIndexedCache.h"
#include "velsys/Locks.h"

namespace velmora::caching::readthrough {

using AnyValue = ReadThroughCore::AnyValue;

// One value held in memory. What a hit reads of it comes first, in the 96 bytes after the
// object's header: two cache lines, three at worst. Not aligned to a line: an aligned allocation
// costs a fill more (about a tenth of it) than the line it might save a hit.
class HeldValue : public RefCntObject {
public:
    HeldValue(std::string k, AnyValue v, HashPair h, unsigned long long at, long long startNs,
              unsigned long long lifetime, std::uint64_t policy = 0,
              std::shared_ptr<const CacheTagSet> t = nullptr);
    const std::string key;
    const AnyValue value;
    // Steady clock: when its lifetime ends, as the wall clock said when it was filled (a wall
    // clock set back or forward later does not move it).
    const long long expiresAtNs;
    // Steady clock (RedisPubsub::FillClockNs): when the load began, or for a value read from a
    // layer, when the service last heard before (what a silence may hold it through).
    const long long loadStartNs;
    const std::shared_ptr<const CacheTagSet> tags;  // null: untagged
    const unsigned long long producedAt;            // raw DateTime
    const unsigned long long lifetimeTicks;         // DateTime ticks from producedAt
    const std::uint64_t policyKey;                  // the key's slot (KeyTable::SlotOf)
    const HashPair hash;
};

const HeldValue* HeldOf(const CacheHelpers::Payload& payload);

// A count many threads add to without sharing a cache line and without a locked instruction:
// each of the first kCells threads to ask for a stripe owns a cell (stripes are never reused), to
// which only it writes, by a load and a store; later threads add to one shared cell with a locked
// increment. Exact either way; summed when read. Any thread may call either member.
class StripedCount {
public:
    // `stripe`: ThisThreadsStripe() of the caller.
    void Add(unsigned stripe, long long n = 1) {
        if (stripe < kCells) {
            std::atomic<long long>& mine = m_cells[stripe].value;
            mine.store(mine.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
        } else {
            m_shared.value.fetch_add(n, std::memory_order_relaxed);
        }
    }
    long long Sum() const;

private:
    static constexpr unsigned kCells = 64;
    struct alignas(64) Cell {
        std::atomic<long long> value{0};
    };
    Cell m_cells[kCells];
    Cell m_shared;
};

// The stripe of the calling thread: a number fixed per thread, in the order threads first ask,
// never given to another thread.
unsigned ThisThreadsStripe();

// The memory layer's FrequencyPolicy, when it runs the built-in policy: which keys stay. The
// policy knows a key by its slot (KeyTable::SlotOf), so its history outlives the key's entries;
// a key it evicts goes through the key table. A removal the policy did not decide (replaced,
// invalidated, cleared) is not reported to it: the key is then either filled again (a hit for
// the policy) or evicted in its turn, which deletes nothing.
// Hits reach the policy through a FrequencyHitLog: each thread writes its hit into a ring of its
// stripe, without a lock or a locked instruction; a fill hands every ring's hits to the policy
// before its own miss (so hits count before the misses that follow them), and the hit that
// fills a ring hands the rings over itself when the lock is free (one hit in 64 of a stripe).
// A hit never waits for the policy.
// Thread contract: `mutex` guards `policy`, held for a few list operations; RecordHit is safe
// from any thread without it (it may take it, never waiting); DrainHits needs it.
struct FrequencyState {
    FrequencyState(std::uint64_t capacity, std::uint64_t expectedKeys)
        : policy(capacity, expectedKeys) {}
    // `stripe`: ThisThreadsStripe() of the caller.
    void RecordHit(FrequencyPolicy::Key key, unsigned stripe) {
        // A full ring is handed to the policy by the hit that filled it, if the lock is free; a
        // hit never waits for it.
        if (hits.Record(key, stripe) && mutex.try_lock()) {
            std::lock_guard<std::mutex> lock(mutex, std::adopt_lock);
            DrainHits();
        }
    }
    void DrainHits() { hits.Drain(policy); }  // with `mutex` held

    std::mutex mutex;
    FrequencyPolicy policy;
    FrequencyHitLog hits;
};

// A reader/writer lock whose readers write only a line of their own: a count per thread stripe,
// each on its own cache line, so that readers on different cores never move a line between
// them (a single reader count would, on every read). A writer raises its flag, waits for every
// stripe's count to fall to 0 and keeps readers out until it lowers the flag; a reader that
// finds the flag up steps back and waits, so writers are never starved. For short writes: a
// waiting reader spins, then yields.
// Thread contract: any thread; writers exclude each other. `stripe` is ThisThreadsStripe() of
// the calling thread, the same for a lock_shared and its unlock_shared.
class VEL_CAPABILITY("mutex") StripedSharedMutex {
public:
    void lock() VEL_ACQUIRE();
    void unlock() VEL_RELEASE();
    void lock_shared(unsigned stripe) VEL_ACQUIRE_SHARED() {
        std::atomic<int>& mine = m_readers[stripe % kStripes].count;
        for (;;) {
            // Dekker's pattern with the writer: each side announces itself, then looks at the
            // other; with both in sequential consistency, at least one of them sees the other.
            mine.fetch_add(1, std::memory_order_seq_cst);
            if (!m_writer.load(std::memory_order_seq_cst)) return;
            mine.fetch_sub(1, std::memory_order_release);
            WaitWhileWriting();
        }
    }
    void unlock_shared(unsigned stripe) VEL_RELEASE_SHARED() {
        m_readers[stripe % kStripes].count.fetch_sub(1, std::memory_order_release);
    }

private:
    static constexpr unsigned kStripes = 8;
    void WaitWhileWriting() const;
    struct alignas(64) Readers {
        std::atomic<int> count{0};
    };
    alignas(64) std::atomic<bool> m_writer{false};
    std::mutex m_writers;
    Readers m_readers[kStripes];
};

// Holds a StripedSharedMutex shared for its scope.
class VEL_SCOPED_CAPABILITY StripedReadLock {
public:
    StripedReadLock(StripedSharedMutex& mutex, unsigned stripe) VEL_ACQUIRE_SHARED(mutex)
        : m_mutex(mutex), m_stripe(stripe) {
        m_mutex.lock_shared(m_stripe);
    }
    ~StripedReadLock() VEL_RELEASE() { m_mutex.unlock_shared(m_stripe); }
    StripedReadLock(const StripedReadLock&) = delete;
    StripedReadLock& operator=(const StripedReadLock&) = delete;

private:
    StripedSharedMutex& m_mutex;
    const unsigned m_stripe;
};

// Holds a StripedSharedMutex exclusively for its scope.
class VEL_SCOPED_CAPABILITY StripedWriteLock {
public:
    explicit StripedWriteLock(StripedSharedMutex& mutex) VEL_ACQUIRE(mutex) : m_mutex(mutex) {
        m_mutex.lock();
    }
    ~StripedWriteLock() VEL_RELEASE() { m_mutex.unlock(); }
    StripedWriteLock(const StripedWriteLock&) = delete;
    StripedWriteLock& operator=(const StripedWriteLock&) = delete;

private:
    StripedSharedMutex& m_mutex;
};

// The id of the entry each key holds in the memory layer, by the key's slot (a 64-bit hash of
// it, which the frequency policy also knows the key by), and the entry itself: a hit reads only
// this table. It is split into shards by slot, each under a reader/writer lock of its own, so
// that readers of different shards share nothing and readers of one shard only the lock's
// count. Every entry enters the layer through Replace, which swaps a slot's entry under its
// shard's lock, so the layer holds at most one entry per slot and that entry is here. Two keys
// that share a slot share its one entry (a lookup checks the key; a wrong one is a miss). Every
// way an entry leaves the layer ends here: Replace and Remove delete it under the shard's lock;
// what the layer drops itself (an arrival, a clear, its own policy) is forgotten through
// MemoryLayer::Dropped before that call returns.
// Thread contract: safe for concurrent use; lock order is a shard's writer lock, then the
// layer's lock; the readers' lock is a leaf, held by writers only while buckets change. No
// policy or predicate runs under any of them; payloads are released after all.
class KeyTable {
public:
    using Slot = std::uint64_t;
    static Slot SlotOf(const std::string& key) { return std::hash<std::string>{}(key); }

    // Calls copy(const HeldValue&, guid) with the entry of `key` (whose slot is `slot`) under
    // the shard's shared lock (copy must take no lock and not call back into the table); false
    // when the table holds none (another key of the same slot is none). `stripe`:
    // ThisThreadsStripe() of the caller.
    template <class Copy>
    bool Lookup(Slot slot, const std::string& key, unsigned stripe, Copy&& copy) const {
        const Shard& shard = ShardOf(slot);
        StripedReadLock lock(shard.mutex, stripe);
        if (shard.buckets.empty()) return false;
        const std::size_t mask = shard.buckets.size() - 1;
        const std::uint32_t fragment = FragmentOf(slot);
        for (std::size_t i = slot & mask;; i = (i + 1) & mask) {
            const Bucket& bucket = shard.buckets[i];
            if (!bucket.held) return false;
            // The key, not the rest of the slot: it sits beside the value, which a hit reads.
            if (bucket.Fragment() == fragment && bucket.held->key == key) {
                if (bucket.Pending()) return false;
                copy(*bucket.held, bucket.guid);
                return true;
            }
        }
    }
    // 0 when the slot holds no entry.
    unsigned int Find(Slot slot) const;
    // Adds `data` (a HeldValue) as the slot's entry and deletes the one it held. Returns the
    // new id and what went. With `pending`, lookups do not find the entry until Show: it is
    // held, and dropped by whatever drops entries, but not answered before its fill's verdict.
    std::pair<unsigned int, CacheHelpers::EntrySet> Replace(Slot slot, CacheHelpers::Payload data,
                                                            SynchronizedIndexedCache& layer,
                                                            bool pending = false);
    // Lets lookups find the slot's entry `guid` (filed pending), if it is still there: a change
    // of one atomic word, made with readers in the shard.
    void Show(Slot slot, unsigned int guid);
    // Deletes the slot's entry (with `guid` not 0, only while it is that one) and returns it.
    CacheHelpers::EntrySet Remove(Slot slot, unsigned int guid, SynchronizedIndexedCache& layer);
    // Forgets each entry of `gone` (HeldValues the layer no longer holds) whose slot still
    // names it.
    void Forget(const CacheHelpers::EntrySet& gone);

    KeyTable() = default;
    // Lets go of every value it still holds.
    ~KeyTable();
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;

private:
    static constexpr unsigned kShardBits = 6;
    // One slot's place: what a lookup compares is here, so that a probe reads the value only
    // once its slot matched. `held` null: empty. The table holds one reference to each value.
    // Sixteen bytes: the slot's low 31 bits (which also place it), whether the entry awaits its
    // fill's verdict, the entry's id, the value.
    // The tag is atomic so that Show can clear kPending with readers in the shard: nothing else
    // of a bucket changes while a reader may look.
    struct Bucket {
        static constexpr std::uint32_t kPending = 0x80000000u;
        mutable std::atomic<std::uint32_t> tag{0};  // the fragment, and kPending
        unsigned int guid = 0;
        const HeldValue* held = nullptr;

        Bucket() = default;
        Bucket(std::uint32_t t, unsigned int g, const HeldValue* h) : tag(t), guid(g), held(h) {}
        Bucket(const Bucket& other) { *this = other; }
        Bucket& operator=(const Bucket& other) {
            tag.store(other.tag.load(std::memory_order_relaxed), std::memory_order_relaxed);
            guid = other.guid;
            held = other.held;
            return *this;
        }
        std::uint32_t Fragment() const { return tag.load(std::memory_order_relaxed) & ~kPending; }
        bool Pending() const { return (tag.load(std::memory_order_acquire) & kPending) != 0; }
    };
    static std::uint32_t FragmentOf(Slot slot) {
        return static_cast<std::uint32_t>(slot) & 0x7fffffffu;
    }
    // Open addressing with linear probing, at most three quarters full; a deletion shifts the
    // probe run back, so no marker of a deleted place is ever needed.
    // `writers` orders the writers of the shard (held across the layer's change, which may
    // wait for the layer's lock); `mutex` keeps readers out only while the buckets change.
    struct alignas(64) Shard {
        TMutex writers VEL_ACQUIRED_BEFORE(mutex);
        mutable StripedSharedMutex mutex;
        std::vector<Bucket> buckets VEL_GUARDED_BY(mutex);  // a power of two, or empty
        std::size_t count VEL_GUARDED_BY(mutex) = 0;
    };
    // The slot's top bits choose the shard, its low bits the first bucket (shards hold fewer
    // than 2^31 buckets: the fragment places a bucket as the slot would).
    static unsigned ShardIndex(Slot slot) {
        return static_cast<unsigned>(slot >> (64 - kShardBits));
    }
    Shard& ShardOf(Slot slot) { return m_shards[ShardIndex(slot)]; }
    const Shard& ShardOf(Slot slot) const { return m_shards[ShardIndex(slot)]; }
    // The bucket of `slot`, or null (the whole slot compared, through the value).
    static const Bucket* Find(const Shard& shard, Slot slot) VEL_REQUIRES_SHARED(shard.mutex) {
        if (shard.buckets.empty()) return nullptr;
        const std::size_t mask = shard.buckets.size() - 1;
        for (std::size_t i = slot & mask;; i = (i + 1) & mask) {
            const Bucket& bucket = shard.buckets[i];
            if (!bucket.held) return nullptr;
            if (bucket.Fragment() == FragmentOf(slot) && bucket.held->policyKey == slot)
                return &bucket;
        }
    }
    // The bucket of `slot` in a shard being written (`writers` held), or null.
    static Bucket* FindToWrite(Shard& shard, Slot slot) VEL_REQUIRES(shard.mutex) {
        return const_cast<Bucket*>(Find(shard, slot));
    }
    // Takes the bucket of `slot` out of the shard (its reference passes to the caller); an
    // empty one when there is none, or when `guid` is not 0 and it is another entry.
    static Bucket Unlink(Shard& shard, Slot slot, unsigned int guid) VEL_REQUIRES(shard.mutex);
    // Puts `bucket` (whose slot holds nothing) into the shard, growing it when three quarters
    // full.
    static void Link(Shard& shard, const Bucket& bucket) VEL_REQUIRES(shard.mutex);

    Shard m_shards[1u << kShardBits];
};

// The memory layer: the entries (ids, coherence, the cascade invalidators' view) and the key
// table a hit reads. Counts the entries the coherence service drops.
class MemoryLayer : public SynchronizedIndexedCache {
public:
    // `clock` dates the entries for `policy`; a layer whose policy never purges by age (the
    // frequency policy decides outside it) takes a logical clock, which a fill reads for free.
    MemoryLayer(std::shared_ptr<CacheHelpers::IPolicy> policy,
                std::unique_ptr<CacheHelpers::IClock> clock);
    // Drops the entries and forgets them in the key table before it returns.
    void OnDirty(const std::vector<unsigned int>& ids) override;
    // What the layer deleted by itself (a clear, its own policy's purge) leaves the key table.
    void Dropped(const CacheHelpers::EntrySet& gone) { m_keys.Forget(gone); }
    KeyTable& Keys() { return m_keys; }
    const KeyTable& Keys() const { return m_keys; }
    std::atomic<long long> m_invalidated{0};

private:
    KeyTable m_keys;
};

}  // namespace velmora::caching::readthrough
