// host/: the model of a real host using the library. DemoHost shows the start-up (one
// Host::Start, its options and log sink); ResultCache shows the read-through and derived caches
// over the database, with the loader and codec a host writes. Start reading here.

// DemoHost: what a worker or writer process does once at start-up to host the library, as a
// server process would: one Host::Start with the Redis endpoint, the disk directory the workers
// of this machine share, a silence bound within the freshness window, and a log sink that
// counts the external caches' outcomes; every other option at its default.
// Safe for concurrent use after construction (one per process).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "caching/CacheTags.h"
#include "caching/ExternalCacheFactory.h"
#include "caching/RedisPubsub.h"

namespace demo {

// Where the host finds Redis and its disk cache.
struct HostConfig {
    std::string redisHost = "127.0.0.1";
    int redisPort = 6379;
    std::string redisCluster;  // when not empty, the nodes of a cluster used instead
    // When not empty, TLS: the directory of the run's certificates (velsupport's
    // TlsCertificates: ca.crt, client.crt, client.key).
    std::string redisTlsDir;
    std::string externalDir;
};

class CountingLogSink;

// What `service` knows of its server now, for a finding: "coherence hears|deaf (last heard N ms
// before)". Lock-free.
std::string DescribeHearing(const velmora::caching::RedisPubsub& service);

class DemoHost {
public:
    // The namespace of the main job's coherence service: its channels, pattern and stream
    // ("{VelDemo.}announcements").
    static constexpr const char* kCoherenceNamespace = "VelDemo.";

    explicit DemoHost(const HostConfig& config);
    ~DemoHost();
    DemoHost(const DemoHost&) = delete;
    DemoHost& operator=(const DemoHost&) = delete;

    std::shared_ptr<velmora::caching::RedisPubsub> Service() const { return m_service; }
    const velmora::caching::ExternalCachePtr& Disk() const { return m_disk; }
    const velmora::caching::ExternalCachePtr& Redis() const { return m_redis; }
    // The host's tag invalidations (Host::Tags), shared by the caches of its namespace.
    std::shared_ptr<velmora::caching::TagInvalidations> Tags() const { return m_tags; }

    // The log lines counted so far: "ec.<operation>.<disk|redis>.<outcome>" for the external
    // caches' outcomes, and "log.warnings" for every line at Warn or above.
    std::map<std::string, std::int64_t> LogCounts() const;

private:
    std::shared_ptr<CountingLogSink> m_sink;
    std::shared_ptr<velmora::caching::RedisPubsub> m_service;
    velmora::caching::ExternalCachePtr m_disk;
    velmora::caching::ExternalCachePtr m_redis;
    std::shared_ptr<velmora::caching::TagInvalidations> m_tags;
};

}  // namespace demo
