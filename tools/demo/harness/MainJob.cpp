// MainJob: the set-up's run from the database to the reaped processes, and the main job's
// summary and report.
#include "harness/MainJob.h"

#include <string.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "caching/Host.h"
#include "data/DataGenerator.h"
#include "data/Database.h"
#include "data/QueryCatalogue.h"
#include "harness/Chaos.h"
#include "harness/Children.h"
#include "harness/RedisNodes.h"
#include "harness/Roles.h"
#include "harness/Sampling.h"
#include "harness/StopSignal.h"
#include "report/Report.h"
#include "velsupport/RedisServer.h"

namespace demo {

namespace {

// (Re)writes the run's database from the seed and tells what it holds.
void GenerateDatabase(const Options& options, RunPlace& place, bool quiet) {
    const auto genStart = Clock::now();
    DataShape shape;
    shape.salesRows = options.salesRows;
    DataGenerator(shape, options.seed).Write(place.dbPath);
    Database db(place.dbPath);
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
    const bool postgres = options.database == "postgres";
    Say("velcache main job: " + std::to_string(options.processes) + " workers and a writer" +
        (postgres ? std::string(options.follower ? " (silent), a follower of PostgreSQL's "
                                                   "commit log"
                                                 : " (silent), no follower") +
                        " on a private PostgreSQL cluster,"
                  : std::string()) +
        " on Redis " + place.facts.redisEndpoint + (options.redisTls ? " over TLS" : "") + " (" +
        DescribeRedis(place.facts) + "), " + std::to_string(options.salesRows) +
        " sales rows generated in " +
        std::to_string(static_cast<int>(Seconds(Clock::now() - genStart) * 1000)) + " ms, " +
        std::to_string(catalogue.Size()) + " distinct queries");
    const velmora::caching::HostOptions defaults;
    Say("every worker's host runs with the library's defaults: command time-out " +
        std::to_string(defaults.commandTimeout.count()) + " ms, silence bound " +
        std::to_string(defaults.maxDeafMs) + " ms, reconnection within " +
        std::to_string(defaults.reconnectBackoffMax.count()) + " ms");
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
    common.insert(common.end(), {"--value-lifetime", std::to_string(options.ValueLifetimeSec()),
                                 "--malloc-trim-s", std::to_string(options.mallocTrimSec)});
    if (!options.leases) common.push_back("--no-leases");
    if (!options.failSafe) common.push_back("--no-fail-safe");
    if (!options.deafHolds) common.push_back("--no-deaf-holds");
    if (options.mruMemory) common.push_back("--mru-memory");
    if (options.publishEveryFill) common.push_back("--publish-every-fill");
    if (options.audit) common.push_back("--audit");
    // On PostgreSQL the writer commits plain SQL: the follower announces.
    if (options.silentWriter || options.database == "postgres") common.push_back("--silent-writer");
    if (options.announceKeys) common.push_back("--announce-keys");
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
    int secondsInPoint = 0;
    std::int64_t answeredBefore = 0;
    Histogram latencyBefore;
    while (Clock::now() < end && StopSignal() == 0) {
        Collect(children, std::chrono::milliseconds(100));
        FollowControl(control, children);
        const auto now = Clock::now();
        // As reported by then (workers report twice a second), a point every secondsPerPoint.
        if (now >= nextSecond && ++secondsInPoint >= facts.secondsPerPoint) {
            const std::int64_t answered = Sum(children, "worker").Get("queries");
            facts.answersPerSecond.push_back(answered - answeredBefore);
            SampleSecond(children, facts, latencyBefore);
            BoundTimeline(facts, kTimelinePoints);
            answeredBefore = answered;
            secondsInPoint = 0;
        }
        if (now >= nextSecond) nextSecond += std::chrono::seconds(1);
        if (options.chaos) chaos.Step(now);
        progress.Step(now, children);
    }
    progress.Finish();
    chaos.Finish();
    if (control.Opened())  // an outage the script began and did not end
        for (Child& c : children) c.Send("outage-end");
}

}  // namespace

int StoppedBySignal() {
    const int signal = StopSignal();
    if (signal == 0) return 0;
    Say(std::string("stopped by ") + ::sigabbrev_np(signal) + " before the run ended; no summary");
    return 128 + signal;
}

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

SetupRun RunSetup(const Options& options, RunPlace& place, Setup setup, long long ttlMs,
                  bool quiet) {
    GenerateDatabase(options, place, quiet);
    const std::string runId = place.runId + "-" + SetupName(setup) + "-" + std::to_string(ttlMs);
    const std::vector<std::string> common = ChildArgs(options, place, runId, setup, ttlMs);
    place.childArgs = common;
    const double cpuBefore = ChildrenCpuSec();
    std::vector<Child> children;
    children.push_back(Spawn(common, "writer", 0));
    if (options.database == "postgres" && options.follower)
        children.push_back(Spawn(common, "follower", 0));
    for (int i = 0; i < options.processes; ++i) children.push_back(Spawn(common, "worker", i));
    if (!WaitUntil(
            children, [](const Child& c) { return c.ready; }, std::chrono::seconds(60)))
        Say("some processes did not report ready in time");
    SetupRun run;
    run.facts = place.facts;
    DriveWorkload(options, children, place, run.facts);
    StopAndReap(children);
    NoteOutcome(options, children, run.facts);
    run.cpuSec = ChildrenCpuSec() - cpuBefore;
    run.workers = Sum(children, "worker");
    run.writer = Sum(children, "writer");
    run.writer.Merge(Sum(children, "follower"));  // its figures print beside the writer's
    return run;
}

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
    if (const int code = StoppedBySignal()) return code;
    const Summary summary(run.facts, run.workers, run.writer);
    std::fputs(options.json ? summary.Json().c_str() : summary.Table().c_str(), stdout);
    std::fflush(stdout);
    if (!WriteReport(options, run.facts, summary, nullptr)) return 2;
    return summary.ExitCode();
}

}  // namespace demo
