#include "Options.h"

#include <stdexcept>
#include <vector>

#include "velredis/RedisSlotMap.h"

namespace demo {

const char* Usage() {
    return "usage: velcache_demo [options]\n"
           "\n"
           "Runs the main job: worker processes answer a skewed stream of aggregate queries\n"
           "over an SQLite database through the in-memory cache, the disk and Redis external\n"
           "caches and the database, while a writer process changes rows and announces the new\n"
           "results through the coherence service. Prints live progress, then a summary.\n"
           "\n"
           "  --processes N      worker processes (default 3)\n"
           "  --duration S       seconds of workload (default 20; start-up and settling add ~5)\n"
           "  --redis HOST:PORT  use this Redis server (default: start a private redis-server\n"
           "                     on a free loopback port and stop it afterwards); the values\n"
           "                     the run stores there expire after 10 minutes\n"
           "  --redis-cluster HOST:PORT[,HOST:PORT...]\n"
           "                     use this Redis cluster instead, through any of its nodes\n"
           "  --redis-tls        the private redis-server listens on a TLS port only, with a\n"
           "                     certificate authority and certificates made for the run (by\n"
           "                     the openssl tool, in a private temporary directory); every\n"
           "                     process connects over TLS, verifying the server's certificate\n"
           "                     and presenting a client certificate\n"
           "  --db PATH          write the generated database here and keep it (default: a\n"
           "                     temporary file); a database an earlier run wrote there is\n"
           "                     replaced, any other file is left alone and the run refused\n"
           "                     (exit status 2)\n"
           "  --seed N           seed of the data and of the query streams (default 42)\n"
           "  --rows N           sales rows to generate (default 200000)\n"
           "  --memory-entries N answers each worker keeps in memory (default 200; 0: none,\n"
           "                     every answer comes from the disk cache, Redis or SQLite)\n"
           "  --no-leases        each worker loads a key that every cache missed itself (single\n"
           "                     flight within the process only); default: one worker loads it\n"
           "                     under a lease in Redis while the others wait for its value\n"
           "  --no-fail-safe     a failed load fails the answer; default: the last good answer\n"
           "                     of the key serves (marked stale) when the database fails, and at\n"
           "                     once when a load takes over 50 ms (it goes on in the "
           "background);\n"
           "                     never an answer whose key was announced as changed since\n"
           "  --mru-memory       the workers' memory caches evict the least recently used in\n"
           "                     batches (the former default) instead of by FrequencyPolicy\n"
           "  --no-deaf-holds    while the workers hear nothing from Redis, every query goes to\n"
           "                     the database; default: an answer loaded meanwhile serves for\n"
           "                     the silence bound (600 ms), nothing from before the silence\n"
           "  --value-lifetime S how long stored answers live (default 600; 4 with --chaos, so\n"
           "                     that answers run out during the database outage)\n"
           "  --no-audit         the workers' read-through caches do not run the library's\n"
           "                     auditor; default (--audit): they check a sample of their\n"
           "                     answers against the database (1 in 100, at most 20 re-loads\n"
           "                     a second, window 1 s), and an inconsistent answer fails the\n"
           "                     run as a stale one found by the main job's own checks does\n"
           "  --silent-writer    a fault: the writer commits its changes and announces none, as\n"
           "                     a writer that forgot to would (the caches keep old answers;\n"
           "                     --audit and --history show it)\n"
           "  --publish-every-fill\n"
           "                     announce every answer a worker fills; default: a fill whose\n"
           "                     content is already the newest announcement of its key is kept\n"
           "                     but not announced (the summary shows both counts)\n"
           "  --control FIFO     read fault commands from this FIFO while the workload runs,\n"
           "                     one a line: \"outage-begin\", \"outage-end\" (the workers'\n"
           "                     database unusable in between, as in --chaos); for scripts\n"
           "                     that fault a run from outside\n"
           "  --chaos            fault the run while it goes: kill the subscribers' Redis\n"
           "                     connections every 3 s; drop the 50 hottest base answers at once\n"
           "                     (a herd: database loads per key counted for 2 s); restart the\n"
           "                     Redis server once (a private server only); make the\n"
           "                     database unusable for 5 s (every worker's query waits up to\n"
           "                     1 s, then fails with \"database is locked\"; the writer\n"
           "                     commits nothing)\n"
           "  --compare          run the workload once per set-up, each for --duration on a newly\n"
           "                     generated database with the same seed, and print them side by "
           "side:\n"
           "                     the database alone, a Redis cache-aside and an in-process cache "
           "(of\n"
           "                     --memory-entries per worker) whose answers live for --ttl and "
           "that no\n"
           "                     change reaches, the same two with answers living for the "
           "one-second\n"
           "                     freshness window, then velcache; not with --chaos, "
           "--redis-cluster or\n"
           "                     --redis-tls\n"
           "  --ttl S            how long the comparison's cache-aside answers live (default: the\n"
           "                     stored answers' lifetime, --value-lifetime)\n"
           "  --report FILE      also write the run as one HTML page, self-contained (opens\n"
           "                     offline): the verdict; with --compare, the set-ups' answers\n"
           "                     per second and stale answers as a chart and a table; charts\n"
           "                     over time of the answers per second by layer, the hit ratio,\n"
           "                     p50/p99 latency, the coherence delivery lag and the freshness\n"
           "                     checks, the faults of --chaos marked; the summary's tables\n"
           "  --history FILE     write the run's history of reads and writes to FILE (replaced),\n"
           "                     for 'velcache audit FILE': one answer in a hundred of each\n"
           "                     worker (a line per base query it was computed from) and every\n"
           "                     new version the writer commits, times from CLOCK_REALTIME\n"
           "  --metrics-port N   each worker serves its metrics for a monitoring system to\n"
           "                     scrape, in the Prometheus text format, at\n"
           "                     http://127.0.0.1:<N + worker index>/metrics (loopback only):\n"
           "                     operations by scope, namespace, layer and outcome (counters and\n"
           "                     latency histograms), the read-through cache's figures and the\n"
           "                     coherence service's health as gauges\n"
           "  --malloc-arenas N  cap glibc's malloc arenas at N in every process of the run\n"
           "                     (MALLOC_ARENA_MAX, unless already set; default 2, which held\n"
           "                     the least resident memory in an hour's soak); 0: the\n"
           "                     allocator's own choice (8 arenas per core)\n"
           "  --json             print the summary as JSON on stdout (progress goes to stderr)\n"
           "  --tour             run the API tour instead: one chapter per capability\n"
           "  --help             this text\n"
           "\n"
           "Exit status: 0 correct and clean; 1 stale answers found or a process ended without\n"
           "its report; 2 bad arguments, Redis unusable or --db at a file the main job did\n"
           "not write; 3 correct, but a process logged library warnings or had external cache\n"
           "operations fail (a run under faults). With --compare: velcache's set-up's.\n";
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
    Options o;
    const std::vector<std::string> args(argv + 1, argv + argc);
    ChildConfig child;
    bool isChild = false;
    try {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            const auto value = [&]() -> const std::string& {
                if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
                return args[++i];
            };
            if (a == "--help" || a == "-h")
                o.help = true;
            else if (a == "--tour")
                o.tour = true;
            else if (a == "--json")
                o.json = true;
            else if (a == "--chaos")
                o.chaos = true;
            else if (a == "--compare")
                o.compare = true;
            else if (a == "--metrics-port")
                o.metricsPort = std::stoi(value());
            else if (a == "--malloc-arenas")
                o.mallocArenas = std::stoi(value());
            else if (a == "--report")
                o.report = value();
            else if (a == "--history")
                o.history = value();
            else if (a == "--ttl")
                o.compareTtlSec = std::stoll(value());
            else if (a == "--no-leases")
                o.leases = false;
            else if (a == "--no-fail-safe")
                o.failSafe = false;
            else if (a == "--mru-memory")
                o.mruMemory = true;
            else if (a == "--no-deaf-holds")
                o.deafHolds = false;
            else if (a == "--publish-every-fill")
                o.publishEveryFill = true;
            else if (a == "--audit")
                o.audit = true;
            else if (a == "--no-audit")
                o.audit = false;
            else if (a == "--silent-writer")
                o.silentWriter = true;
            else if (a == "--control")
                o.control = value();
            else if (a == "--value-lifetime")
                o.valueLifetimeSec = std::stoll(value());
            else if (a == "--processes")
                o.processes = std::stoi(value());
            else if (a == "--duration")
                o.durationSec = std::stod(value());
            else if (a == "--redis")
                o.redis = value();
            else if (a == "--redis-cluster")
                o.redisCluster = value();
            else if (a == "--redis-tls")
                o.redisTls = true;
            else if (a == "--db")
                o.db = value();
            else if (a == "--seed")
                o.seed = std::stoull(value());
            else if (a == "--rows")
                o.salesRows = std::stoi(value());
            else if (a == "--memory-entries")
                o.memoryEntries = std::stoi(value());
            // The processes the parent starts:
            else if (a == "--role") {
                child.role = value();
                isChild = true;
            } else if (a == "--index")
                child.index = std::stoi(value());
            else if (a == "--redis-host")
                child.redisHost = value();
            else if (a == "--redis-port")
                child.redisPort = std::stoi(value());
            else if (a == "--redis-tls-dir")
                child.redisTlsDir = value();
            else if (a == "--external-dir")
                child.externalDir = value();
            else if (a == "--run-id")
                child.runId = value();
            else if (a == "--setup")
                child.setup = value();
            else if (a == "--ttl-ms")
                child.ttlMs = std::stoll(value());
            else
                throw std::invalid_argument("unknown option " + a);
        }
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
    if (o.processes < 1 || o.processes > 32) error = "--processes must be 1 to 32";
    if (o.durationSec <= 0) error = "--duration must be positive";
    if (o.salesRows < 1000) error = "--rows must be at least 1000";
    if (o.memoryEntries < 0) error = "--memory-entries must not be negative";
    if (o.valueLifetimeSec < 0) error = "--value-lifetime must not be negative";
    if (o.metricsPort < 0 || o.metricsPort + o.processes > 65536)
        error = "--metrics-port wants a port from 1 to " + std::to_string(65536 - o.processes);
    if (o.mallocArenas < 0) error = "--malloc-arenas must not be negative";
    if (o.compareTtlSec < 0) error = "--ttl must not be negative";
    if (o.compare && (o.chaos || !o.redisCluster.empty() || o.redisTls))
        error = "--compare runs on one plain Redis server, without --chaos";
    if (!o.redis.empty() && velmora::caching::RedisNodeAddress::ParseList(o.redis).size() != 1)
        error = "--redis wants HOST:PORT, not '" + o.redis + "'";
    if (!o.redisCluster.empty() &&
        velmora::caching::RedisNodeAddress::ParseList(o.redisCluster).empty())
        error = "--redis-cluster wants HOST:PORT[,HOST:PORT...], not '" + o.redisCluster + "'";
    if (!o.redis.empty() && !o.redisCluster.empty())
        error = "give --redis or --redis-cluster, not both";
    if (o.redisTls && (!o.redis.empty() || !o.redisCluster.empty()))
        error = "--redis-tls goes with the private redis-server, not --redis or --redis-cluster";
    if (!error.empty()) return std::nullopt;
    if (isChild) {
        child.dbPath = o.db;
        child.redisCluster = o.redisCluster;
        child.seed = o.seed;
        child.memoryEntries = o.memoryEntries;
        child.leases = o.leases;
        child.failSafe = o.failSafe;
        child.deafHolds = o.deafHolds;
        child.frequencyPolicy = !o.mruMemory;
        child.skipKnownFills = !o.publishEveryFill;
        child.audit = o.audit;
        child.historyPath = o.history;
        child.silentWriter = o.silentWriter;
        child.valueLifetimeSec = o.ValueLifetimeSec();
        child.metricsPort = o.metricsPort;
        o.child = child;
    }
    return o;
}

}  // namespace demo
