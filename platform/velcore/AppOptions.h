// velmora::appoptions: the application options the library reads, one typed accessor each.
//
// All options live in one process-wide store. The host sets them with Set (by accessor name);
// tests override one for the length of a scope with ScopedOverride, which restores the earlier
// value on exit. Each accessor reads the store afresh, so a change applies at the next read.
//
// Defaults:
//   option                                    type  default  meaning
//   SyncCaches                                bool  false    cascade invalidation on
//   CacheSynchronizationLogging               bool  false    coherence lines at Info, not Debug
//   CacheSynchronizationDryRun                bool  false    coherence tracks but drops nothing
//   AsyncCacheCoherence                       bool  false    coherence calls run as tasks
//   CacheSynchronizationMinimumDeltaSeconds   int   5        margin of the dirty rule, seconds:
//                                                            an entry added through OnAdded is
//                                                            dirty only when other content is
//                                                            announced with a timestamp later
//                                                            than its own by more than this, so
//                                                            that clocks of machines that differ
//                                                            by less cannot drop newer entries;
//                                                            it costs a change announced within
//                                                            the margin of an entry, which that
//                                                            entry never hears of (read-through
//                                                            and derived results are dropped by
//                                                            arrival and do not use it)
//   CacheSynchronizationEvictedLifetimeSec    int   300      how long evicted records are kept
//   CacheSynchronizationMaxEvictedEntries     int   10000    how many evicted records are kept
//   CacheSynchronizationReplay                bool  true     announcements also go to a capped
//                                                            stream, replayed after every gap
//   CacheSynchronizationReplayMaxLen          int   100000   that stream's approximate cap
//   CacheSynchronizationReplayFollowMs        int   5000     how often the replay's resume point
//                                                            moves past what arrived live (0:
//                                                            only at catch-ups)
//   CacheSynchronizationFlushOnGap            bool  true     a gap the stream cannot bridge
//                                                            makes every tracked entry dirty
//   CacheSynchronizationRetryQueue            int   10000    failed publishes kept for re-sending
//                                                            (one per key hash; 0: none)
//   CacheSynchronizationArrivalsKeepSec       int   600      how long received announcements
//                                                            are remembered for read-through
//                                                            caches (also their values' lifetime)
//   CacheSynchronizationArrivalsMax           int   200000   how many are remembered at most
//   CacheSynchronizationSkipKnownFills        bool  false    OnAdded publishes no fill whose
//                                                            content is the newest received
//                                                            (read-through caches: always)
//   CacheSynchronizationMaxDeafMs             int   600      read-through and derived results
//                                                            serve nothing held while the
//                                                            subscriber has not heard from the
//                                                            server for this long (0: off)
//   CacheSynchronizationStartDegraded         bool  false    RedisPubsub::Create logs at Error
//                                                            instead of raising when Redis
//                                                            cannot be reached at start
//   ExternalCacheDisable                      bool  false    external caching off
//   ExternalCacheConcurrencyLimit             int   16       backend calls running at once
//   ExternalCacheConcurrencyTimeoutMs         int   100      wait for a backend slot, ms
//   ExternalCacheUpperBoundKeySizeB           int   4096     largest key stored, bytes
//   ExternalCacheLowerBoundLatencyMs          int   0        cheapest result worth storing, ms
//   ExternalCacheUpperBound2SizeMb            int   64       largest value stored, MiB
//   ExternalCacheStoreTimeoutMs               int   5000     store time-out, ms
//   ExternalCacheDropTimeoutMs                int   5000     drop time-out, ms
//   ExternalCacheRedisAlwaysSetEx             bool  false    Redis stores always expire
//   ExternalCacheRedisAlwaysSetExSec          int   86400    expiry used then, seconds
//   ExternalCacheDiskAccess                   int   0        who may use the disk cache:
//                                                            0 the process's user alone
//                                                            (0700/0600, roots checked), 1 its
//                                                            group too (0770/0660), 2 as the
//                                                            umask gives (no check)
//
// Thread contract: safe for concurrent use.
#pragma once

#include <variant>

#include "velcoreplatform/TString.h"
#include "velsys/Export.h"

// X-macro table of every option: name, C++ type, default.
#define VELMORA_APP_OPTIONS(X)                           \
    X(SyncCaches, bool, false)                           \
    X(CacheSynchronizationLogging, bool, false)          \
    X(CacheSynchronizationDryRun, bool, false)           \
    X(AsyncCacheCoherence, bool, false)                  \
    X(CacheSynchronizationMinimumDeltaSeconds, int, 5)   \
    X(CacheSynchronizationEvictedLifetimeSec, int, 300)  \
    X(CacheSynchronizationMaxEvictedEntries, int, 10000) \
    X(CacheSynchronizationReplay, bool, true)            \
    X(CacheSynchronizationReplayMaxLen, int, 100000)     \
    X(CacheSynchronizationReplayFollowMs, int, 5000)     \
    X(CacheSynchronizationFlushOnGap, bool, true)        \
    X(CacheSynchronizationRetryQueue, int, 10000)        \
    X(CacheSynchronizationArrivalsKeepSec, int, 600)     \
    X(CacheSynchronizationArrivalsMax, int, 200000)      \
    X(CacheSynchronizationSkipKnownFills, bool, false)   \
    X(CacheSynchronizationMaxDeafMs, int, 600)           \
    X(CacheSynchronizationStartDegraded, bool, false)    \
    X(ExternalCacheDisable, bool, false)                 \
    X(ExternalCacheConcurrencyLimit, int, 16)            \
    X(ExternalCacheConcurrencyTimeoutMs, int, 100)       \
    X(ExternalCacheUpperBoundKeySizeB, int, 4096)        \
    X(ExternalCacheLowerBoundLatencyMs, int, 0)          \
    X(ExternalCacheUpperBound2SizeMb, int, 64)           \
    X(ExternalCacheStoreTimeoutMs, int, 5000)            \
    X(ExternalCacheDropTimeoutMs, int, 5000)             \
    X(ExternalCacheRedisAlwaysSetEx, bool, false)        \
    X(ExternalCacheRedisAlwaysSetExSec, int, 86400)      \
    X(ExternalCacheDiskAccess, int, 0)

namespace velmora::appoptions {

using OptionValue = std::variant<bool, int>;

#define VELMORA_DECLARE_OPTION(name, type, def) VELPLATFORM_EXPORT type name();
VELMORA_APP_OPTIONS(VELMORA_DECLARE_OPTION)
#undef VELMORA_DECLARE_OPTION

/// Sets an option by its accessor name. Raises VelmoraException for an unknown name or a value
/// of the wrong type; nothing changes then.
VELPLATFORM_EXPORT void Set(const TString& name, OptionValue value);
/// The current value of an option (raises VelmoraException for an unknown name).
VELPLATFORM_EXPORT OptionValue Get(const TString& name);
/// Puts every option back to its default.
VELPLATFORM_EXPORT void ResetAll();

/// Overrides one option for the length of a scope. REQUIRES: scopes end in reverse order of
/// creation when they override the same option.
class VELPLATFORM_EXPORT ScopedOverride {
public:
    /// Sets option `name` to `value` until the scope ends (raises as Set does).
    ScopedOverride(const TString& name, OptionValue value);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

private:
    TString m_name;
    OptionValue m_previous;
};

}  // namespace velmora::appoptions
