// host/: the model of a real host using the library. DemoHost shows the start-up (one
// Host::Start, its options and log sink); ResultCache shows the read-through and derived caches
// over the database, with the loader and codec a host writes. Start reading here.

// DemoHost: what a worker or writer process does once at start-up to host the library, as a
// server process would: one Host::Start with the Redis endpoint, the disk directory the workers
// of this machine share, a silence bound within the freshness window, and a log sink that
// counts the external caches' outcomes; every other option at its default. It also carries the
// process's two channels to the parent: commands in on stdin ("go", "stop", "settle"), reports
// out on stdout.
// Safe for concurrent use after construction (one per process).
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "caching/ExternalCacheFactory.h"
#include "caching/RedisPubsub.h"
#include "harness/Stats.h"
#include "velsys/Locks.h"

namespace demo {

struct ChildConfig {
    std::string role;  // "worker" or "writer"
    int index = 0;
    std::string redisHost = "127.0.0.1";
    int redisPort = 6379;
    std::string redisCluster;  // when not empty, the nodes of a cluster used instead
    // When not empty, TLS: the directory of the run's certificates (velsupport's
    // TlsCertificates: ca.crt, client.crt, client.key).
    std::string redisTlsDir;
    std::string dbPath;
    std::string externalDir;
    std::string runId;
    std::uint64_t seed = 1;
    double updatesPerSecond = 5;  // of the writer
    int memoryEntries = 200;      // in a worker's memory cache, fewer than the base queries
    bool leases = true;           // one load per key across the workers
    bool failSafe = true;         // last good answers when the database fails or is slow
    bool deafHolds = true;        // answers loaded while Redis is unheard serve for a while
    bool frequencyPolicy = true;  // memory caches keep entries by FrequencyPolicy (else MRU)
    bool skipKnownFills = true;   // fills of the newest announced content are not announced
    bool audit = false;           // the base cache's auditor checks a sample of its answers
    std::string historyPath;      // when not empty, the run's history is appended there
    bool silentWriter = false;    // the writer commits changes and announces none (a fault)
    long long valueLifetimeSec = 600;
    // How the workers answer: "velcache" (the library's caches), or a set-up a comparison
    // measures them against ("database", "redis-ttl", "local-ttl"; Baselines.h), whose values
    // live for ttlMs and whose writer announces nothing.
    std::string setup = "velcache";
    long long ttlMs = 600000;
    // When not 0, worker i serves its metrics at 127.0.0.1:metricsPort+i (MetricsEndpoint.h).
    int metricsPort = 0;
};

class CountingLogSink;

class DemoHost {
public:
    // The namespace of the main job's coherence service: its channels, pattern and stream
    // ("{VelDemo.}announcements").
    static constexpr const char* kCoherenceNamespace = "VelDemo.";

    explicit DemoHost(const ChildConfig& config);
    ~DemoHost();
    DemoHost(const DemoHost&) = delete;
    DemoHost& operator=(const DemoHost&) = delete;

    const ChildConfig& Config() const { return m_config; }
    std::shared_ptr<velmora::caching::RedisPubsub> Service() const { return m_service; }
    const velmora::caching::ExternalCachePtr& Disk() const { return m_disk; }
    const velmora::caching::ExternalCachePtr& Redis() const { return m_redis; }

    // Sets the external-cache outcomes, warnings and the coherence service's figures so far.
    void AddHostCounts(Stats& stats) const;

    // Runs `listener` on the thread that reads the parent's commands, with each command as it
    // arrives (before Received sees it). Set it before the parent may send what it listens for.
    void SetCommandListener(std::function<void(const std::string&)> listener);

    // Writes "<kind> <stats>" to the parent.
    void Report(const std::string& kind, const Stats& stats) const;
    // Whether the parent has sent `command` (an end of input counts as every command).
    bool Received(const std::string& command) const;
    void WaitFor(const std::string& command) const;

private:
    void ReadCommands();

    ChildConfig m_config;
    std::shared_ptr<CountingLogSink> m_sink;
    std::shared_ptr<velmora::caching::RedisPubsub> m_service;
    velmora::caching::ExternalCachePtr m_disk;
    velmora::caching::ExternalCachePtr m_redis;

    mutable TMutex m_mutex;
    mutable std::condition_variable m_changed;
    std::set<std::string> m_commands GUARDED_BY(m_mutex);
    bool m_endOfInput GUARDED_BY(m_mutex) = false;
    std::function<void(const std::string&)> m_listener GUARDED_BY(m_mutex);
    std::thread m_reader;
};

}  // namespace demo
