// Predicates and policies that the cache tests share: predicates over the number a TestPayload
// carries (optionally naming an index), and a policy that records every hook call.
#pragma once

#include <algorithm>
#include <functional>
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

// Matches payloads whose number satisfies `test`; names `index` and `key` when given.
class ValuePredicate : public CacheHelpers::EntryPredicate {
public:
    ValuePredicate(std::function<bool(int)> test, TString index = TString(),
                   TString key = TString())
        : m_test(std::move(test)), m_index(std::move(index)), m_key(std::move(key)) {}

    bool Matches(const CacheHelpers::Entry& entry) override {
        ++m_calls;
        return m_test(ValueOf(entry.GetData()));
    }
    TString GetIndexName() const override { return m_index; }
    TString GetKeyForIndexing() const override { return m_key; }
    bool HasIndex() const override { return !m_index.isEmpty(); }

    int Calls() const { return m_calls; }

private:
    std::function<bool(int)> m_test;
    TString m_index;
    TString m_key;
    int m_calls = 0;
};

// Matches payloads carrying exactly `value`, through the "value" index when `indexed`.
inline std::shared_ptr<ValuePredicate> ValueIs(int value, bool indexed = false) {
    return std::make_shared<ValuePredicate>([value](int v) { return v == value; },
                                            indexed ? TString("value") : TString(),
                                            indexed ? TString::number(value) : TString());
}

// Records each hook call (id and clock) under its own mutex, since the lock-protected caches
// may report uses from several threads at once. Purge keeps what `keep` keeps (everything when
// null). With `computes` set it claims ComputesEntriesToPurge and answers `toPurge`.
class RecordingPolicy : public CacheHelpers::IPolicy {
public:
    struct Call {
        unsigned int id;
        unsigned long long clock;
    };

    explicit RecordingPolicy(std::shared_ptr<CacheHelpers::IPolicy> keep = nullptr)
        : m_keep(std::move(keep)) {}

    CacheHelpers::EntrySet Purge(CacheHelpers::EntrySet::const_iterator first,
                                 CacheHelpers::EntrySet::const_iterator last,
                                 unsigned long long now) override {
        if (m_keep) return m_keep->Purge(first, last, now);
        return CacheHelpers::EntrySet(first, last);
    }
    void OnEntryAdded(const CacheHelpers::Entry& e) override { Record(m_added, e); }
    void OnEntryDeleted(const CacheHelpers::Entry& e) override { Record(m_deleted, e); }
    void OnEntryUsed(const CacheHelpers::Entry& e) override { Record(m_used, e); }
    bool HasCapability(Capability c) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_computes && c == ComputesEntriesToPurge;
    }
    CacheHelpers::EntrySet ComputeEntriesToPurge() override {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_toPurge;
    }
    void CatalogCacheEntries(const CacheHelpers::EntrySet& entries) override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            ++m_catalogCalls;
        }
        IPolicy::CatalogCacheEntries(entries);
    }

    void SetComputed(CacheHelpers::EntrySet toPurge) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_computes = true;
        m_toPurge = std::move(toPurge);
    }

    std::vector<Call> Added() const { return Copy(m_added); }
    std::vector<Call> Deleted() const { return Copy(m_deleted); }
    std::vector<Call> Used() const { return Copy(m_used); }
    int CatalogCalls() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_catalogCalls;
    }

private:
    void Record(std::vector<Call>& calls, const CacheHelpers::Entry& e) {
        std::lock_guard<std::mutex> guard(m_mutex);
        calls.push_back({e.GetID(), e.GetClock()});
    }
    std::vector<Call> Copy(const std::vector<Call>& calls) const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return calls;
    }

    std::shared_ptr<CacheHelpers::IPolicy> m_keep;
    mutable std::mutex m_mutex;
    std::vector<Call> m_added, m_deleted, m_used;
    int m_catalogCalls = 0;
    bool m_computes = false;
    CacheHelpers::EntrySet m_toPurge;
};

// The ids of a set of entries, in ascending order.
inline std::vector<unsigned int> IdsOf(const CacheHelpers::EntrySet& entries) {
    std::vector<unsigned int> ids;
    for (const auto& e : entries) ids.push_back(e.GetID());
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace veltest
