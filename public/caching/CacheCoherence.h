// The interfaces that connect in-memory caches, the coherence service and the publish/subscribe
// transport, with the timing records the service reports and their string-table helpers.
//
// ICoherentCache is implemented by the lock-protected caches: the coherence service tells them
// which entries are stale. ICacheCoherence is implemented by the coherence service: caches (or
// their owners) report additions and removals. IRedisSubscriptionManager is the transport the
// service subscribes through. The service refers to caches through weak pointers and addresses
// and owns none of them.
// Thread contract: the free functions are safe for concurrent use; the interfaces state their
// own contracts below.
#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VelcacheExport.h"
#include "velcoreplatform/TLog.h"
#include "velcoreplatform/TString.h"

namespace velmora::caching {

/// A 128-bit hash computed by the host, as two 64-bit halves. (0, 0) means no hash.
using HashPair = std::pair<unsigned long long, unsigned long long>;

class ICoherentCache;

/// Timings of one OnAdded call, in milliseconds; a path that does not measure a field leaves 0.
struct OnAddedMetrics {
    unsigned long long totalMs = 0;    ///< "on-added-ms"
    unsigned long long lockMs = 0;     ///< "on-added-lock-ms"
    unsigned long long dirtyMs = 0;    ///< "on-added-dirty-ms"
    unsigned long long pruneMs = 0;    ///< "on-added-prune-ms"
    unsigned long long publishMs = 0;  ///< "on-added-publish-ms"
};

/// Timings of one OnRemoved(guids, cache) call.
struct OnRemovedMetrics {
    unsigned long long totalMs = 0;    ///< "on-removed-ms"
    unsigned long long guidCount = 0;  ///< "on-removed-guid-count"
    unsigned long long lockMs = 0;     ///< "on-removed-lock-ms"
    unsigned long long pruneMs = 0;    ///< "on-removed-prune-ms"
};

/// The coherence service, as caches and their owners see it.
class VELCACHE_EXPORT ICacheCoherence {
public:
    /// `cache` added entry `guid`, holding content `hash` for the query `keyhash`, produced at
    /// `timestamp` (a DateTime raw representation).
    virtual OnAddedMetrics OnAdded(HashPair keyhash, HashPair hash, unsigned long long timestamp,
                                   unsigned int guid, std::weak_ptr<ICoherentCache> cache) = 0;
    /// `cache` is going away: forget everything about it.
    virtual void OnRemoved(const ICoherentCache& cache) = 0;
    /// `cache` evicted these entries.
    virtual OnRemovedMetrics OnRemoved(const std::vector<unsigned int>& guids,
                                       std::weak_ptr<ICoherentCache> cache) = 0;
    /// Test hook: overrides each pruning limit given as 0 or more, then prunes.
    virtual void TriggerPruneEvictedEntriesTestOnly(int maxEvictedEntries,
                                                    int evictedLifetimeSec) = 0;
    virtual ~ICacheCoherence();
};

/// A cache that can be told that some of its entries are stale.
class VELCACHE_EXPORT ICoherentCache {
public:
    /// The listed entries are stale: the cache removes those it holds and ignores the others.
    /// Called from whatever thread detected the staleness, possibly while the coherence
    /// service holds its own lock. It may call back into the service on that same thread
    /// (OnRemoved for the entries it drops, OnAdded): the service has finished changing its
    /// tables before it calls out. It must not wait for another thread that calls the service.
    virtual void OnDirty(const std::vector<unsigned int>& guids) = 0;
    virtual ~ICoherentCache();
};

/// The publish/subscribe transport the coherence service subscribes through. The platform's
/// Redis client implements it.
class VELCACHE_EXPORT IRedisSubscriptionManager {
public:
    /// Runs for each message: the full channel name and the raw bytes.
    using Callback = std::function<void(const TString& channel, const void* data, int length)>;

    /// From this call on, `callback` runs for every message published on a channel matching
    /// `channelPattern` (a pattern subscription), with the full channel name and the raw bytes
    /// (`data` points at `length` bytes, not terminated). Runs on the manager's threads.
    virtual void Subscribe(const TString& channelPattern, const Callback& callback) = 0;
    /// When this returns, no callback for `channelPattern` is running and none will start.
    virtual void Unsubscribe(const TString& channelPattern) = 0;
    /// Inline, so that the platform's Redis client can implement this interface without linking
    /// against the library.
    virtual ~IRedisSubscriptionManager() = default;
};

/// Adds each field of `more` to the same field of `total`.
VELCACHE_EXPORT void AddMetrics(OnRemovedMetrics& total, const OnRemovedMetrics& more);

/// Sets the five "on-added-..." keys of `table` to the decimal text of the fields; other keys
/// are left alone.
VELCACHE_EXPORT void UpdateStringLookupTableWithMetrics(const OnAddedMetrics& metrics,
                                                        StringLookupTable& table);
/// Sets the four "on-removed-..." keys likewise.
VELCACHE_EXPORT void UpdateStringLookupTableWithMetrics(const OnRemovedMetrics& metrics,
                                                        StringLookupTable& table);
/// A new table holding exactly the four "on-removed-..." keys.
VELCACHE_EXPORT StringLookupTable StringLookupTableFromMetrics(const OnRemovedMetrics& metrics);

/// Severity of coherence and cascade log lines: Info when the option
/// CacheSynchronizationLogging is on, else Debug. Reads the option on every call.
VELCACHE_EXPORT TLog::NonErrorSeverity GetCacheSynchronizationLogLevel();

}  // namespace velmora::caching
