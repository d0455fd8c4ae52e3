// SynchronizedCache: a Cache shared between threads under a reader/writer lock its creator
// supplies, which the coherence service can tell to drop stale entries (ICoherentCache).
//
// It keeps the lock short: operations that look at all entries (purges, deletion and lookup by
// predicate, visiting) copy the entry set and the clock under the lock, release it, run the
// policy or predicate on that snapshot with no lock held, and then take the lock again once per
// entry to delete. Keyed operations (add, get by id, delete by id, size) run entirely under
// the lock, which is always taken exclusively. Results of snapshot operations reflect the cache
// at the snapshot: later additions are neither found nor purged by that call, and an entry that
// another thread removed meanwhile is still reported by the purge or deletion that chose it.
//
// Ownership: the cache owns the wrapped Cache and its entries; *lock is borrowed and must
// outlive the cache (several caches may share one lock). Registering entries with the coherence
// service is the caller's business.
// Safe for concurrent use.
#pragma once

#include <memory>
#include <vector>

#include "VelcacheExport.h"
#include "caching/CacheCoherence.h"
#include "utility/Cache.h"
#include "velsys/ThreadAnnotations.h"

class TReadWriteLock;

/// A Cache behind a reader-writer lock, told by the coherence service which entries are stale. Safe
/// for concurrent use.
class VELCACHE_EXPORT SynchronizedCache : public velmora::caching::ICoherentCache {
public:
    /// Wraps a new Cache(policy) on a counting clock. REQUIRES: lock not null and outliving the
    /// cache. Raises the logic exception "m_policy" when the policy is null.
    SynchronizedCache(std::shared_ptr<CacheHelpers::IPolicy> policy, TReadWriteLock* lock);
    /// Destroys the entries; the lock is left alone.
    ~SynchronizedCache() override;

    SynchronizedCache(const SynchronizedCache&) = delete;
    SynchronizedCache& operator=(const SynchronizedCache&) = delete;

    /// The wrapped cache, without locking: whoever uses it must coordinate with the lock.
    Cache* GetCache() { return &m_cache; }

    /// The number of entries (shared hold).
    unsigned long long GetSize() const;
    /// Adds an entry stamped with the current clock; returns its id.
    unsigned int AddEntry(CacheHelpers::Payload data);
    /// The payload of entry `id`, which is marked used at the current clock; empty if not held.
    CacheHelpers::Payload TryGetEntry(unsigned int id);
    /// Removes entry `id` and returns its payload; empty (and no change) if not held.
    CacheHelpers::Payload TryDeleteEntry(unsigned int id);

    /// Deletes the listed entries under one hold of the lock, in list order; ids not held are
    /// ignored. Runs on the caller's thread; the coherence service calls it while holding its
    /// own lock, so nothing that holds this cache's lock may wait for the coherence service.
    void OnDirty(const std::vector<unsigned int>& ids) override;

    /// Advances the clock under the lock, releases it, then purges as Purge does. The increment
    /// and the purge are not one atomic step.
    CacheHelpers::EntrySet IncrementClock();
    /// As IncrementClock, purging with `policy` as PurgeWithPolicy does.
    CacheHelpers::EntrySet IncrementClockWithPolicy(CacheHelpers::IPolicy& policy);
    /// Reads the cache's own policy under the lock, then purges with it as PurgeWithPolicy does.
    CacheHelpers::EntrySet Purge();
    /// Snapshot under the lock; `policy.Purge` runs on the snapshot on the caller's thread with
    /// no lock held; each entry it does not keep is then deleted under its own hold of the lock.
    /// Returns the entries chosen for removal (empty when the policy keeps everything, in which
    /// case the lock is not taken again).
    CacheHelpers::EntrySet PurgeWithPolicy(CacheHelpers::IPolicy& policy);
    /// As PurgeWithPolicy with a policy that keeps the entries the predicate does not match:
    /// returns the matching snapshot entries, each deleted from the cache. `predicate->Matches`
    /// runs on the caller's thread with no lock held. REQUIRES: predicate not null.
    CacheHelpers::EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);

    /// The lookups by predicate scan a snapshot in its iteration order; Matches runs on the
    /// caller's thread with no lock held. They mark the entry found used on the snapshot's copy
    /// only, so the cached entry keeps its clock of last use. The payload returned may belong to
    /// an entry another thread removed meanwhile. REQUIRES: predicate not null.
    ///
    /// The first matching entry's payload; empty when nothing matches.
    CacheHelpers::Payload TryGetEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// The hinted entry when held and matching (`hint` unchanged); otherwise `hint` is set to 0,
    /// then to the id of the first match, if any.
    CacheHelpers::Payload TryGetEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                      unsigned int& hint);
    /// Sets `hint` to 0, then to the id of the first match, if any.
    CacheHelpers::Payload TryGetEntryAndHint(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned int& hint);
    /// Calls `predicate->Matches` once on every snapshot entry and ignores the answers, so that a
    /// predicate can act as a visitor. Runs on the caller's thread with no lock held.
    void VisitEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);

private:
    /// Copies the entries (and reads the clock when asked) under one hold of the lock, into one
    /// flat block: the hold makes one allocation in all rather than one per entry. In the cache's
    /// iteration order.
    std::vector<CacheHelpers::Entry> Copy(unsigned long long* clock);
    /// The same copy as a set, built after the hold, for the policies.
    CacheHelpers::EntrySet Snapshot(unsigned long long* clock);
    /// The common purge step: policy on the snapshot with no lock, then one hold per deletion.
    /// Consumes the snapshot, which becomes the result.
    CacheHelpers::EntrySet RemoveEntries(CacheHelpers::IPolicy& policy,
                                         CacheHelpers::EntrySet& snapshot,
                                         unsigned long long clock);

    /// Exclusive holds only; GetCache hands it out without the lock.
    Cache m_cache VEL_GUARDED_BY(*m_lock);
    /// Constant after construction; borrowed, never null.
    TReadWriteLock* const m_lock;
};
