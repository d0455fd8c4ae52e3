// Fuzz target: the velcache tool's command line (tools/velcache, ParseCommandLine), read as the
// tool reads it before running anything. The input is the words after the tool's name, each
// ended by a NUL byte. A command line either parses or is a usage error (nothing is read or
// connected to while parsing, so no other failure may happen); one that parses is complete:
//  - ec names a sub-command, a namespace and exactly one place (a directory or Redis);
//  - every Redis node named has a host and a port in 1..65535;
//  - publish's hashes and time, written back as the tool's user would write them, read back
//    the same, and a UTC time reads as a tick count within the years 1 to 9999.
#include <string>
#include <vector>

#include "Cli.h"
#include "FuzzSupport.h"
#include "caching/CoherenceMessages.h"

using namespace velcli;

namespace {

constexpr unsigned long long kTicksPerDay = 864000000000ULL;
constexpr unsigned long long kDaysToYear10000 = 3652059;  // 0001-01-01 to 10000-01-01

void CheckTarget(const RedisTarget& target) {
    VELFUZZ_CHECK(!target.nodes.empty());
    for (const auto& node : target.nodes)
        VELFUZZ_CHECK(!node.host.empty() && node.port >= 1 && node.port <= 65535);
    VELFUZZ_CHECK(target.config.host == target.nodes[0].host);
    VELFUZZ_CHECK(target.config.port == target.nodes[0].port);
    for (std::size_t i = 0; i < target.config.clusterNodes.size(); ++i) {
        const auto again = velmora::caching::RedisNodeAddress::Parse(target.config.clusterNodes[i]);
        VELFUZZ_CHECK(again && *again == target.nodes[i]);
    }
}

bool IsUtcTime(const std::string& text) {
    return text.size() >= 19 && text[4] == '-' && text[7] == '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (velfuzz::QuietHost(), true);
    (void)quiet;
    if (size > 1024) return -1;
    std::vector<std::string> argv;
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            argv.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty()) argv.push_back(word);

    CommandLine line;
    try {
        line = ParseCommandLine(argv);
    } catch (const CommandError& e) {
        VELFUZZ_CHECK(e.Code() == kExitUsage);
        return 0;
    }
    switch (line.action) {
        case CommandLine::Action::Help:
            VELFUZZ_CHECK(line.usage != nullptr);
            break;
        case CommandLine::Action::ExternalCache:
            VELFUZZ_CHECK(line.sub == "put" || line.sub == "get" || line.sub == "ls" ||
                          line.sub == "drop");
            VELFUZZ_CHECK(!line.ns.empty());
            VELFUZZ_CHECK(line.dir.empty() != !line.redis);
            if (line.redis) CheckTarget(*line.redis);
            break;
        case CommandLine::Action::CoherenceWatch:
            VELFUZZ_CHECK(line.redis.has_value());
            CheckTarget(*line.redis);
            break;
        case CommandLine::Action::CoherencePublish: {
            VELFUZZ_CHECK(line.redis.has_value());
            CheckTarget(*line.redis);
            const std::vector<std::string> again{
                "coherence",
                "publish",
                velmora::caching::FormatHashPair(line.keyHash).toStdString(),
                velmora::caching::FormatHashPair(line.dataHash).toStdString(),
                "--time",
                std::to_string(line.time)};
            const CommandLine reread = ParseCommandLine(again);
            VELFUZZ_CHECK(reread.keyHash == line.keyHash && reread.dataHash == line.dataHash);
            VELFUZZ_CHECK(reread.time == line.time);
            for (std::size_t i = 0; i + 1 < argv.size(); ++i)
                if (argv[i] == "--time" && IsUtcTime(argv[i + 1]))
                    VELFUZZ_CHECK(line.time / kTicksPerDay < kDaysToYear10000);
            break;
        }
    }
    return 0;
}
