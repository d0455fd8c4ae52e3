#include "utility/CacheHelpers.h"

#include <algorithm>

#include "velcore/NotImplementedException.h"
#include "velcoredata/DateTime.h"
#include "velsys/Exceptions.h"

VelCacheData::VelCacheData() : m_memoryUsage(sizeof(VelCacheData)) {}

VelCacheData::VelCacheData(const VelCacheData& other)
    : RefCntObject(other), m_memoryUsage(other.m_memoryUsage) {}

VelCacheData& VelCacheData::operator=(const VelCacheData& other) {
    RefCntObject::operator=(other);
    m_memoryUsage = other.m_memoryUsage;
    return *this;
}

VelCacheData::~VelCacheData() = default;

namespace CacheHelpers {

std::atomic<unsigned int> Entry::s_guid{0};

Entry::Entry(Payload data, unsigned long long clock)
    : m_id(s_guid.fetch_add(1) + 1), m_data(std::move(data)), m_clock(clock) {}

IClock::~IClock() = default;

unsigned long long SystemBasedClock::GetClock() {
    return DateTime::UtcNow().TotalMillisecondsFromMinDateTimeUTC();
}

std::unique_ptr<IClock> CreateBasicClock() {
    return std::make_unique<BasicClockObject>();
}
std::unique_ptr<IClock> CreateSystemClock() {
    return std::make_unique<SystemBasedClock>();
}

EntryPredicate::~EntryPredicate() = default;
TString EntryPredicate::GetIndexName() const {
    return TString();
}
TString EntryPredicate::GetKeyForIndexing() const {
    return TString();
}
bool EntryPredicate::HasIndex() const {
    return false;
}

EntryPredicateBinder::~EntryPredicateBinder() = default;

IPolicy::~IPolicy() = default;
void IPolicy::OnEntryAdded(const Entry&) {}
void IPolicy::OnEntryDeleted(const Entry&) {}
void IPolicy::OnEntryUsed(const Entry&) {}
bool IPolicy::HasCapability(Capability) {
    return false;
}
EntrySet IPolicy::ComputeEntriesToPurge() {
    throw NotImplementedException();
}
unsigned long long IPolicy::GetCacheSizeBytes() {
    throw NotImplementedException();
}

void IPolicy::CatalogCacheEntries(const EntrySet& entries) {
    for (const Entry& entry : entries) OnEntryAdded(entry);
}

namespace {

// Copies the entries of [first, last) that `drop` does not match into a new set. Survivors are
// copied straight into the result: no intermediate vector, no reference traffic for the
// entries that go.
template <class Drop>
EntrySet KeepUnmatched(EntrySet::const_iterator first, EntrySet::const_iterator last,
                       const Drop& drop) {
    EntrySet kept;
    for (; first != last; ++first)
        if (!drop(*first)) kept.insert(*first);
    return kept;
}

}  // namespace

EntrySet MRUPolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                          unsigned long long) {
    const auto count = static_cast<unsigned long long>(std::distance(first, last));
    if (count <= m_cacheLimit) return EntrySet(first, last);

    // Select on (clock, entry) pairs rather than on entries: the selection moves 16-byte
    // values and touches no payload reference count. Only the survivors are copied.
    struct Ranked {
        unsigned long long clock;
        const Entry* entry;
    };
    std::vector<Ranked> vecEntries;
    vecEntries.reserve(count);
    for (; first != last; ++first) vecEntries.push_back(Ranked{first->GetClock(), &*first});
    const auto cut = vecEntries.begin() + static_cast<std::ptrdiff_t>(m_cacheLimit);
    std::nth_element(vecEntries.begin(), cut, vecEntries.end(),
                     [](const Ranked& a, const Ranked& b) { return a.clock > b.clock; });
    vecEntries.erase(cut, vecEntries.end());
    VEL_ASSERT(vecEntries.size() <= m_cacheLimit);

    EntrySet result;
    result.reserve(vecEntries.size());
    for (const Ranked& ranked : vecEntries) result.insert(*ranked.entry);
    return result;
}

EntrySet LifetimePolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                               unsigned long long now) {
    LifetimePredicate expired(m_lifetime, now);
    return KeepUnmatched(first, last, [&](const Entry& e) { return expired.Matches(e); });
}

EntrySet EntryPredicatePolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                                     unsigned long long) {
    const EntryPredicateBinder binder(m_predicate);
    return KeepUnmatched(first, last, binder);
}

CascadedPolicy::CascadedPolicy(std::shared_ptr<IPolicy> first) {
    AddPolicy(std::move(first));
}

void CascadedPolicy::AddPolicy(std::shared_ptr<IPolicy> policy) {
    m_policies.push_back(std::move(policy));
}

EntrySet CascadedPolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                               unsigned long long now) {
    EntrySet result(first, last);
    for (const auto& policy : m_policies) {
        EntrySet kept = policy->Purge(result.cbegin(), result.cend(), now);
        result.swap(kept);
    }
    return result;
}

}  // namespace CacheHelpers
