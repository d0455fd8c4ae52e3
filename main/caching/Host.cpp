#include "caching/Host.h"

#include <atomic>
#include <mutex>

#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/ExternalCacheFactory.h"
#include "caching/LoadLeases.h"
#include "caching/RedisExternalCache.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisProbe.h"
#include "velredis/RedisSubscriptionManager.h"

namespace velmora::caching {

namespace {

// The external caches' namespaces and the leases' key prefix, the same in every host.
const char* const kDiskNamespace = "velcache.disk";
const char* const kRedisNamespace = "velcache.redis";
const char* const kLeasePrefix = "velcache:lease:";
// Read-through caches tell a clear of a whole cache on channels beginning so.
const char* const kClearChannels = "velcache.clear.";

[[noreturn]] void Refuse(const std::string& field, const std::string& why) {
    throw VelmoraException("Host::Start: HostOptions::" + field + " " + why);
}

bool IsPrefix(const std::string& a, const std::string& b) {
    return b.compare(0, a.size(), a) == 0;
}

// "host:port" as host and port; refuses anything else, naming `field`.
std::pair<std::string, int> ParseAddress(const std::string& field, const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        Refuse(field, "must be \"host:port\", not \"" + text + "\"");
    int port = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || port > 65535)
            Refuse(field,
                   "must be \"host:port\" with a port from 1 to 65535, not \"" + text + "\"");
        port = port * 10 + (text[i] - '0');
    }
    if (port < 1 || port > 65535)
        Refuse(field, "must be \"host:port\" with a port from 1 to 65535, not \"" + text + "\"");
    return {text.substr(0, colon), port};
}

void Validate(const HostOptions& o) {
    if (!o.redis.empty() && !o.redisCluster.empty())
        Refuse("redis", "and HostOptions::redisCluster are both set: name one server or a cluster");
    if (!o.redis.empty()) ParseAddress("redis", o.redis);
    for (const std::string& node : o.redisCluster) ParseAddress("redisCluster", node);
    if (o.redisDatabase < 0) Refuse("redisDatabase", "must not be negative");
    if (o.redisDatabase != 0 && !o.redisCluster.empty())
        Refuse("redisDatabase", "must be 0 on a cluster");
    if (o.tlsCertFile.empty() != o.tlsKeyFile.empty())
        Refuse(o.tlsCertFile.empty() ? "tlsCertFile" : "tlsKeyFile",
               "must be given with its pair (tlsCertFile and tlsKeyFile: both or neither)");
    if (!o.redisTls && !(o.tlsCaFile.empty() && o.tlsCertFile.empty() && o.tlsServerName.empty()))
        Refuse("redisTls", "is off while TLS files or a server name are given");
    if (o.connectTimeout.count() <= 0) Refuse("connectTimeout", "must be positive");
    if (o.commandTimeout.count() <= 0) Refuse("commandTimeout", "must be positive");
    if (o.heartbeatInterval.count() <= 0) Refuse("heartbeatInterval", "must be positive");
    if (o.reconnectBackoffMax.count() <= 0) Refuse("reconnectBackoffMax", "must be positive");
    const std::string& ns = o.coherenceNamespace;
    if (ns.empty()) Refuse("coherenceNamespace", "must not be empty");
    for (const std::string other : {"defaultns.", kClearChannels})
        if (IsPrefix(ns, other) || IsPrefix(other, ns))
            Refuse("coherenceNamespace", "\"" + ns + "\" and \"" + other +
                                             "\" must not begin one another (their channels "
                                             "would mix)");
    if (o.subscribeWait.count() <= 0) Refuse("subscribeWait", "must be positive");
    if (o.maxDeafMs < 0) Refuse("maxDeafMs", "must not be negative (0 turns the bound off)");
    if (!o.diskDirectory.empty() && o.diskDirectory.front() != '/')
        Refuse("diskDirectory", "must be an absolute path, not \"" + o.diskDirectory + "\"");
    if (!o.diskDirectory.empty() && o.diskBudgetMb == 0) Refuse("diskBudgetMb", "must be positive");
    if (o.externalConcurrencyLimit < 1) Refuse("externalConcurrencyLimit", "must be at least 1");
    if (o.redisValuesExpireSec < 0) Refuse("redisValuesExpireSec", "must not be negative");
}

RedisEndpointConfig Endpoint(const HostOptions& o) {
    RedisEndpointConfig config;
    if (!o.redisCluster.empty()) {
        config.mode = RedisMode::Cluster;
        config.clusterNodes = o.redisCluster;
        std::tie(config.host, config.port) = ParseAddress("redisCluster", o.redisCluster.front());
    } else {
        std::tie(config.host, config.port) = ParseAddress("redis", o.redis);
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
    explicit Impl(const HostOptions& given) : options(given) {}

    // Constant after Start.
    const HostOptions options;
    std::shared_ptr<RedisPubsub> service;
    ExternalCachePtr disk;
    ExternalCachePtr redis;
    std::shared_ptr<ILoadLeases> leases;
};

namespace {

std::mutex s_startMutex;
Host* s_host = nullptr;  // guarded by s_startMutex until set; never freed

}  // namespace

Host::Host(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Host::~Host() = default;

Host& Host::Start(const HostOptions& options) {
    std::lock_guard<std::mutex> lock(s_startMutex);
    if (s_host) throw VelmoraException("Host::Start: a host was started in this process already");
    Validate(options);
    const bool withRedis = !options.redis.empty() || !options.redisCluster.empty();
    // What the process set up before, with other settings, would be changed under its users.
    const RedisEndpointConfig endpoint = withRedis ? Endpoint(options) : RedisEndpointConfig();
    if (withRedis && OtherServer(GetRedisConfiguration(), RedisEndpointConfig()) &&
        OtherServer(GetRedisConfiguration(), endpoint))
        throw VelmoraException("Host::Start: this process configured Redis at " +
                               DescribeRedisEndpoint(GetRedisConfiguration()) +
                               " already; HostOptions::redis names " +
                               DescribeRedisEndpoint(endpoint));
    const std::string dirNow = AppConfig::GetInstance().GetExternalCacheDir().toStdString();
    if (!options.diskDirectory.empty() && !dirNow.empty() && dirNow != options.diskDirectory)
        throw VelmoraException("Host::Start: this process set its external-cache directory to " +
                               dirNow + " already; HostOptions::diskDirectory names " +
                               options.diskDirectory);

    // Asked before anything is set, so that a host that fails here may start again.
    if (withRedis) {
        const std::string cause = ProbeRedis(endpoint);
        if (!cause.empty()) {
            const std::string text = "Host::Start: cannot reach Redis at " +
                                     DescribeRedisEndpoint(endpoint) + ": " + cause;
            if (!options.startDegraded) throw VelmoraException(text);
            TLog::LogMessage(TLog::Error,
                             TString::fromStdString(text + "; starting degraded (read-through "
                                                           "caches load from the source until "
                                                           "it answers)"));
        }
    }

    auto impl = std::make_unique<Impl>(options);
    if (options.logSink) TLog::SetSink(options.logSink);
    TLog::SetStderrLevel(Severity(options.stderrLevel));
    namespace opt = appoptions;
    opt::Set("SyncCaches", options.cascadeInvalidation);
    opt::Set("CacheSynchronizationMaxDeafMs", options.maxDeafMs);
    opt::Set("CacheSynchronizationStartDegraded", options.startDegraded);
    opt::Set("ExternalCacheConcurrencyLimit", options.externalConcurrencyLimit);
    opt::Set("ExternalCacheRedisAlwaysSetEx", options.redisValuesExpireSec > 0);
    if (options.redisValuesExpireSec > 0)
        opt::Set("ExternalCacheRedisAlwaysSetExSec", options.redisValuesExpireSec);
    if (withRedis) ConfigureRedis(endpoint);

    // The factory routes the host's namespaces by their last part.
    if (!options.diskDirectory.empty()) {
        AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(options.diskDirectory));
        AppConfig::GetInstance().SetExternalCacheEnabled(true);
    }
    const auto desktop = ExternalCacheFactory::MakeDefaultCacheForDesktop();
    ExternalCacheFactory::Initialize(ExternalCacheFactory::FactoryFunc(
        [desktop](TString ns, unsigned long long sizeMb, unsigned int n) -> ExternalCachePtr {
            if (ns == TString(kRedisNamespace)) return std::make_shared<RedisExternalCache>(ns);
            return desktop(ns, sizeMb, n);
        }));
    if (!options.diskDirectory.empty())
        impl->disk = ExternalCacheFactory::MakeCache(kDiskNamespace, options.diskBudgetMb, 0);

    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    if (options.cascadeInvalidation && holder.GetInvalidators().empty())
        holder.Initialize(
            {CascadeInvalidatorAggregator::TryGetSingleton(), nullptr, nullptr, nullptr});

    if (withRedis) {
        impl->redis = ExternalCacheFactory::MakeCache(kRedisNamespace, 0, 0);
        impl->leases = std::make_shared<RedisLoadLeases>(RedisConnectionPool::GetSharedInstance(),
                                                         kLeasePrefix);
        // Raises with host:port and the cause when the server cannot be reached.
        const TString ns = TString::fromStdString(options.coherenceNamespace);
        impl->service = RedisPubsub::Create(ns);
        if (!RedisSubscriptionManager::GetInstance().WaitUntilSubscribed(ns + TString("*"),
                                                                         options.subscribeWait))
            TLog::LogMessage(TLog::Warn,
                             TString::fromStdString("Host::Start: the subscription to Redis at " +
                                                    DescribeRedisEndpoint(endpoint) +
                                                    " is not confirmed yet; read-through caches "
                                                    "load from the source until it is"));
    }
    s_host = new Host(std::move(impl));
    return *s_host;
}

Host& Host::Get() {
    std::lock_guard<std::mutex> lock(s_startMutex);
    if (!s_host) throw VelmoraException("Host::Get: Host::Start has not been called");
    return *s_host;
}

ReadThroughOptions Host::CacheOptions(const std::string& name,
                                      const HostCacheOptions& options) const {
    if (name.empty()) throw VelmoraException("Host::ReadThrough: a cache needs a name");
    if (options.memoryEntries < 0)
        throw VelmoraException("Host::ReadThrough: HostCacheOptions::memoryEntries of \"" + name +
                               "\" must not be negative");
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
    // A Clear reaches this cache in every process of the host's server.
    if (m_impl->redis) o.clearChannel = &RedisSubscriptionManager::GetInstance();
    o.failSafe = options.failSafe;
    o.softTimeoutMs = options.softTimeoutMs;
    o.valueLifetimeSec = std::max<long long>(1, options.lifetime.count());
    return o;
}

std::shared_ptr<RedisPubsub> Host::Service() const {
    return m_impl->service;
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

}  // namespace velmora::caching
