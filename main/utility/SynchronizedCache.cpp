#include "utility/SynchronizedCache.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "velsys/Exceptions.h"
#include "velsys/Locks.h"

using velmora::TExclusiveLockGuard;

using namespace CacheHelpers;

SynchronizedCache::SynchronizedCache(std::shared_ptr<IPolicy> policy, TReadWriteLock* lock)
    : m_cache(std::move(policy)), m_lock(lock) {
    VEL_ASSERT(m_lock);
}

SynchronizedCache::~SynchronizedCache() = default;

unsigned long long SynchronizedCache::GetSize() const {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.GetSize();
}

unsigned int SynchronizedCache::AddEntry(Payload data) {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.AddEntry(std::move(data));
}

Payload SynchronizedCache::TryGetEntry(unsigned int id) {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.UseEntry(id);
}

Payload SynchronizedCache::TryDeleteEntry(unsigned int id) {
    TExclusiveLockGuard guard(*m_lock);
    return m_cache.DeleteEntry(id);
}

void SynchronizedCache::OnDirty(const std::vector<unsigned int>& ids) {
    // The dropped payloads are released after the lock: a host destructor never runs under it
    // (nor, when the coherence service calls, under the service's lock and this one at once).
    std::vector<Payload> dropped;
    dropped.reserve(ids.size());
    TExclusiveLockGuard guard(*m_lock);
    for (unsigned int id : ids) dropped.push_back(m_cache.DeleteEntry(id));
}

EntrySet SynchronizedCache::IncrementClock() {
    {
        TExclusiveLockGuard guard(*m_lock);
        m_cache.JustIncrementClock();
    }
    return Purge();
}

EntrySet SynchronizedCache::IncrementClockWithPolicy(IPolicy& policy) {
    {
        TExclusiveLockGuard guard(*m_lock);
        m_cache.JustIncrementClock();
    }
    return PurgeWithPolicy(policy);
}

EntrySet SynchronizedCache::Purge() {
    std::shared_ptr<IPolicy> policy;
    {
        TExclusiveLockGuard guard(*m_lock);
        policy = m_cache.GetPolicy();
    }
    VEL_ASSERT(policy);
    return PurgeWithPolicy(*policy);
}

EntrySet SynchronizedCache::PurgeWithPolicy(IPolicy& policy) {
    unsigned long long clock = 0;
    EntrySet snapshot = Snapshot(&clock);
    return RemoveEntries(policy, snapshot, clock);
}

EntrySet SynchronizedCache::DeleteEntries(std::shared_ptr<EntryPredicate> predicate) {
    EntryPredicatePolicy policy(std::move(predicate));
    unsigned long long clock = 0;
    EntrySet snapshot = Snapshot(&clock);
    return RemoveEntries(policy, snapshot, clock);
}

Payload SynchronizedCache::TryGetEntry(std::shared_ptr<EntryPredicate> predicate) {
    unsigned long long clock = 0;
    const std::vector<Entry> snapshot = Copy(&clock);
    const EntryPredicateBinder matches(std::move(predicate));
    auto found = std::find_if(snapshot.begin(), snapshot.end(), matches);
    return found == snapshot.end() ? Payload() : found->Use(clock);
}

Payload SynchronizedCache::TryGetEntry(std::shared_ptr<EntryPredicate> predicate,
                                       unsigned int& hint) {
    unsigned long long clock = 0;
    const std::vector<Entry> snapshot = Copy(&clock);
    const EntryPredicateBinder matches(std::move(predicate));
    const unsigned int hinted = hint;
    auto found = std::find_if(snapshot.begin(), snapshot.end(),
                              [hinted](const Entry& e) { return e.GetID() == hinted; });
    if (found != snapshot.end() && matches(*found)) return found->Use(clock);
    hint = 0;
    found = std::find_if(snapshot.begin(), snapshot.end(), matches);
    if (found == snapshot.end()) return Payload();
    hint = found->GetID();
    return found->Use(clock);
}

Payload SynchronizedCache::TryGetEntryAndHint(std::shared_ptr<EntryPredicate> predicate,
                                              unsigned int& hint) {
    hint = 0;
    unsigned long long clock = 0;
    const std::vector<Entry> snapshot = Copy(&clock);
    const EntryPredicateBinder matches(std::move(predicate));
    auto found = std::find_if(snapshot.begin(), snapshot.end(), matches);
    if (found == snapshot.end()) return Payload();
    hint = found->GetID();
    return found->Use(clock);
}

void SynchronizedCache::VisitEntries(std::shared_ptr<EntryPredicate> predicate) {
    const std::vector<Entry> snapshot = Copy(nullptr);
    const EntryPredicateBinder visit(std::move(predicate));
    for (const Entry& entry : snapshot) visit(entry);
}

std::vector<Entry> SynchronizedCache::Copy(unsigned long long* clock) {
    std::vector<Entry> entries;
    TExclusiveLockGuard guard(*m_lock);
    if (clock) *clock = m_cache.GetClock();
    m_cache.CopyEntries(entries);
    return entries;
}

EntrySet SynchronizedCache::Snapshot(unsigned long long* clock) {
    std::vector<Entry> entries = Copy(clock);
    return EntrySet(std::make_move_iterator(entries.begin()),
                    std::make_move_iterator(entries.end()), entries.size());
}

EntrySet SynchronizedCache::RemoveEntries(IPolicy& policy, EntrySet& snapshot,
                                          unsigned long long clock) {
    const EntrySet survivors = policy.Purge(snapshot.cbegin(), snapshot.cend(), clock);
    if (survivors.size() == snapshot.size()) return EntrySet();
    // The snapshot (which is ours) becomes the result: the survivors are erased from it and the
    // entries that go stay in place, so none is copied or moved to another set.
    std::vector<unsigned int> ids;
    ids.reserve(snapshot.size() - survivors.size());
    for (auto it = snapshot.begin(); it != snapshot.end();) {
        if (survivors.find(*it) != survivors.end()) {
            it = snapshot.erase(it);
        } else {
            ids.push_back(it->GetID());
            ++it;
        }
    }
    // One hold per entry, so that other threads get in between; each payload is released
    // after its hold ends.
    for (unsigned int id : ids) {
        Payload dropped;
        TExclusiveLockGuard guard(*m_lock);
        dropped = m_cache.DeleteEntry(id);
    }
    return std::move(snapshot);
}
