#include "harness/Options.h"

#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "velredis/RedisSlotMap.h"

namespace demo {

namespace {

// What the parser fills: the options, and the configuration of a process the parent started.
struct Parsed {
    Options options;
    ChildConfig child;
    bool isChild = false;
};

// Sets a flag from its value (the empty string for a flag without one).
using Setter = void (*)(Parsed&, const std::string&);

// One flag of the command line: its name, the placeholder of its value (nullptr: none), its help
// text in the usage (lines apart by '\n'; nullptr: not in the usage) and what it sets.
struct Flag {
    const char* name;
    const char* placeholder;
    const char* help;
    Setter set;
};

template <class T>
T& Member(Parsed& p, T Options::*member) {
    return p.options.*member;
}
template <class T>
T& Member(Parsed& p, T ChildConfig::*member) {
    return p.child.*member;
}

// A flag without a value: sets a bool member to `to`.
template <auto member, bool to>
void Set(Parsed& p, const std::string&) {
    Member(p, member) = to;
}

// A flag with a value: converts it to the member's type.
template <auto member>
void Value(Parsed& p, const std::string& value) {
    auto& field = Member(p, member);
    using T = std::remove_reference_t<decltype(field)>;
    if constexpr (std::is_same_v<T, std::string>)
        field = value;
    else if constexpr (std::is_same_v<T, int>)
        field = std::stoi(value);
    else if constexpr (std::is_same_v<T, long long>)
        field = std::stoll(value);
    else if constexpr (std::is_same_v<T, std::uint64_t>)
        field = std::stoull(value);
    else if constexpr (std::is_same_v<T, double>)
        field = std::stod(value);
    else
        static_assert(std::is_same_v<T, std::string>, "a flag of this type needs its parser");
}

void SetRole(Parsed& p, const std::string& value) {
    p.child.role = value;
    p.isChild = true;
}

// In the order of the usage; the flags without help are the aliases and those of the processes
// the parent starts.
const Flag kFlags[] = {
    {"--processes", "N", "worker processes (default 3)", Value<&Options::processes>},
    {"--duration", "S", "seconds of workload (default 20; start-up and settling add ~5)",
     Value<&Options::durationSec>},
    {"--redis", "HOST:PORT",
     "use this Redis server (default: start a private redis-server\n"
     "on a free loopback port and stop it afterwards); the values\n"
     "the run stores there expire after 10 minutes",
     Value<&Options::redis>},
    {"--redis-cluster", "HOST:PORT[,HOST:PORT...]",
     "use this Redis cluster instead, through any of its nodes", Value<&Options::redisCluster>},
    {"--redis-tls", nullptr,
     "the private redis-server listens on a TLS port only, with a\n"
     "certificate authority and certificates made for the run (by\n"
     "the openssl tool, in a private temporary directory); every\n"
     "process connects over TLS, verifying the server's certificate\n"
     "and presenting a client certificate",
     Set<&Options::redisTls, true>},
    {"--db", "PATH",
     "write the generated database here and keep it (default: a\n"
     "temporary file); a database an earlier run wrote there is\n"
     "replaced, any other file is left alone and the run refused\n"
     "(exit status 2)",
     Value<&Options::db>},
    {"--seed", "N", "seed of the data and of the query streams (default 42)",
     Value<&Options::seed>},
    {"--rows", "N", "sales rows to generate (default 200000)", Value<&Options::salesRows>},
    {"--memory-entries", "N",
     "answers each worker keeps in memory (default 200; 0: none,\n"
     "every answer comes from the disk cache, Redis or SQLite)",
     Value<&Options::memoryEntries>},
    {"--no-leases", nullptr,
     "each worker loads a key that every cache missed itself (single\n"
     "flight within the process only); default: one worker loads it\n"
     "under a lease in Redis while the others wait for its value",
     Set<&Options::leases, false>},
    {"--no-fail-safe", nullptr,
     "a failed load fails the answer; default: the last good answer\n"
     "of the key serves (marked stale) when the database fails, and at\n"
     "once when a load takes over 50 ms (it goes on in the background);\n"
     "never an answer whose key was announced as changed since",
     Set<&Options::failSafe, false>},
    {"--mru-memory", nullptr,
     "the workers' memory caches evict the least recently used in\n"
     "batches (the former default) instead of by FrequencyPolicy",
     Set<&Options::mruMemory, true>},
    {"--no-deaf-holds", nullptr,
     "while the workers hear nothing from Redis, every query goes to\n"
     "the database; default: an answer loaded meanwhile serves for\n"
     "the silence bound (600 ms), nothing from before the silence",
     Set<&Options::deafHolds, false>},
    {"--value-lifetime", "S",
     "how long stored answers live (default 600; 4 with --chaos, so\n"
     "that answers run out during the database outage)",
     Value<&Options::valueLifetimeSec>},
    {"--no-audit", nullptr,
     "the workers' read-through caches do not run the library's\n"
     "auditor; default (--audit): they check a sample of their\n"
     "answers against the database (1 in 100, at most 20 re-loads\n"
     "a second, window 1 s), and an inconsistent answer fails the\n"
     "run as a stale one found by the main job's own checks does",
     Set<&Options::audit, false>},
    {"--database", "NAME",
     "where the data lives: sqlite, a file (default), or postgres, a\n"
     "private PostgreSQL cluster on a loopback port; there the writer\n"
     "commits plain SQL and announces nothing, and a follower process\n"
     "announces each change from the database's commit log",
     Value<&Options::database>},
    {"--no-follower", nullptr,
     "with --database postgres, no follower runs: nothing announces\n"
     "the writer's changes (a control that must fail)",
     Set<&Options::follower, false>},
    {"--silent-writer", nullptr,
     "a fault: the writer commits its changes and announces none, as\n"
     "a writer that forgot to would (the caches keep old answers;\n"
     "--audit and --history show it)",
     Set<&Options::silentWriter, true>},
    {"--announce-keys", nullptr,
     "the writer announces each change by the keys of the queries it\n"
     "affects (it recomputes and sets each answer); default: by the\n"
     "tags of the changed row's values, which the workers' answers\n"
     "are tagged with (the writer needs no query catalogue)",
     Set<&Options::announceKeys, true>},
    {"--publish-every-fill", nullptr,
     "announce every answer a worker fills; default: a fill whose\n"
     "content is already the newest announcement of its key is kept\n"
     "but not announced (the summary shows both counts)",
     Set<&Options::publishEveryFill, true>},
    {"--control", "FIFO",
     "read fault commands from this FIFO while the workload runs,\n"
     "one a line: \"outage-begin\", \"outage-end\" (the workers'\n"
     "database unusable in between, as in --chaos); for scripts\n"
     "that fault a run from outside",
     Value<&Options::control>},
    {"--chaos", nullptr,
     "fault the run while it goes: kill the subscribers' Redis\n"
     "connections every 3 s; drop the 50 hottest base answers at once\n"
     "(a herd: database loads per key counted for 2 s); restart the\n"
     "Redis server once (a private server only); make the\n"
     "database unusable for 5 s (every worker's query waits up to\n"
     "1 s, then fails with \"database is locked\"; the writer\n"
     "commits nothing)",
     Set<&Options::chaos, true>},
    {"--compare", nullptr,
     "run the workload once per set-up, each for --duration on a newly\n"
     "generated database with the same seed, and print them side by side:\n"
     "the database alone, a Redis cache-aside and an in-process cache (of\n"
     "--memory-entries per worker) whose answers live for --ttl and that no\n"
     "change reaches, the same two with answers living for the one-second\n"
     "freshness window, then velcache; not with --chaos, --redis-cluster or\n"
     "--redis-tls",
     Set<&Options::compare, true>},
    {"--ttl", "S",
     "how long the comparison's cache-aside answers live (default: the\n"
     "stored answers' lifetime, --value-lifetime)",
     Value<&Options::compareTtlSec>},
    {"--report", "FILE",
     "also write the run as one HTML page, self-contained (opens\n"
     "offline): the verdict; with --compare, the set-ups' answers\n"
     "per second and stale answers as a chart and a table; charts\n"
     "over time of the answers per second by layer, the hit ratio,\n"
     "p50/p99 latency, the coherence delivery lag and the freshness\n"
     "checks, the faults of --chaos marked; the summary's tables",
     Value<&Options::report>},
    {"--history", "FILE",
     "write the run's history of reads and writes to FILE (replaced),\n"
     "for 'velcache audit FILE': one answer in a hundred of each\n"
     "worker (a line per base query it was computed from) and every\n"
     "new version the writer commits, times from CLOCK_REALTIME",
     Value<&Options::history>},
    {"--metrics-port", "N",
     "each worker serves its metrics for a monitoring system to\n"
     "scrape, in the Prometheus text format, at\n"
     "http://127.0.0.1:<N + worker index>/metrics (loopback only):\n"
     "operations by scope, namespace, layer and outcome (counters and\n"
     "latency histograms), the read-through cache's figures and the\n"
     "coherence service's health as gauges",
     Value<&Options::metricsPort>},
    {"--malloc-arenas", "N",
     "cap glibc's malloc arenas at N in every process of the run\n"
     "(MALLOC_ARENA_MAX, unless already set; default 2, which held\n"
     "the least resident memory in an hour's soak); 0: the\n"
     "allocator's own choice (8 arenas per core)",
     Value<&Options::mallocArenas>},
    {"--malloc-trim-s", "N",
     "every N seconds each process of the run hands the allocator's\n"
     "free pages back to the system (glibc's malloc_trim; default\n"
     "60); 0: never, and what a burst freed amid blocks in use\n"
     "stays resident",
     Value<&Options::mallocTrimSec>},
    {"--json", nullptr, "print the summary as JSON on stdout (progress goes to stderr)",
     Set<&Options::json, true>},
    {"--tour", nullptr, "run the API tour instead: one chapter per capability",
     Set<&Options::tour, true>},
    {"--help", nullptr, "this text", Set<&Options::help, true>},
    {"-h", nullptr, nullptr, Set<&Options::help, true>},
    {"--audit", nullptr, nullptr, Set<&Options::audit, true>},
    // The processes the parent starts:
    {"--role", "ROLE", nullptr, SetRole},
    {"--index", "N", nullptr, Value<&ChildConfig::index>},
    {"--redis-host", "HOST", nullptr, Value<&ChildConfig::redisHost>},
    {"--redis-port", "PORT", nullptr, Value<&ChildConfig::redisPort>},
    {"--redis-tls-dir", "DIR", nullptr, Value<&ChildConfig::redisTlsDir>},
    {"--external-dir", "DIR", nullptr, Value<&ChildConfig::externalDir>},
    {"--run-id", "ID", nullptr, Value<&ChildConfig::runId>},
    {"--setup", "NAME", nullptr, Value<&ChildConfig::setup>},
    {"--ttl-ms", "MS", nullptr, Value<&ChildConfig::ttlMs>},
};

// A flag's lines of the usage: its name and placeholder in a column of 19 (on a line of their own
// when longer), its help beside them.
std::string UsageOf(const Flag& flag) {
    constexpr std::size_t kColumn = 19;
    std::string head = flag.name;
    if (flag.placeholder) head += std::string(" ") + flag.placeholder;
    std::string out = "  " + head;
    if (head.size() < kColumn)
        out += std::string(kColumn - head.size(), ' ');
    else
        out += "\n" + std::string(2 + kColumn, ' ');
    for (const char* c = flag.help; *c; ++c)
        out += *c == '\n' ? "\n" + std::string(2 + kColumn, ' ') : std::string(1, *c);
    return out + "\n";
}

std::string MakeUsage() {
    std::string out =
        "usage: velcache_demo [options]\n"
        "\n"
        "Runs the main job: worker processes answer a skewed stream of aggregate queries\n"
        "over an SQLite database through the in-memory cache, the disk and Redis external\n"
        "caches and the database, while a writer process changes rows and announces the new\n"
        "results through the coherence service. Prints live progress, then a summary.\n"
        "\n";
    for (const Flag& flag : kFlags)
        if (flag.help) out += UsageOf(flag);
    return out +
           "\n"
           "Exit status: 0 correct and clean; 1 stale answers found or a process ended without\n"
           "its report; 2 bad arguments, Redis unusable or --db at a file the main job did\n"
           "not write; 3 correct, but a process logged library warnings or had external cache\n"
           "operations fail (a run under faults). With --compare: velcache's set-up's.\n";
}

// Why the options cannot run together, or the empty string. When several checks fail, the last
// one's message is given.
std::string Mistake(const Options& o) {
    std::string error;
    if (o.processes < 1 || o.processes > 32) error = "--processes must be 1 to 32";
    if (o.durationSec <= 0) error = "--duration must be positive";
    if (o.salesRows < 1000) error = "--rows must be at least 1000";
    if (o.memoryEntries < 0) error = "--memory-entries must not be negative";
    if (o.valueLifetimeSec < 0) error = "--value-lifetime must not be negative";
    if (o.metricsPort < 0 || o.metricsPort + o.processes > 65536)
        error = "--metrics-port wants a port from 1 to " + std::to_string(65536 - o.processes);
    if (o.mallocArenas < 0) error = "--malloc-arenas must not be negative";
    if (o.mallocTrimSec < 0) error = "--malloc-trim-s must not be negative";
    if (o.compareTtlSec < 0) error = "--ttl must not be negative";
    if (o.compare && (o.chaos || !o.redisCluster.empty() || o.redisTls))
        error = "--compare runs on one plain Redis server, without --chaos";
    if (!o.redis.empty() && velmora::caching::RedisNodeAddress::ParseList(o.redis).size() != 1)
        error = "--redis wants HOST:PORT, not '" + o.redis + "'";
    if (!o.redisCluster.empty() &&
        velmora::caching::RedisNodeAddress::ParseList(o.redisCluster).empty())
        error = "--redis-cluster wants HOST:PORT[,HOST:PORT...], not '" + o.redisCluster + "'";
    if (o.database != "sqlite" && o.database != "postgres")
        error = "--database wants sqlite or postgres, not '" + o.database + "'";
    if (o.database == "postgres" && (!o.db.empty() || o.compare))
        error =
            "--database postgres runs the main job on a private cluster, without --db or "
            "--compare";
    if (!o.redis.empty() && !o.redisCluster.empty())
        error = "give --redis or --redis-cluster, not both";
    if (o.redisTls && (!o.redis.empty() || !o.redisCluster.empty()))
        error = "--redis-tls goes with the private redis-server, not --redis or --redis-cluster";
    return error;
}

// The child's configuration from the options the parent passed on.
ChildConfig ChildOf(const Options& o, ChildConfig child) {
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
    child.announceKeys = o.announceKeys;
    child.valueLifetimeSec = o.ValueLifetimeSec();
    child.metricsPort = o.metricsPort;
    return child;
}

}  // namespace

const char* Usage() {
    static const std::string usage = MakeUsage();
    return usage.c_str();
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
    Parsed parsed;
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            const Flag* flag = nullptr;
            for (const Flag& f : kFlags)
                if (a == f.name) flag = &f;
            if (!flag) throw std::invalid_argument("unknown option " + a);
            if (flag->placeholder && i + 1 >= args.size())
                throw std::invalid_argument(a + " needs a value");
            flag->set(parsed, flag->placeholder ? args[++i] : std::string());
        }
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
    Options& o = parsed.options;
    if (std::string mistake = Mistake(o); !mistake.empty()) error = std::move(mistake);
    if (!error.empty()) return std::nullopt;
    if (parsed.isChild) o.child = ChildOf(o, parsed.child);
    return o;
}

}  // namespace demo
