// MainJob: one run of the workload in a set-up (the database generated, the processes started,
// driven, settled and reaped) and the main job's run of it with its summary. One thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "baselines/Baselines.h"
#include "harness/Options.h"
#include "harness/Summary.h"
#include "velredis/RedisSlotMap.h"

namespace velsupport {
class PostgresServer;
class RedisServer;
}  // namespace velsupport

namespace demo {

class Comparison;

// What every set-up of a run shares: the Redis nodes, the database's place, the directory of the
// run's files and the facts found so far.
struct RunPlace {
    std::vector<velmora::caching::RedisNodeAddress> nodes;
    velsupport::RedisServer* server = nullptr;
    velsupport::PostgresServer* postgres = nullptr;  // --database postgres: the run's cluster
    std::string certificatesDir;                     // TLS: the run's certificates
    std::filesystem::path workDir;
    std::string dbPath;
    std::string runId;
    std::vector<std::string> childArgs;  // of the set-up running: a child started again takes them
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

// 0, or once a stop signal arrived (StopSignal), 128 plus its number, said with why the run
// ended early.
int StoppedBySignal();
// Finds or starts the Redis server(s); 0 or the exit code of a failure (said).
int FindRedis(const Options& options, RunPlace& place);
// One run of the workload in `setup` on a newly generated database: the writer and the workers
// started, driven, settled and reaped.
SetupRun RunSetup(const Options& options, RunPlace& place, Setup setup, long long ttlMs,
                  bool quiet);
// Writes the report of --report, when asked for; false (said) when it could not.
bool WriteReport(const Options& options, const RunFacts& facts, const Summary& summary,
                 const Comparison* comparison);
// The main job: the library's set-up once, then its summary; the exit code.
int RunMainJob(const Options& options, RunPlace& place);

}  // namespace demo
