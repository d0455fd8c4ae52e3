// IndexedCache: the in-memory cache with named secondary indices.
//
// Besides what the plain Cache does, it keeps any number of named indices: an index is a key
// function that computes a string key for each entry, and every entry is filed under the index
// key "<name>|<key>". A predicate that names a registered index and a key is answered from the
// ids filed under that key (its hints, in ascending id order) instead of by a scan. The cache
// also drives the whole policy interface: it tells its policy of every entry added, used and
// deleted, catalogues its entries for a policy being installed, and lets a policy that computes
// its own purge set do so. Nothing is evicted except by Purge, IncrementClock, PruneHints and
// the deletions.
//
// Ownership: the cache owns its clock and its tables (which hold one reference per payload) and
// shares its policy. Every returned payload, Entry and EntrySet carries its own references.
// Policies, predicates and key functions run on the calling thread.
// Thread contract: not thread-safe: use from one thread at a time (SynchronizedIndexedCache
// adds the locking).
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VelcacheExport.h"
#include "utility/CacheHelpers.h"
#include "velcoreplatform/TString.h"

/// The tables of an IndexedCache, visible to callers through GetCacheData.
struct IndexedCacheData {
    /// Index name to its key function, wrapped so that it returns the whole index key.
    std::unordered_map<TString, std::function<TString(const CacheHelpers::Entry&)>> indexFunctions;
    /// Index key to the ids filed under it (never an empty set).
    std::unordered_map<TString, std::set<unsigned int>> indexedEntries;
    /// Entry id to the index keys it is filed under.
    std::unordered_map<unsigned int, std::set<TString>> entryIndexKeys;
    /// The cached entries.
    CacheHelpers::EntrySet entries;
};

/// A cache with named secondary indices over its entries (see the file's opening comment). Not
/// thread-safe: use from one thread at a time.
class VELCACHE_EXPORT IndexedCache {
public:
    /// Computes an entry's key in an index.
    using KeyFunction = std::function<TString(const CacheHelpers::Entry&)>;

    /// Uses `policy` on `clock` (a new counting clock when null). Raises the logic exception
    /// "m_policy" when the policy is null; no cache is made then.
    IndexedCache(std::shared_ptr<CacheHelpers::IPolicy> policy,
                 std::unique_ptr<CacheHelpers::IClock> clock);
    /// A LifetimePolicy with `lifetime` on `clock` (a new counting clock when null).
    explicit IndexedCache(unsigned long long lifetime = 6,
                          std::unique_ptr<CacheHelpers::IClock> clock = nullptr);
    ~IndexedCache();

    IndexedCache(const IndexedCache&) = delete;
    IndexedCache& operator=(const IndexedCache&) = delete;

    /// The index key of `key` in the index `indexName`: "%1|%2", neither part escaped, so the
    /// name "a|b" with key "c" and the name "a" with key "b|c" give the same index key.
    static TString MakeIndexKey(const TString& indexName, const TString& key);

    /// Adds an entry stamped with the current clock, files it under every index and tells the
    /// policy (OnEntryAdded). Returns its new id. If a key function throws, the entry is not
    /// added and the exception propagates.
    unsigned int AddEntry(CacheHelpers::Payload data);

    /// Registers an index and files every held entry under it. Returns false, changing nothing,
    /// for an empty name, an empty key function or a name already registered. Indices are never
    /// removed. If a key function throws, the index is not registered, the filings made by this
    /// call are undone and the exception propagates.
    bool AddIndex(const TString& name, KeyFunction keyFunction);

    /// Removes and returns the entries the predicate matches, telling the policy of each
    /// (OnEntryDeleted). With a usable index only the entries filed under the predicate's key
    /// are examined. A null predicate removes nothing and returns an empty set.
    CacheHelpers::EntrySet DeleteEntries(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// Removes and returns every entry.
    CacheHelpers::EntrySet DeleteEntries();
    /// Removes the entry if held and tells the policy; an id not held changes nothing.
    void DeleteEntry(unsigned int id);

    /// The tables themselves; valid until the cache changes.
    const IndexedCacheData& GetCacheData() const { return m_data; }
    /// The current clock value.
    unsigned long long GetClock() const;
    /// A copy of the entries (sharing the payloads).
    CacheHelpers::EntrySet GetEntries() const { return m_data.entries; }
    /// A copy of the entry, reported to the policy as a use (OnEntryUsed) without changing its
    /// clock; the empty entry (id 0), and no report, when it is not held.
    CacheHelpers::Entry GetEntry(unsigned int id);
    /// The number of entries.
    unsigned long long GetEntryCount() const { return m_data.entries.size(); }
    /// A copy of the ids filed under the index key of `indexName` and `key`; empty when none.
    std::set<unsigned int> GetHints(TString indexName, TString key) const;
    /// A copy of the index table.
    std::unordered_map<TString, std::set<unsigned int>> GetIndexedEntries() const {
        return m_data.indexedEntries;
    }
    /// The number of index keys (not of entries).
    unsigned long long GetIndexedEntryCount() const { return m_data.indexedEntries.size(); }
    /// The cache's policy.
    std::shared_ptr<CacheHelpers::IPolicy> GetPolicy() const { return m_policy; }
    /// Whether the predicate is not null and names a registered index (its own HasIndex is not
    /// consulted).
    bool HasIndex(const std::shared_ptr<CacheHelpers::EntryPredicate>& predicate) const;

    /// Advances the clock, then purges with `policy`; the cache keeps its own policy.
    CacheHelpers::EntrySet IncrementClock(std::shared_ptr<CacheHelpers::IPolicy> policy);
    /// Advances the clock, then purges with the cache's own policy.
    CacheHelpers::EntrySet IncrementClock();
    /// Advances the clock without purging.
    void JustIncrementClock();

    /// When more than `limit` ids are filed under the predicate's index key, deletes the oldest
    /// of them (the smallest id) as DeleteEntry does and returns its key-only entry; otherwise
    /// returns the empty entry. At most one entry goes per call; Matches is not consulted and
    /// whether the index is registered is not tested.
    CacheHelpers::Entry PruneHints(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                   unsigned int limit);

    /// Purges with `policy` (through ComputeEntriesToPurge when it has that capability) and
    /// returns the removed entries; the cache's own policy is told of each removal, also when
    /// another policy chose them. A purge that removes nothing returns an empty set.
    /// REQUIRES: policy not null.
    CacheHelpers::EntrySet Purge(std::shared_ptr<CacheHelpers::IPolicy> policy);
    /// Purges with the cache's policy; returns what was removed.
    CacheHelpers::EntrySet Purge();

    /// Installs `policy`: a policy other than the current one is first handed the held entries
    /// (CatalogCacheEntries). A non-null clock replaces the clock; a null one keeps it. Nothing
    /// is purged. REQUIRES: policy not null.
    void SetPolicy(std::shared_ptr<CacheHelpers::IPolicy> policy,
                   std::unique_ptr<CacheHelpers::IClock> clock);

    /// Uses the entry if held: the policy sees it with its previous clock, then it is stamped.
    /// Null when not held.
    CacheHelpers::Payload UseEntry(unsigned int id);
    /// Uses the first matching entry (through the index when usable); the policy sees it with
    /// its new clock. Null when nothing matches.
    CacheHelpers::Payload UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// As UseEntry(predicate); `hint` receives the id used, or 0 when nothing matches.
    CacheHelpers::Payload UseEntryGetHint(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                          unsigned int& hint);
    /// Uses the entry `id` only if it is held and the predicate matches it; no index, no scan.
    CacheHelpers::Payload UseEntryIfMatchesPredicate(
        unsigned int id, std::shared_ptr<CacheHelpers::EntryPredicate> predicate);
    /// Tries the hinted entry, then the predicate's search; `hint` receives the id used. With no
    /// match (or a null predicate) returns null and leaves `hint` as it was.
    CacheHelpers::Payload UseEntryUpdateHint(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned int& hint);

    /// Checks the invariants of the tables: every held entry filed under every index, every
    /// filing recorded in both directions, no empty id set, no id that is not held. Returns an
    /// empty string when they hold, else a description of the first breach found. Costs a pass
    /// over all tables; meant for tests and diagnostics.
    TString CheckTables() const;

private:
    /// Files the entry under every index; records each (id, index key) filing that is new in
    /// `added` when given, so that a failed filing can be undone.
    void AddEntryToIndices(const CacheHelpers::Entry& entry,
                           std::vector<std::pair<unsigned int, TString>>* added);
    void Unfile(unsigned int id, const TString& indexKey);
    void RemoveEntryFromIndices(unsigned int id);
    bool HasUsableIndex(const CacheHelpers::EntryPredicate& predicate) const;
    /// The first match (through the index when usable), or null.
    const CacheHelpers::Entry* FindMatchingEntry(
        const std::shared_ptr<CacheHelpers::EntryPredicate>& predicate) const;
    /// Removes and returns the matching entries; tells the policy nothing.
    CacheHelpers::EntrySet DeleteMatchingEntries(
        const std::shared_ptr<CacheHelpers::EntryPredicate>& predicate, unsigned long long now);
    /// Removes and returns the entries `policy` does not keep; tells the policy nothing.
    CacheHelpers::EntrySet PurgeEntries(CacheHelpers::IPolicy& policy, unsigned long long now);
    CacheHelpers::EntrySet PurgeComputedEntries(CacheHelpers::IPolicy& policy);
    /// Removes a held entry from the tables (index tables first) and returns it.
    CacheHelpers::Entry Erase(CacheHelpers::EntrySet::const_iterator it);
    CacheHelpers::Payload Use(const CacheHelpers::Entry& entry);

    IndexedCacheData m_data;
    std::shared_ptr<CacheHelpers::IPolicy> m_policy;
    std::unique_ptr<CacheHelpers::IClock> m_clock;
};
