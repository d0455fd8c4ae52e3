// SynchronizedIndexedCache: an IndexedCache shared between threads under a reader/writer lock,
// which the coherence service can tell to drop stale entries (ICoherentCache).
//
// Reading operations hold the lock shared, changing operations exclusively. Lookups and
// deletions by predicate first narrow the candidates through the predicate's index under the
// shared lock, evaluate the predicate on them with no lock held, and only then delete under one
// exclusive hold. A predicate can be precomputed (MakePrecomputedPredicate): its answer for
// every current candidate is stored by entry id, so that the exclusive part only looks answers
// up; entries that arrived later are answered by the original predicate. Results reflect the
// cache at the hold they were read under; an entry may vanish before the caller uses it.
//
// Ownership: the cache owns the wrapped IndexedCache and its entries. The lock is either its
// own (made by the constructor without one, destroyed with the cache) or borrowed (*lock must
// outlive the cache). No hold is ever nested, so the lock need not be recursive or upgradable.
// Safe for concurrent use.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VelcacheExport.h"
#include "caching/CacheCoherence.h"
#include "utility/IndexedCache.h"
#include "velsys/ThreadAnnotations.h"

class TReadWriteLock;

/// Callbacks and the lock, per operation (the cache never holds its lock while it calls the
/// coherence service or another locking operation of its own):
/// - Policy Purge: with no lock held (Purge, DeleteEntries through an index), except in
///   IncrementClock, which advances and purges under one exclusive hold.
/// - Policy ComputeEntriesToPurge and OnEntryDeleted: under the exclusive lock.
/// - Policy OnEntryAdded: under the exclusive lock. OnEntryUsed: under the exclusive lock, or
///   under the shared lock when candidates are fetched, so it may run on several threads at once.
/// - Predicate Matches: with no lock held in FindFirstMatch, MakePrecomputedPredicate and the
///   policy step of a deletion through an index; under the exclusive lock in
///   TryGetEntryUpdateHint (the hinted entry only), DeleteEntries without an index (every entry)
///   and for entries a precomputed predicate has no answer for. A predicate that runs under the
///   lock must not call back into this cache.
/// - Index key functions: under the exclusive lock (AddEntry, AddIndex).
class VELCACHE_EXPORT SynchronizedIndexedCache : public velmora::caching::ICoherentCache {
public:
    /// Wraps IndexedCache(policy, clock) and borrows `lock`. REQUIRES: lock not null and
    /// outliving the cache. Raises the logic exception "m_policy" when the policy is null.
    SynchronizedIndexedCache(std::shared_ptr<CacheHelpers::IPolicy> policy, TReadWriteLock* lock,
                             std::unique_ptr<CacheHelpers::IClock> clock);
    /// As above with a lock of its own, destroyed with the cache.
    SynchronizedIndexedCache(std::shared_ptr<CacheHelpers::IPolicy> policy,
                             std::unique_ptr<CacheHelpers::IClock> clock);
    ~SynchronizedIndexedCache() override;

    SynchronizedIndexedCache(const SynchronizedIndexedCache&) = delete;
    SynchronizedIndexedCache& operator=(const SynchronizedIndexedCache&) = delete;

    /// Exclusive: IndexedCache::AddEntry.
    unsigned int AddEntry(CacheHelpers::Payload data);
    /// Exclusive: IndexedCache::AddIndex.
    bool AddIndex(const TString& name,
                  std::function<TString(const CacheHelpers::Entry&)> keyFunction);

    /// Shared holds: copies of what the wrapped cache holds.
    CacheHelpers::EntrySet GetEntries() const;
    /// Shared hold: the number of entries.
    unsigned long long GetEntryCount() const;
    /// Shared hold: a copy of the index table (IndexedCache::GetIndexedEntries).
    std::unordered_map<TString, std::set<unsigned int>> GetIndexedEntries() const;
    /// Shared hold: the number of index keys (not of entries).
    unsigned long long GetIndexedEntryCount() const;

    /// Advances the clock and purges with the cache's own policy, all in one exclusive hold.
    CacheHelpers::EntrySet IncrementClock();

    /// Deletes the listed entries under one exclusive hold, in list order; ids not held are
    /// ignored. Runs on the caller's thread; the coherence service calls it while holding its
    /// own lock, so nothing that holds this cache's lock may wait for the coherence service.
    void OnDirty(const std::vector<unsigned int>& ids) override;

    /// Exclusive: uses entry `id` and returns its payload; empty when not held.
    CacheHelpers::Payload TryGetEntry(unsigned int id);
    /// TryGetEntryAndHint with a hint of its own that is thrown away.
    CacheHelpers::Payload TryGetEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// Finds the first match (FindFirstMatch) and uses it by id. On success writes its id to
    /// `hint`; otherwise returns empty and leaves `hint` as it was. An entry deleted between the
    /// two steps gives an empty result, not a second search.
    CacheHelpers::Payload TryGetEntryAndHint(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned int& hint);
    /// A non-zero hint is tried first under the exclusive lock (the predicate runs on that one
    /// entry), leaving `hint` unchanged on success. Otherwise `hint` is set to 0 and the result is
    /// TryGetEntryAndHint's.
    CacheHelpers::Payload TryGetEntryUpdateHint(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned int& hint);
    /// Exclusive: IndexedCache::PruneHints(predicate, limit).
    CacheHelpers::Entry PruneHints(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                   unsigned int limit);

    /// Shared: the entries filed under the predicate's index key when it names a registered
    /// index (ids that are gone are skipped), otherwise all entries. Matches is not called, so
    /// the set may hold entries that do not match.
    CacheHelpers::EntrySet GetPossiblyMatchingEntries(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// The id of the first candidate the predicate matches (Matches runs with no lock held);
    /// 0 if none.
    unsigned int FindFirstMatch(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// Evaluates the predicate on every current candidate with no lock held and returns a
    /// predicate that answers from those results by id, asks `predicate` about other ids, and
    /// uses `predicate`'s index. Immutable; may be reused after the cache changes.
    std::shared_ptr<CacheHelpers::EntryPredicate> MakePrecomputedPredicate(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate);

    /// Deletes and returns the matching entries. With a registered index: the hinted entries are
    /// gathered (exclusive lock for the hint lookup, then a shared hold per entry), the
    /// predicate is evaluated on them with no lock held, and the matches are deleted under one
    /// exclusive hold; entries not filed under the key are never deleted. Without one: the
    /// predicate runs under the exclusive lock on every entry. A null predicate deletes nothing.
    CacheHelpers::EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// DeleteEntries(MakePrecomputedPredicate(predicate)): for expensive predicates.
    CacheHelpers::EntrySet PrecomputePredicateAndDeleteEntries(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// Precomputes the predicate with no lock held, then under one exclusive hold deletes the
    /// existing entries it matches and adds `data`. Returns the new id and the deleted entries;
    /// the new entry is never among them. If the deletion throws nothing is added; if the
    /// addition throws the deletions stay done.
    std::pair<unsigned int, CacheHelpers::EntrySet> AddEntryAndDeleteExistingEntriesItMatches(
        CacheHelpers::Payload data, std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// Under one exclusive hold, deletes the entries with the given ids that are still held and
    /// adds `data`: the replacement of a known entry without an index lookup or a predicate.
    /// Returns the new id and the deleted entries (their payloads are released by the caller).
    std::pair<unsigned int, CacheHelpers::EntrySet> AddEntryAndDeleteEntriesWithIds(
        CacheHelpers::Payload data, const std::vector<unsigned int>& ids);
    /// Deletes and returns the entries with the given ids that are still held, under one
    /// exclusive hold; ids that are gone are skipped.
    CacheHelpers::EntrySet DeleteEntriesWithIds(const std::vector<unsigned int>& ids);
    /// Purges with the cache's own policy: a policy that computes its own purge set is asked
    /// under the exclusive lock; any other runs Purge on a snapshot with no lock held, and the
    /// entries it drops are deleted under one exclusive hold. A purge that removes nothing never
    /// takes the exclusive lock.
    CacheHelpers::EntrySet Purge();

    /// Test hook: IndexedCache::CheckTables under a shared hold. Refuses to run (logic exception
    /// "AppConfig::GetInstance().GetUnitTestFlag()") unless the unit-test flag is on.
    TString CheckTablesTestOnly() const;

private:
    /// The purge step: the policy runs with no lock held, the deletion under one exclusive hold.
    CacheHelpers::EntrySet RemoveEntries(CacheHelpers::IPolicy& policy,
                                         CacheHelpers::EntrySet& snapshot,
                                         unsigned long long clock);
    /// The purge step of a policy that computes its own purge set, under one exclusive hold.
    /// Returns the set the policy computed.
    CacheHelpers::EntrySet RemoveEntriesHelper(CacheHelpers::IPolicy& policy);
    /// Deletes the held entries among `ids` and returns them; the caller holds the lock.
    CacheHelpers::EntrySet DeleteHeld(const std::vector<unsigned int>& ids) VEL_REQUIRES(*m_lock);

    /// Shared holds for reading, exclusive for changing.
    IndexedCache m_cache VEL_GUARDED_BY(*m_lock);
    /// Constant after construction; never null. Owned unless m_borrowedLock.
    TReadWriteLock* const m_lock;
    const bool m_borrowedLock;
};
