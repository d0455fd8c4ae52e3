// The velcache tool's command line: the usage texts and the parser that reads every argument
// before a command runs (Cli.h, CommandLine).
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <regex>

#include "Cli.h"
#include "caching/CoherenceMessages.h"
#include "caching/Host.h"
#include "velcoredata/DateTime.h"

namespace velcli {

using velmora::caching::HashPair;

const char* const kMainUsage =
    "usage: velcache <command> [<args>]\n"
    "\n"
    "commands:\n"
    "  ec put|get|ls|drop   read and write the external cache of a namespace (disk or Redis)\n"
    "  coherence watch      print the coherence announcements of a namespace as they arrive\n"
    "  coherence publish    send one coherence announcement\n"
    "  sim TRACE            replay an access trace through the memory policies: hit ratio per\n"
    "                       size, to size a cache\n"
    "  audit HISTORY        report the reads of a recorded history that returned a value older\n"
    "                       than a write committed before they began\n"
    "  stats URL            print a host's metrics (its GET /metrics) as a table\n"
    "\n"
    "'velcache <command> --help' describes a command.\n"
    "Exit status: 0 done, 1 not found (audit: stale reads), 2 bad arguments, 3 server,\n"
    "directory or file unusable.\n";

const char* const kExternalCacheUsage =
    "usage: velcache ec put  [--ns NS] WHERE [--in FILE] KEY\n"
    "       velcache ec get  [--ns NS] WHERE [--out FILE] KEY\n"
    "       velcache ec ls   [--ns NS] WHERE\n"
    "       velcache ec drop [--ns NS] WHERE KEY\n"
    "WHERE: --dir DIR | REDIS\n"
    "REDIS: (--redis HOST:PORT | --redis-cluster HOST:PORT[,HOST:PORT...])\n"
    "       [--user USER] [--password-file FILE] [--tls [--cacert FILE] [--cert FILE --key FILE]]\n"
    "\n"
    "Stores, loads, lists and removes values of the external cache of namespace NS, through\n"
    "the same disk and Redis caches the hosts use. NS defaults to where a Host of the default\n"
    "namespace keeps its values: velcache.disk with --dir, velcache.redis on Redis.\n"
    "  --dir DIR          the hosts' external cache directory; an entry lives in\n"
    "                     DIR/ExternalCacheV1/NS/<key hash>/ as .key and .bin\n"
    "  --redis HOST:PORT  a Redis server; a value lives under the Redis key NS:KEY\n"
    "  --redis-cluster HOST:PORT[,HOST:PORT...]\n"
    "                     a Redis cluster, through any of its nodes; keys as with --redis\n"
    "  --user USER        log in to Redis as this ACL user\n"
    "  --password-file FILE\n"
    "                     the Redis password, read from FILE (never given on the command line)\n"
    "  --tls              talk to Redis over TLS, checking its certificate and its name\n"
    "  --cacert FILE      the CA certificates (PEM) the server's certificate must chain to\n"
    "                     (default: the system's store)\n"
    "  --cert FILE, --key FILE\n"
    "                     a client certificate and its key (PEM), for a server that asks\n"
    "  --in FILE          put: the value, byte for byte (default: standard input)\n"
    "  --out FILE         get: where the value goes (default: standard output)\n"
    "ls prints one line per key, sorted: the value's size in bytes, a tab, the key ('-' for a\n"
    "size when the entry is not a plain value); a listing longer than a second reports its\n"
    "progress on stderr.\n"
    "Exit status: 0 done, 1 get found no value, 2 bad arguments, 3 server, directory or file\n"
    "unusable.\n";

const char* const kCoherenceUsage =
    "usage: velcache coherence watch [--ns NS] [REDIS]\n"
    "       velcache coherence publish KEYHASH DATAHASH [--time T] [--ns NS] [REDIS]\n"
    "REDIS: (--redis HOST:PORT | --redis-cluster HOST:PORT[,HOST:PORT...])\n"
    "       [--user USER] [--password-file FILE] [--tls [--cacert FILE] [--cert FILE --key FILE]]\n"
    "\n"
    "watch subscribes to every channel of namespace NS and prints one line per announcement:\n"
    "  <channel> key=<key hash> data=<data hash> time=<UTC time> age=<seconds>\n"
    "with the rate once a second on stderr, until Ctrl-C.\n"
    "publish sends one announcement in the coherence service's format, for drills.\n"
    "  --ns NS            namespace (default: velcache.coherence., as a Host's)\n"
    "  --redis HOST:PORT  Redis server (default: 127.0.0.1:6379)\n"
    "  --redis-cluster HOST:PORT[,HOST:PORT...]\n"
    "                     a Redis cluster, through any of its nodes\n"
    "  --user USER, --password-file FILE\n"
    "                     log in as an ACL user, the password read from FILE\n"
    "  --tls [--cacert FILE] [--cert FILE --key FILE]\n"
    "                     over TLS: the CA certificates to trust (default: the system's\n"
    "                     store), a client certificate and its key for a server that asks\n"
    "  KEYHASH, DATAHASH  two hexadecimal numbers joined by '-', like 1f-2a\n"
    "  --time T           'now' (the default), a UTC time like 2026-01-31T12:00:00Z, or a\n"
    "                     tick count (100 ns since 0001-01-01)\n"
    "Exit status: 0 done, 2 bad arguments, 3 server unusable.\n";

namespace {

// What a Host uses when its options leave the namespace alone.
std::string DefaultNamespace() {
    return velmora::caching::HostOptions{}.coherenceNamespace;
}
constexpr const char* kDefaultRedis = "127.0.0.1:6379";
constexpr unsigned long long kTicksPerSecond = 10000000;  // DateTime ticks are 100 ns

// Reads "SUB ARGS...", where SUB is a key of `subs` and ARGS take `common` options, SUB's own
// options (the values in `subs`) and --help. Nothing when help was asked for ("help" or
// "--help" as SUB, or --help among ARGS); usage error for a missing or unknown SUB.
std::optional<Args> ParseSubCommand(const std::vector<std::string>& argv,
                                    const std::set<std::string>& common,
                                    const std::map<std::string, std::set<std::string>>& subs,
                                    const std::set<std::string>& commonFlags) {
    const std::string sub = argv.empty() ? "" : argv[0];
    if (sub == "--help" || sub == "help") return std::nullopt;
    const auto found = subs.find(sub);
    if (found == subs.end()) {
        std::string names;
        std::size_t left = subs.size();
        for (const auto& entry : subs)
            names += entry.first + (--left > 1 ? ", " : left == 1 ? " or " : "");
        UsageError(sub.empty() ? "missing sub-command: " + names
                               : "unknown sub-command '" + sub + "'");
    }
    std::set<std::string> options = common;
    options.insert(found->second.begin(), found->second.end());
    std::set<std::string> flags = commonFlags;
    flags.insert("--help");
    Args args(std::vector<std::string>(argv.begin() + 1, argv.end()), options, flags);
    if (args.Has("--help")) return std::nullopt;
    return args;
}

// A raw DateTime value from "now", a decimal tick count, or a UTC time
// "YYYY-MM-DDTHH:MM:SS[.fff][Z]"; usage error for anything else.
unsigned long long ParseTime(const std::string& text) {
    if (text == "now") return DateTime::UtcNow().GetRepresentation();
    static const std::regex ticks("[0-9]{1,20}");
    static const std::regex utc(
        "([0-9]{4})-([0-9]{2})-([0-9]{2})[T ]([0-9]{2}):([0-9]{2}):([0-9]{2})(\\.[0-9]{1,7})?Z?");
    std::smatch m;
    if (std::regex_match(text, ticks)) {
        errno = 0;
        const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
        if (errno == 0) return value;
    } else if (std::regex_match(text, m, utc)) {
        using namespace std::chrono;
        const year_month_day date(year(std::stoi(m[1])), month(unsigned(std::stoi(m[2]))),
                                  day(unsigned(std::stoi(m[3]))));
        const int h = std::stoi(m[4]), min = std::stoi(m[5]), s = std::stoi(m[6]);
        // Year 0 is a valid calendar date, but before the first tick: its count would wrap.
        if (date.ok() && date.year() >= year(1) && h < 24 && min < 60 && s < 60) {
            const long long days = (sys_days(date) - sys_days(year(1) / January / 1)).count();
            std::string fraction = m[7].matched ? m[7].str().substr(1) : "";
            fraction.resize(7, '0');
            return static_cast<unsigned long long>(days) * 86400ULL * kTicksPerSecond +
                   static_cast<unsigned long long>(h * 3600 + min * 60 + s) * kTicksPerSecond +
                   std::stoull(fraction);
        }
    }
    UsageError("--time wants 'now', a UTC time like 2026-01-31T12:00:00Z or a tick count, not '" +
               text + "'");
}

// A hash pair as written on the wire ("1f-2a"); usage error unless it is one.
HashPair ParseHashPairArgument(const std::string& text, const char* what) {
    static const std::regex pair("[0-9a-fA-F]{1,16}-[0-9a-fA-F]{1,16}");
    if (!std::regex_match(text, pair))
        UsageError(std::string(what) +
                   " wants two hexadecimal numbers joined by '-' (like 1f-2a), "
                   "not '" +
                   text + "'");
    return velmora::caching::ParseHashPair(TString::fromStdString(text));
}

CommandLine ExternalCache(const std::vector<std::string>& argv) {
    CommandLine line;
    line.usage = kExternalCacheUsage;
    std::set<std::string> options = kRedisOptions;
    options.insert({"--ns", "--dir"});
    const std::optional<Args> parsed = ParseSubCommand(
        argv, options, {{"put", {"--in"}}, {"get", {"--out"}}, {"ls", {}}, {"drop", {}}},
        kRedisFlags);
    if (!parsed) return line;
    const Args& args = *parsed;
    line.action = CommandLine::Action::ExternalCache;
    line.sub = argv[0];
    const int places = args.Has("--dir") + args.Has("--redis") + args.Has("--redis-cluster");
    if (places != 1) UsageError("give one of --dir, --redis and --redis-cluster");
    // By default, where a Host of the default namespace keeps the layer's values.
    const velmora::caching::HostNames host = velmora::caching::HostNames::Of(DefaultNamespace());
    line.ns = args.Get("--ns", args.Has("--dir") ? host.disk : host.redis);
    if (line.ns.empty()) UsageError("--ns wants a namespace, not ''");
    args.ExpectPositional(line.sub == "ls" ? 0 : 1, "KEY");
    if (line.sub != "ls") line.key = args.Positional()[0];
    if (args.Has("--dir"))
        line.dir = args.Require("--dir");
    else
        line.redis = ParseRedisTarget(args, "");
    line.in = args.Get("--in");
    line.out = args.Get("--out");
    return line;
}

CommandLine Coherence(const std::vector<std::string>& argv) {
    CommandLine line;
    line.usage = kCoherenceUsage;
    std::set<std::string> options = kRedisOptions;
    options.insert("--ns");
    const std::optional<Args> parsed =
        ParseSubCommand(argv, options, {{"watch", {}}, {"publish", {"--time"}}}, kRedisFlags);
    if (!parsed) return line;
    const Args& args = *parsed;
    line.sub = argv[0];
    if (line.sub == "watch") {
        line.action = CommandLine::Action::CoherenceWatch;
        args.ExpectPositional(0, "");
    } else {
        line.action = CommandLine::Action::CoherencePublish;
        args.ExpectPositional(2, "KEYHASH and DATAHASH");
        line.keyHash = ParseHashPairArgument(args.Positional()[0], "KEYHASH");
        line.dataHash = ParseHashPairArgument(args.Positional()[1], "DATAHASH");
        line.time = ParseTime(args.Get("--time", "now"));
    }
    line.ns = args.Get("--ns", DefaultNamespace());
    if (line.ns.empty()) UsageError("--ns wants a namespace, not ''");
    line.redis = ParseRedisTarget(args, kDefaultRedis);
    return line;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& argv) {
    if (argv.empty()) UsageError("missing command");
    const std::string& command = argv[0];
    const std::vector<std::string> rest(argv.begin() + 1, argv.end());
    if (command == "--help" || command == "help") {
        CommandLine line;
        line.usage = kMainUsage;
        return line;
    }
    if (command == "ec") return ExternalCache(rest);
    if (command == "coherence") return Coherence(rest);
    UsageError("unknown command '" + command + "'");
}

}  // namespace velcli
