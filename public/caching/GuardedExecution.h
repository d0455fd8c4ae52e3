// Guarded execution of external-cache backend calls: time-outs, a process-wide concurrency
// limit, store thresholds, and one log line and one metrics scope per operation.
//
// Run executes one backend call with a time-out and never lets an exception escape; a call that
// outlasts its time-out is abandoned, not interrupted, and finishes in the background on its own
// copy of the information map. TryAcquireConcurrencySemaphore hands out holds on the one
// semaphore that bounds the backend calls in flight across the process (created on first use
// with ExternalCacheConcurrencyLimit and kept until the process ends). GuardedStore,
// GuardedLoad and GuardedDrop are the task bodies of the external caches' TryStore, TryLoad and
// TryDrop: each writes exactly one Info line ("ec-store", "ec-load" or "ec-drop") carrying its
// information map and closes exactly one metrics scope of the same name, on every path.
// Thread contract: safe for concurrent use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "VelcacheExport.h"
#include "velcoreplatform/TLog.h"
#include "velcoreplatform/TString.h"
#include "velsys/RefCnt.h"
#include "velsys/Semaphore.h"

namespace velmora::caching {

using ExternalBytes = std::vector<unsigned char>;
using ExternalBytesPtr = std::shared_ptr<ExternalBytes>;

/// The backend functions an external cache supplies. They receive the key and its key hash
/// text; they run on the task thread of the guarded procedure (or on Run's own task for stores
/// and drops), with no lock of the library held, possibly several at once.
using ExternalStoreFunc =
    std::function<void(TString key, TString keyHash, ExternalBytesPtr value, long long ttlSec)>;
using ExternalLoadFunc = std::function<ExternalBytesPtr(TString key, TString keyHash)>;
using ExternalDropFunc = std::function<void(TString key, TString keyHash)>;
/// Loads several keys in one backend call (one round trip where the backend can): one answer a
/// key, in order; an empty answer when that key's load failed, an empty pointer for a miss.
using ExternalLoadManyFunc = std::function<std::vector<std::optional<ExternalBytesPtr>>(
    const std::vector<TString>& keys, const std::vector<TString>& keyHashes)>;

/// Run's time-out that means "run on the calling thread, without a time-out".
inline constexpr std::chrono::milliseconds kRunWithoutTimeout{0x7FFFFFFFFFFFFFFFLL};

/// Whether external caching is wanted: the configuration switch is on (tested first) and the
/// option ExternalCacheDisable is off (read only when the switch is on).
VELCACHE_EXPORT bool ExternalCacheEnabled();

/// A new hold on the process-wide semaphore, waiting at most ExternalCacheConcurrencyTimeoutMs
/// (re-read on every call) for a unit. Never null and never throws on a full semaphore: the
/// caller tests IsAcquired. The unit goes back when the last reference to the hold goes.
VELCACHE_EXPORT RefCntPtr<TSemaphoreScope> TryAcquireConcurrencySemaphore();

/// Runs `fn`, catching every exception (an empty `fn` counts as one), and records in `info` its
/// run time as "elapsed-ms" and, when it failed, "problem" ("exception" or "timeout").
/// With kRunWithoutTimeout `fn` runs on the calling thread. Otherwise it runs as an asynchronous
/// task that Run waits for at most `timeout` (0 or less: not at all); on a time-out Run returns
/// false at once with "elapsed-ms" set to the time-out, and the task runs on in the background
/// writing only its own copy of the map, which is then discarded.
/// Returns true when `fn` completed without an exception within the time-out.
VELCACHE_EXPORT bool Run(std::function<void()> fn, StringLookupTable& info,
                         std::chrono::milliseconds timeout);

/// The key hash text of an external-cache key: THash32 of the key's UTF-16 bytes with seed
/// 0xDEADBEEF, in unsigned decimal. Names the entry in logs, metrics and backends.
VELCACHE_EXPORT TString ExternalCacheKeyHash(const TString& key);

/// The guarded store: thresholds ("ignore-fast", "ignore-large-key", "ignore-large", all true),
/// then the semaphore ("jam", false), then the store function under `storeTimeoutMs` ("done"
/// true, "fail" false). REQUIRES: value is not null.
VELCACHE_EXPORT bool GuardedStore(const ExternalStoreFunc& storeFunc, const TString& key,
                                  const ExternalBytesPtr& value, unsigned int loadTimeMs,
                                  std::int64_t lowerBoundLatencyMs, unsigned int upperBoundSizeMb,
                                  std::int64_t storeTimeoutMs, long long ttlSec,
                                  const TString& cacheNamespace);

/// The guarded load: the semaphore ("jam"), then the load function on this thread without a
/// time-out ("hit" with the buffer, "miss" or "fail" with an empty pointer). When `failed` is
/// given, it is set to whether the load was refused or failed ("jam" or "fail"; a miss is not a
/// failure).
VELCACHE_EXPORT ExternalBytesPtr GuardedLoad(const ExternalLoadFunc& loadFunc, const TString& key,
                                             const TString& cacheNamespace, bool* failed = nullptr);

/// The guarded load of each of `keys`, on this thread, several keys to one call of
/// `loadManyFunc` (at most `mostPerCall`, and at most half the semaphore's units): every key
/// has its own unit of the semaphore, log line and metrics scope, as GuardedLoad gives it. The
/// first key of a call waits for its unit as GuardedLoad does ("jam" when none comes); the
/// others join the call only while units are free at once, so a batch never holds more units
/// than it finds free. One value a key, in order ("hit": the buffer; "miss", "fail", "jam":
/// empty); the time a call took stands in each of its keys' "elapsed-ms". When `failed` is
/// given, it holds one flag a key: refused or failed.
VELCACHE_EXPORT std::vector<ExternalBytesPtr> GuardedLoadMany(
    const ExternalLoadManyFunc& loadManyFunc, const std::vector<TString>& keys,
    const TString& cacheNamespace, std::size_t mostPerCall, std::vector<char>* failed = nullptr);

/// The guarded drop: the semaphore ("jam", false), then the drop function under
/// `dropTimeoutMs` ("done" true, "fail" false).
VELCACHE_EXPORT bool GuardedDrop(const ExternalDropFunc& dropFunc, const TString& key,
                                 std::int64_t dropTimeoutMs, const TString& cacheNamespace);

}  // namespace velmora::caching
