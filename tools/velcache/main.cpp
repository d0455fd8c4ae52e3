// velcache: the operator's tool. Looks inside the external caches (disk directories and Redis)
// and at the coherence traffic, through the library's own caches and wire format.
//
// Exit status: 0 done, 1 not found (get), 2 bad arguments (the usage is printed), 3 a server,
// directory or file that cannot be used. Every failure is a one-line message on stderr.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Cli.h"

namespace velcli {

const char* const kMainUsage =
    "usage: velcache <command> [<args>]\n"
    "\n"
    "commands:\n"
    "  ec put|get|ls|drop   read and write the external cache of a namespace (disk or Redis)\n"
    "  coherence watch      print the coherence announcements of a namespace as they arrive\n"
    "  coherence publish    send one coherence announcement\n"
    "\n"
    "'velcache <command> --help' describes a command.\n"
    "Exit status: 0 done, 1 not found, 2 bad arguments, 3 server, directory or file unusable.\n";

const char* const kExternalCacheUsage =
    "usage: velcache ec put  --ns NS WHERE [--in FILE] KEY\n"
    "       velcache ec get  --ns NS WHERE [--out FILE] KEY\n"
    "       velcache ec ls   --ns NS WHERE\n"
    "       velcache ec drop --ns NS WHERE KEY\n"
    "WHERE: --dir DIR | REDIS\n"
    "REDIS: (--redis HOST:PORT | --redis-cluster HOST:PORT[,HOST:PORT...])\n"
    "       [--user USER] [--password-file FILE] [--tls [--cacert FILE] [--cert FILE --key FILE]]\n"
    "\n"
    "Stores, loads, lists and removes values of the external cache of namespace NS, through\n"
    "the same disk and Redis caches the hosts use.\n"
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
    "  --ns NS            namespace (default: defaultns.)\n"
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

int Run(const std::vector<std::string>& argv) {
    if (argv.empty()) UsageError("missing command");
    const std::string command = argv[0];
    const std::vector<std::string> rest(argv.begin() + 1, argv.end());
    if (command == "--help" || command == "help") {
        std::fputs(kMainUsage, stdout);
        return kExitOk;
    }
    if (command == "ec") return RunExternalCacheCommand(rest);
    if (command == "coherence") return RunCoherenceCommand(rest);
    UsageError("unknown command '" + command + "'");
}

const char* UsageOf(const std::vector<std::string>& argv) {
    if (!argv.empty() && argv[0] == "ec") return kExternalCacheUsage;
    if (!argv.empty() && argv[0] == "coherence") return kCoherenceUsage;
    return kMainUsage;
}

}  // namespace
}  // namespace velcli

int main(int argc, char** argv) {
    using namespace velcli;
    // A closed pipe shows as a write error, reported like any other.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return Run(args);
    } catch (const CommandError& e) {
        std::fprintf(stderr, "velcache: %s\n", e.what());
        if (e.Code() == kExitUsage) std::fprintf(stderr, "\n%s", UsageOf(args));
        return e.Code();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velcache: %s\n", e.what());
        return kExitUnavailable;
    }
}
