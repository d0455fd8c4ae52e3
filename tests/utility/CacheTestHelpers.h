// Shared by the cache tests: predicates over the number a TestPayload carries, and a policy that
// logs every hook call.
#pragma once

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "support/TestEnvironment.h"
#include "utility/CacheHelpers.h"

namespace veltest {

// The key function of the "value" index: the payload's number as text.
inline TString ValueKey(const CacheHelpers::Entry& entry) {
    return TString::number(ValueOf(entry.GetData()));
}

// Matches payloads whose number passes `test` and counts its calls; names `index` and `key`
// (no index when `index` is empty).
struct ValuePredicate : CacheHelpers::EntryPredicate {
    explicit ValuePredicate(std::function<bool(int)> t, TString i = TString(),
                            TString k = TString())
        : test(std::move(t)), index(std::move(i)), key(std::move(k)) {}
    bool Matches(const CacheHelpers::Entry& entry) override {
        ++calls;
        return test(ValueOf(entry.GetData()));
    }
    TString GetIndexName() const override { return index; }
    TString GetKeyForIndexing() const override { return key; }
    bool HasIndex() const override { return !index.isEmpty(); }

    std::function<bool(int)> test;
    TString index, key;
    int calls = 0;
};

// Matches payloads carrying exactly `value`, through the "value" index when `indexed`.
inline std::shared_ptr<ValuePredicate> ValueIs(int value, bool indexed = false) {
    return std::make_shared<ValuePredicate>([value](int v) { return v == value; },
                                            TString(indexed ? "value" : ""),
                                            indexed ? TString::number(value) : TString());
}

// Logs each hook call (hook, id, clock) under its own mutex, since the lock-protected caches may
// report uses from several threads at once. Purge keeps what `keep` keeps (everything when null);
// after SetComputed it claims ComputesEntriesToPurge and answers the set given.
class RecordingPolicy : public CacheHelpers::IPolicy {
public:
    enum Hook { Added, Deleted, Used, Catalog };
    struct Call {
        Hook hook;
        unsigned int id;
        unsigned long long clock;
        bool operator==(const Call&) const = default;
    };

    explicit RecordingPolicy(std::shared_ptr<CacheHelpers::IPolicy> keep = nullptr)
        : m_keep(std::move(keep)) {}

    CacheHelpers::EntrySet Purge(CacheHelpers::EntrySet::const_iterator first,
                                 CacheHelpers::EntrySet::const_iterator last,
                                 unsigned long long now) override {
        return m_keep ? m_keep->Purge(first, last, now) : CacheHelpers::EntrySet(first, last);
    }
    void OnEntryAdded(const CacheHelpers::Entry& e) override { Record(Added, e); }
    void OnEntryDeleted(const CacheHelpers::Entry& e) override { Record(Deleted, e); }
    void OnEntryUsed(const CacheHelpers::Entry& e) override { Record(Used, e); }
    void CatalogCacheEntries(const CacheHelpers::EntrySet& entries) override {
        Record(Catalog, CacheHelpers::Entry());
        IPolicy::CatalogCacheEntries(entries);
    }
    bool HasCapability(Capability c) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_computes && c == ComputesEntriesToPurge;
    }
    CacheHelpers::EntrySet ComputeEntriesToPurge() override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_toPurge;
    }
    void SetComputed(CacheHelpers::EntrySet toPurge) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_computes = true;
        m_toPurge = std::move(toPurge);
    }

    // Every call so far, in order.
    std::vector<Call> Calls() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_calls;
    }
    // The calls of one hook, in order.
    std::vector<Call> Calls(Hook hook) const {
        std::vector<Call> all = Calls(), some;
        std::copy_if(all.begin(), all.end(), std::back_inserter(some),
                     [hook](const Call& c) { return c.hook == hook; });
        return some;
    }

private:
    void Record(Hook hook, const CacheHelpers::Entry& e) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_calls.push_back({hook, e.GetID(), e.GetClock()});
    }

    const std::shared_ptr<CacheHelpers::IPolicy> m_keep;
    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
    bool m_computes = false;
    CacheHelpers::EntrySet m_toPurge;
};

// The ids of a set of entries (or of calls), in ascending order.
inline std::vector<unsigned int> IdsOf(const CacheHelpers::EntrySet& entries) {
    std::vector<unsigned int> ids;
    for (const auto& e : entries) ids.push_back(e.GetID());
    std::sort(ids.begin(), ids.end());
    return ids;
}
inline std::vector<unsigned int> IdsOf(const std::vector<RecordingPolicy::Call>& calls) {
    std::vector<unsigned int> ids;
    for (const auto& c : calls) ids.push_back(c.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace veltest
