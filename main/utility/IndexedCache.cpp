#include "utility/IndexedCache.h"

#include "velcoreplatform/TFormatString.h"
#include "velsys/Exceptions.h"

using namespace CacheHelpers;

IndexedCache::IndexedCache(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock)
    : m_policy(std::move(policy)), m_clock(clock ? std::move(clock) : CreateBasicClock()) {
    VEL_ASSERT(m_policy);
}

IndexedCache::IndexedCache(unsigned long long lifetime, std::unique_ptr<IClock> clock)
    : m_policy(std::make_shared<LifetimePolicy>(lifetime)),
      m_clock(clock ? std::move(clock) : CreateBasicClock()) {}

IndexedCache::~IndexedCache() = default;

TString IndexedCache::MakeIndexKey(const TString& indexName, const TString& key) {
    return TFormatString("%1|%2", indexName, key).ToString();
}

unsigned int IndexedCache::AddEntry(Payload data) {
    auto inserted = m_data.entries.insert(Entry(std::move(data), m_clock->GetClock())).first;
    try {
        AddEntryToIndices(*inserted, nullptr);
    } catch (...) {
        // The entry is new, so every filing of it was made here: undo them all.
        Erase(inserted);
        throw;
    }
    m_policy->OnEntryAdded(*inserted);
    return inserted->GetID();
}

void IndexedCache::AddEntryToIndices(const Entry& entry,
                                     std::vector<std::pair<unsigned int, TString>>* added) {
    for (const auto& [name, indexKeyOf] : m_data.indexFunctions) {
        TString indexKey = indexKeyOf(entry);
        const bool newId = m_data.indexedEntries[indexKey].insert(entry.GetID()).second;
        const bool newKey = m_data.entryIndexKeys[entry.GetID()].insert(indexKey).second;
        if (added && (newId || newKey)) added->emplace_back(entry.GetID(), std::move(indexKey));
    }
}

bool IndexedCache::AddIndex(const TString& name, KeyFunction keyFunction) {
    if (name.isEmpty() || !keyFunction) return false;
    auto indexKeyOf = [name, keyFunction = std::move(keyFunction)](const Entry& entry) {
        return MakeIndexKey(name, keyFunction(entry));
    };
    if (!m_data.indexFunctions.emplace(name, std::move(indexKeyOf)).second) return false;

    std::vector<std::pair<unsigned int, TString>> added;
    try {
        for (const Entry& entry : m_data.entries) AddEntryToIndices(entry, &added);
    } catch (...) {
        for (const auto& [id, indexKey] : added) Unfile(id, indexKey);
        m_data.indexFunctions.erase(name);
        throw;
    }
    return true;
}

void IndexedCache::Unfile(unsigned int id, const TString& indexKey) {
    auto ids = m_data.indexedEntries.find(indexKey);
    if (ids != m_data.indexedEntries.end()) {
        ids->second.erase(id);
        if (ids->second.empty()) m_data.indexedEntries.erase(ids);
    }
    auto keys = m_data.entryIndexKeys.find(id);
    if (keys != m_data.entryIndexKeys.end()) {
        keys->second.erase(indexKey);
        if (keys->second.empty()) m_data.entryIndexKeys.erase(keys);
    }
}

void IndexedCache::RemoveEntryFromIndices(unsigned int id) {
    auto keys = m_data.entryIndexKeys.find(id);
    if (keys == m_data.entryIndexKeys.end()) return;
    for (const TString& indexKey : keys->second) {
        auto ids = m_data.indexedEntries.find(indexKey);
        if (ids == m_data.indexedEntries.end()) continue;
        ids->second.erase(id);
        if (ids->second.empty()) m_data.indexedEntries.erase(ids);
    }
    m_data.entryIndexKeys.erase(keys);
}

Entry IndexedCache::Erase(EntrySet::const_iterator it) {
    Entry entry = *it;
    RemoveEntryFromIndices(entry.GetID());
    m_data.entries.erase(it);
    return entry;
}

Payload IndexedCache::Use(const Entry& entry) {
    return entry.Use(m_clock->GetClock());
}

bool IndexedCache::HasUsableIndex(const EntryPredicate& predicate) const {
    const TString name = predicate.GetIndexName();
    return !name.isEmpty() && m_data.indexFunctions.count(name) != 0;
}

bool IndexedCache::HasIndex(const std::shared_ptr<EntryPredicate>& predicate) const {
    return predicate && HasUsableIndex(*predicate);
}

const Entry* IndexedCache::FindMatchingEntry(
    const std::shared_ptr<EntryPredicate>& predicate) const {
    const EntryPredicateBinder matches(predicate);
    if (HasUsableIndex(*predicate)) {
        auto ids = m_data.indexedEntries.find(
            MakeIndexKey(predicate->GetIndexName(), predicate->GetKeyForIndexing()));
        if (ids == m_data.indexedEntries.end()) return nullptr;
        for (unsigned int id : ids->second) {
            auto it = m_data.entries.find(Entry(id));
            if (it != m_data.entries.end() && matches(*it)) return &*it;
        }
        return nullptr;
    }
    for (const Entry& entry : m_data.entries)
        if (matches(entry)) return &entry;
    return nullptr;
}

Payload IndexedCache::UseEntry(unsigned int id) {
    auto it = m_data.entries.find(Entry(id));
    if (it == m_data.entries.end()) return Payload();
    // The policy sees the clock of the previous use.
    m_policy->OnEntryUsed(*it);
    return Use(*it);
}

Payload IndexedCache::UseEntry(std::shared_ptr<EntryPredicate> predicate) {
    const Entry* found = FindMatchingEntry(predicate);
    if (!found) return Payload();
    Payload data = Use(*found);
    m_policy->OnEntryUsed(*found);
    return data;
}

Payload IndexedCache::UseEntryGetHint(std::shared_ptr<EntryPredicate> predicate,
                                      unsigned int& hint) {
    hint = 0;
    const Entry* found = FindMatchingEntry(predicate);
    if (!found) return Payload();
    hint = found->GetID();
    Payload data = Use(*found);
    m_policy->OnEntryUsed(*found);
    return data;
}

Payload IndexedCache::UseEntryIfMatchesPredicate(unsigned int id,
                                                 std::shared_ptr<EntryPredicate> predicate) {
    auto it = m_data.entries.find(Entry(id));
    if (it == m_data.entries.end() || !predicate->Matches(*it)) return Payload();
    Payload data = Use(*it);
    m_policy->OnEntryUsed(*it);
    return data;
}

Payload IndexedCache::UseEntryUpdateHint(std::shared_ptr<EntryPredicate> predicate,
                                         unsigned int& hint) {
    if (!predicate) return Payload();
    const Entry* found = nullptr;
    auto hinted = m_data.entries.find(Entry(hint));
    if (hinted != m_data.entries.end() && predicate->Matches(*hinted))
        found = &*hinted;
    else
        found = FindMatchingEntry(predicate);
    if (!found) return Payload();
    Payload data = Use(*found);
    hint = found->GetID();
    m_policy->OnEntryUsed(*found);
    return data;
}

Entry IndexedCache::GetEntry(unsigned int id) {
    auto it = m_data.entries.find(Entry(id));
    if (it == m_data.entries.end()) return Entry();
    m_policy->OnEntryUsed(*it);
    return *it;
}

std::set<unsigned int> IndexedCache::GetHints(TString indexName, TString key) const {
    auto ids = m_data.indexedEntries.find(MakeIndexKey(indexName, key));
    if (ids == m_data.indexedEntries.end()) return {};
    return ids->second;
}

unsigned long long IndexedCache::GetClock() const {
    return m_clock->GetClock();
}

void IndexedCache::DeleteEntry(unsigned int id) {
    RemoveEntryFromIndices(id);
    auto it = m_data.entries.find(Entry(id));
    if (it == m_data.entries.end()) return;
    // Erased before the policy hears of it, so that a throwing policy leaves the tables whole.
    const Entry removed = Erase(it);
    m_policy->OnEntryDeleted(removed);
}

EntrySet IndexedCache::DeleteEntries(std::shared_ptr<EntryPredicate> predicate) {
    const unsigned long long now = m_clock->GetClock();
    EntrySet removed = DeleteMatchingEntries(predicate, now);
    for (const Entry& entry : removed) m_policy->OnEntryDeleted(entry);
    return removed;
}

EntrySet IndexedCache::DeleteEntries() {
    return DeleteEntries(std::make_shared<BooleanEntryPredicate>(true));
}

EntrySet IndexedCache::DeleteMatchingEntries(const std::shared_ptr<EntryPredicate>& predicate,
                                             unsigned long long now) {
    if (!predicate) return {};
    if (!HasUsableIndex(*predicate)) {
        EntryPredicatePolicy policy(predicate);
        return PurgeEntries(policy, now);
    }
    const std::set<unsigned int> hints =
        GetHints(predicate->GetIndexName(), predicate->GetKeyForIndexing());
    // Every candidate is tested before the first is removed, so that a throwing predicate
    // leaves the cache unchanged.
    const EntryPredicateBinder matches(predicate);
    std::vector<EntrySet::const_iterator> doomed;
    for (unsigned int id : hints) {
        auto it = m_data.entries.find(Entry(id));
        if (it != m_data.entries.end() && matches(*it)) doomed.push_back(it);
    }
    EntrySet removed;
    removed.reserve(doomed.size());
    for (auto it : doomed) removed.insert(Erase(it));
    return removed;
}

EntrySet IndexedCache::PurgeEntries(IPolicy& policy, unsigned long long now) {
    if (policy.HasCapability(IPolicy::ComputesEntriesToPurge)) return PurgeComputedEntries(policy);
    const EntrySet survivors = policy.Purge(m_data.entries.cbegin(), m_data.entries.cend(), now);
    EntrySet removed;
    if (survivors.size() == m_data.entries.size()) return removed;
    for (const Entry& entry : m_data.entries)
        if (survivors.find(entry) == survivors.end()) removed.insert(entry);
    for (const Entry& entry : removed) Erase(m_data.entries.find(entry));
    return removed;
}

EntrySet IndexedCache::PurgeComputedEntries(IPolicy& policy) {
    const EntrySet wanted = policy.ComputeEntriesToPurge();
    EntrySet removed;
    for (const Entry& entry : wanted) {
        auto it = m_data.entries.find(entry);
        if (it != m_data.entries.end()) removed.insert(Erase(it));
    }
    return removed;
}

EntrySet IndexedCache::Purge(std::shared_ptr<IPolicy> policy) {
    VEL_ASSERT(policy);
    const unsigned long long now = m_clock->GetClock();
    EntrySet removed = PurgeEntries(*policy, now);
    for (const Entry& entry : removed) m_policy->OnEntryDeleted(entry);
    return removed;
}

EntrySet IndexedCache::Purge() {
    return Purge(m_policy);
}

EntrySet IndexedCache::IncrementClock(std::shared_ptr<IPolicy> policy) {
    m_clock->Increment();
    return Purge(std::move(policy));
}

EntrySet IndexedCache::IncrementClock() {
    return IncrementClock(m_policy);
}

void IndexedCache::JustIncrementClock() {
    m_clock->Increment();
}

Entry IndexedCache::PruneHints(std::shared_ptr<EntryPredicate> predicate, unsigned int limit) {
    if (!predicate) return Entry();
    auto ids = m_data.indexedEntries.find(
        MakeIndexKey(predicate->GetIndexName(), predicate->GetKeyForIndexing()));
    if (ids == m_data.indexedEntries.end() || ids->second.size() <= limit) return Entry();
    // Ids grow with creation, so the smallest is the oldest entry.
    const unsigned int oldest = *ids->second.begin();
    DeleteEntry(oldest);
    return Entry(oldest);
}

void IndexedCache::SetPolicy(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock) {
    VEL_ASSERT(policy);
    if (policy != m_policy) policy->CatalogCacheEntries(m_data.entries);
    m_policy = std::move(policy);
    if (clock) m_clock = std::move(clock);
}

TString IndexedCache::CheckTables() const {
    // Key functions are asked again: the check assumes they still answer as when the entries
    // were filed.
    for (const Entry& entry : m_data.entries) {
        auto keys = m_data.entryIndexKeys.find(entry.GetID());
        for (const auto& [name, indexKeyOf] : m_data.indexFunctions) {
            const TString indexKey = indexKeyOf(entry);
            auto ids = m_data.indexedEntries.find(indexKey);
            if (keys == m_data.entryIndexKeys.end() || keys->second.count(indexKey) == 0 ||
                ids == m_data.indexedEntries.end() || ids->second.count(entry.GetID()) == 0)
                return TFormatString("entry %1 is not filed under %2", entry.GetID(), indexKey);
        }
    }
    for (const auto& [id, keys] : m_data.entryIndexKeys) {
        if (m_data.entries.find(Entry(id)) == m_data.entries.end())
            return TFormatString("id %1 is filed but not held", id);
        for (const TString& indexKey : keys) {
            auto ids = m_data.indexedEntries.find(indexKey);
            if (ids == m_data.indexedEntries.end() || ids->second.count(id) == 0)
                return TFormatString("id %1 lists key %2 that does not list it", id, indexKey);
        }
    }
    for (const auto& [indexKey, ids] : m_data.indexedEntries) {
        if (ids.empty()) return TFormatString("key %1 has an empty id set", indexKey);
        for (unsigned int id : ids) {
            auto keys = m_data.entryIndexKeys.find(id);
            if (keys == m_data.entryIndexKeys.end() || keys->second.count(indexKey) == 0)
                return TFormatString("key %1 lists id %2 that does not list it", indexKey, id);
        }
    }
    return TString();
}
