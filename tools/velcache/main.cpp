// velcache: the operator's tool. Looks inside the external caches (disk directories and Redis)
// and at the coherence traffic, through the library's own caches and wire format, and replays
// access traces through the memory policies (sim), checks recorded histories for stale reads
// (audit) and prints a host's metrics (stats).
//
// Exit status: 0 done, 1 not found (get) or stale reads (audit), 2 bad arguments (the usage is
// printed), 3 a server, directory or file that cannot be used. Every failure is a one-line message
// on stderr.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Cli.h"

namespace velcli {

namespace {

int Run(const std::vector<std::string>& argv) {
    // The simulator reaches no server: it reads its own arguments.
    if (!argv.empty() && argv[0] == "sim")
        return RunSimCommand(std::vector<std::string>(argv.begin() + 1, argv.end()));
    // So does the history checker.
    if (!argv.empty() && argv[0] == "audit")
        return RunAuditCommand(std::vector<std::string>(argv.begin() + 1, argv.end()));
    // And the metrics reader, which reaches a host's endpoint rather than Redis.
    if (!argv.empty() && argv[0] == "stats")
        return RunStatsCommand(std::vector<std::string>(argv.begin() + 1, argv.end()));
    const CommandLine line = ParseCommandLine(argv);
    switch (line.action) {
        case CommandLine::Action::Help:
            std::fputs(line.usage, stdout);
            return kExitOk;
        case CommandLine::Action::ExternalCache:
            return RunExternalCacheCommand(line);
        default:
            return RunCoherenceCommand(line);
    }
}

const char* UsageOf(const std::vector<std::string>& argv) {
    if (!argv.empty() && argv[0] == "ec") return kExternalCacheUsage;
    if (!argv.empty() && argv[0] == "coherence") return kCoherenceUsage;
    if (!argv.empty() && argv[0] == "sim") return kSimUsage;
    if (!argv.empty() && argv[0] == "audit") return kAuditUsage;
    if (!argv.empty() && argv[0] == "stats") return kStatsUsage;
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
