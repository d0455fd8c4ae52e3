// The vocabulary of the in-memory caches: entries, clocks, predicates and eviction policies.
//
// An Entry is one cached item: a process-wide unique id (never 0 for a live entry), a
// reference-counted payload and the clock value of its last use. Identity is the id alone, so
// an entry held in an EntrySet may have its clock rewritten in place. A cache measures age with
// an IClock it owns: BasicClockObject counts increments, SystemBasedClock reads wall time in
// milliseconds. An EntryPredicate tests entries and may name an index whose key holds every
// entry it can match. An IPolicy decides which entries survive a purge; it is handed the whole
// range of a cache's entries and its clock and returns the survivors.
//
// Ownership: entries hold one reference to their payload; every copy holds its own. Clocks are
// owned through std::unique_ptr, predicates and policies shared through std::shared_ptr.
// Thread contract: not thread-safe: use from one thread at a time. The only shared state is
// the atomic id counter, which makes ids unique across threads. The four policies here hold
// only their parameters, so one of them may run Purge on several threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "VelcacheExport.h"
#include "velcoreplatform/TString.h"
#include "velsys/RefCnt.h"

/// Base of payloads that report their memory footprint. Destroyed only through its reference
/// count.
class VELCACHE_EXPORT VelCacheData : public RefCntObject {
public:
    /// A bare object reports 24 bytes; derived classes set their own footprint.
    VelCacheData();
    /// Copies the footprint.
    VelCacheData(const VelCacheData& other);
    /// Copies the footprint; the reference count is the object's own.
    VelCacheData& operator=(const VelCacheData& other);

    /// The payload's footprint in bytes, as the caches charge it.
    unsigned long long GetMemoryUsage() const { return m_memoryUsage; }

protected:
    ~VelCacheData() override;

    /// The footprint a derived class sets, in bytes.
    unsigned long long m_memoryUsage;
};

namespace CacheHelpers {

using Payload = RefCntPtr<RefCntObject, RefCntObject>;

/// One cached item: a process-wide id, a reference-counted payload and the clock of its last use.
/// Identity is the id alone.
class VELCACHE_EXPORT Entry {
public:
    /// The empty entry: id 0, no payload, clock 0.
    Entry() = default;
    /// A lookup key: the given id, no payload, clock 0. Issues no id and touches no payload.
    explicit Entry(unsigned int id) : m_id(id) {}
    /// A new entry: issues the next process-wide id, takes the payload, stores the clock.
    Entry(Payload data, unsigned long long clock);

    /// The id; 0 for the empty entry.
    unsigned int GetID() const { return m_id; }
    /// The payload; null for a lookup key or the empty entry.
    const Payload& GetData() const { return m_data; }
    /// The clock value of the entry's last use.
    unsigned long long GetClock() const { return m_clock; }

    /// Stamps the entry with `clock` and returns a new reference to its payload (null when the
    /// entry has none; the clock is set all the same). Const because the clock takes no part in
    /// identity: an entry inside a set is stamped in place.
    Payload Use(unsigned long long clock) const {
        m_clock = clock;
        return m_data;
    }

    /// Equal when the ids are.
    bool operator==(const Entry& other) const { return m_id == other.m_id; }

private:
    /// The source of ids: zero at load; the n-th entry made in the process has id n.
    static std::atomic<unsigned int> s_guid;

    unsigned int m_id = 0;
    Payload m_data;
    mutable unsigned long long m_clock = 0;
};

/// The hash of an entry is its id.
struct EntryHash {
    /// The hash of the entry's id.
    std::size_t operator()(const Entry& entry) const { return entry.GetID(); }
};

/// Orders entries by id.
struct EntryLess {
    /// Orders entries by id.
    bool operator()(const Entry& a, const Entry& b) const { return a.GetID() < b.GetID(); }
};

/// The exchange type of the caches: snapshots, purge and deletion results. Its iteration order
/// is its own; "the first entry of a scan" means the first in that order.
using EntrySet = std::unordered_set<Entry, EntryHash>;

/// A cache's measure of age; owned by the cache.
struct VELCACHE_EXPORT IClock {
    virtual ~IClock();
    /// The current clock value.
    virtual unsigned long long GetClock() = 0;
    /// Advances the clock, where the clock advances on request.
    virtual void Increment() = 0;
};

/// A logical clock: starts at 0 and moves only by Increment, one step each.
struct VELCACHE_EXPORT BasicClockObject : public IClock {
    /// The number of increments so far.
    unsigned long long GetClock() override { return m_count; }
    void Increment() override { ++m_count; }

    /// Increments so far.
    unsigned long long m_count = 0;
};

/// Wall time: UTC milliseconds since 0001-01-01, read afresh on every call. Increment does
/// nothing.
class VELCACHE_EXPORT SystemBasedClock : public IClock {
public:
    /// UTC milliseconds since 0001-01-01, now.
    unsigned long long GetClock() override;
    void Increment() override {}
};

VELCACHE_EXPORT std::unique_ptr<IClock> CreateBasicClock();
VELCACHE_EXPORT std::unique_ptr<IClock> CreateSystemClock();

/// A test on entries. A predicate that names an index promises that every entry it matches is
/// filed under GetKeyForIndexing() in that index; Matches is still applied to each candidate.
struct VELCACHE_EXPORT EntryPredicate {
    EntryPredicate() = default;
    virtual ~EntryPredicate();
    /// Whether the predicate matches `entry`.
    virtual bool Matches(const Entry& entry) = 0;
    /// The index to take candidates from; empty in the base.
    virtual TString GetIndexName() const;
    /// The key of the candidates in that index; empty in the base.
    virtual TString GetKeyForIndexing() const;
    /// Whether the predicate carries index information; false in the base.
    virtual bool HasIndex() const;
};

/// Matches every entry (true) or none (false).
struct VELCACHE_EXPORT BooleanEntryPredicate : public EntryPredicate {
    /// Matches every entry when `value`, none otherwise.
    explicit BooleanEntryPredicate(bool value) : m_value(value) {}
    /// The constant answer.
    bool Matches(const Entry&) override { return m_value; }

    /// The constant answer.
    bool m_value;
};

/// Matches entries not used for more than m_lifetime clock units at clock m_now:
/// entry clock + m_lifetime < m_now (unsigned 64-bit, strict).
struct VELCACHE_EXPORT LifetimePredicate : public EntryPredicate {
    /// Matches entries not used for more than `lifetime` clock units at clock `now`.
    LifetimePredicate(unsigned long long lifetime, unsigned long long now)
        : m_lifetime(lifetime), m_now(now) {}
    /// Whether the entry is older than the lifetime.
    bool Matches(const Entry& entry) override { return entry.GetClock() + m_lifetime < m_now; }

    /// In clock units.
    unsigned long long m_lifetime;
    /// The clock value the age is measured at.
    unsigned long long m_now;
};

/// Adapts a shared predicate to the standard algorithms; holds its own reference for the
/// duration of a scan.
struct VELCACHE_EXPORT EntryPredicateBinder {
    /// Binds `predicate` (not null).
    explicit EntryPredicateBinder(std::shared_ptr<EntryPredicate> predicate)
        : m_predicate(std::move(predicate)) {}
    /// Shares the predicate.
    EntryPredicateBinder(const EntryPredicateBinder& other) = default;
    virtual ~EntryPredicateBinder();
    /// The predicate's answer for `entry`.
    bool operator()(const Entry& entry) const { return m_predicate->Matches(entry); }

    /// The bound predicate.
    std::shared_ptr<EntryPredicate> m_predicate;
};

/// Decides which entries survive a purge. The hooks serve policies that keep their own
/// catalogue of a cache's entries; only the indexed caches call them, on the thread that
/// operates on the cache (see each cache for the lock held then).
class VELCACHE_EXPORT IPolicy {
public:
    /// What a policy can do beyond Purge.
    enum Capability {
        /// The policy catalogues entries through the hooks and computes the set to remove
        /// itself (ComputeEntriesToPurge instead of Purge).
        ComputesEntriesToPurge = 0,
    };

    IPolicy() = default;
    /// Policies copy their parameters.
    IPolicy(const IPolicy&) = default;
    /// Policies copy their parameters.
    IPolicy& operator=(const IPolicy&) = default;
    virtual ~IPolicy();

    /// The entries of [first, last) that are to remain: copies of entries of the range.
    virtual EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                           unsigned long long now) = 0;
    /// Hook: `entry` was added (nothing by default).
    virtual void OnEntryAdded(const Entry& entry);
    /// Hook: `entry` was removed (nothing by default).
    virtual void OnEntryDeleted(const Entry& entry);
    /// Hook: `entry` was used (nothing by default).
    virtual void OnEntryUsed(const Entry& entry);
    /// False for every capability unless overridden.
    virtual bool HasCapability(Capability capability);
    /// The entries the policy wants removed. Raises NotImplementedException unless overridden.
    virtual EntrySet ComputeEntriesToPurge();
    /// The policy is installed on a cache holding `entries`: calls OnEntryAdded for each, in the
    /// set's iteration order.
    virtual void CatalogCacheEntries(const EntrySet& entries);
    /// Size of the cache's contents as the policy accounts it. Raises NotImplementedException
    /// unless overridden.
    virtual unsigned long long GetCacheSizeBytes();
};

/// Keeps the m_cacheLimit entries with the greatest clocks (a linear-time selection, no sort;
/// no selection at all when the range is within the limit). Among entries that share the clock
/// value at the cut, which survive is unspecified.
class VELCACHE_EXPORT MRUPolicy : public IPolicy {
public:
    /// Keeps at most `cacheLimit` entries.
    explicit MRUPolicy(unsigned long long cacheLimit) : m_cacheLimit(cacheLimit) {}
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long now) override;

private:
    unsigned long long m_cacheLimit;
};

/// Keeps the entries used within the last m_lifetime clock units: clock + m_lifetime >= now.
class VELCACHE_EXPORT LifetimePolicy : public IPolicy {
public:
    /// Keeps entries used within `lifetime` clock units.
    explicit LifetimePolicy(unsigned long long lifetime) : m_lifetime(lifetime) {}
    /// Copies the lifetime.
    LifetimePolicy(const LifetimePolicy&) = default;
    /// Copies the lifetime.
    LifetimePolicy& operator=(const LifetimePolicy&) = default;
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long now) override;

private:
    unsigned long long m_lifetime;
};

/// Keeps the entries the predicate does not match; the clock is not used. REQUIRES: predicate
/// not null.
struct VELCACHE_EXPORT EntryPredicatePolicy : public IPolicy {
    /// Removes what `predicate` matches.
    explicit EntryPredicatePolicy(std::shared_ptr<EntryPredicate> predicate)
        : m_predicate(std::move(predicate)) {}
    /// Shares the predicate.
    EntryPredicatePolicy(const EntryPredicatePolicy&) = default;
    /// Shares the predicate.
    EntryPredicatePolicy& operator=(const EntryPredicatePolicy&) = default;
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long now) override;

    /// The entries to remove.
    std::shared_ptr<EntryPredicate> m_predicate;
};

/// Applies its member policies in order of addition; each sees what the ones before it kept.
/// REQUIRES: member policies not null.
class VELCACHE_EXPORT CascadedPolicy : public IPolicy {
public:
    /// A cascade of `first` alone.
    explicit CascadedPolicy(std::shared_ptr<IPolicy> first);
    /// Appends `policy`; it sees what the ones before it kept.
    void AddPolicy(std::shared_ptr<IPolicy> policy);
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long now) override;

private:
    std::vector<std::shared_ptr<IPolicy>> m_policies;
};

}  // namespace CacheHelpers
