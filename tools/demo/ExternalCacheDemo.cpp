// Chapter: external caches. A disk cache in a temporary directory stores, loads and drops a
// value and refuses one that was too cheap to produce, each operation writing its one log line;
// the same on a Redis cache when a redis-server can be started; then the attribute-map rule
// writes the calling thread's identity into a result's attributes.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "Demos.h"
#include "caching/CacheInvariants.h"
#include "caching/DiskExternalCache.h"
#include "caching/ExternalCacheFactory.h"
#include "caching/RedisExternalCache.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velcore/SessionActorInfo.h"
#include "velcoredata/FeatureFlags.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisConnectionPool.h"

using namespace velmora::caching;
namespace fs = std::filesystem;

namespace {

// Prints the external-cache lines (and warnings) as they are written.
class PrintingSink : public ILogSink {
public:
    bool Accepts(int severity, int) const override { return severity >= TLog::Info; }
    void Write(const LogRecord& record) override {
        const std::string message = record.message.toStdString();
        if (message.rfind("ec-", 0) != 0 && record.severity < TLog::Warn) return;
        std::vector<std::string> pairs;
        for (const auto& [key, value] : record.attributes)
            pairs.push_back(key.toStdString() + "=" + value.toStdString());
        std::sort(pairs.begin(), pairs.end());
        std::string line;
        for (const auto& pair : pairs) line += " " + pair;
        std::printf("    log: %s%s\n", message.c_str(), line.c_str());
    }
};

ExternalBytesPtr Bytes(const std::string& text) {
    return std::make_shared<ExternalBytes>(text.begin(), text.end());
}
std::string Text(const ExternalBytesPtr& bytes) {
    return bytes ? "\"" + std::string(bytes->begin(), bytes->end()) + "\"" : "(nothing)";
}

void Exercise(const ExternalCache<TString, ExternalBytes>& cache) {
    std::printf("  TryStore(\"report:42\", 11 bytes, produced in 250 ms) -> %s\n",
                cache.TryStore(TString("report:42"), Bytes("hello world"), 250, 3600).Get()
                    ? "true"
                    : "false");
    std::printf("  TryLoad(\"report:42\") -> %s\n",
                Text(cache.TryLoad(TString("report:42")).Get()).c_str());
    std::printf(
        "  TryStore(\"cheap\", produced in 2 ms) -> %s (below the 50 ms lower bound: not kept)\n",
        cache.TryStore(TString("cheap"), Bytes("x"), 2, -1).Get() ? "true" : "false");
    std::printf("  TryLoad(\"cheap\") -> %s\n",
                Text(cache.TryLoad(TString("cheap")).Get()).c_str());
    std::printf("  TryDrop(\"report:42\") -> %s\n",
                cache.TryDrop(TString("report:42")).Get() ? "true" : "false");
    std::printf("  TryLoad(\"report:42\") -> %s\n",
                Text(cache.TryLoad(TString("report:42")).Get()).c_str());
}

// A private redis-server on a free loopback port; Port() is 0 when none could be started.
class DemoRedis {
public:
    DemoRedis() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                           getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        close(fd);
        if (!bound) return;
        const std::string port = std::to_string(ntohs(address.sin_port));
        m_pid = fork();
        if (m_pid == 0) {
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
            execlp("redis-server", "redis-server", "--port", port.c_str(), "--bind", "127.0.0.1",
                   "--save", "", "--appendonly", "no", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && m_pid > 0; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {  // exec failed: not installed
                m_pid = -1;
                return;
            }
            RedisEndpointConfig endpoint;
            endpoint.port = std::stoi(port);
            bool up = false;
            try {
                RedisConnection probe(endpoint);
                up = probe.Command({"PING"}).text == "PONG";
            } catch (const std::exception&) {
            }
            if (up) {
                m_port = std::stoi(port);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~DemoRedis() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

}  // namespace

void RunExternalCacheDemo() {
    std::printf("\n== External caches\n");
    const fs::path dir = fs::temp_directory_path() / ("velcache-demo-" + std::to_string(getpid()));
    AppConfig& config = AppConfig::GetInstance();
    config.SetExternalCacheEnabled(true);
    config.SetExternalCacheDir(TString::fromStdString(dir.string()));
    velmora::appoptions::ScopedOverride lowerBound("ExternalCacheLowerBoundLatencyMs", 50);
    auto previousSink = TLog::SetSink(std::make_shared<PrintingSink>());

    {
        const auto cache =
            ExternalCacheFactory::MakeCache(ExternalCacheFactory::MapTilesCacheNamespace, 64, 0);
        const auto* disk = dynamic_cast<const DiskExternalCache*>(cache.get());
        std::printf("Disk cache of namespace MapTiles under %s\n",
                    disk->GetCachePath().ToString().toStdString().c_str());
        Exercise(*disk);
    }

    DemoRedis redis;
    if (redis.Port() == 0) {
        std::printf("Redis cache: skipped (redis-server is not installed or did not start)\n");
    } else {
        RedisEndpointConfig endpoint;
        endpoint.port = redis.Port();
        auto pool = std::make_shared<RedisConnectionPool>(endpoint);
        RedisExternalCache cache(TString("PSC"), pool);
        std::printf(
            "Redis cache of namespace PSC on 127.0.0.1:%d (values under \"%s\")\n", redis.Port(),
            RedisExternalCache::MakePhysicalCacheKey(TString("PSC"), TString("report:42")).c_str());
        Exercise(cache);
    }

    // A server host turns enforcement on at start-up; the decision is made once per process.
    FeatureFlags::Set(kCacheInvariantEnforcementFlag, true);
    std::printf("Attribute-map rule on a thread working for site s-17, user u-3\n");
    {
        ScopedSessionActor actor(
            std::make_shared<SessionActorInfo>(TString("s-17"), TString("u-3")));
        AttributeMap attributes{{TString("query"), TString("sales by region")}};
        const auto result = EnforceCacheInvariantsWithUpsert(attributes, CacheScope::PerUser);
        std::printf("  EnforceCacheInvariantsWithUpsert(per user) -> %s\n",
                    ConstraintEnforcementResultToString(result).toStdString().c_str());
        std::vector<std::string> pairs;
        for (const auto& [key, value] : attributes)
            pairs.push_back(key.toStdString() + "=" + value.toStdString());
        std::sort(pairs.begin(), pairs.end());
        for (const auto& pair : pairs) std::printf("    %s\n", pair.c_str());
    }

    std::printf("Attribute-map rule on a thread bound to no identity\n");
    {
        AttributeMap attributes;
        const auto result = EnforceCacheInvariantsWithUpsert(attributes, CacheScope::PerSite);
        std::printf("  EnforceCacheInvariantsWithUpsert(per site) -> %s, %zu attributes written\n",
                    ConstraintEnforcementResultToString(result).toStdString().c_str(),
                    attributes.size());
    }

    TLog::SetSink(previousSink);
    config.SetExternalCacheEnabled(false);
    config.SetExternalCacheDir(TString());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
