// Options: the command line of the demo host.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "harness/ChildConfig.h"

namespace demo {

struct Options {
    bool help = false;
    bool tour = false;
    bool json = false;
    bool chaos = false;
    int processes = 3;
    double durationSec = 20;
    std::string redis;         // HOST:PORT; empty: start a private server (or use the cluster)
    std::string redisCluster;  // HOST:PORT[,HOST:PORT...]: a cluster through these nodes
    bool redisTls = false;     // the private server speaks TLS only, with certificates of the run
    std::string db;            // empty: a temporary file
    // "sqlite" (a file, the default) or "postgres" (a private PostgreSQL cluster, whose commit
    // log a follower process announces: the writer then announces nothing).
    std::string database = "sqlite";
    // With --database postgres: the follower process runs (off: a control that must fail).
    bool follower = true;
    std::uint64_t seed = 42;
    int salesRows = 200000;
    int memoryEntries = 200;  // of each worker's memory layer
    bool leases = true;
    bool failSafe = true;
    // While Redis is unheard, an answer loaded meanwhile serves for the silence bound.
    bool deafHolds = true;
    // The workers' memory caches evict by the batched MRU policy instead of FrequencyPolicy.
    bool mruMemory = false;
    // Every fill is announced, also one whose content was the last announcement of its key.
    bool publishEveryFill = false;
    // The workers' base caches check a sample of their answers against the database (the
    // library's auditor); its verdict is the run's.
    bool audit = true;
    // A fault: the writer changes the database and announces nothing.
    bool silentWriter = false;
    bool announceKeys = false;
    // When not empty, a FIFO the parent reads fault commands from while the workload runs.
    std::string control;
    // How long stored answers live; 0: the default (600 s, or 4 s with --chaos).
    long long valueLifetimeSec = 0;
    long long ValueLifetimeSec() const {
        return valueLifetimeSec ? valueLifetimeSec : chaos ? 4 : 600;
    }
    // Runs the workload once per set-up (the database alone, a Redis cache-aside and an
    // in-process cache whose values live for compareTtlSec, then the library's caches), and
    // prints them side by side.
    bool compare = false;
    // 0: the stored answers' lifetime (ValueLifetimeSec).
    long long compareTtlSec = 0;
    long long CompareTtlSec() const { return compareTtlSec ? compareTtlSec : ValueLifetimeSec(); }
    // When not empty, where to write the HTML report of the run.
    std::string report;
    // When not empty, where to write the run's history of reads and writes (velcache audit).
    std::string history;
    // glibc's malloc arenas per process (MALLOC_ARENA_MAX); 0: the allocator's own choice (8
    // per core). Two hold the least resident memory in an hour's soak (docs/operating.md).
    int mallocArenas = 2;
    // Every so many seconds each process of the run hands its allocator's free pages back to
    // the system (glibc's malloc_trim); 0: never. Without it, resident memory climbs by the
    // steps of the bursts a run's faults cause (docs/operating.md).
    int mallocTrimSec = 60;
    // When not 0, worker i serves its metrics at http://127.0.0.1:<metricsPort + i>/metrics.
    int metricsPort = 0;
    // Set in the processes the parent starts.
    std::optional<ChildConfig> child;
};

// Parses argv; on a mistake returns nothing and writes `error`.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);
const char* Usage();

}  // namespace demo
