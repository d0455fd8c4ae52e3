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

}  // namespace velmora::caching
