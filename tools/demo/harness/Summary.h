// Summary: the end of a run as a person reads it (a table) and as a script reads it (JSON), both
// written from one list of rows (a figure each: its words in the table, its key in the JSON) over
// the workers' and the writer's stats added up by the parent.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "harness/Stats.h"
#include "report/Table.h"

namespace demo {

struct SummaryRow;  // one figure of the table and the JSON (Summary.cpp)

// Where the run kept its Redis data.
enum class RedisSetup { PrivateServer, GivenServer, Cluster };

struct RunFacts {
    RedisSetup redisSetup = RedisSetup::PrivateServer;
    std::string redisEndpoint;  // HOST:PORT, or the cluster's nodes as given
    int clusterMasters = 0;
    int processes = 0;
    int memoryEntries = 0;   // of each worker's memory layer
    double durationSec = 0;  // of the workload
    std::uint64_t seed = 0;
    int salesRows = 0;
    std::string dbPath;
    bool allReported = true;  // every process sent its final report
    bool chaos = false;
    int connectionKills = 0;
    int serverRestarts = 0;
    int followerKills = 0;     // on PostgreSQL: the follower killed with SIGKILL and restarted
    int databaseRestarts = 0;  // on PostgreSQL: the database restarted
    // The herd (chaos): when the hottest base answers were dropped, and how many keys.
    double herdAtSec = -1;  // from the start of the workload; -1: no herd
    int herdKeys = 0;
    // The database outage (chaos): when it began and how long it lasted; -1: none.
    double outageAtSec = -1;
    double outageSec = 0;
    // The workers' cache features.
    bool leases = true;
    bool failSafe = true;
    bool audit = true;  // the library's auditor ran in the workers' base caches
    long long valueLifetimeSec = 600;
    bool skipKnownFills = true;  // fills of the newest announced content not announced
    std::vector<std::int64_t> receivedPerWorker;
    std::vector<std::int64_t> settleStalePerWorker;
    std::vector<std::int64_t> warningsPerWorker;
    std::vector<std::int64_t> failedExternalPerWorker;
    // When the workload began (Unix ms), and the answers the workers reported in each second
    // from then on. A long run's timeline keeps its memory bounded by halving its resolution
    // (BoundTimeline): each "second" of these lists then covers secondsPerPoint seconds.
    std::int64_t startedAtUnixMs = 0;
    int secondsPerPoint = 1;
    std::vector<std::int64_t> answersPerSecond;
    // At the end of each of those seconds: what the report charts of the workers' stats added up
    // as reported by then (ChartedSecond), and the largest live delivery lag (p50, p99 of the
    // last minute) a worker reported (-1: none).
    std::vector<Stats> workersEachSecond;
    std::vector<std::int64_t> lagP50MsEachSecond;
    std::vector<std::int64_t> lagP99MsEachSecond;
    // The faults made (--chaos), in seconds from the start of the workload.
    struct Fault {
        double atSec = 0;
        std::string what;
    };
    std::vector<Fault> faults;
};

// The library's log lines at Warn or above that a process counted.
std::int64_t LibraryWarnings(const Stats& stats);
// External cache operations of a process that failed (an error or a time-out) or were refused
// (no concurrency unit in time): every "fail" and "jam" outcome.
std::int64_t FailedExternalOperations(const Stats& stats);

// The database loads of the herd's keys in the counting window, added up over the workers
// ("herd.loads.<qid>" counters), over `keys` keys (those never loaded count as 0).
struct HerdLoads {
    std::int64_t loads = 0;
    // Of the loads, the first of each key and version over every worker (a key's first load,
    // and one per change the writer made meanwhile), and the rest: repeats of a version loaded
    // already, by another worker or the same one.
    std::int64_t firstLoads = 0;
    std::int64_t repeats = 0;
    // Of the loads, those made while the worker's service heard nothing (past every lease).
    std::int64_t deafLoads = 0;
    int keysLoaded = 0;
    std::int64_t maxPerKey = 0;
    double meanPerKey = 0;
};
HerdLoads HerdLoadsOf(const Stats& workers, int keys);

// What the coherence service cost a run: announcements published by every process against the
// writer's row updates, and messages delivered live to each process (the writer included).
struct CoherenceTraffic {
    std::int64_t published = 0;
    std::int64_t changes = 0;
    std::int64_t fillsNotPublished = 0;
    double publishedPerChange = 0;    // 0 when the data did not change
    double deliveriesPerProcess = 0;  // 0 without processes
};
CoherenceTraffic TrafficOf(const Stats& workers, const Stats& writer, int processes);
// The traffic as a line of the table (no newline), or as the members of a JSON object.
std::string TrafficText(const CoherenceTraffic& traffic, bool skipKnownFills, bool json);

// "private server", "given server" or "cluster of N masters".
std::string DescribeRedis(const RunFacts& facts);

class Summary {
public:
    Summary(RunFacts facts, Stats workers, Stats writer);

    std::string Table() const;
    std::string Json() const;
    // The same figures as the report page shows them: the run, the answers by layer with their
    // latency, the freshness checks, the coherence service and the caches.
    std::vector<demo::Table> ReportTables() const;
    // The table's last line without "Result: ": "correct (...)", "STALE ANSWERS FOUND ...".
    std::string Verdict() const;
    // Every process reported, zero stale answers beyond the window and zero stale entries
    // after settling.
    bool Correct() const;
    // Correct, and no process counted a library warning or a failed external operation.
    bool Clean() const;
    // 0 clean, 1 not correct, 3 correct but not clean.
    int ExitCode() const { return !Correct() ? 1 : Clean() ? 0 : 3; }

private:
    using Rows = std::vector<SummaryRow>;

    std::int64_t Answers() const { return m_workers.Get("queries"); }
    double Speedup() const;
    // The rows of Table() and Json(), in the table's order, made part by part.
    Rows AllRows() const;
    void AddRunRows(Rows& rows) const;
    void AddLayerRows(Rows& rows) const;
    void AddCoherenceRows(Rows& rows) const;
    void AddCacheRows(Rows& rows) const;
    void AddOperationRows(Rows& rows) const;
    void AddFreshnessRows(Rows& rows) const;
    void AddTimelineRows(Rows& rows) const;
    void AddChaosRows(Rows& rows) const;
    // Parts that the page's tables show too; `lead` comes before their first figure.
    Rows FeatureRows(const std::string& lead) const;
    Rows HerdRows(const std::string& lead, bool inTable) const;
    Rows OutageRows(const std::string& lead, bool inTable) const;
    std::string HeldText() const;
    std::string CheckedText() const;
    // The tables of ReportTables().
    demo::Table RunTable() const;
    demo::Table LayersTable() const;
    demo::Table FreshnessTable() const;
    demo::Table CoherenceTable() const;

    RunFacts m_facts;
    Stats m_workers;
    Stats m_writer;
    Stats m_both;  // workers' and writer's figures added
};

}  // namespace demo
