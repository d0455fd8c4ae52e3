// The state of the coherence service and the steps its operations share. Private to the
// library: RedisPubsub.cpp (construction and the tracking operations), RedisPubsubMessages.cpp
// (wire format, dirty rule, receiving side) and RedisPubsubEviction.cpp (evicted records,
// placeholders, pruning).
//
// Lock: m_lock is the only lock, always taken exclusively; it is re-entrant for its holder, which
// PruneEvictedEntries relies on (it takes the lock again inside OnAdded, OnRemoved and the
// subscription callback). Caches' and invalidators' OnDirty, and the invalidators' OnEvicted
// from pruning, run with it held.
// Safe for concurrent use.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "caching/RedisPubsub.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Locks.h"

namespace velmora::caching {

// The record of one tracked entry.
struct CacheEntryInfo {
    static constexpr long long kLive = std::numeric_limits<long long>::max();

    HashPair hash;                 // data hash of the entry's content
    unsigned long long timestamp;  // raw DateTime value supplied by the host
    unsigned int guid;
    ICoherentCache* cache;          // not owned
    long long evictedTime = kLive;  // steady-clock nanoseconds of the eviction, or kLive

    bool IsEvicted() const { return evictedTime != kLive; }
};

// "<first in hex>-<second in hex>".
TString FormatHashPair(const HashPair& pair);
// The inverse of FormatHashPair. Raises LogicException "parts.size() == 2" unless the text has
// exactly one "-"; digits that are not hexadecimal are not detected.
HashPair ParseHashPair(const TString& text);
// The data hash and timestamp of a message "<hash pair>@<timestamp in hex>". Raises
// LogicException "split.size() == 2" unless the text has exactly one "@".
std::pair<HashPair, unsigned long long> ParseMessage(const TString& message);
// Steady-clock reading in nanoseconds: the unit of eviction times.
long long SteadyNowNs();

class RedisPubsub::Impl : public ICacheCoherence {
public:
    Impl(const TString& ns, IRedisSubscriptionManager& manager, PublishFunction publish);
    ~Impl() override;

    OnAddedMetrics OnAdded(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                           unsigned int guid, std::weak_ptr<ICoherentCache> cache) override;
    void OnRemoved(const ICoherentCache& cache) override;
    OnRemovedMetrics OnRemoved(const std::vector<unsigned int>& guids,
                               std::weak_ptr<ICoherentCache> cache) override;
    void TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries, int evictedLifetimeSec) override;

    TrackingCounts GetTrackingCounts();

    // Whether `candidate` is stale against content `otherHash` produced at `otherTimestamp`:
    // its hash differs (or neither side has one) and it is older by more than the margin.
    bool IsDirty(const CacheEntryInfo& candidate, const HashPair& otherHash,
                 unsigned long long otherTimestamp) const;
    // Handles one received message; `keyText` is the channel without the namespace. Runs on
    // the subscription manager's delivery thread. Parses before touching any state.
    void SubscribeCallback(const TString& keyText, const void* data, int length);

private:
    using GuidAndCache = std::pair<unsigned int, ICoherentCache*>;

    OnAddedMetrics OnAddedSync(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                               unsigned int guid, const std::weak_ptr<ICoherentCache>& cache);
    OnRemovedMetrics OnRemovedSync(const std::vector<unsigned int>& guids,
                                   const std::weak_ptr<ICoherentCache>& cache);
    // Launches `work` as a background task counted in m_pendingTasks.
    void LaunchTask(std::function<void()> work);

    // Tells the record's cache (unless dry run or evicted) and every invalidator that the
    // record is stale. REQUIRES: m_lock held.
    void NotifyDirty(const CacheEntryInfo& record);
    // REQUIRES: m_lock held; (guid, cache) is not filed.
    void RecordPlaceholder(unsigned int guid, ICoherentCache* cache);
    // REQUIRES: m_lock held; (guid, cache) is filed.
    void MarkEvicted(unsigned int guid, ICoherentCache* cache, long long time);
    // Prunes evicted records by age, then by count, and tells the invalidators OnEvicted.
    // Takes m_lock itself (re-entrantly); the invalidators are called after releasing that one
    // hold, so inside an operation that holds the lock they still run under it.
    void PruneEvictedEntries();
    // Prunes the oldest evicted copy and notes its guid under its cache in `removals`.
    // REQUIRES: m_lock held; m_evictedEntries not empty.
    void PruneEvictedEntriesHelperNoLock(
        std::map<ICoherentCache*, std::vector<unsigned int>>& removals);
    // Logs an inconsistency that pruning survives, at Error with the pair's attributes.
    void LogPairError(const char* message, std::uint32_t code, const char* site, unsigned int guid,
                      const ICoherentCache* cache) const;
    void SetPlaceholderCounter() const;

    TReadWriteLock m_lock{0};
    // Guarded by m_lock.
    std::map<HashPair, std::vector<CacheEntryInfo>> m_keyhashToCacheEntries;
    std::set<GuidAndCache> m_removeBeforeAddPlaceholders;
    std::set<GuidAndCache> m_evictedGuidAndCache;
    std::multimap<long long, CacheEntryInfo> m_evictedEntries;
    std::map<GuidAndCache, HashPair> m_guidAndCacheToKeyHash;

    // Constant after construction.
    TString m_namespace;
    PublishFunction m_publish;
    IRedisSubscriptionManager* m_subscriptionManager;
    TLog::NonErrorSeverity m_logSeverity;
    bool m_loggingEnabled;
    bool m_dryRun;
    bool m_async;
    int m_minimumDeltaSeconds;
    // Constant after construction, except through the test hook (single-threaded tests only).
    int m_evictedLifetimeSec;
    int m_maxEvictedEntries;  // never negative

    // Background tasks launched and not yet finished; the destructor waits for none to be left.
    std::mutex m_tasksMutex;
    std::condition_variable m_tasksDone;
    int m_pendingTasks = 0;  // Guarded by m_tasksMutex.
};

}  // namespace velmora::caching
