// Orchestrator: the entry of a run in the parent (certificates, run directory, history file,
// Redis, then the main job or the comparison) and the body of a child process.
#include "harness/Orchestrator.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "baselines/ComparisonRun.h"
#include "data/DataGenerator.h"
#include "data/Database.h"
#include "data/QueryCatalogue.h"
#include "harness/Children.h"
#include "harness/MainJob.h"
#include "harness/Roles.h"
#include "harness/StopSignal.h"
#include "velsupport/PostgresServer.h"
#include "velsupport/RedisServer.h"
#include "velsupport/TlsCertificates.h"

namespace demo {

int RunChild(const ChildConfig& config) {
    DemoHost host(HostConfigOf(config));
    ParentLink parent;
    Database db(config.dbPath);
    const QueryCatalogue catalogue(db);
    if (config.role == "writer")
        RunWriter(config, host, parent, catalogue);
    else if (config.role == "follower")
        RunFollower(config, host, parent, catalogue);
    else
        RunWorker(config, host, parent, catalogue);
    std::fflush(stdout);
    // The library's process singletons stay alive until the end; leave without tearing down.
    std::_Exit(0);
}

namespace {

// On PostgreSQL: a private cluster of the run and its database, the password in the environment
// the children inherit (never on a command line). False (said) when it could not start.
bool StartPostgres(std::unique_ptr<velsupport::PostgresServer>& postgres, RunPlace& place) {
    postgres = std::make_unique<velsupport::PostgresServer>();
    if (const std::string error = postgres->Start(); !error.empty()) {
        Say("cannot start a private PostgreSQL: " + error);
        return false;
    }
    std::string error;
    postgres->Sql("CREATE DATABASE velcache_demo", &error);
    if (!error.empty()) {
        Say("cannot create the main job's database: " + error);
        return false;
    }
    ::setenv("PGPASSWORD", postgres->Password().c_str(), 1);
    place.dbPath = "host=127.0.0.1 port=" + std::to_string(postgres->Port()) +
                   " user=postgres dbname=velcache_demo";
    place.postgres = postgres.get();
    return true;
}

}  // namespace

int RunWorkload(const Options& options) {
    ::signal(SIGPIPE, SIG_IGN);
    CatchStopSignals();
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
    std::unique_ptr<velsupport::PostgresServer> postgres;
    if (options.database == "postgres" && !StartPostgres(postgres, place)) return 2;
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
