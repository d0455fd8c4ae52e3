// ChildConfig: what the parent tells a worker or writer process on its command line (the child
// flags of Options.cpp), and the part of it its host is started with.
#pragma once

#include <cstdint>
#include <string>

#include "host/DemoHost.h"

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
    bool announceKeys = false;    // the writer announces the affected queries, not row tags
    long long valueLifetimeSec = 600;
    // How the workers answer: "velcache" (the library's caches), or a set-up a comparison
    // measures them against ("database", "redis-ttl", "local-ttl"; Baselines.h), whose values
    // live for ttlMs and whose writer announces nothing.
    std::string setup = "velcache";
    long long ttlMs = 600000;
    // When not 0, worker i serves its metrics at 127.0.0.1:metricsPort+i (MetricsEndpoint.h).
    int metricsPort = 0;
};

inline HostConfig HostConfigOf(const ChildConfig& config) {
    HostConfig host;
    host.redisHost = config.redisHost;
    host.redisPort = config.redisPort;
    host.redisCluster = config.redisCluster;
    host.redisTlsDir = config.redisTlsDir;
    host.externalDir = config.externalDir;
    return host;
}

}  // namespace demo
