// The main job's command line: every flag the usage names is one the parser takes, and a child's
// flags reach its configuration.
#include "harness/Options.h"

#include <gtest/gtest.h>

#include <regex>

namespace demo {
namespace {

std::optional<Options> Parse(std::vector<std::string> args, std::string& error) {
    args.insert(args.begin(), "velcache_demo");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), error);
}

// A flag the usage shows with a placeholder takes a value; one without takes none.
TEST(OptionsUsage, EveryFlagItNamesIsAcceptedWithTheValueItShows) {
    const std::string usage = Usage();
    const std::regex flag(R"(\n  (--[a-z-]+)( [A-Z:\[\],.]+)?)");
    int flags = 0;
    for (auto it = std::sregex_iterator(usage.begin(), usage.end(), flag);
         it != std::sregex_iterator(); ++it, ++flags) {
        const std::string name = (*it)[1];
        std::vector<std::string> args{name};
        if ((*it)[2].matched)
            args.push_back(name.rfind("--redis", 0) == 0 ? "127.0.0.1:1"
                           : name == "--rows"            ? "5000"
                           : name == "--database"        ? "postgres"
                                                         : "5");
        std::string error;
        EXPECT_TRUE(Parse(args, error)) << args[0] << ": " << error;
        if ((*it)[2].matched) {
            EXPECT_FALSE(Parse({args[0]}, error)) << args[0];
            EXPECT_EQ(error, args[0] + " needs a value");
        }
    }
    EXPECT_EQ(flags, 32);
}

TEST(OptionsParse, MistakesAreNamedAndTheLastFailingCheckIsReported) {
    std::string error;
    EXPECT_FALSE(Parse({"--bogus"}, error));
    EXPECT_EQ(error, "unknown option --bogus");
    EXPECT_FALSE(Parse({"--processes", "0", "--redis", "bad"}, error));
    EXPECT_EQ(error, "--redis wants HOST:PORT, not 'bad'");
    EXPECT_FALSE(Parse({"--redis", "a:1", "--redis-cluster", "b:2"}, error));
    EXPECT_EQ(error, "give --redis or --redis-cluster, not both");
}

TEST(OptionsParse, AChildsFlagsAndTheSharedOptionsMakeItsConfiguration) {
    std::string error;
    const auto o = Parse({"--role", "worker", "--index", "2", "--redis-port", "7000", "--ttl-ms",
                          "5", "--seed", "9", "--no-leases", "--mru-memory", "--chaos"},
                         error);
    ASSERT_TRUE(o && o->child) << error;
    EXPECT_EQ(o->child->role, "worker");
    EXPECT_EQ(o->child->index, 2);
    EXPECT_EQ(o->child->redisPort, 7000);
    EXPECT_EQ(o->child->ttlMs, 5);
    EXPECT_EQ(o->child->seed, 9u);
    EXPECT_FALSE(o->child->leases);
    EXPECT_FALSE(o->child->frequencyPolicy);
    EXPECT_EQ(o->child->valueLifetimeSec, 4);             // --chaos's lifetime
    EXPECT_FALSE(Parse({"--index", "2"}, error)->child);  // no role: the parent
}

}  // namespace
}  // namespace demo
