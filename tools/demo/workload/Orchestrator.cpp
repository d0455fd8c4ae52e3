#include "Orchestrator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DataGenerator.h"
#include "QueryCatalogue.h"
#include "RedisNodes.h"
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

Child Spawn(const std::vector<std::string>& args, const std::string& role, int index) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--role", role, "--index", std::to_string(index)});
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    child.role = role;
    child.index = index;
    const int rc = posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
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
                  ratio("sqlite"), delta("invalidations") / interval,
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

// Passes the database outage commands of `control` on to the workers.
void FollowControl(ControlFifo& control, std::vector<Child>& children) {
    for (const std::string& line : control.Read()) {
        if (line != "outage-begin" && line != "outage-end") {
            std::fprintf(stderr, "control: unknown command '%s'\n", line.c_str());
            continue;
        }
        std::fprintf(stderr, "control: %s\n", line.c_str());
        for (Child& c : children)
            if (c.role == "worker") c.Send(line);
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

int RunWorkload(const Options& options) {
    ::signal(SIGPIPE, SIG_IGN);
    const bool live = ::isatty(2);
    const auto say = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    const std::string runId =
        std::to_string(::getpid()) + "-" +
        std::to_string(std::chrono::system_clock::now().time_since_epoch().count() % 1000000007);
    const auto workDir =
        std::filesystem::temp_directory_path() / ("velcache-demo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(workDir);
    const std::string dbPath = options.db.empty() ? (workDir / "sales.db").string() : options.db;

    // The nodes chaos strikes: the one server, or every node of the cluster.
    RunFacts facts;
    velsupport::TlsCertificates certificates;
    if (options.redisTls) {
        if (const std::string error = certificates.Make(); !error.empty()) {
            say("cannot make the certificates of a TLS redis-server: " + error);
            return 2;
        }
    }
    velsupport::RedisServer server = options.redisTls
                                         ? velsupport::RedisServer(velsupport::ServerTlsFrom(
                                               certificates, /*requireClientCert=*/true))
                                         : velsupport::RedisServer();
    std::vector<velmora::caching::RedisNodeAddress> nodes;
    if (!options.redisCluster.empty()) {
        nodes = ClusterNodes(options.redisCluster, facts.clusterMasters);
        if (nodes.empty()) {
            say("no node of " + options.redisCluster + " answers CLUSTER SLOTS as a Redis cluster");
            return 2;
        }
    } else if (options.redis.empty()) {
        if (const std::string error = server.Start(); !error.empty()) {
            say("cannot start a private redis-server: " + error + "; use --redis HOST:PORT");
            return 2;
        }
        nodes.push_back({"127.0.0.1", server.Port()});
    } else {
        nodes = velmora::caching::RedisNodeAddress::ParseList(options.redis);
        if (!RedisCommand(nodes[0].host, nodes[0].port, {"PING"})) {
            say("Redis at " + options.redis + " does not answer PING");
            return 2;
        }
    }
    facts.redisSetup = !options.redisCluster.empty() ? RedisSetup::Cluster
                       : options.redis.empty()       ? RedisSetup::PrivateServer
                                                     : RedisSetup::GivenServer;
    facts.redisEndpoint =
        facts.redisSetup == RedisSetup::Cluster ? options.redisCluster : nodes[0].ToString();

    const auto genStart = Clock::now();
    DataShape shape;
    shape.salesRows = options.salesRows;
    DataGenerator(shape, options.seed).Write(dbPath);
    std::size_t catalogueSize = 0;
    {
        SqliteDb db(dbPath);
        const QueryCatalogue catalogue(db);
        catalogueSize = catalogue.Size();
        facts.herdKeys =
            static_cast<int>(HottestBaseQueries(catalogue, options.seed, kHerdKeys).size());
    }
    say("velcache main job: " + std::to_string(options.processes) +
        " workers and a writer on Redis " + facts.redisEndpoint +
        (options.redisTls ? " over TLS" : "") + " (" + DescribeRedis(facts) + "), " +
        std::to_string(options.salesRows) + " sales rows generated in " +
        std::to_string(static_cast<int>(Seconds(Clock::now() - genStart) * 1000)) + " ms, " +
        std::to_string(catalogueSize) + " distinct queries");

    std::vector<std::string> common{SelfPath(),
                                    "--db",
                                    dbPath,
                                    "--seed",
                                    std::to_string(options.seed),
                                    "--external-dir",
                                    (workDir / "external").string(),
                                    "--run-id",
                                    runId,
                                    "--memory-entries",
                                    std::to_string(options.memoryEntries)};
    common.insert(common.end(), {"--value-lifetime", std::to_string(options.ValueLifetimeSec())});
    if (!options.leases) common.push_back("--no-leases");
    if (!options.failSafe) common.push_back("--no-fail-safe");
    if (options.publishEveryFill) common.push_back("--publish-every-fill");
    if (facts.redisSetup == RedisSetup::Cluster)
        common.insert(common.end(), {"--redis-cluster", options.redisCluster});
    else
        common.insert(common.end(), {"--redis-host", nodes[0].host, "--redis-port",
                                     std::to_string(nodes[0].port)});
    if (options.redisTls)
        common.insert(common.end(), {"--redis-tls-dir", certificates.Directory()});
    std::vector<Child> children;
    children.push_back(Spawn(common, "writer", 0));
    for (int i = 0; i < options.processes; ++i) children.push_back(Spawn(common, "worker", i));
    if (!WaitUntil(
            children, [](const Child& c) { return c.ready; }, std::chrono::seconds(60)))
        say("some processes did not report ready in time");

    ControlFifo control(options.control);
    if (!options.control.empty() && !control.Opened())
        say("cannot open the control FIFO " + options.control + "; no commands are followed");
    for (Child& c : children) c.Send("go");
    const auto start = Clock::now();
    facts.startedAtUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", options.durationSec);
    say(std::string("workload running for ") + seconds + " s");
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.durationSec));
    auto nextLine = start + std::chrono::seconds(1);
    auto nextKill = start + std::chrono::seconds(3);
    bool restarted = false;
    // The chaos schedule: the herd first (its loads counted with no other fault near), the
    // server's restart, then the database outage, over with a second of the workload to spare.
    const auto herdAt = start + (end - start) * 20 / 100;
    const auto herdQuietUntil = herdAt + std::chrono::milliseconds(kHerdWindowMs + 500);
    bool herded = false;
    const auto restartAt = start + (end - start) * 35 / 100;
    const auto outageAt = start + (end - start) * 55 / 100;
    const auto outageUntil = std::min(outageAt + std::chrono::seconds(5),
                                      std::max(outageAt, end - std::chrono::seconds(1)));
    std::optional<Clock::time_point> outageBegan;
    bool outageOver = false;
    const auto endOutage = [&] {
        for (Child& c : children)
            if (c.role == "worker") c.Send("outage-end");
        facts.outageSec = Seconds(Clock::now() - *outageBegan);
        outageOver = true;
    };
    Stats before;
    auto beforeAt = start;
    auto nextSecond = start + std::chrono::seconds(1);
    std::int64_t answeredBefore = 0;
    while (Clock::now() < end) {
        Collect(children, std::chrono::milliseconds(100));
        FollowControl(control, children);
        const auto now = Clock::now();
        if (now >= nextSecond) {  // as reported by then (workers report twice a second)
            const std::int64_t answered = Sum(children, "worker").Get("queries");
            facts.answersPerSecond.push_back(answered - answeredBefore);
            answeredBefore = answered;
            nextSecond += std::chrono::seconds(1);
        }
        if (options.chaos && now >= nextKill && now >= herdAt && now < herdQuietUntil)
            nextKill += std::chrono::seconds(3);  // no re-subscription within the herd's count
        if (options.chaos && !herded && now >= herdAt) {
            herded = true;
            for (Child& c : children) c.Send("herd");
            facts.herdAtSec = Seconds(now - start);
        }
        if (options.chaos && !outageBegan && now >= outageAt && outageUntil > outageAt) {
            outageBegan = now;
            for (Child& c : children)
                if (c.role == "worker") c.Send("outage-begin");
            facts.outageAtSec = Seconds(now - start);
        }
        if (outageBegan && !outageOver && now >= outageUntil) endOutage();
        if (options.chaos && now >= nextKill) {
            bool killed = false;
            for (const auto& node : nodes)
                killed |=
                    facts.redisSetup == RedisSetup::PrivateServer
                        ? server.Command({"CLIENT", "KILL", "TYPE", "pubsub"}).type ==
                              velmora::caching::RedisReplyValue::Type::Integer
                        : RedisCommand(node.host, node.port, {"CLIENT", "KILL", "TYPE", "pubsub"});
            facts.connectionKills += killed;
            nextKill += std::chrono::seconds(3);
        }
        if (options.chaos && !restarted && facts.redisSetup == RedisSetup::PrivateServer &&
            now >= restartAt) {
            restarted = true;
            server.Stop();
            if (server.Start().empty()) ++facts.serverRestarts;
        }
        if (now >= nextLine) {
            const Stats workers = Sum(children, "worker");
            const std::string line = ProgressLine(Seconds(now - start), workers, before,
                                                  Seconds(now - beforeAt), Sum(children, "writer"));
            std::fprintf(stderr, live ? "\r%s" : "%s\n", line.c_str());
            before = workers;
            beforeAt = now;
            nextLine += std::chrono::seconds(live ? 1 : 2);
        }
    }
    if (live) std::fprintf(stderr, "\n");
    if (outageBegan && !outageOver) endOutage();
    if (control.Opened())  // an outage the script began and did not end
        for (Child& c : children)
            if (c.role == "worker") c.Send("outage-end");

    for (Child& c : children)
        if (c.role == "writer") c.Send("stop");
    WaitUntil(
        children, [](const Child& c) { return c.role != "writer" || c.done; },
        std::chrono::seconds(30));
    say("writer stopped; workers settle and compare what they hold with SQLite");
    for (Child& c : children) c.Send("settle");
    const bool settled = WaitUntil(
        children, [](const Child& c) { return c.done; }, std::chrono::seconds(120));
    for (Child& c : children) {
        ::close(c.toChild);
        if (!settled && !c.done) ::kill(c.pid, SIGKILL);
        int status = 0;
        ::waitpid(c.pid, &status, 0);
        ::close(c.fromChild);
        if (!c.done) say(c.role + " " + std::to_string(c.index) + " ended without a final report");
    }

    facts.processes = options.processes;
    facts.memoryEntries = options.memoryEntries;
    facts.durationSec = options.durationSec;
    facts.seed = options.seed;
    facts.salesRows = options.salesRows;
    facts.dbPath = options.db.empty() ? "(temporary, removed)" : options.db;
    facts.chaos = options.chaos;
    facts.leases = options.leases;
    facts.failSafe = options.failSafe;
    facts.skipKnownFills = !options.publishEveryFill;
    facts.valueLifetimeSec = options.ValueLifetimeSec();
    for (const Child& c : children)
        if (c.role == "worker") {
            facts.receivedPerWorker.push_back(c.latest.Get("received"));
            facts.settleStalePerWorker.push_back(c.latest.Get("settle.stale"));
            facts.warningsPerWorker.push_back(LibraryWarnings(c.latest));
            facts.failedExternalPerWorker.push_back(FailedExternalOperations(c.latest));
        }
    for (const Child& c : children) facts.allReported = facts.allReported && c.done;
    const Summary summary(facts, Sum(children, "worker"), Sum(children, "writer"));
    std::fputs(options.json ? summary.Json().c_str() : summary.Table().c_str(), stdout);
    std::fflush(stdout);

    server.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(workDir, ignored);
    return summary.ExitCode();
}

}  // namespace demo
