#include "utility/SynchronizedIndexedCache.h"

#include "velcore/AppConfig.h"
#include "velsys/Exceptions.h"
#include "velsys/Locks.h"

using velmora::TExclusiveLockGuard;
using velmora::TSharedLockGuard;

using namespace CacheHelpers;

namespace {

// A predicate whose answers for known ids were computed in advance. Ids it has no answer for
// (entries that arrived later) are asked of the fallback, which also supplies the index.
// Immutable after construction, so it may be used on any thread.
struct PrecomputedEntryPredicate : public EntryPredicate {
    PrecomputedEntryPredicate(std::unordered_map<unsigned int, bool> decisions,
                              std::shared_ptr<EntryPredicate> fallback)
        : m_decisions(std::move(decisions)), m_fallback(std::move(fallback)) {}

    bool Matches(const Entry& entry) override {
        auto it = m_decisions.find(entry.GetID());
        return it != m_decisions.end() ? it->second : m_fallback->Matches(entry);
    }
    TString GetIndexName() const override { return m_fallback->GetIndexName(); }
    TString GetKeyForIndexing() const override { return m_fallback->GetKeyForIndexing(); }
    bool HasIndex() const override { return m_fallback->HasIndex(); }

    const std::unordered_map<unsigned int, bool> m_decisions;
    const std::shared_ptr<EntryPredicate> m_fallback;
};

}  // namespace

SynchronizedIndexedCache::SynchronizedIndexedCache(std::shared_ptr<IPolicy> policy,
                                                   TReadWriteLock* lock,
                                                   std::unique_ptr<IClock> clock)
    : m_cache(std::move(policy), std::move(clock)), m_lock(lock), m_borrowedLock(true) {
    VEL_ASSERT(m_lock);
}

SynchronizedIndexedCache::SynchronizedIndexedCache(std::shared_ptr<IPolicy> policy,
                                                   std::unique_ptr<IClock> clock)
    : m_cache(std::move(policy), std::move(clock)),
      m_lock(new TReadWriteLock(0)),
      m_borrowedLock(false) {}

SynchronizedIndexedCache::~SynchronizedIndexedCache() {
    if (!m_borrowedLock) delete m_lock;
}

unsigned int SynchronizedIndexedCache::AddEntry(Payload data) {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.AddEntry(std::move(data));
}

bool SynchronizedIndexedCache::AddIndex(const TString& name,
                                        std::function<TString(const Entry&)> keyFunction) {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.AddIndex(name, std::move(keyFunction));
}

EntrySet SynchronizedIndexedCache::GetEntries() const {
    TSharedLockGuard guard(*m_lock);
    return m_cache.GetEntries();
}

unsigned long long SynchronizedIndexedCache::GetEntryCount() const {
    TSharedLockGuard guard(*m_lock);
    return m_cache.GetEntryCount();
}

std::unordered_map<TString, std::set<unsigned int>> SynchronizedIndexedCache::GetIndexedEntries()
    const {
    TSharedLockGuard guard(*m_lock);
    return m_cache.GetIndexedEntries();
}

unsigned long long SynchronizedIndexedCache::GetIndexedEntryCount() const {
    TSharedLockGuard guard(*m_lock);
    return m_cache.GetIndexedEntryCount();
}

EntrySet SynchronizedIndexedCache::IncrementClock() {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.IncrementClock();
}

void SynchronizedIndexedCache::OnDirty(const std::vector<unsigned int>& ids) {
    // The dropped payloads are released after the lock: a host destructor never runs under it
    // (nor, when the coherence service calls, under the service's lock and this one at once).
    EntrySet dropped;  // copies that share the payloads
    TExclusiveLockGuard guard(*m_lock);
    dropped = DeleteHeld(ids);
}

Payload SynchronizedIndexedCache::TryGetEntry(unsigned int id) {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.UseEntry(id);
}

Payload SynchronizedIndexedCache::TryGetEntry(std::shared_ptr<EntryPredicate> predicate) {
    unsigned int ignored = 0;
    return TryGetEntryAndHint(std::move(predicate), ignored);
}

Payload SynchronizedIndexedCache::TryGetEntryAndHint(std::shared_ptr<EntryPredicate> predicate,
                                                     unsigned int& hint) {
    const unsigned int id = FindFirstMatch(std::move(predicate));
    if (id == 0) return Payload();
    Payload data = TryGetEntry(id);
    if (data) hint = id;
    return data;
}

Payload SynchronizedIndexedCache::TryGetEntryUpdateHint(std::shared_ptr<EntryPredicate> predicate,
                                                        unsigned int& hint) {
    if (hint != 0) {
        Payload data;
        {
            TExclusiveLockGuard guard(*m_lock);
            data = m_cache.UseEntryIfMatchesPredicate(hint, predicate);
        }
        if (data) return data;
    }
    hint = 0;
    return TryGetEntryAndHint(std::move(predicate), hint);
}

Entry SynchronizedIndexedCache::PruneHints(std::shared_ptr<EntryPredicate> predicate,
                                           unsigned int limit) {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.PruneHints(std::move(predicate), limit);
}

EntrySet SynchronizedIndexedCache::GetPossiblyMatchingEntries(
    std::shared_ptr<EntryPredicate> predicate) {
    const TString name = predicate->GetIndexName();
    const TString key = predicate->GetKeyForIndexing();
    TSharedLockGuard guard(*m_lock);
    if (!m_cache.HasIndex(predicate)) return m_cache.GetEntries();
    EntrySet candidates;
    for (unsigned int id : m_cache.GetHints(name, key)) {
        Entry entry = m_cache.GetEntry(id);
        if (entry.GetID() == id) candidates.insert(std::move(entry));
    }
    return candidates;
}

unsigned int SynchronizedIndexedCache::FindFirstMatch(std::shared_ptr<EntryPredicate> predicate) {
    const EntrySet candidates = GetPossiblyMatchingEntries(predicate);
    const EntryPredicateBinder matches(std::move(predicate));
    for (const Entry& entry : candidates)
        if (matches(entry)) return entry.GetID();
    return 0;
}

std::shared_ptr<EntryPredicate> SynchronizedIndexedCache::MakePrecomputedPredicate(
    std::shared_ptr<EntryPredicate> predicate) {
    const EntrySet candidates = GetPossiblyMatchingEntries(predicate);
    std::unordered_map<unsigned int, bool> decisions;
    decisions.reserve(candidates.size());
    for (const Entry& entry : candidates)
        decisions.emplace(entry.GetID(), predicate->Matches(entry));
    return std::make_shared<PrecomputedEntryPredicate>(std::move(decisions), std::move(predicate));
}

EntrySet SynchronizedIndexedCache::DeleteEntries(std::shared_ptr<EntryPredicate> predicate) {
    if (!predicate) return {};
    EntryPredicatePolicy policy(predicate);
    const TString name = predicate->GetIndexName();
    const TString key = predicate->GetKeyForIndexing();

    std::set<unsigned int> hints;
    unsigned long long clock = 0;
    {
        TExclusiveLockGuard guard(*m_lock);
        if (!m_cache.HasIndex(predicate)) return m_cache.DeleteEntries(predicate);
        hints = m_cache.GetHints(name, key);
        clock = m_cache.GetClock();
    }
    // One short shared hold per hinted entry, so that writers get in between on a long list.
    EntrySet snapshot;
    snapshot.reserve(hints.size());
    for (unsigned int id : hints) {
        TSharedLockGuard guard(*m_lock);
        Entry entry = m_cache.GetEntry(id);
        if (entry.GetData()) snapshot.insert(std::move(entry));
    }
    return RemoveEntries(policy, snapshot, clock);
}

EntrySet SynchronizedIndexedCache::PrecomputePredicateAndDeleteEntries(
    std::shared_ptr<EntryPredicate> predicate) {
    return DeleteEntries(MakePrecomputedPredicate(std::move(predicate)));
}

std::pair<unsigned int, EntrySet>
SynchronizedIndexedCache::AddEntryAndDeleteExistingEntriesItMatches(
    Payload data, std::shared_ptr<EntryPredicate> predicate) {
    std::shared_ptr<EntryPredicate> precomputed = MakePrecomputedPredicate(std::move(predicate));
    TExclusiveLockGuard guard(*m_lock);
    EntrySet deleted = m_cache.DeleteEntries(precomputed);
    const unsigned int id = m_cache.AddEntry(std::move(data));
    return {id, std::move(deleted)};
}

std::pair<unsigned int, EntrySet> SynchronizedIndexedCache::AddEntryAndDeleteEntriesWithIds(
    Payload data, const std::vector<unsigned int>& ids) {
    TExclusiveLockGuard guard(*m_lock);
    EntrySet deleted = DeleteHeld(ids);
    const unsigned int id = m_cache.AddEntry(std::move(data));
    return {id, std::move(deleted)};
}

EntrySet SynchronizedIndexedCache::DeleteEntriesWithIds(const std::vector<unsigned int>& ids) {
    TExclusiveLockGuard guard(*m_lock);
    return DeleteHeld(ids);
}

EntrySet SynchronizedIndexedCache::DeleteHeld(const std::vector<unsigned int>& ids) {
    EntrySet deleted;
    const EntrySet& held = m_cache.GetCacheData().entries;
    for (unsigned int id : ids) {
        auto it = held.find(Entry(id));
        if (it == held.end()) continue;
        deleted.insert(*it);
        m_cache.DeleteEntry(id);
    }
    return deleted;
}

EntrySet SynchronizedIndexedCache::Purge() {
    std::shared_ptr<IPolicy> policy;
    EntrySet snapshot;
    unsigned long long clock = 0;
    {
        TSharedLockGuard guard(*m_lock);
        policy = m_cache.GetPolicy();
        if (!policy->HasCapability(IPolicy::ComputesEntriesToPurge)) {
            snapshot = m_cache.GetEntries();
            clock = m_cache.GetClock();
        }
    }
    if (policy->HasCapability(IPolicy::ComputesEntriesToPurge)) return RemoveEntriesHelper(*policy);
    return RemoveEntries(*policy, snapshot, clock);
}

EntrySet SynchronizedIndexedCache::RemoveEntries(IPolicy& policy, EntrySet& snapshot,
                                                 unsigned long long clock) {
    if (policy.HasCapability(IPolicy::ComputesEntriesToPurge)) return RemoveEntriesHelper(policy);
    const EntrySet survivors = policy.Purge(snapshot.cbegin(), snapshot.cend(), clock);
    if (survivors.size() == snapshot.size()) return {};
    std::unordered_map<unsigned int, bool> decisions;
    for (const Entry& entry : snapshot)
        if (survivors.find(entry) == survivors.end()) decisions.emplace(entry.GetID(), true);
    if (decisions.empty()) return {};
    // Matches exactly the listed ids and names no index.
    auto doomed = std::make_shared<PrecomputedEntryPredicate>(
        std::move(decisions), std::make_shared<BooleanEntryPredicate>(false));

    // Deleting through IndexedCache::DeleteEntries would scan every entry of the cache for a
    // predicate without an index; only the listed ids can match, so each is looked up instead
    // (one hash probe per entry under the lock). What is deleted, reported and told to the
    // policy is the same.
    EntrySet removed;
    TExclusiveLockGuard guard(*m_lock);
    const EntrySet& held = m_cache.GetCacheData().entries;
    for (const auto& decision : doomed->m_decisions) {
        const unsigned int id = decision.first;
        auto it = held.find(Entry(id));
        if (it == held.end() || !doomed->Matches(*it)) continue;
        removed.insert(*it);
        m_cache.DeleteEntry(id);
    }
    return removed;
}

EntrySet SynchronizedIndexedCache::RemoveEntriesHelper(IPolicy& policy) {
    TExclusiveLockGuard guard(*m_lock);
    EntrySet wanted = policy.ComputeEntriesToPurge();
    for (const Entry& entry : wanted) m_cache.DeleteEntry(entry.GetID());
    return wanted;
}

TString SynchronizedIndexedCache::CheckTablesTestOnly() const {
    VEL_ASSERT(AppConfig::GetInstance().GetUnitTestFlag());
    TSharedLockGuard guard(*m_lock);
    return m_cache.CheckTables();
}
