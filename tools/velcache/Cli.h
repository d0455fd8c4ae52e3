// The pieces the commands of the velcache tool share: exit codes, the error that ends a
// command, argument parsing, the Redis endpoint, byte I/O and the progress line.
//
// A command reports a problem by throwing CommandError; main prints it (with the command's usage
// when the arguments were wrong) and exits with its code. Nothing else leaves a command.
// Not thread-safe unless stated: the tool runs its commands on the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "caching/CacheCoherence.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSlotMap.h"
#include "velsys/Locks.h"

namespace velcli {

enum ExitCode : int {
    kExitOk = 0,
    kExitNotFound = 1,     // get: no value under the key
    kExitStale = 1,        // audit: stale reads found
    kExitUsage = 2,        // bad arguments: the usage is printed
    kExitUnavailable = 3,  // a server, directory or file that cannot be used
};

class CommandError : public std::runtime_error {
public:
    CommandError(int code, const std::string& message)
        : std::runtime_error(message), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

[[noreturn]] inline void Fail(int code, const std::string& message) {
    throw CommandError(code, message);
}
[[noreturn]] inline void UsageError(const std::string& message) {
    Fail(kExitUsage, message);
}

// The arguments of one command: "--name value" options, "--name" flags and positional
// arguments, in any order. An option or flag the command does not know, an option without its
// value, or an option given twice is a usage error.
class Args {
public:
    Args(const std::vector<std::string>& argv, const std::set<std::string>& valueOptions,
         const std::set<std::string>& flags);

    bool Has(const std::string& name) const { return m_values.count(name) != 0; }
    // The option's value, or `fallback` when it was not given.
    std::string Get(const std::string& name, const std::string& fallback = "") const;
    // The option's value. REQUIRES (usage error otherwise): given, and not empty.
    std::string Require(const std::string& name) const;
    const std::vector<std::string>& Positional() const { return m_positional; }
    // REQUIRES (usage error otherwise): exactly `count` positional arguments, named `what`.
    void ExpectPositional(std::size_t count, const std::string& what) const;

private:
    std::map<std::string, std::string> m_values;  // flags map to ""
    std::vector<std::string> m_positional;
};

// The options and flags that name and reach a Redis endpoint (ParseRedisTarget reads them).
inline const std::set<std::string> kRedisOptions = {
    "--redis", "--redis-cluster", "--user", "--password-file", "--cacert", "--cert", "--key"};
inline const std::set<std::string> kRedisFlags = {"--tls"};

// Where the tool finds Redis: one server ("--redis HOST:PORT") or a cluster ("--redis-cluster
// HOST:PORT[,HOST:PORT...]", any of its nodes), with time-outs suited to a person waiting at a
// terminal, over TLS with --tls (--cacert: the CA file, else the system's store; --cert and
// --key: a client certificate).
struct RedisTarget {
    velmora::caching::RedisEndpointConfig config;
    std::string address;                                    // as given, for messages
    std::vector<velmora::caching::RedisNodeAddress> nodes;  // the server, or the nodes given
    std::optional<std::string> passwordFile;  // --password-file, read by ReadPasswordFile
};
// The target that --redis or --redis-cluster names, or `fallback` ("HOST:PORT") when neither is
// given, with --user and --password-file (not read yet). Usage error when both are given, an
// address is malformed, a TLS file is given without --tls, or only one of --cert and --key is
// given.
RedisTarget ParseRedisTarget(const Args& args, const std::string& fallback);
// Sets the target's password from its password file, when it names one (the trailing line
// break dropped). kExitUnavailable when the file cannot be read, usage error when it is empty.
void ReadPasswordFile(RedisTarget& target);
// The nodes that hold the target's keys: the server itself, or the masters of the cluster's
// slots as the first node that answers CLUSTER SLOTS names them. Fails with kExitUnavailable
// naming the address when no node answers (or a --redis-cluster node is not in a cluster).
std::vector<velmora::caching::RedisNodeAddress> CheckRedisReachable(const RedisTarget& target);

// Reads a whole file, or standard input when `path` is empty; kExitUnavailable when it cannot.
std::vector<unsigned char> ReadAllBytes(const std::string& path);
// Writes `bytes` to a file (created or truncated), or to standard output when `path` is empty;
// kExitUnavailable when it cannot.
void WriteAllBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// Prints "<what>: <count> so far (<seconds> s)" on stderr once a second while a long listing
// runs, starting after the first second, and a closing line if it printed any. Count() is
// safe for concurrent use.
class ProgressLine {
public:
    explicit ProgressLine(std::string what);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void Count(long long n = 1) { m_count += n; }

private:
    const std::string m_what;
    const std::chrono::steady_clock::time_point m_start;
    std::atomic<long long> m_count{0};
    bool m_printed = false;  // written by the reporting thread, read after it ended
    velmora::TMutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop VEL_GUARDED_BY(m_mutex) = false;
    std::thread m_thread;
};

// A command line read and checked before anything runs: what to do, every argument parsed.
// Reading it opens no file and connects to nothing (the password file is read when the command
// runs); a wrong command line is a usage error (CommandError with kExitUsage).
struct CommandLine {
    enum class Action { Help, ExternalCache, CoherenceWatch, CoherencePublish };
    Action action = Action::Help;
    const char* usage = nullptr;       // the usage text of the command (Help prints it)
    std::string sub;                   // ec: put, get, ls or drop
    std::string ns;                    // the namespace (coherence: its default when not given)
    std::string dir;                   // ec --dir; empty for Redis
    std::optional<RedisTarget> redis;  // unless ec --dir
    std::string key;                   // ec put, get, drop: KEY
    std::string in, out;               // ec put --in, ec get --out (empty: standard streams)
    velmora::caching::HashPair keyHash, dataHash;  // coherence publish
    unsigned long long time = 0;                   // coherence publish: raw DateTime
};
// The words after the tool's name. Help ("help", "--help" as the command or sub-command, or
// --help among the arguments) gives Action::Help with the usage text to print.
CommandLine ParseCommandLine(const std::vector<std::string>& argv);

// The commands, run from a parsed command line of their action.
int RunExternalCacheCommand(const CommandLine& line);
int RunCoherenceCommand(const CommandLine& line);
// velcache sim ARGS (the words after "sim"): see kSimUsage.
int RunSimCommand(const std::vector<std::string>& argv);
// velcache audit ARGS (the words after "audit"): see kAuditUsage.
int RunAuditCommand(const std::vector<std::string>& argv);
// velcache stats ARGS (the words after "stats"): see kStatsUsage.
int RunStatsCommand(const std::vector<std::string>& argv);

// What velcache stats reads from the network, parsed apart from the sockets so that it can be
// fuzzed. Both throw std::runtime_error saying what is wrong; the command adds the address.

// An HTTP/1.x answer to a GET, read from the bytes received so far (`ended`: the server closed
// the connection, nothing more comes). Nothing while more bytes are needed. The answer is
// complete at the end of its Content-Length, else (chunked, or no length) when the connection
// ends; a chunked body comes back decoded. Throws for a malformed head or chunk, a head over
// 64 KiB, a body over kMaxStatsBody, a transfer or content encoding other than chunked or
// identity, and a connection that ends before the answer does.
struct HttpAnswer {
    int status = 0;      // 100..999
    std::string reason;  // as the server wrote it
    std::string body;
};
constexpr std::size_t kMaxStatsBody = 16u << 20;  // 16 MiB
std::optional<HttpAnswer> ReadHttpAnswer(const std::string& received, bool ended);

// One row of the stats table: a sample of the scrape, or a histogram series' mean.
struct StatsRow {
    std::string metric;
    std::vector<std::pair<std::string, std::string>> labels;  // in scrape order, unescaped
    std::string value;  // as the scrape wrote it; a mean as %.6g, "-" when the count is 0
};
// The rows of a scrape in the Prometheus text format 0.0.4, families in the order they appear.
// A histogram's series (labels without le) become NAME_count, NAME_sum and NAME:mean rows in
// place of their buckets; every other sample is a row of its own. Comments other than HELP and
// TYPE are skipped; timestamps are dropped. Throws "line N: ..." for a line it cannot read.
std::vector<StatsRow> ParseScrape(const std::string& text);

// Usage texts, printed for --help (on stdout) and after a usage error (on stderr).
extern const char* const kMainUsage;
extern const char* const kExternalCacheUsage;
extern const char* const kCoherenceUsage;
extern const char* const kSimUsage;
extern const char* const kAuditUsage;
extern const char* const kStatsUsage;

}  // namespace velcli
