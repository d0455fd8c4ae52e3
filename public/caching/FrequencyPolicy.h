// FrequencyPolicy: which keys a bounded memory layer keeps, judged by how often and how
// recently they were asked for.
//
// New keys enter a small window ordered by recency. A key pushed out of the window competes
// with the main area's least recently used key; the one asked for more often (by a compact,
// ageing frequency sketch of every key seen, held or not) stays. The main area keeps a
// probationary part and a protected part for keys hit again after they entered (so a scan of
// keys read once passes through the window without displacing the main area). The window's
// share of the capacity adapts: every sample of accesses, the share moves in the direction that
// raised the hit ratio of the last sample (recency-heavy traffic grows it, frequency-heavy
// traffic shrinks it), by steps that shrink until it settles.
//
// Each key has a weight (1 to count entries, its size to count bytes); the policy holds at most
// `capacity` in all. Every operation is O(1) amortised (the sketch's halving, once every forty
// expected keys' worth of accesses, is linear in its size). No allocation on a hit.
// Ownership and threads: not thread-safe; the owner serialises calls (one lock held for a few
// list operations). It keeps keys only, never values: the owner removes what `evicted` names.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "VelcacheExport.h"

namespace velmora::caching {

/// Keeps the keys of a bounded memory layer by frequency and recency (see above).
class VELCACHE_EXPORT FrequencyPolicy {
public:
    /// The key of an entry (a memory entry's id, a block number, a key's hash).
    using Key = std::uint64_t;

    /// Holds at most `capacity` of weight; `expectedKeys` (0: `capacity`) sizes the frequency
    /// sketch and the sample (a byte budget wants the number of entries it will hold).
    /// REQUIRES: capacity >= 1.
    explicit FrequencyPolicy(std::uint64_t capacity, std::uint64_t expectedKeys = 0);
    /// Forgets every key.
    ~FrequencyPolicy();
    FrequencyPolicy(const FrequencyPolicy&) = delete;
    FrequencyPolicy& operator=(const FrequencyPolicy&) = delete;

    /// An access to `key`, which the policy holds.
    void OnHit(Key key);
    /// An access to `key`, which it does not hold, now filled with `weight`. Appends to `evicted`
    /// every key that leaves (`key` itself when it was not admitted, or weighs more than the
    /// capacity). A key the policy already holds is treated as a hit.
    void OnMiss(Key key, std::uint64_t weight, std::vector<Key>& evicted);
    /// `key` left for another reason (invalidated, expired); nothing when it is not held.
    void Remove(Key key);

    /// Whether `key` is held.
    bool Holds(Key key) const;
    /// The keys held.
    std::size_t Size() const;
    /// Their weight in all.
    std::uint64_t Weight() const;
    /// The most weight held.
    std::uint64_t Capacity() const;
    /// The weight the recency window may hold now (it adapts).
    std::uint64_t WindowCapacity() const;
    /// How often `key` was asked for lately, as the sketch estimates it (0-15).
    int Frequency(Key key) const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

/// The hits of a memory layer on their way to its FrequencyPolicy, recorded without a lock and
/// without a write to a line another thread writes: each thread stripe keeps its last `kKept`
/// hits in a ring of its own; Drain hands what the rings kept to the policy, oldest first,
/// before each miss is filed, and whenever a ring fills (Record says so) if the policy's lock is
/// free. Lossy only then: hits a ring overwrote before a drain (its thread found the lock taken
/// `kKept` hits in a row), and hits of threads that share a stripe, which may overwrite each
/// other's. A replay that records each hit through the same class and drains when Record asks
/// and before each miss (velcache sim) hears every hit, as a policy told of each one would.
/// Threads: Record from any thread, lock-free; Drain under the lock that guards the policy.
class VELCACHE_EXPORT FrequencyHitLog {
public:
    /// Rings: one per thread stripe.
    static constexpr unsigned kStripes = 8;
    /// Hits each ring keeps.
    static constexpr unsigned kKept = 64;
    /// A hit of `key` by a thread of stripe `stripe` (any number; taken modulo kStripes). True
    /// when the stripe's ring has just filled: drain now if the policy's lock is free, or the
    /// ring's next hits overwrite ones not yet heard.
    bool Record(FrequencyPolicy::Key key, unsigned stripe);
    /// Hands every hit kept since the last drain to `policy` (OnHit), oldest first per stripe.
    void Drain(FrequencyPolicy& policy);

private:
    struct alignas(64) Ring {
        std::atomic<std::uint64_t> written{0};  // hits recorded into it, ever
        std::uint64_t drained = 0;              // where the last drain stopped (Drain's own)
        std::atomic<FrequencyPolicy::Key> keys[kKept] = {};
    };
    Ring m_rings[kStripes];
};

}  // namespace velmora::caching
