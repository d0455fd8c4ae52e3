#include "caching/Host.h"

#include <atomic>
#include <mutex>
#include <optional>

#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/DiskExternalCache.h"
#include "caching/ExternalCacheFactory.h"
#include "caching/LoadLeases.h"
#include "caching/RedisExternalCache.h"
#include "metrics2/MetricsServer.h"
#include "metrics2/OpenMetrics.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcore/FolderSweeper.h"
#include "velcoreplatform/TElapsedTimer.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisProbe.h"
#include "velredis/RedisSubscriptionManager.h"

namespace velmora::caching {

namespace {

// The default namespace keeps the names hosts used before a namespace named them.
const char* const kDefaultNamespace = "velcache.coherence.";
// Read-through caches tell a clear of a whole cache on channels beginning so: the first for the
// default namespace, the second (followed by the namespace) for every other.
const char* const kClearChannels = "velcache.clear.";
const char* const kNamespacedClearChannels = "velcache.clear@";
// Tag invalidations: the default namespace's channel, and the others' after "@".
const char* const kTagChannel = "velcache.tags";
// How often a host's disk sweeper looks at the whole directory again.
constexpr std::chrono::nanoseconds kSweepRescanInterval{300000000000LL};

}  // namespace

HostNames HostNames::Of(const std::string& ns) {
    const std::string tagStream = "{" + ns + "}tags";
    if (ns == kDefaultNamespace)
        return {"velcache.disk", "velcache.redis", "velcache:lease:",
                kClearChannels,  kTagChannel,      tagStream};
    return {ns + "disk",
            ns + "values",
            ns + "lease:",
            kNamespacedClearChannels + ns,
            std::string(kTagChannel) + "@" + ns,
            tagStream};
}

namespace {

// Says which call refuses: "Host::Start" or "Host::Create".
[[noreturn]] void Refuse(const char* who, const std::string& field, const std::string& why) {
    throw VelmoraException(std::string(who) + ": HostOptions::" + field + " " + why);
}

bool IsPrefix(const std::string& a, const std::string& b) {
    return b.compare(0, a.size(), a) == 0;
}

// "host:port" as host and port; refuses anything else, naming `field`.
std::pair<std::string, int> ParseAddress(const char* who, const std::string& field,
                                         const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        Refuse(who, field, "must be \"host:port\", not \"" + text + "\"");
    int port = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || port > 65535)
            Refuse(who, field,
                   "must be \"host:port\" with a port from 1 to 65535, not \"" + text + "\"");
        port = port * 10 + (text[i] - '0');
    }
    if (port < 1 || port > 65535)
        Refuse(who, field,
               "must be \"host:port\" with a port from 1 to 65535, not \"" + text + "\"");
    return {text.substr(0, colon), port};
}

void Validate(const char* who, const HostOptions& o) {
    if (!o.redis.empty() && !o.redisCluster.empty())
        Refuse(who, "redis",
               "and HostOptions::redisCluster are both set: name one server or a cluster");
    if (!o.redis.empty()) ParseAddress(who, "redis", o.redis);
    for (const std::string& node : o.redisCluster) ParseAddress(who, "redisCluster", node);
    if (o.redisDatabase < 0) Refuse(who, "redisDatabase", "must not be negative");
    if (o.redisDatabase != 0 && !o.redisCluster.empty())
        Refuse(who, "redisDatabase", "must be 0 on a cluster");
    if (o.tlsCertFile.empty() != o.tlsKeyFile.empty())
        Refuse(who, o.tlsCertFile.empty() ? "tlsCertFile" : "tlsKeyFile",
               "must be given with its pair (tlsCertFile and tlsKeyFile: both or neither)");
    if (!o.redisTls && !(o.tlsCaFile.empty() && o.tlsCertFile.empty() && o.tlsServerName.empty()))
        Refuse(who, "redisTls", "is off while TLS files or a server name are given");
    if (o.connectTimeout.count() <= 0) Refuse(who, "connectTimeout", "must be positive");
    if (o.commandTimeout.count() <= 0) Refuse(who, "commandTimeout", "must be positive");
    if (o.heartbeatInterval.count() <= 0) Refuse(who, "heartbeatInterval", "must be positive");
    if (o.reconnectBackoffMax.count() <= 0) Refuse(who, "reconnectBackoffMax", "must be positive");
    const std::string& ns = o.coherenceNamespace;
    if (ns.empty()) Refuse(who, "coherenceNamespace", "must not be empty");
    for (const std::string other :
         {"defaultns.", kClearChannels, kNamespacedClearChannels, kTagChannel})
        if (IsPrefix(ns, other) || IsPrefix(other, ns))
            Refuse(who, "coherenceNamespace",
                   "\"" + ns + "\" and \"" + other +
                       "\" must not begin one another (their channels "
                       "would mix)");
    if (o.subscribeWait.count() <= 0) Refuse(who, "subscribeWait", "must be positive");
    if (o.maxDeafMs < 0) Refuse(who, "maxDeafMs", "must not be negative (0 turns the bound off)");
    if (!o.diskDirectory.empty() && o.diskDirectory.front() != '/')
        Refuse(who, "diskDirectory", "must be an absolute path, not \"" + o.diskDirectory + "\"");
    if (!o.diskDirectory.empty() && o.diskBudgetMb == 0)
        Refuse(who, "diskBudgetMb", "must be positive");
    if (o.externalConcurrencyLimit && *o.externalConcurrencyLimit < 1)
        Refuse(who, "externalConcurrencyLimit", "must be at least 1");
    if (o.redisValuesExpireSec && *o.redisValuesExpireSec < 0)
        Refuse(who, "redisValuesExpireSec", "must not be negative");
    if (!o.metricsAddress.empty()) {
        const std::size_t colon = o.metricsAddress.rfind(':');
        const std::string port =
            colon == std::string::npos ? "" : o.metricsAddress.substr(colon + 1);
        if (colon == 0 || port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
            Refuse(who, "metricsAddress",
                   "must be \"host:port\" with a port from 0 to 65535, not \"" + o.metricsAddress +
                       "\"");
    }
}

RedisEndpointConfig Endpoint(const HostOptions& o) {
    RedisEndpointConfig config;
    if (!o.redisCluster.empty()) {
        config.mode = RedisMode::Cluster;
        config.clusterNodes = o.redisCluster;
        std::tie(config.host, config.port) =
            ParseAddress("Host", "redisCluster", o.redisCluster.front());
    } else {
        std::tie(config.host, config.port) = ParseAddress("Host", "redis", o.redis);
    }
    config.user = o.redisUser;
    config.password = o.redisPassword;
    config.database = o.redisDatabase;
    config.tls = o.redisTls;
    config.tlsCaFile = o.tlsCaFile;
    config.tlsCertFile = o.tlsCertFile;
    config.tlsKeyFile = o.tlsKeyFile;
    config.tlsServerName = o.tlsServerName;
    config.connectTimeout = o.connectTimeout;
    config.commandTimeout = o.commandTimeout;
    config.heartbeatInterval = o.heartbeatInterval;
    config.reconnectBackoffMax = o.reconnectBackoffMax;
    return config;
}

// Whether `configured` is another server than `mine` (what the process set up before).
bool OtherServer(const RedisEndpointConfig& configured, const RedisEndpointConfig& mine) {
    return configured.mode != mine.mode || configured.host != mine.host ||
           configured.port != mine.port || configured.clusterNodes != mine.clusterNodes ||
           configured.unixSocket != mine.unixSocket || configured.user != mine.user ||
           configured.database != mine.database || configured.tls != mine.tls;
}

int Severity(HostLogLevel level) {
    switch (level) {
        case HostLogLevel::Debug:
            return TLog::Debug;
        case HostLogLevel::Info:
            return TLog::Info;
        case HostLogLevel::Warn:
            return TLog::Warn;
        case HostLogLevel::Error:
            break;
    }
    return TLog::Error;
}

}  // namespace

class Host::Impl {
public:
    Impl(const HostOptions& given, bool madeByStart)
        : options(given), names(HostNames::Of(given.coherenceNamespace)), isDefault(madeByStart) {}

    // Constant after Create or Start.
    const HostOptions options;
    const HostNames names;
    const bool isDefault;  // made by Start, on the singletons
    // A created host's own (null for the default host, whose are the singletons'); declared
    // before the service so that the service goes first.
    std::shared_ptr<RedisConnectionPool> pool;
    std::unique_ptr<RedisSubscriptionManager> manager;
    std::shared_ptr<RedisPubsub> service;
    ExternalCachePtr disk;
    ExternalCachePtr redis;
    std::shared_ptr<ILoadLeases> leases;
    // Tag invalidations of the namespace (null with HostOptions::tags off); after the manager,
    // so that it goes first.
    std::shared_ptr<TagInvalidations> tags;

    // Set once by Stop; every cache of the host reads it (ReadThroughOptions::hostStopped).
    std::atomic<bool> stopped{false};
    std::mutex stopMutex;  // one Stop at a time

    // The metrics endpoint (null without metricsAddress), made before anything else so that a
    // refused address leaves nothing behind; its scrapes ask the service and the caches only
    // once `made` is set (the members above are then constant).
    std::unique_ptr<Metrics::MetricsHttpServer> metrics;
    std::atomic<bool> made{false};
    std::mutex trackedMutex;
    std::vector<std::function<bool()>> tracked;  // guarded by trackedMutex

    // What a scrape answers: the process's figures, this host's asked for first.
    std::string RenderMetrics();

    RedisSubscriptionManager* Manager() const {
        if (!redis) return nullptr;
        return manager ? manager.get() : &RedisSubscriptionManager::GetInstance();
    }
    bool WithRedis() const { return !options.redis.empty() || !options.redisCluster.empty(); }
};

namespace {

// The process's OpenMetrics sink, put in front of the sink the process had (every record passes
// on to it) by the first host that serves metrics; it stays until the process ends.
std::shared_ptr<Metrics::OpenMetricsSink> ProcessMetricsSink() {
    static std::mutex mutex;
    static std::shared_ptr<Metrics::OpenMetricsSink> sink;
    std::lock_guard<std::mutex> lock(mutex);
    if (!sink) {
        sink = std::make_shared<Metrics::OpenMetricsSink>(Metrics::SetSink(nullptr));
        Metrics::SetSink(sink);
    }
    return sink;
}

// Listens on the host's metrics address, naming the field when it cannot.
void ServeMetrics(const char* who, Host::Impl& impl) {
    if (impl.options.metricsAddress.empty()) return;
    ProcessMetricsSink();  // records add up from now on
    try {
        impl.metrics = std::make_unique<Metrics::MetricsHttpServer>(
            impl.options.metricsAddress, [&impl] { return impl.RenderMetrics(); });
    } catch (const std::exception& e) {
        Refuse(who, "metricsAddress", "cannot be served: " + std::string(e.what()));
    }
}

}  // namespace

std::string Host::Impl::RenderMetrics() {
    const std::shared_ptr<Metrics::OpenMetricsSink> sink = ProcessMetricsSink();
    if (made.load(std::memory_order_acquire)) {
        if (service) service->GetHealth();
        if (tags) tags->GetCounters();
        // Each report sends a cache's figures; a cache that is gone leaves the list.
        std::lock_guard<std::mutex> lock(trackedMutex);
        std::erase_if(tracked, [](const std::function<bool()>& report) { return !report(); });
    }
    return sink->Render();
}

namespace {

std::mutex s_startMutex;
Host* s_host = nullptr;  // guarded by s_startMutex until set; never freed

// Refuses a process-wide field that is set and disagrees with the process (Create sets none).
void CheckProcessWide(const HostOptions& o) {
    const char* who = "Host::Create";
    const auto disagree = [who](const char* field, const std::string& mine,
                                const std::string& process, const char* option) {
        Refuse(who, field,
               "is " + mine + " but the process has " + process + " (" + option +
                   "): Host::Create sets no process-wide option; leave the field unset or set "
                   "the option once for the process");
    };
    namespace opt = appoptions;
    if (o.cascadeInvalidation && *o.cascadeInvalidation != opt::SyncCaches())
        disagree("cascadeInvalidation", *o.cascadeInvalidation ? "true" : "false",
                 opt::SyncCaches() ? "true" : "false", "SyncCaches");
    if (o.externalConcurrencyLimit &&
        *o.externalConcurrencyLimit != opt::ExternalCacheConcurrencyLimit())
        disagree("externalConcurrencyLimit", std::to_string(*o.externalConcurrencyLimit),
                 std::to_string(opt::ExternalCacheConcurrencyLimit()),
                 "ExternalCacheConcurrencyLimit");
    const int expiry =
        opt::ExternalCacheRedisAlwaysSetEx() ? opt::ExternalCacheRedisAlwaysSetExSec() : 0;
    if (o.redisValuesExpireSec && *o.redisValuesExpireSec != expiry)
        disagree("redisValuesExpireSec", std::to_string(*o.redisValuesExpireSec),
                 std::to_string(expiry), "ExternalCacheRedisAlwaysSetEx and ...Sec");
}

// Raises (or, with startDegraded, logs at Error and returns the cause) when the host's server
// cannot be reached; "" when it answers. Asked before anything is set, so that a host that fails
// here leaves nothing behind.
std::string Probe(const char* who, const HostOptions& options,
                  const RedisEndpointConfig& endpoint) {
    std::string cause = ProbeRedis(endpoint);
    if (cause.empty()) return cause;
    const std::string text = std::string(who) + ": cannot reach Redis at " +
                             DescribeRedisEndpoint(endpoint) + ": " + cause;
    if (!options.startDegraded) throw VelmoraException(text);
    TLog::LogMessage(TLog::Error,
                     TString::fromStdString(text + "; starting degraded (read-through caches "
                                                   "load from the source until it answers)"));
    return cause;
}

// The process's log sink and stderr level, as given; `fallback` (when set) for an unset level.
void ApplyLogging(const HostOptions& options, std::optional<HostLogLevel> fallback) {
    if (options.logSink) TLog::SetSink(options.logSink);
    const std::optional<HostLogLevel> level = options.stderrLevel ? options.stderrLevel : fallback;
    if (level) TLog::SetStderrLevel(Severity(*level));
}

// Makes the service of `impl` on `manager` and, when the server answered the probe (`probed`
// is ""), waits (at most subscribeWait) for its subscription; a wait that ends unconfirmed is
// said at Warn. A degraded start neither probes again nor waits for a server that did not answer.
void StartService(const char* who, Host::Impl& impl, RedisSubscriptionManager& manager,
                  const RedisEndpointConfig& endpoint, const std::string& probed) {
    const bool reachable = probed.empty();
    const HostOptions& options = impl.options;
    const TString ns = TString::fromStdString(options.coherenceNamespace);
    RedisPubsub::Settings settings;
    settings.maxDeafMs = options.maxDeafMs;
    settings.startDegraded = options.startDegraded;
    settings.probed = probed;
    // Raises with host:port and the cause when the server cannot be reached.
    impl.service = RedisPubsub::Create(ns, manager, settings);
    if (reachable && !manager.WaitUntilSubscribed(ns + TString("*"), options.subscribeWait))
        TLog::LogMessage(TLog::Warn, TString::fromStdString(
                                         std::string(who) + ": the subscription to Redis at " +
                                         DescribeRedisEndpoint(endpoint) +
                                         " is not confirmed yet; read-through caches "
                                         "load from the source until it is"));
}

// Refuses a Start whose settings differ from singletons the process set up before.
void CheckSingletons(const HostOptions& options, const RedisEndpointConfig* endpoint) {
    if (endpoint && OtherServer(GetRedisConfiguration(), RedisEndpointConfig()) &&
        OtherServer(GetRedisConfiguration(), *endpoint))
        throw VelmoraException("Host::Start: this process configured Redis at " +
                               DescribeRedisEndpoint(GetRedisConfiguration()) +
                               " already; HostOptions::redis names " +
                               DescribeRedisEndpoint(*endpoint));
    const std::string dirNow = AppConfig::GetInstance().GetExternalCacheDir().toStdString();
    if (!options.diskDirectory.empty() && !dirNow.empty() && dirNow != options.diskDirectory)
        throw VelmoraException("Host::Start: this process set its external-cache directory to " +
                               dirNow + " already; HostOptions::diskDirectory names " +
                               options.diskDirectory);
}

// Start's process-wide settings, each a field or the value Start has always used.
void SetProcessWide(const HostOptions& options) {
    namespace opt = appoptions;
    const int expiry = options.redisValuesExpireSec.value_or(0);
    opt::Set("SyncCaches", options.cascadeInvalidation.value_or(true));
    opt::Set("CacheSynchronizationMaxDeafMs", options.maxDeafMs);
    opt::Set("CacheSynchronizationStartDegraded", options.startDegraded);
    opt::Set("ExternalCacheConcurrencyLimit", options.externalConcurrencyLimit.value_or(16));
    opt::Set("ExternalCacheRedisAlwaysSetEx", expiry > 0);
    if (expiry > 0) opt::Set("ExternalCacheRedisAlwaysSetExSec", expiry);
    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    if (options.cascadeInvalidation.value_or(true) && holder.GetInvalidators().empty())
        holder.Initialize(
            {CascadeInvalidatorAggregator::TryGetSingleton(), nullptr, nullptr, nullptr});
}

// The default host's layers, through the factory it initialises: it routes the host's
// namespaces by their last part.
void MakeFactoryLayers(Host::Impl& impl, bool withRedis) {
    const HostOptions& options = impl.options;
    if (!options.diskDirectory.empty()) {
        AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(options.diskDirectory));
        AppConfig::GetInstance().SetExternalCacheEnabled(true);
    }
    const auto desktop = ExternalCacheFactory::MakeDefaultCacheForDesktop();
    const TString redisNs = TString::fromStdString(impl.names.redis);
    ExternalCacheFactory::Initialize(
        ExternalCacheFactory::FactoryFunc([desktop, redisNs](TString ns, unsigned long long sizeMb,
                                                             unsigned int n) -> ExternalCachePtr {
            if (ns == redisNs) return std::make_shared<RedisExternalCache>(ns);
            return desktop(ns, sizeMb, n);
        }));
    if (!options.diskDirectory.empty())
        impl.disk = ExternalCacheFactory::MakeCache(TString::fromStdString(impl.names.disk),
                                                    options.diskBudgetMb, 0);
    if (withRedis) {
        impl.redis = ExternalCacheFactory::MakeCache(redisNs, 0, 0);
        impl.leases = std::make_shared<RedisLoadLeases>(RedisConnectionPool::GetSharedInstance(),
                                                        impl.names.leasePrefix);
    }
}

// The tag invalidations of the host's namespace: across the processes of its server when it has
// `manager`, else in this process. A degraded start (`probed` names why the server did not
// answer) does not wait for the subscription: tagged values are refused until it is confirmed.
void MakeTags(Host::Impl& impl, RedisSubscriptionManager* manager, const std::string& probed = "") {
    if (!impl.options.tags) return;
    TagInvalidationsOptions options;
    options.channel = impl.names.tagChannel;
    options.streamKey = impl.names.tagStream;
    options.maxRemembered = impl.options.maxRememberedTags;
    if (impl.service) options.horizonSec = impl.service->ValueLifetimeSec();
    options.subscribeWaitMs =
        probed.empty() ? static_cast<unsigned int>(impl.options.subscribeWait.count()) : 0;
    impl.tags = manager ? TagInvalidations::OverRedis(*manager, options)
                        : TagInvalidations::InProcess(options);
}

// A created host's layers, built directly on parts of its own.
void MakeOwnLayers(Host::Impl& impl, const RedisEndpointConfig* endpoint) {
    const HostOptions& options = impl.options;
    if (!options.diskDirectory.empty()) {
        auto sweeper = std::make_shared<FolderSweeper>(std::uint64_t(options.diskBudgetMb) << 20,
                                                       FolderSweepOrder::LeastRecentlyWrittenFirst,
                                                       0, kSweepRescanInterval);
        const TString ns = TString::fromStdString(impl.names.disk);
        impl.disk = std::make_shared<DiskExternalCache>(
            ns,
            TPath(TString::fromStdString(options.diskDirectory))
                .Append(TString("ExternalCacheV1"))
                .Append(DiskExternalCache::NamespaceDirectoryName(ns)),
            std::move(sweeper));
    }
    if (endpoint) {
        impl.pool = std::make_shared<RedisConnectionPool>(*endpoint);
        impl.redis = std::make_shared<RedisExternalCache>(TString::fromStdString(impl.names.redis),
                                                          impl.pool);
        impl.leases = std::make_shared<RedisLoadLeases>(impl.pool, impl.names.leasePrefix);
    }
}

}  // namespace

Host::Host(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Host::~Host() {
    try {
        Stop(kDefaultStopDeadline);
    } catch (...) {
        try {
            TLog::LogCurrentException(TLog::Warn, "Exception caught while stopping a host.");
        } catch (...) {
        }
    }
}

std::unique_ptr<Host> Host::Create(const HostOptions& options) {
    Validate("Host::Create", options);
    CheckProcessWide(options);
    auto impl = std::make_shared<Impl>(options, false);
    ServeMetrics("Host::Create", *impl);
    const std::optional<RedisEndpointConfig> endpoint =
        impl->WithRedis() ? std::optional<RedisEndpointConfig>(Endpoint(options)) : std::nullopt;
    const std::string probed = endpoint ? Probe("Host::Create", options, *endpoint) : "";
    ApplyLogging(options, std::nullopt);
    MakeOwnLayers(*impl, endpoint ? &*endpoint : nullptr);
    if (!endpoint) MakeTags(*impl, nullptr);
    if (endpoint) {
        impl->manager = std::make_unique<RedisSubscriptionManager>(*endpoint);
        try {
            StartService("Host::Create", *impl, *impl->manager, *endpoint, probed);
            MakeTags(*impl, impl->manager.get(), probed);
        } catch (...) {
            impl->manager->Stop();
            impl->pool->Close();
            throw;
        }
    }
    impl->made.store(true, std::memory_order_release);
    return std::unique_ptr<Host>(new Host(std::move(impl)));
}

Host& Host::Start(const HostOptions& options) {
    std::lock_guard<std::mutex> lock(s_startMutex);
    if (s_host) throw VelmoraException("Host::Start: a host was started in this process already");
    Validate("Host::Start", options);
    auto impl = std::make_shared<Impl>(options, true);
    const std::optional<RedisEndpointConfig> endpoint =
        impl->WithRedis() ? std::optional<RedisEndpointConfig>(Endpoint(options)) : std::nullopt;
    CheckSingletons(options, endpoint ? &*endpoint : nullptr);
    ServeMetrics("Host::Start", *impl);
    const std::string probed = endpoint ? Probe("Host::Start", options, *endpoint) : "";

    ApplyLogging(options, HostLogLevel::Warn);
    SetProcessWide(options);
    if (endpoint) ConfigureRedis(*endpoint);
    MakeFactoryLayers(*impl, endpoint.has_value());
    if (endpoint)
        StartService("Host::Start", *impl, RedisSubscriptionManager::GetInstance(), *endpoint,
                     probed);
    MakeTags(*impl, endpoint ? &RedisSubscriptionManager::GetInstance() : nullptr, probed);
    impl->made.store(true, std::memory_order_release);
    s_host = new Host(std::move(impl));
    return *s_host;
}

Host& Host::Get() {
    std::lock_guard<std::mutex> lock(s_startMutex);
    if (!s_host) throw VelmoraException("Host::Get: Host::Start has not been called");
    return *s_host;
}

void Host::Stop(std::chrono::milliseconds deadline) {
    Impl& h = *m_impl;
    std::lock_guard<std::mutex> lock(h.stopMutex);
    if (h.stopped.exchange(true, std::memory_order_acq_rel)) return;
    TElapsedTimer timer;
    if (h.metrics) h.metrics->Stop();
    RedisPubsub::StopFigures figures;
    if (h.tags) h.tags->Stop(deadline);
    // The subscription winds down while the retry queue goes out.
    if (h.manager) h.manager->StopDelivery();
    if (h.service) figures = h.service->Stop(deadline);
    if (h.manager) h.manager->Stop();
    if (h.pool) h.pool->Close();
    const std::string who = "Host \"" + h.options.coherenceNamespace + "\"";
    std::string text = who + ": stopped in " + std::to_string(timer.ElapsedMs()) + " ms";
    if (h.service)
        text += "; " + std::to_string(figures.published) + " queued announcements published, " +
                std::to_string(figures.dropped) + " dropped at the deadline of " +
                std::to_string(deadline.count()) + " ms";
    if (figures.dropped > 0)
        text +=
            " (other processes of the namespace may serve older values of those keys until "
            "their lifetime ends)";
    TLog::LogMessage(figures.dropped > 0 ? TLog::Warn : TLog::Info, TString::fromStdString(text));
    if (h.isDefault)
        TLog::LogMessage(TLog::Info,
                         TString::fromStdString(
                             who + ": the singletons Host::Start set up stay until the process "
                                   "ends (the options, AppConfig, the external-cache factory, the "
                                   "Redis endpoint with its connection pool and subscription "
                                   "manager, the cascade invalidators)"));
}

bool Host::Stopped() const {
    return m_impl->stopped.load(std::memory_order_acquire);
}

ReadThroughOptions Host::CacheOptions(const std::string& name,
                                      const HostCacheOptions& options) const {
    if (Stopped())
        throw VelmoraException("Host::ReadThrough: \"" + name + "\": the host was stopped");
    if (name.empty()) throw VelmoraException("Host::ReadThrough: a cache needs a name");
    const auto refuse = [&name](const char* field, const char* rule) {
        throw VelmoraException(std::string("Host::ReadThrough: HostCacheOptions::") + field +
                               " of \"" + name + "\" " + rule);
    };
    if (options.memoryEntries < 0) refuse("memoryEntries", "must not be negative");
    if (!(options.auditSampleRate >= 0 && options.auditSampleRate <= 1))
        refuse("auditSampleRate", "must be between 0 and 1");
    if (!(options.eagerRefreshFraction >= 0 && options.eagerRefreshFraction < 1))
        refuse("eagerRefreshFraction", "must be at least 0 and below 1");
    if (options.failSafeMaxAgeSec <= 0) refuse("failSafeMaxAgeSec", "must be positive");
    for (const std::string& key : options.signingKeys)
        if (key.empty()) refuse("signingKeys", "must not hold an empty key");
    ReadThroughOptions o;
    o.name = name;
    o.memoryEntries = options.memoryEntries;
    o.memoryBytes = options.memoryBytes;
    if (options.disk && m_impl->disk) o.layers.push_back(m_impl->disk);
    if (options.redis && m_impl->redis) o.layers.push_back(m_impl->redis);
    if (options.leases) {
        if (!options.redis || !m_impl->redis)
            throw VelmoraException("Host::ReadThrough: HostCacheOptions::leases of \"" + name +
                                   "\" needs the Redis layer");
        o.leases = m_impl->leases;
    }
    o.tags = m_impl->tags;
    o.useTags = m_impl->options.tags;
    o.maxTagsPerEntry = options.maxTagsPerEntry;
    // A Clear reaches this cache in every process of the host's server and namespace.
    o.clearChannel = m_impl->Manager();
    o.clearChannelPrefix = m_impl->names.clearPrefix;
    o.failSafe = options.failSafe;
    o.softTimeoutMs = options.softTimeoutMs;
    o.hardTimeoutMs = options.hardTimeoutMs;
    o.failSafeMaxAgeSec = options.failSafeMaxAgeSec;
    o.failSafeAfterChange = options.failSafeAfterChange;
    o.eagerRefreshFraction = options.eagerRefreshFraction;
    o.valueLifetimeSec = std::max<long long>(1, options.lifetime.count());
    o.externalWaitMs = options.externalWaitMs;
    o.loadWaitMs = options.loadWaitMs;
    o.leaseMs = options.leaseMs;
    o.signingKeys = options.signingKeys;
    o.audit = options.audit;
    o.auditSampleRate = options.auditSampleRate;
    o.auditMaxReloadsPerSec = options.auditMaxReloadsPerSec;
    o.auditWindowMs = options.auditWindowMs;
    o.startDegraded = m_impl->options.startDegraded;
    // Shares the host's parts: they live as long as the cache.
    o.hostStopped = std::shared_ptr<const std::atomic<bool>>(m_impl, &m_impl->stopped);
    return o;
}

void Host::InvalidateTag(const std::string& tag) {
    if (Stopped())
        throw VelmoraException("Host::InvalidateTag: \"" + tag + "\": the host was stopped");
    if (!m_impl->tags)
        throw VelmoraException("Host::InvalidateTag: tags are off (HostOptions::tags)");
    m_impl->tags->Invalidate(tag);
}

void Host::InvalidateTags(const std::vector<std::string>& tags) {
    if (Stopped()) throw VelmoraException("Host::InvalidateTags: the host was stopped");
    if (!m_impl->tags)
        throw VelmoraException("Host::InvalidateTags: tags are off (HostOptions::tags)");
    m_impl->tags->Invalidate(tags);
}

std::shared_ptr<TagInvalidations> Host::Tags() const {
    return m_impl->tags;
}

std::shared_ptr<RedisPubsub> Host::Service() const {
    // Shares the host's parts, so that the service never outlives the manager it uses.
    if (!m_impl->service) return nullptr;
    return std::shared_ptr<RedisPubsub>(m_impl, m_impl->service.get());
}

ExternalCachePtr Host::DiskLayer() const {
    return m_impl->disk;
}

ExternalCachePtr Host::RedisLayer() const {
    return m_impl->redis;
}

const HostOptions& Host::Options() const {
    return m_impl->options;
}

std::string Host::MetricsAddress() const {
    return m_impl->metrics ? m_impl->metrics->Address() : std::string();
}

void Host::TrackFigures(std::function<bool()> report) const {
    if (!m_impl->metrics) return;
    std::lock_guard<std::mutex> lock(m_impl->trackedMutex);
    m_impl->tracked.push_back(std::move(report));
}

}  // namespace velmora::caching
