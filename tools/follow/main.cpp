// velcache-follow: follows a PostgreSQL database's commit log and announces every committed row
// change as tag invalidations to the velcache processes of a coherence namespace, so that a
// writer that tells the cache nothing is heard all the same. One per deployment (per slot).
//
// Exit status: 0 stopped by SIGINT or SIGTERM, 1 the follower stopped on its own (a mapping that
// failed), 2 bad arguments (the usage is printed), 3 the database or Redis cannot be used at
// start (the message names host:port and the cause). Each state change is one log line on
// stderr.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "caching/CacheTags.h"
#include "caching/Host.h"
#include "follow/CommitLogFollower.h"

using namespace velmora::caching;

namespace {

constexpr int kExitStopped = 0, kExitFailed = 1, kExitUsage = 2, kExitUnusable = 3;

constexpr char kUsage[] =
    "usage: velcache-follow --postgres CONNINFO --redis HOST:PORT [options]\n"
    "\n"
    "Follows a PostgreSQL database's commit log (a logical replication slot read with the\n"
    "built-in pgoutput plugin) and announces each committed row change as tag invalidations\n"
    "(\"<table>:<key>\", \"<table>:<column>=<value>\"; \"<table>\" for a TRUNCATE) to the\n"
    "velcache processes of a coherence namespace. The server needs wal_level=logical; the role\n"
    "needs the REPLICATION attribute (and the rights to create the publication and slot, unless\n"
    "they exist).\n"
    "\n"
    "  --postgres CONNINFO      the database, as libpq takes it (\"host=... port=... user=...\n"
    "                           dbname=...\" or a postgresql:// URI); the password from\n"
    "                           PGPASSWORD or ~/.pgpass rather than the command line\n"
    "  --redis HOST:PORT        the Redis server of the coherence namespace\n"
    "  --redis-password-file F  the Redis password, read from F\n"
    "  --namespace NS           the coherence namespace (default velcache.coherence.)\n"
    "  --table NAME             a table to follow (repeat); default: the publication's tables\n"
    "  --columns TABLE=C1,C2    also announce \"TABLE:C=value\" for these columns (repeat)\n"
    "  --scope NAME             announce for the cache NAME only (default: every cache)\n"
    "  --slot NAME              the replication slot (default velcache_follow)\n"
    "  --publication NAME       the publication (default velcache_follow)\n"
    "  --no-create              fail when the publication or slot is missing\n"
    "  --connect-timeout-ms N   per connection attempt (default 5000)\n"
    "  -h, --help               this text\n"
    "\n"
    "Exit status: 0 stopped by SIGINT/SIGTERM, 1 the follower failed, 2 bad arguments,\n"
    "3 the database or Redis cannot be used at start.\n";

[[noreturn]] void UsageError(const std::string& what) {
    std::fprintf(stderr, "velcache-follow: %s\n\n%s", what.c_str(), kUsage);
    std::exit(kExitUsage);
}

struct Arguments {
    CommitLogFollowerOptions follower;
    std::map<std::string, std::vector<std::string>> columns;
    HostOptions host;
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

Arguments Parse(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "-h" || flag == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(kExitStopped);
        }
        const bool bare = flag == "--no-create";
        if (!bare && i + 1 >= argc) UsageError(flag + " needs a value");
        const std::string value = bare ? "" : argv[++i];
        if (flag == "--postgres") {
            a.follower.conninfo = value;
        } else if (flag == "--redis") {
            a.host.redis = value;
        } else if (flag == "--redis-password-file") {
            std::ifstream file(value);
            if (!file) UsageError("cannot read " + value);
            std::getline(file, a.host.redisPassword);
        } else if (flag == "--namespace") {
            a.host.coherenceNamespace = value;
        } else if (flag == "--table") {
            a.follower.tables.push_back(value);
        } else if (flag == "--columns") {
            const std::size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0)
                UsageError("--columns wants TABLE=C1,C2, not \"" + value + "\"");
            a.columns[value.substr(0, equals)] = Split(value.substr(equals + 1), ',');
        } else if (flag == "--scope") {
            a.follower.scope = value;
        } else if (flag == "--slot") {
            a.follower.slot = value;
        } else if (flag == "--publication") {
            a.follower.publication = value;
        } else if (flag == "--no-create") {
            a.follower.create = false;
        } else if (flag == "--connect-timeout-ms") {
            char* end = nullptr;
            const long ms = std::strtol(value.c_str(), &end, 10);
            if (!end || *end || ms <= 0) UsageError("--connect-timeout-ms wants a positive number");
            a.follower.connectTimeout = std::chrono::milliseconds(ms);
        } else {
            UsageError("unknown option " + flag);
        }
    }
    if (a.follower.conninfo.empty()) UsageError("--postgres is required");
    if (a.host.redis.empty()) UsageError("--redis is required");
    // Each state change of the follower is a line at Info.
    a.host.stderrLevel = HostLogLevel::Info;
    a.follower.mapping = DefaultTagMapping(a.columns);
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments = Parse(argc, argv);
    // The signals that stop the follower are taken by sigwait below, on this thread only: block
    // them before any thread starts.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::unique_ptr<CommitLogFollower> follower;
    Host* host = nullptr;
    try {
        host = &Host::Start(arguments.host);
        follower = std::make_unique<CommitLogFollower>(arguments.follower, host->Tags());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velcache-follow: %s\n", e.what());
        return kExitUnusable;
    }
    // Wakes once a second to notice a follower that stopped on its own.
    int exitCode = kExitStopped;
    for (;;) {
        timespec second{1, 0};
        if (sigtimedwait(&stops, nullptr, &second) > 0) break;
        if (follower->Failed()) {
            exitCode = kExitFailed;
            break;
        }
    }
    follower->Stop();
    const CommitLogFollowerCounters c = follower->GetCounters();
    std::fprintf(stderr,
                 "velcache-follow: stopped: %lld transactions, %lld changes, %lld tags announced, "
                 "%lld unrenderable rows, %lld retries, %lld reconnects, %lld gaps\n",
                 c.transactions, c.changes, c.announced, c.unrenderable, c.retries, c.reconnects,
                 c.gaps);
    follower.reset();
    host->Stop();
    return exitCode;
}
