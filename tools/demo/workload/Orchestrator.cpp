#include "Orchestrator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Baselines.h"
#include "Comparison.h"
#include "DataGenerator.h"
#include "QueryCatalogue.h"
#include "RedisNodes.h"
#include "Report.h"
#include "Roles.h"
#include "Sqlite.h"
#include "Summary.h"
#include "velsupport/RedisServer.h"
#include "velsupport/TlsCertificates.h"

extern char** environ;

namespace demo {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// One child process with a pipe each way.
struct Child {
    std::string role;
    int index = 0;
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    std::string pending;  // bytes of an incomplete line
    Stats latest;
    bool ready = false;
    bool done = false;
    bool exited = false;

    // A child that has gone away is noticed by Collect; a failed write needs nothing more.
    void Send(const std::string& command) {
        const std::string line = command + "\n";
        const ssize_t written = toChild >= 0 ? ::write(toChild, line.data(), line.size()) : 0;
        (void)written;
    }
};

std::string SelfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// The words of VELCACHE_DEMO_WORKER_WRAPPER, each "%i" in them replaced by the worker's index:
// a program the workers start under (a heap profiler, for one), found on the PATH.
std::vector<std::string> WorkerWrapper(int index) {
    std::vector<std::string> words;
    const char* wrapper = std::getenv("VELCACHE_DEMO_WORKER_WRAPPER");
    std::istringstream in(wrapper ? wrapper : "");
    for (std::string word; in >> word;) {
        for (std::size_t at; (at = word.find("%i")) != std::string::npos;)
            word.replace(at, 2, std::to_string(index));
        words.push_back(word);
    }
    return words;
}

Child Spawn(const std::vector<std::string>& args, const std::string& role, int index) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> all =
        role == "worker" ? WorkerWrapper(index) : std::vector<std::string>();
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"--role", role, "--index", std::to_string(index)});
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    child.role = role;
    child.index = index;
    const int rc = posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + role);
    child.toChild = in[1];
    child.fromChild = out[0];
    return child;
}

// Reads what the children wrote, for at most `wait`; keeps each child's latest report.
void Collect(std::vector<Child>& children, std::chrono::milliseconds wait) {
    std::vector<pollfd> fds;
    for (const Child& c : children) fds.push_back({c.exited ? -1 : c.fromChild, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0) return;
    for (std::size_t i = 0; i < children.size(); ++i) {
        Child& c = children[i];
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[65536];
        const ssize_t n = ::read(c.fromChild, buffer, sizeof buffer);
        if (n <= 0) {
            c.exited = true;
            continue;
        }
        c.pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = c.pending.find('\n')) != std::string::npos) {
            const std::string line = c.pending.substr(0, end);
            c.pending.erase(0, end + 1);
            const std::string kind = line.substr(0, line.find(' '));
            if (kind != "ready" && kind != "progress" && kind != "final") continue;
            c.latest = Stats::Decode(line.substr(kind.size()));
            c.ready = true;
            if (kind == "final") c.done = true;
        }
    }
}

bool WaitUntil(std::vector<Child>& children, const std::function<bool(const Child&)>& condition,
               std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        bool all = true;
        for (const Child& c : children) all = all && (condition(c) || c.exited);
        if (all) return true;
        if (Clock::now() > deadline) return false;
        Collect(children, std::chrono::milliseconds(100));
    }
}

Stats Sum(const std::vector<Child>& children, const std::string& role) {
    Stats sum;
    for (const Child& c : children)
        if (c.role == role) sum.Merge(c.latest);
    return sum;
}

// One line of live figures, from the difference between two moments.
std::string ProgressLine(double elapsed, const Stats& now, const Stats& before, double interval,
                         const Stats& writer) {
    const auto delta = [&](const std::string& name) {
        return static_cast<double>(now.Get(name) - before.Get(name));
    };
    const double queries = delta("queries");
    const auto ratio = [&](const char* layer) {
        return queries > 0 ? 100 * delta(std::string("layer.") + layer) / queries : 0.0;
    };
    char line[256];
    std::snprintf(line, sizeof line,
                  "[%5.1fs] %7.0f queries/s | memory %5.1f%% disk %4.1f%% redis %4.1f%% sqlite "
                  "%4.1f%% | %5.0f invalidations/s | %lld updates | stale>1s %lld | fail-safe "
                  "%.0f errors %.0f",
                  elapsed, queries / interval, ratio("memory"), ratio("disk"), ratio("redis"),
                  ratio("sqlite"), delta("rt.invalidations") / interval,
                  static_cast<long long>(writer.Get("updates")),
                  static_cast<long long>(now.Get("check.stale-beyond-window")),
                  delta("stale-answers"), delta("caller-errors"));
    return line;
}

// The fault commands a script sends while the workload runs, read from a FIFO without blocking
// (no writer, or a writer gone, reads as nothing new). Owned by the parent's loop; one thread.
class ControlFifo {
public:
    explicit ControlFifo(const std::string& path)
        : m_fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~ControlFifo() {
        if (m_fd >= 0) ::close(m_fd);
    }
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;
    bool Opened() const { return m_fd >= 0; }

    // The complete lines that arrived since the last call.
    std::vector<std::string> Read() {
        std::vector<std::string> lines;
        char buffer[512];
        ssize_t n;
        while (m_fd >= 0 && (n = ::read(m_fd, buffer, sizeof buffer)) > 0)
            m_pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = m_pending.find('\n')) != std::string::npos) {
            lines.push_back(m_pending.substr(0, end));
            m_pending.erase(0, end + 1);
        }
        return lines;
    }

private:
    const int m_fd;
    std::string m_pending;
};

// Passes the database outage commands of `control` on to every process (the writer cannot
// commit either while the database is unusable).
void FollowControl(ControlFifo& control, std::vector<Child>& children) {
    for (const std::string& line : control.Read()) {
        if (line != "outage-begin" && line != "outage-end") {
            std::fprintf(stderr, "control: unknown command '%s'\n", line.c_str());
            continue;
        }
        std::fprintf(stderr, "control: %s\n", line.c_str());
        for (Child& c : children) c.Send(line);
    }
}

}  // namespace

int RunChild(const ChildConfig& config) {
    DemoHost host(config);
    SqliteDb db(config.dbPath);
    const QueryCatalogue catalogue(db);
    if (config.role == "writer")
        RunWriter(host, catalogue);
    else
        RunWorker(host, catalogue);
    std::fflush(stdout);
    // The library's process singletons stay alive until the end; leave without tearing down.
    std::_Exit(0);
}

namespace {

void Say(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

// What every set-up of a run shares: the Redis nodes, the database's place, the directory of the
// run's files and the facts found so far.
struct RunPlace {
    std::vector<velmora::caching::RedisNodeAddress> nodes;
    velsupport::RedisServer* server = nullptr;
    std::string certificatesDir;  // TLS: the run's certificates
    std::filesystem::path workDir;
    std::string dbPath;
    std::string runId;
    RunFacts facts;
};

// What a set-up's run left: its facts and the stats of its workers and writer, and the CPU time
// its processes used.
struct SetupRun {
    RunFacts facts;
    Stats workers;
    Stats writer;
    double cpuSec = 0;
};

// Finds or starts the Redis server(s); 0 or the exit code of a failure (said).
int FindRedis(const Options& options, RunPlace& place) {
    RunFacts& facts = place.facts;
    if (!options.redisCluster.empty()) {
        place.nodes = ClusterNodes(options.redisCluster, facts.clusterMasters);
        if (place.nodes.empty()) {
            Say("no node of " + options.redisCluster + " answers CLUSTER SLOTS as a Redis cluster");
            return 2;
        }
    } else if (options.redis.empty()) {
        if (const std::string error = place.server->Start(); !error.empty()) {
            Say("cannot start a private redis-server: " + error + "; use --redis HOST:PORT");
            return 2;
        }
        place.nodes.push_back({"127.0.0.1", place.server->Port()});
    } else {
        place.nodes = velmora::caching::RedisNodeAddress::ParseList(options.redis);
        if (!RedisCommand(place.nodes[0].host, place.nodes[0].port, {"PING"})) {
            Say("Redis at " + options.redis + " does not answer PING");
            return 2;
        }
    }
    facts.redisSetup = !options.redisCluster.empty() ? RedisSetup::Cluster
                       : options.redis.empty()       ? RedisSetup::PrivateServer
                                                     : RedisSetup::GivenServer;
    facts.redisEndpoint =
        facts.redisSetup == RedisSetup::Cluster ? options.redisCluster : place.nodes[0].ToString();
    return 0;
}

// (Re)writes the run's database from the seed and tells what it holds.
void GenerateDatabase(const Options& options, RunPlace& place, bool quiet) {
    const auto genStart = Clock::now();
    DataShape shape;
    shape.salesRows = options.salesRows;
    DataGenerator(shape, options.seed).Write(place.dbPath);
    SqliteDb db(place.dbPath);
    const QueryCatalogue catalogue(db);
    place.facts.herdKeys =
        static_cast<int>(HottestBaseQueries(catalogue, options.seed, kHerdKeys).size());
    if (quiet) return;
    if (options.metricsPort)
        Say("metrics: http://127.0.0.1:" + std::to_string(options.metricsPort) + "/metrics" +
            (options.processes > 1
                 ? " to :" + std::to_string(options.metricsPort + options.processes - 1) +
                       ", one port per worker"
                 : std::string()));
    Say("velcache main job: " + std::to_string(options.processes) +
        " workers and a writer on Redis " + place.facts.redisEndpoint +
        (options.redisTls ? " over TLS" : "") + " (" + DescribeRedis(place.facts) + "), " +
        std::to_string(options.salesRows) + " sales rows generated in " +
        std::to_string(static_cast<int>(Seconds(Clock::now() - genStart) * 1000)) + " ms, " +
        std::to_string(catalogue.Size()) + " distinct queries");
}

// The command line of the run's child processes, before their role.
std::vector<std::string> ChildArgs(const Options& options, const RunPlace& place,
                                   const std::string& runId, Setup setup, long long ttlMs) {
    std::vector<std::string> common{SelfPath(),
                                    "--db",
                                    place.dbPath,
                                    "--seed",
                                    std::to_string(options.seed),
                                    "--external-dir",
                                    (place.workDir / ("external-" + runId)).string(),
                                    "--run-id",
                                    runId,
                                    "--memory-entries",
                                    std::to_string(options.memoryEntries),
                                    "--setup",
                                    SetupName(setup),
                                    "--ttl-ms",
                                    std::to_string(ttlMs)};
    common.insert(common.end(), {"--value-lifetime", std::to_string(options.ValueLifetimeSec())});
    if (!options.leases) common.push_back("--no-leases");
    if (!options.failSafe) common.push_back("--no-fail-safe");
    if (!options.deafHolds) common.push_back("--no-deaf-holds");
    if (options.mruMemory) common.push_back("--mru-memory");
    if (options.publishEveryFill) common.push_back("--publish-every-fill");
    if (options.audit) common.push_back("--audit");
    if (options.silentWriter) common.push_back("--silent-writer");
    if (!options.history.empty()) common.insert(common.end(), {"--history", options.history});
    if (place.facts.redisSetup == RedisSetup::Cluster)
        common.insert(common.end(), {"--redis-cluster", options.redisCluster});
    else
        common.insert(common.end(), {"--redis-host", place.nodes[0].host, "--redis-port",
                                     std::to_string(place.nodes[0].port)});
    if (options.redisTls) common.insert(common.end(), {"--redis-tls-dir", place.certificatesDir});
    if (options.metricsPort)
        common.insert(common.end(), {"--metrics-port", std::to_string(options.metricsPort)});
    return common;
}

// What the workers had reported by the end of a second: what the report charts of their stats
// added up, and the largest delivery lag any of them saw.
void SampleSecond(const std::vector<Child>& children, RunFacts& facts, Histogram& latencyBefore) {
    facts.workersEachSecond.push_back(ChartedSecond(Sum(children, "worker"), latencyBefore));
    std::int64_t p50 = -1, p99 = -1;
    for (const Child& c : children)
        if (c.role == "worker") {
            p50 = std::max(p50, c.latest.Get("gauge.health.lag-p50-ms"));
            p99 = std::max(p99, c.latest.Get("gauge.health.lag-p99-ms"));
        }
    facts.lagP50MsEachSecond.push_back(p50);
    facts.lagP99MsEachSecond.push_back(p99);
}

// The faults of a --chaos run, each made once its time comes: the herd first (its loads counted
// with no other fault near), the server's restart, then the database outage, over with a second
// of the workload to spare; the subscribers' connections killed every 3 s. Each is recorded in
// `facts` with its time.
class ChaosSchedule {
public:
    ChaosSchedule(Clock::time_point start, Clock::time_point end, std::vector<Child>& children,
                  RunPlace& place, RunFacts& facts)
        : m_start(start),
          m_herdAt(start + (end - start) * 20 / 100),
          m_herdQuietUntil(m_herdAt + std::chrono::milliseconds(kHerdWindowMs + 500)),
          m_restartAt(start + (end - start) * 35 / 100),
          m_outageAt(start + (end - start) * 55 / 100),
          m_outageUntil(std::min(m_outageAt + std::chrono::seconds(5),
                                 std::max(m_outageAt, end - std::chrono::seconds(1)))),
          m_nextKill(start + std::chrono::seconds(3)),
          m_children(children),
          m_place(place),
          m_facts(facts) {}

    void Step(Clock::time_point now) {
        if (now >= m_nextKill && now >= m_herdAt && now < m_herdQuietUntil)
            m_nextKill += std::chrono::seconds(3);  // no re-subscription within the herd's count
        if (!m_herded && now >= m_herdAt) Herd(now);
        if (!m_outageBegan && now >= m_outageAt && m_outageUntil > m_outageAt) BeginOutage(now);
        if (m_outageBegan && !m_outageOver && now >= m_outageUntil) EndOutage();
        if (now >= m_nextKill) KillConnections(now);
        if (!m_restarted && m_facts.redisSetup == RedisSetup::PrivateServer && now >= m_restartAt)
            RestartServer(now);
    }
    // Ends an outage still going on.
    void Finish() {
        if (m_outageBegan && !m_outageOver) EndOutage();
    }

private:
    void Note(Clock::time_point at, const std::string& what) {
        m_facts.faults.push_back({Seconds(at - m_start), what});
    }
    void SendAll(const std::string& command) {
        for (Child& c : m_children) c.Send(command);
    }
    void Herd(Clock::time_point now) {
        m_herded = true;
        SendAll("herd");
        m_facts.herdAtSec = Seconds(now - m_start);
        Note(now, "herd: hottest answers dropped");
    }
    void BeginOutage(Clock::time_point now) {
        m_outageBegan = now;
        SendAll("outage-begin");  // the writer cannot commit either
        m_facts.outageAtSec = Seconds(now - m_start);
        Note(now, "database outage begins");
    }
    void EndOutage() {
        SendAll("outage-end");
        m_facts.outageSec = Seconds(Clock::now() - *m_outageBegan);
        Note(Clock::now(), "database outage ends");
        m_outageOver = true;
    }
    void KillConnections(Clock::time_point now) {
        const std::vector<std::string> kill{"CLIENT", "KILL", "TYPE", "pubsub"};
        bool killed = false;
        for (const auto& node : m_place.nodes)
            killed |= m_facts.redisSetup == RedisSetup::PrivateServer
                          ? m_place.server->Command(kill).type ==
                                velmora::caching::RedisReplyValue::Type::Integer
                          : RedisCommand(node.host, node.port, kill);
        m_facts.connectionKills += killed;
        if (killed) Note(now, "subscribers' connections killed");
        m_nextKill += std::chrono::seconds(3);
    }
    void RestartServer(Clock::time_point now) {
        m_restarted = true;
        m_place.server->Stop();
        if (m_place.server->Start().empty()) ++m_facts.serverRestarts;
        Note(now, "Redis server restarted");
    }

    const Clock::time_point m_start, m_herdAt, m_herdQuietUntil, m_restartAt, m_outageAt,
        m_outageUntil;
    Clock::time_point m_nextKill;
    std::vector<Child>& m_children;
    RunPlace& m_place;
    RunFacts& m_facts;
    bool m_herded = false;
    bool m_restarted = false;
    std::optional<Clock::time_point> m_outageBegan;
    bool m_outageOver = false;
};

// The live progress line, every second on a terminal (every two otherwise).
class ProgressPrinter {
public:
    explicit ProgressPrinter(Clock::time_point start)
        : m_start(start),
          m_live(::isatty(2)),
          m_next(start + std::chrono::seconds(1)),
          m_beforeAt(start) {}
    void Step(Clock::time_point now, const std::vector<Child>& children) {
        if (now < m_next) return;
        const Stats workers = Sum(children, "worker");
        const std::string line = ProgressLine(Seconds(now - m_start), workers, m_before,
                                              Seconds(now - m_beforeAt), Sum(children, "writer"));
        std::fprintf(stderr, m_live ? "\r%s" : "%s\n", line.c_str());
        m_before = workers;
        m_beforeAt = now;
        m_next += std::chrono::seconds(m_live ? 1 : 2);
    }
    void Finish() const {
        if (m_live) std::fprintf(stderr, "\n");
    }

private:
    const Clock::time_point m_start;
    const bool m_live;
    Clock::time_point m_next;
    Stats m_before;
    Clock::time_point m_beforeAt;
};

// Starts the workload, runs it for the run's duration (with --chaos, making trouble on its
// schedule) and prints the live progress; records what happened when in `facts`.
void DriveWorkload(const Options& options, std::vector<Child>& children, RunPlace& place,
                   RunFacts& facts) {
    ControlFifo control(options.control);
    if (!options.control.empty() && !control.Opened())
        Say("cannot open the control FIFO " + options.control + "; no commands are followed");
    for (Child& c : children) c.Send("go");
    const auto start = Clock::now();
    facts.startedAtUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", options.durationSec);
    Say(std::string("workload running for ") + seconds + " s");
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.durationSec));
    ChaosSchedule chaos(start, end, children, place, facts);
    ProgressPrinter progress(start);
    auto nextSecond = start + std::chrono::seconds(1);
    std::int64_t answeredBefore = 0;
    Histogram latencyBefore;
    while (Clock::now() < end) {
        Collect(children, std::chrono::milliseconds(100));
        FollowControl(control, children);
        const auto now = Clock::now();
        if (now >= nextSecond) {  // as reported by then (workers report twice a second)
            const std::int64_t answered = Sum(children, "worker").Get("queries");
            facts.answersPerSecond.push_back(answered - answeredBefore);
            SampleSecond(children, facts, latencyBefore);
            answeredBefore = answered;
            nextSecond += std::chrono::seconds(1);
        }
        if (options.chaos) chaos.Step(now);
        progress.Step(now, children);
    }
    progress.Finish();
    chaos.Finish();
    if (control.Opened())  // an outage the script began and did not end
        for (Child& c : children) c.Send("outage-end");
}

// Stops the writer, lets the workers settle and check what they hold, and reaps every child.
void Finish(std::vector<Child>& children) {
    for (Child& c : children)
        if (c.role == "writer") c.Send("stop");
    WaitUntil(
        children, [](const Child& c) { return c.role != "writer" || c.done; },
        std::chrono::seconds(30));
    Say("writer stopped; workers settle and compare what they hold with SQLite");
    for (Child& c : children) c.Send("settle");
    const bool settled = WaitUntil(
        children, [](const Child& c) { return c.done; }, std::chrono::seconds(120));
    for (Child& c : children) {
        ::close(c.toChild);
        if (!settled && !c.done) ::kill(c.pid, SIGKILL);
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        ::close(c.fromChild);
        if (!c.done) Say(c.role + " " + std::to_string(c.index) + " ended without a final report");
    }
}

void NoteOutcome(const Options& options, const std::vector<Child>& children, RunFacts& facts) {
    facts.processes = options.processes;
    facts.memoryEntries = options.memoryEntries;
    facts.durationSec = options.durationSec;
    facts.seed = options.seed;
    facts.salesRows = options.salesRows;
    facts.dbPath = options.db.empty() ? "(temporary, removed)" : options.db;
    facts.chaos = options.chaos;
    facts.leases = options.leases;
    facts.audit = options.audit;
    facts.failSafe = options.failSafe;
    facts.skipKnownFills = !options.publishEveryFill;
    facts.valueLifetimeSec = options.ValueLifetimeSec();
    for (const Child& c : children)
        if (c.role == "worker") {
            facts.receivedPerWorker.push_back(c.latest.Get("health.received"));
            facts.settleStalePerWorker.push_back(c.latest.Get("settle.stale"));
            facts.warningsPerWorker.push_back(LibraryWarnings(c.latest));
            facts.failedExternalPerWorker.push_back(FailedExternalOperations(c.latest));
        }
    for (const Child& c : children) facts.allReported = facts.allReported && c.done;
}

double ChildrenCpuSec() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto sec = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return sec(usage.ru_utime) + sec(usage.ru_stime);
}

// One run of the workload in `setup` on a newly generated database: the writer and the workers
// started, driven, settled and reaped.
SetupRun RunSetup(const Options& options, RunPlace& place, Setup setup, long long ttlMs,
                  bool quiet) {
    GenerateDatabase(options, place, quiet);
    const std::string runId = place.runId + "-" + SetupName(setup) + "-" + std::to_string(ttlMs);
    const std::vector<std::string> common = ChildArgs(options, place, runId, setup, ttlMs);
    const double cpuBefore = ChildrenCpuSec();
    std::vector<Child> children;
    children.push_back(Spawn(common, "writer", 0));
    for (int i = 0; i < options.processes; ++i) children.push_back(Spawn(common, "worker", i));
    if (!WaitUntil(
            children, [](const Child& c) { return c.ready; }, std::chrono::seconds(60)))
        Say("some processes did not report ready in time");
    SetupRun run;
    run.facts = place.facts;
    DriveWorkload(options, children, place, run.facts);
    Finish(children);
    NoteOutcome(options, children, run.facts);
    run.cpuSec = ChildrenCpuSec() - cpuBefore;
    run.workers = Sum(children, "worker");
    run.writer = Sum(children, "writer");
    return run;
}

// Writes the report of --report, when asked for; false (said) when it could not.
bool WriteReport(const Options& options, const RunFacts& facts, const Summary& summary,
                 const Comparison* comparison) {
    if (options.report.empty()) return true;
    std::ofstream out(options.report, std::ios::trunc);
    out << HtmlReport(facts, summary, comparison);
    out.close();
    if (!out) Say("cannot write the report to " + options.report);
    return static_cast<bool>(out);
}

int RunMainJob(const Options& options, RunPlace& place) {
    const SetupRun run =
        RunSetup(options, place, Setup::Velcache, options.ValueLifetimeSec() * 1000, false);
    const Summary summary(run.facts, run.workers, run.writer);
    std::fputs(options.json ? summary.Json().c_str() : summary.Table().c_str(), stdout);
    std::fflush(stdout);
    if (!WriteReport(options, run.facts, summary, nullptr)) return 2;
    return summary.ExitCode();
}

double LoadAverage() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// Every set-up in turn, then the table. The exit code is the library's set-up's: the others are
// expected to serve stale answers.
int RunComparison(const Options& options, RunPlace& place) {
    const long long ttlMs = options.CompareTtlSec() * 1000;
    const long long windowMs = 1000;
    const std::vector<std::pair<Setup, long long>> setups{
        {Setup::Database, 0},        {Setup::RedisTtl, ttlMs},    {Setup::LocalTtl, ttlMs},
        {Setup::RedisTtl, windowMs}, {Setup::LocalTtl, windowMs}, {Setup::Velcache, 0}};
    std::vector<ComparisonRow> rows;
    int code = 0;
    std::string velcacheJson;
    std::optional<Summary> velcacheSummary;
    RunFacts velcacheFacts;
    for (std::size_t i = 0; i < setups.size(); ++i) {
        const auto [setup, ttl] = setups[i];
        Say("set-up " + std::to_string(i + 1) + " of " + std::to_string(setups.size()) + ": " +
            SetupTitle(SetupName(setup)) +
            (ttl ? ", answers live " + std::to_string(ttl) + " ms" : ""));
        const double load = LoadAverage();
        const SetupRun run = RunSetup(options, place, setup, ttl ? ttl : ttlMs, i > 0);
        rows.push_back(ComparisonRow::From(SetupName(setup), ttl, options.durationSec,
                                           options.processes, run.workers));
        rows.back().cpuSec = run.cpuSec;
        rows.back().loadAvg = load;
        if (setup == Setup::Velcache) {
            const Summary summary(run.facts, run.workers, run.writer);
            code = summary.ExitCode();
            velcacheJson = summary.Json();
            velcacheSummary = summary;
            velcacheFacts = run.facts;
        }
    }
    const Comparison comparison(std::move(rows), options.processes, options.memoryEntries);
    if (options.json)
        std::fputs(
            ("{\"comparison\": " + comparison.Json() + ", \"velcache\": " + velcacheJson + "}\n")
                .c_str(),
            stdout);
    else
        std::fputs(comparison.Table().c_str(), stdout);
    std::fflush(stdout);
    if (velcacheSummary && !WriteReport(options, velcacheFacts, *velcacheSummary, &comparison))
        return 2;
    return code;
}

}  // namespace

int RunWorkload(const Options& options) {
    ::signal(SIGPIPE, SIG_IGN);
    if (std::string why; !options.db.empty() && !DataGenerator::MayReplace(options.db, why)) {
        Say("--db " + options.db + ": will not replace it, " + why +
            "; give the path of a new file (or of a database an earlier run wrote)");
        return 2;
    }
    RunPlace place;
    // Made before the server, which takes their paths.
    velsupport::TlsCertificates certificates;
    if (options.redisTls) {
        if (const std::string error = certificates.Make(); !error.empty()) {
            Say("cannot make the certificates of a TLS redis-server: " + error);
            return 2;
        }
        place.certificatesDir = certificates.Directory();
    }
    place.runId =
        std::to_string(::getpid()) + "-" +
        std::to_string(std::chrono::system_clock::now().time_since_epoch().count() % 1000000007);
    place.workDir =
        std::filesystem::temp_directory_path() / ("velcache-demo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(place.workDir);
    place.dbPath = options.db.empty() ? (place.workDir / "sales.db").string() : options.db;
    if (!options.history.empty()) {
        // Every process appends to it; a history of an earlier run goes first.
        std::ofstream history(options.history, std::ios::trunc);
        history << "# velcache_demo run " << place.runId << ": W KEY VERSION COMMIT_NS, "
                << "R PROCESS KEY VERSION START_NS END_NS (velcache audit)\n";
        if (!history) {
            Say("--history " + options.history + ": cannot write it");
            return 2;
        }
    }
    velsupport::RedisServer server = options.redisTls
                                         ? velsupport::RedisServer(velsupport::ServerTlsFrom(
                                               certificates, /*requireClientCert=*/true))
                                         : velsupport::RedisServer();
    place.server = &server;
    int code = FindRedis(options, place);
    if (code == 0)
        code = options.compare ? RunComparison(options, place) : RunMainJob(options, place);
    server.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(place.workDir, ignored);
    return code;
}

}  // namespace demo
