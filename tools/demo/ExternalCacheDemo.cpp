// Chapter: external caches. A disk cache in a temporary directory stores, loads and drops a
// value and refuses one that was too cheap to produce, each operation writing its one log line;
// the same on a Redis cache when a redis-server can be started; then the attribute-map rule
// writes the calling thread's identity into a result's attributes.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

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
#include "velsupport/RedisServer.h"

using velmora::ILogSink;
using velmora::LogRecord;
using velmora::ScopedSessionActor;

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

// The tenant-isolation rule on a thread bound to an identity, then on one bound to none.
void ShowAttributeRule() {
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
}

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

    velsupport::RedisServer redis;
    if (const std::string error = redis.Start(); !error.empty()) {
        std::printf("Redis cache: skipped (%s)\n", error.c_str());
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

    ShowAttributeRule();

    TLog::SetSink(previousSink);
    config.SetExternalCacheEnabled(false);
    config.SetExternalCacheDir(TString());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
