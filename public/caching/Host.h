// Host: what a process needs to cache through velcache, as one object.
//
// Host::Create(options) makes a host of its own: its Redis endpoint, connection pool and
// subscription manager, its coherence service, its disk directory and external layers, built
// directly rather than through the process-wide singletons. A process may hold several (two
// tenants, two clusters, one per test); Stop (also run by the destructor) publishes what the
// retry queue holds, closes the subscription and connections and joins the host's threads.
// Host::Start(options) makes the process's default host on the singletons instead (AppConfig,
// the options of velcore/AppOptions.h, ExternalCacheFactory, ConfigureRedis, RedisPubsub), as a
// host would set them up itself, in the order they need; it may run once per process. Without
// a Redis endpoint a host is a single process: memory and disk layers, no coherence service,
// values live their lifetime. With one, coherence is on.
//
// Caches come from the handle: host.ReadThrough<V>("name") makes a read-through cache of that
// name over the host's layers (memory, this machine's disk, Redis), coherent with every process
// whose host has the same coherence namespace on the same server. Every name a host puts on a
// server or disk (stored-value keys, lease keys, clear channels, the announcement stream) derives
// from its coherence namespace, so hosts of different namespaces stay apart even on one server.
//
// What stays process-wide, whichever way hosts are made, and why:
//  - the singletons of the coherence and external-cache interfaces (RedisPubsub::GetInstance and
//    its subscription manager, ExternalCacheFactory, AppConfig, the cascade invalidator holder and
//    aggregator): code that calls them directly must keep finding them; Create leaves them alone.
//  - the options store (velcore/AppOptions.h): Create sets no option by name. The fields that map
//    onto one (cascadeInvalidation, externalConcurrencyLimit, redisValuesExpireSec) are left
//    unset, or must agree with the process's value; Create refuses a disagreeing one by name.
//  - the external-cache concurrency limit and the asynchronous-task threads: one bound for the
//    whole process is what keeps its backend calls bounded.
//  - entry ids and counters, the log sink and stderr level, the metrics sink: one per process by
//    nature (ids are process-wide names; lines and figures go to one place).
//
// Ownership: Create's caller owns the host; a cache shares the host's parts and keeps them alive
// while it lives, but raises once the host stopped. The default host lives until the process
// ends. Safe for concurrent use after Create or Start has returned; Stop may be called from any
// thread but a callback of the host's (a loader, a listener).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VelcacheExport.h"
#include "caching/ReadThroughCache.h"

namespace velmora {
class ILogSink;
}

namespace velmora::caching {

enum class HostLogLevel { Debug, Info, Warn, Error };

/// What a host sets up; every field is checked and refused by name. See docs/operating.md.
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
    /// not empty, not a prefix of "defaultns.", of the clear channels ("velcache.clear." and
    /// "velcache.clear@") or of the tag channel ("velcache.tags"), nor beginning with it, and no
    /// other namespace used on the server may begin with it. The
    /// default keeps the names hosts used before namespaces named them: stored values under
    /// "velcache.redis", leases under "velcache:lease:", clears on "velcache.clear.<cache>";
    /// any other namespace NS puts them under "NSvalues", "NSlease:" and
    /// "velcache.clear@NS<cache>", and its disk values under "NSdisk".
    std::string coherenceNamespace = "velcache.coherence.";
    /// How long Create or Start waits for the subscription to be confirmed.
    std::chrono::milliseconds subscribeWait{10000};
    /// A silence of the coherence service longer than this and read-through caches serve
    /// nothing held from before it (CacheSynchronizationMaxDeafMs).
    int maxDeafMs = 600;
    /// Starts even when Redis cannot be reached, logging why at Error, instead of raising
    /// (CacheSynchronizationStartDegraded).
    bool startDegraded = false;
    /// ---- tags (caching/CacheTags.h) ----
    /// Keeps the tags of values and drops them by tag (InvalidateTag), heard on the channel
    /// "velcache.tags" ("velcache.tags@<namespace>" for another namespace than the default) and
    /// kept in the stream "{<namespace>}tags". Off: caches let go of loaders' tags, and Set with
    /// tags and InvalidateTag raise.
    bool tags = true;
    /// The most tag invalidations remembered (and kept in the stream): about 75 bytes each in
    /// every process (see docs/operating.md); past it the oldest are let go, and a tagged value
    /// loaded before them is loaded again instead of read from a lower layer.
    std::size_t maxRememberedTags = 1000000;
    /// ---- what an operator sees ----
    /// "host:port" on which the host serves its metrics (the OpenMetrics text of every scope of
    /// the process, its own service and caches asked for their figures at each scrape) on
    /// HTTP GET /metrics, from a thread of its own; port 0 takes a free port (MetricsAddress
    /// says which). Empty: none. Loopback addresses keep it on the machine.
    std::string metricsAddress;
    /// ---- this machine's disk ----
    std::string diskDirectory;              ///< empty: no disk layer
    unsigned long long diskBudgetMb = 256;  ///< the disk layer's size, MiB
    /// ---- the rest ----
    /// ---- process-wide: Start sets them (unset: the value shown); Create sets none, and
    /// refuses a field that is set and disagrees with the process ----
    /// Results computed in query-job scopes go when a part goes (SyncCaches; Start: true).
    std::optional<bool> cascadeInvalidation;
    /// External-cache calls running at once, process-wide (ExternalCacheConcurrencyLimit;
    /// Start: 16).
    std::optional<int> externalConcurrencyLimit;
    /// Every value stored on Redis expires after this many seconds at most; 0: as each store asks
    /// (ExternalCacheRedisAlwaysSetEx, ExternalCacheRedisAlwaysSetExSec; Start: 0).
    std::optional<int> redisValuesExpireSec;
    /// Lines at this level and above go to stderr; a sink, when set, receives every line instead.
    /// Both are the process's: a host that sets one sets it for every host (Start: Warn).
    std::optional<HostLogLevel> stderrLevel;
    std::shared_ptr<ILogSink> logSink;  ///< none: lines go to stderr as above
};

/// Every name a host puts on its server and disk, derived from its coherence namespace (see
/// HostOptions::coherenceNamespace): what tools use to find a host's values and channels.
struct VELCACHE_EXPORT HostNames {
    std::string disk;         ///< the disk layer's namespace
    std::string redis;        ///< the Redis layer's namespace (keys "<redis>:<key>")
    std::string leasePrefix;  ///< lease keys begin so
    std::string clearPrefix;  ///< clear channels: this followed by the cache's name
    std::string tagChannel;   ///< the channel of tag invalidations
    std::string tagStream;    ///< the stream key that keeps them
    /// The names of a host whose coherence namespace is `coherenceNamespace`.
    static HostNames Of(const std::string& coherenceNamespace);
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
    /// Past it the last good value answers and the load goes on behind (no soft time-out); 0: off
    unsigned int hardTimeoutMs = 0;
    long long failSafeMaxAgeSec = 300;  ///< the oldest a last good value may be, seconds
    bool failSafeAfterChange = false;   ///< a last good value answers after an announced change
    /// An entry read after this fraction of its lifetime is loaded again behind; 0: never.
    double eagerRefreshFraction = 0;
    /// How long stored values live (capped by the coherence service's horizon).
    std::chrono::seconds lifetime{600};
    unsigned int externalWaitMs = 200;  ///< the longest wait for a layer's read, ms
    unsigned int loadWaitMs = 30000;    ///< the longest wait for another thread's load, ms
    unsigned int leaseMs = 5000;        ///< how long a lease outlives a holder that died, ms
    /// Keys of HMAC-SHA256 tags on stored values (ReadThroughOptions::signingKeys); none: unsigned.
    std::vector<std::string> signingKeys = {};
    /// The most tags one value may carry (ReadThroughOptions::maxTagsPerEntry).
    std::size_t maxTagsPerEntry = 64;
    /// Checks a sample of the answers against the source (ReadThroughOptions::audit).
    bool audit = false;
    double auditSampleRate = 0.01;            ///< the fraction of answers checked, 0 to 1
    unsigned int auditMaxReloadsPerSec = 20;  ///< the most re-loads of the source a second
    unsigned int auditWindowMs = 1000;  ///< how long after a change an older answer is a race, ms
};

/// A caching host (see the file's opening comment). Safe for concurrent use.
class VELCACHE_EXPORT Host {
public:
    /// How long the destructor lets Stop publish what the retry queue holds.
    static constexpr std::chrono::milliseconds kDefaultStopDeadline{2000};

    /// A host of its own (see the file's opening comment); the caller owns it. Raises
    /// VelmoraException naming the field when an option is wrong or a process-wide one disagrees
    /// with the process, and naming host:port and the cause when Redis cannot be reached (unless
    /// startDegraded); nothing is left behind then.
    static std::unique_ptr<Host> Create(const HostOptions& options);
    /// Starts the process's default host on the singletons. Raises as Create does, and when
    /// called a second time or when the process set up a singleton it would set up (the Redis
    /// endpoint, the external-cache directory) with other settings.
    static Host& Start(const HostOptions& options);
    /// The started default host; raises VelmoraException before Start.
    static Host& Get();

    /// Stops the host: every later call of its caches, and ReadThrough, raises; the
    /// announcements its retry queue holds are published while the deadline lets them (see
    /// RedisPubsub::Stop), what is left is dropped, counted and said at Warn; the subscription
    /// and connections close and the host's threads are joined. A call in flight finishes, its
    /// Redis work failing fast. The default host stops its coherence service and caches; the
    /// singletons it set up stay until the process ends (said at Info). Idempotent.
    /// REQUIRES: not called from a loader, listener or other callback of the host's.
    void Stop(std::chrono::milliseconds deadline = kDefaultStopDeadline);
    /// Whether Stop ran.
    bool Stopped() const;
    /// Runs Stop(kDefaultStopDeadline).
    ~Host();

    /// A read-through cache of values V named `name` (not empty; caches of one name in
    /// different processes share keys, announcements and stored values). The default codec of V
    /// (std::string, byte vectors, trivially copyable types without padding) unless `codec` is
    /// given. The caller owns the result. Raises VelmoraException once the host stopped.
    template <class V>
    std::shared_ptr<ReadThroughCache<V>> ReadThrough(const std::string& name,
                                                     const HostCacheOptions& options = {}) {
        return Tracked(
            std::make_shared<ReadThroughCache<V>>(CacheOptions(name, options), Service()));
    }
    /// ReadThrough with a codec of the host's own.
    template <class V>
    std::shared_ptr<ReadThroughCache<V>> ReadThrough(const std::string& name,
                                                     const HostCacheOptions& options,
                                                     typename ReadThroughCache<V>::Codec codec) {
        return Tracked(std::make_shared<ReadThroughCache<V>>(CacheOptions(name, options),
                                                             std::move(codec), Service()));
    }

    /// The read-through options `ReadThrough` builds: the layers, leases and lifetimes chosen.
    ReadThroughOptions CacheOptions(const std::string& name, const HostCacheOptions& options) const;
    /// Drops every value tagged `tag` in every cache of the host's namespace, in every process
    /// (see ReadThroughCache<V>::InvalidateTag). Raises VelmoraException once the host stopped,
    /// with HostOptions::tags off, and for a tag refused by name (empty, over kMaxTagBytes).
    void InvalidateTag(const std::string& tag);
    /// InvalidateTag of each of `tags`, sent together (TagInvalidations::Invalidate).
    void InvalidateTags(const std::vector<std::string>& tags);
    /// The host's tag invalidations; null with HostOptions::tags off.
    std::shared_ptr<TagInvalidations> Tags() const;
    /// The coherence service; null for a single-process host. Holding it keeps the host's parts
    /// alive (as a cache does); after Stop it still answers GetHealth.
    std::shared_ptr<RedisPubsub> Service() const;
    /// The external layers; null when the host has none of that kind.
    ExternalCachePtr DiskLayer() const;
    /// See DiskLayer.
    ExternalCachePtr RedisLayer() const;
    /// The options the host was made with.
    const HostOptions& Options() const;
    /// Where the metrics endpoint listens ("host:port", the port as bound); "" without one.
    std::string MetricsAddress() const;

    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    class Impl;

private:
    explicit Host(std::shared_ptr<Impl> impl);
    // With a metrics endpoint, `report` runs at each scrape (sending a cache's figures to the
    // metrics sink) until it returns false (the cache is gone).
    void TrackFigures(std::function<bool()> report) const;
    template <class C>
    std::shared_ptr<C> Tracked(std::shared_ptr<C> cache) const {
        TrackFigures([weak = std::weak_ptr<C>(cache)] {
            const std::shared_ptr<C> alive = weak.lock();
            if (alive) alive->GetCounters();
            return alive != nullptr;
        });
        return cache;
    }
    // Shared with the caches this host made (ReadThroughOptions::hostStopped).
    std::shared_ptr<Impl> m_impl;
};

}  // namespace velmora::caching
