#include "utility/Cache.h"

#include <algorithm>

#include "velsys/Exceptions.h"

using namespace CacheHelpers;

ICache::~ICache() = default;

Cache::Cache(std::shared_ptr<IPolicy> policy) : Cache(std::move(policy), nullptr) {}

Cache::Cache(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock)
    : m_policy(std::move(policy)), m_clock(clock ? std::move(clock) : CreateBasicClock()) {
    VEL_ASSERT(m_policy);
}

Cache::Cache(unsigned long long lifetime, std::unique_ptr<IClock> clock)
    : m_policy(std::make_shared<LifetimePolicy>(lifetime)),
      m_clock(clock ? std::move(clock) : CreateBasicClock()) {}

Cache::~Cache() = default;

EntrySet::const_iterator Cache::FindFirst(const std::shared_ptr<EntryPredicate>& predicate) const {
    const EntryPredicateBinder binder(predicate);
    return std::find_if(m_entries.cbegin(), m_entries.cend(), binder);
}

Payload Cache::UseEntry(std::shared_ptr<EntryPredicate> predicate) {
    auto it = FindFirst(predicate);
    if (it == m_entries.cend()) return Payload();
    return it->Use(m_clock->GetClock());
}

unsigned int Cache::AddEntry(Payload data) {
    Entry entry(std::move(data), m_clock->GetClock());
    const unsigned int id = entry.GetID();
    m_entries.insert(std::move(entry));
    return id;
}

EntrySet Cache::DeleteEntries(std::shared_ptr<EntryPredicate> predicate) {
    EntryPredicatePolicy policy(std::move(predicate));
    return PurgeWith(policy);
}

EntrySet Cache::DeleteEntries() {
    return DeleteEntries(std::make_shared<BooleanEntryPredicate>(true));
}

bool Cache::HasEntry(unsigned int id) const {
    return m_entries.find(Entry(id)) != m_entries.end();
}

bool Cache::HasEntry(std::shared_ptr<EntryPredicate> predicate) const {
    return FindFirst(predicate) != m_entries.cend();
}

Payload Cache::UseEntry(unsigned int id) {
    auto it = m_entries.find(Entry(id));
    if (it == m_entries.end()) return Payload();
    return it->Use(m_clock->GetClock());
}

Payload Cache::UseEntry(std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) {
    auto hinted = m_entries.find(Entry(hint));
    if (hinted != m_entries.end() && predicate->Matches(*hinted))
        return hinted->Use(m_clock->GetClock());
    return UseEntryGetHint(std::move(predicate), hint);
}

Payload Cache::UseEntryGetHint(std::shared_ptr<EntryPredicate> predicate, unsigned int& hint) {
    hint = 0;
    auto it = FindFirst(predicate);
    if (it == m_entries.cend()) return Payload();
    hint = it->GetID();
    return it->Use(m_clock->GetClock());
}

Payload Cache::DeleteEntry(unsigned int id) {
    auto it = m_entries.find(Entry(id));
    if (it == m_entries.end()) return Payload();
    Payload data = it->GetData();
    m_entries.erase(it);
    return data;
}

EntrySet Cache::GetEntries() {
    return m_entries;
}

void Cache::CopyEntries(std::vector<Entry>& out) const {
    out.reserve(out.size() + m_entries.size());
    out.insert(out.end(), m_entries.begin(), m_entries.end());
}

unsigned long long Cache::GetSize() const {
    return m_entries.size();
}

std::shared_ptr<IPolicy> Cache::GetPolicy() const {
    return m_policy;
}

void Cache::SetPolicy(std::shared_ptr<IPolicy> policy, std::unique_ptr<IClock> clock) {
    m_policy = std::move(policy);
    if (clock) m_clock = std::move(clock);
}

unsigned long long Cache::GetClock() const {
    return m_clock->GetClock();
}

EntrySet Cache::IncrementClock() {
    return IncrementClock(m_policy);
}

EntrySet Cache::IncrementClock(std::shared_ptr<IPolicy> policy) {
    m_clock->Increment();
    return Purge(std::move(policy));
}

EntrySet Cache::Purge() {
    return Purge(m_policy);
}

EntrySet Cache::Purge(std::shared_ptr<IPolicy> policy) {
    VEL_ASSERT(policy);
    return PurgeWith(*policy);
}

void Cache::JustIncrementClock() {
    m_clock->Increment();
}

EntrySet Cache::PurgeWith(IPolicy& policy) {
    const unsigned long long now = m_clock->GetClock();
    // The survivors are computed before anything changes, so a policy that throws leaves the
    // cache as it was.
    const EntrySet survivors = policy.Purge(m_entries.cbegin(), m_entries.cend(), now);
    EntrySet removed;
    if (survivors.size() == m_entries.size()) return removed;
    // The entries that go are moved node by node into the result, and the ones that stay are
    // left in place: the same content as taking the survivors' set, without copying or freeing
    // an entry.
    removed.reserve(m_entries.size() - survivors.size());
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        auto next = std::next(it);
        if (survivors.find(*it) == survivors.end()) removed.insert(m_entries.extract(it));
        it = next;
    }
    return removed;
}
