// Host: the whole start-up of a process that caches through velcache, in one call.
//
// Host::Start(options) sets the application options, the Redis endpoint, the external-cache
// directory and factory, the cascade invalidators and the coherence service, in the order they
// need, and returns once the service's subscription is confirmed (or its bound passed). The
// singletons it sets up are the ones a host would set up itself, and answer as if it had:
// AppConfig, the options of velcore/AppOptions.h, ExternalCacheFactory, ConfigureRedis,
// RedisPubsub. Without a Redis endpoint the host is a single process: memory and disk layers,
// no coherence service, values live their lifetime. With one, coherence is on.
//
// Caches come from the handle: host.ReadThrough<V>("name") makes a read-through cache of that
// name over the host's layers (memory, this machine's disk, Redis), every namespace derived
// from the one name, coherent with every process of the same coherence namespace.
//
// Ownership: the host lives until the process ends; caches are shared with the caller.
// Start may be called once per process (a second call raises). Safe for concurrent use after
// Start has returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VelcacheExport.h"
#include "caching/ReadThroughCache.h"

class ILogSink;

namespace velmora::caching {

enum class HostLogLevel { Debug, Info, Warn, Error };

/// What Host::Start sets up; every field is checked and refused by name. See docs/operating.md.
struct HostOptions {
    /// ---- Redis (leave redis and redisCluster empty for a single-process host) ----
    std::string redis;                      ///< "host:port" of one server
    std::vector<std::string> redisCluster;  ///< "host:port" of some nodes of a cluster
    std::string redisUser;                  ///< an ACL user; empty: the default user
    std::string redisPassword;              ///< given as a value: the library reads no file
    int redisDatabase = 0;                  ///< SELECT after connecting (single server)
    bool redisTls = false;                  ///< TLS on every connection
    std::string tlsCaFile;                  ///< PEM files, as the Redis client takes them
    std::string tlsCertFile;                ///< a client certificate (tls-auth-clients)
    std::string tlsKeyFile;                 ///< its private key
    std::string tlsServerName;              ///< the name the server's certificate must carry
    std::chrono::milliseconds connectTimeout{1000};  ///< connect, TLS, AUTH and SELECT
    std::chrono::milliseconds commandTimeout{1000};  ///< one whole command
    /// A quiet subscription sends PING after this long (at most half of maxDeafMs, whatever
    /// this says); a lost one is made again after at most reconnectBackoffMax.
    std::chrono::milliseconds heartbeatInterval{1000};
    /// See heartbeatInterval.
    std::chrono::milliseconds reconnectBackoffMax{2000};
    /// ---- coherence ----
    /// Channels "<namespace><key hash>" of every process that shares caches with this one;
    /// not empty, not a prefix of "defaultns." or of the host's channel "velcache.clear.", and
    /// no other namespace used in the process may begin with it.
    std::string coherenceNamespace = "velcache.coherence.";
    /// How long Start waits for the subscription to be confirmed.
    std::chrono::milliseconds subscribeWait{10000};
    /// A silence of the coherence service longer than this and read-through caches serve
    /// nothing held from before it (CacheSynchronizationMaxDeafMs).
    int maxDeafMs = 1500;
    /// Starts even when Redis cannot be reached, logging why at Error, instead of raising
    /// (CacheSynchronizationStartDegraded).
    bool startDegraded = false;
    /// ---- this machine's disk ----
    std::string diskDirectory;              ///< empty: no disk layer
    unsigned long long diskBudgetMb = 256;  ///< the disk layer's size, MiB
    /// ---- the rest ----
    /// Results computed in query-job scopes go when a part goes (SyncCaches).
    bool cascadeInvalidation = true;
    /// External-cache calls running at once, process-wide (ExternalCacheConcurrencyLimit).
    int externalConcurrencyLimit = 16;
    /// Every value stored on Redis expires after this many seconds at most; 0: as each store asks
    /// (ExternalCacheRedisAlwaysSetEx, ExternalCacheRedisAlwaysSetExSec).
    int redisValuesExpireSec = 0;
    /// Lines at this level and above go to stderr; a sink, when set, receives every line instead.
    HostLogLevel stderrLevel = HostLogLevel::Warn;
    std::shared_ptr<ILogSink> logSink;  ///< none: lines go to stderr as above
};

/// Which of the host's layers a cache uses, and what it turns on.
struct HostCacheOptions {
    int memoryEntries = 1000;  ///< 0: no memory layer (unless memoryBytes is set)
    /// A budget in bytes for the memory layer (ReadThroughOptions::memoryBytes); 0: none.
    std::uint64_t memoryBytes = 0;
    bool disk = true;   ///< when the host has a disk directory
    bool redis = true;  ///< when the host has a Redis endpoint
    /// One load per key across processes (leases on Redis); needs the Redis layer.
    bool leases = false;
    /// The last good value answers a failing or slow load (ReadThroughOptions::failSafe).
    bool failSafe = false;
    unsigned int softTimeoutMs = 0;  ///< past it the last good value answers; 0: off
    /// How long stored values live (capped by the coherence service's horizon).
    std::chrono::seconds lifetime{600};
};

/// The process's caching host, started once (see the file's opening comment). Safe for concurrent
/// use after Start has returned.
class VELCACHE_EXPORT Host {
public:
    /// Starts the process's host. Raises VelmoraException naming the field when an option is
    /// wrong, naming host:port and the cause when Redis cannot be reached (unless
    /// startDegraded), and when called a second time or when the process set up a singleton it
    /// would set up (the Redis endpoint, the external-cache directory) with other settings.
    static Host& Start(const HostOptions& options);
    /// The started host; raises VelmoraException before Start.
    static Host& Get();

    /// A read-through cache of values V named `name` (not empty; caches of one name in
    /// different processes share keys, announcements and stored values). The default codec of V
    /// (std::string, byte vectors, trivially copyable types without padding) unless `codec` is
    /// given. The caller owns the result.
    template <class V>
    std::shared_ptr<ReadThroughCache<V>> ReadThrough(const std::string& name,
                                                     const HostCacheOptions& options = {}) {
        return std::make_shared<ReadThroughCache<V>>(CacheOptions(name, options), Service());
    }
    /// ReadThrough with a codec of the host's own.
    template <class V>
    std::shared_ptr<ReadThroughCache<V>> ReadThrough(const std::string& name,
                                                     const HostCacheOptions& options,
                                                     typename ReadThroughCache<V>::Codec codec) {
        return std::make_shared<ReadThroughCache<V>>(CacheOptions(name, options), std::move(codec),
                                                     Service());
    }

    /// The read-through options `ReadThrough` builds: the layers, leases and lifetimes chosen.
    ReadThroughOptions CacheOptions(const std::string& name, const HostCacheOptions& options) const;
    /// The coherence service; null for a single-process host.
    std::shared_ptr<RedisPubsub> Service() const;
    /// The external layers; null when the host has none of that kind.
    ExternalCachePtr DiskLayer() const;
    /// See DiskLayer.
    ExternalCachePtr RedisLayer() const;
    /// The options Start was given.
    const HostOptions& Options() const;

    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    class Impl;

private:
    explicit Host(std::unique_ptr<Impl> impl);
    ~Host();
    std::unique_ptr<Impl> m_impl;
};

}  // namespace velmora::caching
