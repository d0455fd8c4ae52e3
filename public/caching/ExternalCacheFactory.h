// ExternalCacheFactory: where every component gets the external cache of its namespace.
//
// At start-up the host installs one factory function (Initialize): the desktop default, which
// makes a disk cache per call, the null-cache function, or its own (one that builds Redis
// caches, say). MakeCache then answers every component without it knowing the backend; until
// something is installed, or when external caching is off, the answer is a NullExternalCache
// that stores nothing. The factory keeps no table of caches: each call makes a new object, and
// the caller owns it through std::shared_ptr. Both functions empty is misuse and raises
// LogicException "cacheFactoryFunc || cacheFactoryFuncEx".
// Thread contract: MakeCache is safe for concurrent use (the installed function must be too);
// Initialize, UnInitialize and AllowFactoryOverridePerNamespace(bool) need external
// synchronization: call them only while no other thread uses the factory.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "VelcacheExport.h"
#include "caching/ExternalCache.h"
#include "velcore/StringOptionTable.h"

namespace velmora::caching {

/// The cache that keeps nothing: stores and drops report success, loads find nothing. Its
/// futures are complete when returned; it takes no semaphore, writes no log line or metrics
/// and starts no task.
/// Thread contract: safe for concurrent use.
template <class K, class V>
class VELCACHE_EXPORT NullExternalCache : public IExternalCache<K, V> {
public:
    using typename IExternalCache<K, V>::ValuePtr;

    AsyncTask::Future<bool> TryStore(K, ValuePtr, unsigned int, long long) const override {
        return AsyncTask::MakeReadyFuture(true);
    }
    using IExternalCache<K, V>::TryLoad;
    AsyncTask::Future<ValuePtr> TryLoad(K) const override {
        return AsyncTask::MakeReadyFuture(ValuePtr());
    }
    AsyncTask::Future<bool> TryDrop(K) const override { return AsyncTask::MakeReadyFuture(true); }
    ~NullExternalCache() override = default;
};

extern template class NullExternalCache<TString, ExternalBytes>;

using ExternalCachePtr = std::shared_ptr<IExternalCache<TString, ExternalBytes>>;

/// Makes the external cache of each namespace through an installed function. Safe for concurrent
/// use.
class VELCACHE_EXPORT ExternalCacheFactory {
public:
    /// (namespace, size budget in MB, a count handed through to the disk cache's sweeper).
    using FactoryFunc =
        std::function<ExternalCachePtr(TString ns, unsigned long long sizeMb, unsigned int n)>;
    /// (namespace, options).
    using FactoryFuncEx =
        std::function<ExternalCachePtr(TString ns, const StringOptionTable& options)>;

    static const TString MapTilesCacheNamespace;              ///< "MapTiles"
    static const TString WorkbookAttributesCacheNamespace;    ///< "WAV2"
    static const TString PortableSessionCheckpointNamespace;  ///< "PSC"
    static const TString ImageStoreCacheNamespace;            ///< "IS"

    /// Installs an extended function; the plain one is emptied.
    static void Initialize(FactoryFuncEx f);
    /// Installs a plain function; the extended one is emptied.
    static void Initialize(FactoryFunc f);
    /// Back to the null-cache function. REQUIRES: a function is installed
    /// ("cacheFactoryFunc || cacheFactoryFuncEx").
    static void UnInitialize();

    /// The cache of `ns`. While the per-namespace override is allowed (the default), "MapTiles",
    /// "WAV2" and "IS" always get the desktop default's cache, whatever is installed. Otherwise
    /// the installed function's result, unchanged (an empty pointer included); its exceptions
    /// pass through. REQUIRES: a function is installed ("cacheFactoryFunc || cacheFactoryFuncEx").
    static ExternalCachePtr MakeCache(TString ns, unsigned long long sizeMb, unsigned int n);
    /// MakeCache with options for an extended function (a plain one ignores them).
    static ExternalCachePtr MakeCache(TString ns, unsigned long long sizeMb, unsigned int n,
                                      const StringOptionTable& options);

    /// The desktop default: a NullExternalCache when external caching is off, else a new
    /// DiskExternalCache with its own FolderSweeper (budget sizeMb MiB, count n, rescan every
    /// 5 minutes).
    static FactoryFunc MakeDefaultCacheForDesktop();
    /// The null-cache function: ignores its arguments, returns a new NullExternalCache.
    static FactoryFunc MakeNullCache();

    /// Whether MakeCache gives the fixed namespaces the desktop default's cache (see MakeCache).
    static void AllowFactoryOverridePerNamespace(bool allow);
    /// Whether that override is allowed (the default).
    static bool AllowFactoryOverridePerNamespace();

    /// Copyable, though only its static members are used.
    ExternalCacheFactory(const ExternalCacheFactory&);
    /// See the copy constructor.
    ExternalCacheFactory(ExternalCacheFactory&&) noexcept;
    /// See the copy constructor.
    ExternalCacheFactory& operator=(const ExternalCacheFactory&);
    /// See the copy constructor.
    ExternalCacheFactory& operator=(ExternalCacheFactory&&) noexcept;
    ~ExternalCacheFactory();

private:
    ExternalCacheFactory();
    static ExternalCacheFactory& Instance();

    /// Written only by Initialize and UnInitialize (start-up and shut-down); at most one of the
    /// two is non-empty afterwards.
    FactoryFunc cacheFactoryFunc;
    FactoryFuncEx cacheFactoryFuncEx;

    static bool s_allowFactoryOverridePerNamespace;
};

}  // namespace velmora::caching
