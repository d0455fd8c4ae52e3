// The private redis-server that the tests, the benchmarks and the demo share: a server of its
// own on a loopback port, the same port again after a stop, no data kept over a stop, silence
// while frozen, extra configuration taken, gone with its object or with a process that calls
// exit() or is killed, and a plain answer when redis-server is missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/TestEnvironment.h"
#include "velredis/RedisConnectionPool.h"
#include "velsupport/RedisServer.h"

namespace {

using velmora::caching::RedisConnection;
using velmora::caching::RedisException;
using velmora::caching::RedisReplyValue;
using velsupport::RedisServer;

// The value of a configuration parameter, as CONFIG GET answers it; empty when unreachable.
std::string ConfigValue(const RedisServer& server, const std::string& parameter) {
    const RedisReplyValue reply = server.Command({"CONFIG", "GET", parameter});
    return reply.elements.size() == 2 ? reply.elements[1].text : "";
}

// Two servers, the second with extra configuration; the second goes with its object, its
// directory too.
TEST(PrivateRedisServer, EachAnswersOnItsOwnLoopbackPortAndGoesAwayWithItsObject) {
    RedisServer a;
    ASSERT_EQ(a.Start(), "");
    velmora::caching::RedisEndpointConfig config;
    std::string dir;
    {
        RedisServer b("hz 17\nmaxmemory-policy allkeys-lru\n");
        ASSERT_EQ(b.Start(), "");
        EXPECT_TRUE(a.IsRunning());
        EXPECT_NE(a.Port(), b.Port());
        EXPECT_EQ(ConfigValue(a, "bind"), "127.0.0.1");
        EXPECT_EQ(ConfigValue(a, "port"), std::to_string(a.Port()));
        EXPECT_EQ(ConfigValue(b, "hz"), "17");
        EXPECT_EQ(ConfigValue(b, "maxmemory-policy"), "allkeys-lru");
        EXPECT_EQ(ConfigValue(b, "save"), "") << "never persists";
        EXPECT_EQ(ConfigValue(b, "appendonly"), "no");

        EXPECT_EQ(a.Command({"SET", "k", "a"}).text, "OK");
        EXPECT_EQ(a.Command({"GET", "k"}).text, "a");
        EXPECT_EQ(b.Command({"GET", "k"}).type, RedisReplyValue::Type::Nil);
        EXPECT_EQ(a.Start(), "") << "a second start of a running server changes nothing";
        EXPECT_EQ(a.Command({"GET", "k"}).text, "a");
        config = b.MakeConfig();
        dir = ConfigValue(b, "dir");
        ASSERT_TRUE(std::filesystem::is_directory(dir));
    }
    EXPECT_FALSE(std::filesystem::exists(dir));
    EXPECT_THROW(RedisConnection(config).Command({"PING"}), RedisException);
}

TEST(PrivateRedisServer, StartsAgainOnTheSamePortWithoutItsData) {
    for (const int stopSignal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(stopSignal);
        RedisServer server;
        ASSERT_EQ(server.Start(), "");
        const int port = server.Port();
        const std::string dir = ConfigValue(server, "dir");
        ASSERT_EQ(server.Command({"SET", "k", "v"}).text, "OK");

        server.Stop(stopSignal);
        EXPECT_FALSE(server.IsRunning());
        EXPECT_EQ(server.Command({"PING"}).type, RedisReplyValue::Type::Error);

        ASSERT_EQ(server.Start(), "");
        EXPECT_EQ(server.Port(), port);
        EXPECT_EQ(ConfigValue(server, "dir"), dir);
        EXPECT_EQ(server.Command({"GET", "k"}).type, RedisReplyValue::Type::Nil);
    }
}

TEST(PrivateRedisServer, FrozenServerAnswersNothingUntilThawedAndStillStops) {
    RedisServer server;
    ASSERT_EQ(server.Start(), "");
    auto config = server.MakeConfig();
    config.commandTimeout = std::chrono::milliseconds(200);
    RedisConnection connection(config);  // connected before the freeze

    server.Freeze();
    EXPECT_THROW(connection.Command({"PING"}), RedisException);
    server.Thaw();
    EXPECT_EQ(server.Command({"PING"}).text, "PONG");

    server.Freeze();
    server.Stop();
    EXPECT_FALSE(server.IsRunning());
    // Had the frozen process stayed alive, it would still hold the port.
    ASSERT_EQ(server.Start(), "");
    EXPECT_EQ(server.Command({"PING"}).text, "PONG");
}

// Whether the server on `port` stopped answering within 5 s (a killed server's port closes
// when the kernel has ended it). One still answering is shut down, to leave nothing behind.
bool GoneWithin5s(int port) {
    velmora::caching::RedisEndpointConfig config;
    config.port = port;
    config.connectTimeout = std::chrono::milliseconds(500);
    const auto answers = [&config](const std::vector<std::string>& command) {
        try {
            return RedisConnection(config).Command(command).type != RedisReplyValue::Type::Error;
        } catch (const RedisException&) {
            return false;
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (answers({"PING"})) {
        if (std::chrono::steady_clock::now() >= deadline) {
            answers({"SHUTDOWN", "NOSAVE"});
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A child process (a death test's, which runs its test again from the start) that starts a
// server, writes its port and directory to the file the parent names in the environment, then
// ends through `end`. Answers the port and the directory.
template <typename End, typename Exit>
std::pair<int, std::string> ServerOfAChildThatEnds(End end, Exit how) {
    // The child runs these lines too: it keeps the name it inherited.
    const std::string where = (std::filesystem::temp_directory_path() /
                               ("velcache-child-server-" + std::to_string(::getpid())))
                                  .string();
    ::setenv("VELCACHE_TEST_CHILD_SERVER", where.c_str(), /*overwrite=*/0);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            RedisServer server;
            if (!server.Start().empty()) std::_Exit(4);
            std::ofstream(::getenv("VELCACHE_TEST_CHILD_SERVER"))
                << server.Port() << "\n"
                << ConfigValue(server, "dir") << "\n";
            end();  // never destroys `server`
        },
        how, "");
    ::unsetenv("VELCACHE_TEST_CHILD_SERVER");
    std::pair<int, std::string> server{0, ""};
    std::ifstream(where) >> server.first >> server.second;
    std::filesystem::remove(where);
    return server;
}

// A process that ends through exit() or is killed with a server still running takes the server
// with it; through exit(), its directory too (a killed process can do nothing).
TEST(PrivateRedisServer, ServerLeftRunningByAProcessThatCalledExitIsStopped) {
    const auto [port, dir] =
        ServerOfAChildThatEnds([] { std::exit(0); }, ::testing::ExitedWithCode(0));
    ASSERT_GT(port, 0);
    EXPECT_TRUE(GoneWithin5s(port)) << "the server outlived the process that started it";
    ASSERT_FALSE(dir.empty());
    EXPECT_FALSE(std::filesystem::exists(dir));
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

TEST(PrivateRedisServer, ServerOfAProcessKilledBySignalGoesWithIt) {
    const auto [port, dir] =
        ServerOfAChildThatEnds([] { ::raise(SIGKILL); }, ::testing::KilledBySignal(SIGKILL));
    ASSERT_GT(port, 0);
    EXPECT_TRUE(GoneWithin5s(port)) << "the server outlived the process that started it";
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

TEST(PrivateRedisServer, SaysSoWhenRedisServerIsMissing) {
    const std::string path = ::getenv("PATH") ? ::getenv("PATH") : "";
    const veltest::TempDir scratch("velsupport");
    const std::string nowhere = (scratch.Path() / "no-such-dir").string();
    ::setenv("PATH", nowhere.c_str(), 1);
    RedisServer server;
    const bool installed = RedisServer::IsInstalled();
    const std::string error = server.Start();
    ::setenv("PATH", path.c_str(), 1);

    EXPECT_FALSE(installed);
    EXPECT_EQ(error, velsupport::kRedisServerMissing);
    EXPECT_FALSE(server.IsRunning());
}

}  // namespace
