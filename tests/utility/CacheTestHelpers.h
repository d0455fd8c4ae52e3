// Shared by the cache tests: predicates over the number a TestPayload carries, and a policy that
// logs every hook call.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "support/TestEnvironment.h"
#include "utility/CacheHelpers.h"

namespace veltest {
using namespace CacheHelpers;

// The key function of the "value" index: the payload's number as text.
inline TString ValueKey(const Entry& entry) {
    return TString::number(ValueOf(entry.GetData()));
}

// Matches payloads whose number passes `test` and counts its calls; names `index` and `key`
// (no index when `index` is empty).
struct ValuePredicate : EntryPredicate {
    explicit ValuePredicate(std::function<bool(int)> t, TString i = {}, TString k = {})
        : test(std::move(t)), index(std::move(i)), key(std::move(k)) {}
    bool Matches(const Entry& entry) override { return ++calls, test(ValueOf(entry.GetData())); }
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

// Matches payloads whose number passes `test` and claims the index `index` under `key`, whether
// or not the entries filed there pass.
inline std::shared_ptr<ValuePredicate> Claiming(std::function<bool(int)> test, TString index,
                                                TString key) {
    return std::make_shared<ValuePredicate>(std::move(test), std::move(index), std::move(key));
}

// Adds entries carrying `values` to any of the caches; returns their ids in order.
template <class Cache>
std::vector<unsigned int> AddValues(Cache& cache, std::initializer_list<int> values) {
    std::vector<unsigned int> ids;
    for (int v : values) ids.push_back(cache.AddEntry(MakePayload(v)));
    return ids;
}

// Logs each hook call (hook, id, clock); under a mutex, since the lock-protected caches may
// report uses from several threads at once. Purge keeps what `keep` keeps (everything when
// null). Once `computed` is set it claims ComputesEntriesToPurge and answers that set.
struct RecordingPolicy : IPolicy {
    enum Hook { Added, Deleted, Used, Catalog };
    struct Call {
        Hook hook;
        unsigned int id;
        unsigned long long clock;
        bool operator==(const Call&) const = default;
    };

    explicit RecordingPolicy(std::shared_ptr<IPolicy> k = nullptr) : keep(std::move(k)) {}
    EntrySet Purge(EntrySet::const_iterator first, EntrySet::const_iterator last,
                   unsigned long long now) override {
        return keep ? keep->Purge(first, last, now) : EntrySet(first, last);
    }
    void OnEntryAdded(const Entry& e) override { Record(Added, e); }
    void OnEntryDeleted(const Entry& e) override { Record(Deleted, e); }
    void OnEntryUsed(const Entry& e) override { Record(Used, e); }
    void CatalogCacheEntries(const EntrySet& entries) override {
        Record(Catalog, Entry());
        IPolicy::CatalogCacheEntries(entries);
    }
    bool HasCapability(Capability) override { return computed.has_value(); }
    EntrySet ComputeEntriesToPurge() override { return *computed; }

    // The calls so far, in order; only those of `hook` when given.
    std::vector<Call> Calls(std::optional<Hook> hook = {}) const {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<Call> some;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(some),
                     [&](const Call& c) { return !hook || c.hook == *hook; });
        return some;
    }
    void Record(Hook hook, const Entry& e) {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back({hook, e.GetID(), e.GetClock()});
    }

    const std::shared_ptr<IPolicy> keep;
    std::optional<EntrySet> computed;  // set before the cache uses the policy
    mutable std::mutex mutex;
    std::vector<Call> calls;
};

// The ids of entries or of calls, in ascending order.
template <class Items>
std::vector<unsigned int> IdsOf(const Items& items) {
    std::vector<unsigned int> ids;
    for (const auto& item : items) {
        if constexpr (std::is_same_v<Items, EntrySet>)
            ids.push_back(item.GetID());
        else
            ids.push_back(item.id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace veltest
