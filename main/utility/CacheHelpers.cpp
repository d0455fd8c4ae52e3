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

// Keeps the entries of [first, last) that `drop` does not match, in range order.
template <class Drop>
EntrySet KeepUnmatched(EntrySet::const_iterator first, EntrySet::const_iterator last,
                       const Drop& drop) {
    std::vector<Entry> kept(first, last);
    kept.erase(std::remove_if(kept.begin(), kept.end(), drop), kept.end());
    return EntrySet(kept.begin(), kept.end());
}

}  // namespace

EntrySet MRUPolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                          unsigned long long) {
    EntrySet result(first, last);
    if (result.size() <= m_cacheLimit) return result;

    std::vector<Entry> vecEntries(result.begin(), result.end());
    const auto cut = vecEntries.begin() + static_cast<std::ptrdiff_t>(m_cacheLimit);
    std::nth_element(vecEntries.begin(), cut, vecEntries.end(),
                     [](const Entry& a, const Entry& b) { return a.GetClock() > b.GetClock(); });
    vecEntries.erase(cut, vecEntries.end());
    VEL_ASSERT(vecEntries.size() <= m_cacheLimit);

    result.clear();
    result.insert(vecEntries.begin(), vecEntries.end());
    return result;
}

EntrySet LifetimePolicy::Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                               unsigned long long now) {
    auto predicate = std::make_shared<LifetimePredicate>(m_lifetime, now);
    return KeepUnmatched(first, last, [&](const Entry& e) { return predicate->Matches(e); });
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
