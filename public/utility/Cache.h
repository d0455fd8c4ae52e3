// Cache: the plain in-memory cache of reference-counted payloads.
//
// A Cache holds entries keyed by id, one eviction policy and one clock. Callers add payloads
// and get ids back, read payloads by id or by predicate (each read is a use: the entry is
// stamped with the current clock), and delete entries. The cache never evicts on its own: only
// Purge and IncrementClock remove entries, with the cache's policy or one passed for that call.
// Every removal hands back what it removed.
//
// Ownership: the cache owns its clock and shares its policy. Every returned payload and
// EntrySet carries its own references, so removed payloads live as long as the caller keeps
// them. Thread contract: not thread-safe: use from one thread at a time (SynchronizedCache adds
// the locking). Policies and predicates run on the calling thread.
#pragma once

#include <memory>
#include <vector>

#include "VelcacheExport.h"
#include "utility/CacheHelpers.h"

/// The basic interface of the in-memory caches: add, use and delete entries.
class VELCACHE_EXPORT ICache {
public:
    virtual ~ICache();
    /// The payload of the first entry the predicate matches (used), or null.
    virtual CacheHelpers::Payload UseEntry(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate) = 0;
    /// Adds an entry stamped with the current clock and returns its new id. Nothing is purged.
    virtual unsigned int AddEntry(CacheHelpers::Payload data) = 0;
    /// Removes and returns the entries the predicate matches.
    virtual CacheHelpers::EntrySet DeleteEntries(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate) = 0;
    /// Removes and returns every entry.
    virtual CacheHelpers::EntrySet DeleteEntries() = 0;
};

/// The full interface of the plain cache: lookups by id, hints, the clock and purges.
class VELCACHE_EXPORT ICacheEx : public ICache {
public:
    using ICache::UseEntry;
    /// Whether entry `id` is held. Not a use.
    virtual bool HasEntry(unsigned int id) const = 0;
    /// Whether any entry matches; stops at the first match. Not a use.
    virtual bool HasEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate) const = 0;
    /// The payload of entry `id`, marked used at the current clock; null when not held.
    virtual CacheHelpers::Payload UseEntry(unsigned int id) = 0;
    /// Tries the hinted entry first; on a miss scans and rewrites the hint (0 when nothing
    /// matches).
    virtual CacheHelpers::Payload UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                           unsigned int& hint) = 0;
    /// Sets the hint to 0, scans, and sets it to the id of the entry found.
    virtual CacheHelpers::Payload UseEntryGetHint(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate, unsigned int& hint) = 0;
    /// Removes the entry and returns its payload; null (and no change) when it is not held.
    virtual CacheHelpers::Payload DeleteEntry(unsigned int id) = 0;
    /// A copy of the entry set; the copies share the payloads.
    virtual CacheHelpers::EntrySet GetEntries() = 0;
    /// The number of entries.
    virtual unsigned long long GetSize() const = 0;
    /// The cache's policy.
    virtual std::shared_ptr<CacheHelpers::IPolicy> GetPolicy() const = 0;
    /// Replaces the policy; a non-null clock replaces the clock, a null one keeps it. Nothing is
    /// purged and the new policy is not told about the entries.
    virtual void SetPolicy(std::shared_ptr<CacheHelpers::IPolicy> policy,
                           std::unique_ptr<CacheHelpers::IClock> clock) = 0;
    /// The current clock value.
    virtual unsigned long long GetClock() const = 0;
    /// Advances the clock, then purges with the cache's policy; returns what was purged.
    virtual CacheHelpers::EntrySet IncrementClock() = 0;
    /// Advances the clock, then purges with `policy`; the cache keeps its own policy.
    virtual CacheHelpers::EntrySet IncrementClock(
        std::shared_ptr<CacheHelpers::IPolicy> policy) = 0;
    /// Purges with the cache's policy; returns what was removed.
    virtual CacheHelpers::EntrySet Purge() = 0;
    /// Purges with `policy`; returns what was removed. The cache keeps its own policy.
    virtual CacheHelpers::EntrySet Purge(std::shared_ptr<CacheHelpers::IPolicy> policy) = 0;
    /// Advances the clock without purging.
    virtual void JustIncrementClock() = 0;
};

/// The plain in-memory cache: entries purged by a policy on a clock. Not thread-safe: use from one
/// thread at a time.
class VELCACHE_EXPORT Cache : public ICacheEx {
public:
    /// Uses `policy` on a new counting clock. Raises the logic exception "m_policy" when the
    /// policy is null.
    explicit Cache(std::shared_ptr<CacheHelpers::IPolicy> policy);
    /// Uses `policy` on `clock` (a new counting clock when null). Raises "m_policy" as above.
    Cache(std::shared_ptr<CacheHelpers::IPolicy> policy,
          std::unique_ptr<CacheHelpers::IClock> clock);
    /// A LifetimePolicy with `lifetime` on `clock` (a new counting clock when null).
    explicit Cache(unsigned long long lifetime = 6,
                   std::unique_ptr<CacheHelpers::IClock> clock = nullptr);
    ~Cache() override;

    Cache(const Cache&) = delete;
    Cache& operator=(const Cache&) = delete;

    CacheHelpers::Payload UseEntry(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate) override;
    unsigned int AddEntry(CacheHelpers::Payload data) override;
    CacheHelpers::EntrySet DeleteEntries(
        std::shared_ptr<CacheHelpers::EntryPredicate> predicate) override;
    CacheHelpers::EntrySet DeleteEntries() override;
    bool HasEntry(unsigned int id) const override;
    bool HasEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate) const override;
    CacheHelpers::Payload UseEntry(unsigned int id) override;
    CacheHelpers::Payload UseEntry(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                   unsigned int& hint) override;
    CacheHelpers::Payload UseEntryGetHint(std::shared_ptr<CacheHelpers::EntryPredicate> predicate,
                                          unsigned int& hint) override;
    CacheHelpers::Payload DeleteEntry(unsigned int id) override;
    CacheHelpers::EntrySet GetEntries() override;
    unsigned long long GetSize() const override;
    std::shared_ptr<CacheHelpers::IPolicy> GetPolicy() const override;
    void SetPolicy(std::shared_ptr<CacheHelpers::IPolicy> policy,
                   std::unique_ptr<CacheHelpers::IClock> clock) override;
    unsigned long long GetClock() const override;
    CacheHelpers::EntrySet IncrementClock() override;
    CacheHelpers::EntrySet IncrementClock(std::shared_ptr<CacheHelpers::IPolicy> policy) override;
    CacheHelpers::EntrySet Purge() override;
    CacheHelpers::EntrySet Purge(std::shared_ptr<CacheHelpers::IPolicy> policy) override;
    void JustIncrementClock() override;

    /// Appends a copy of every entry to `out`, in the entry set's iteration order (the order a
    /// copy of the set iterates in); the copies share the payloads. One pass and, when `out` has
    /// room, no allocation: for whoever must copy the entries while a lock is held.
    void CopyEntries(std::vector<CacheHelpers::Entry>& out) const;

private:
    /// Purges with `policy`: the policy returns the survivors and the cache keeps only them.
    CacheHelpers::EntrySet PurgeWith(CacheHelpers::IPolicy& policy);
    /// The first entry the predicate matches, or end().
    CacheHelpers::EntrySet::const_iterator FindFirst(
        const std::shared_ptr<CacheHelpers::EntryPredicate>& predicate) const;

    CacheHelpers::EntrySet m_entries;
    std::shared_ptr<CacheHelpers::IPolicy> m_policy;
    std::unique_ptr<CacheHelpers::IClock> m_clock;
};
