// Host processes (tests/e2e/coherence_peer.cpp) share a private redis-server: what one announces
// reaches the other across every fault of the server staged here.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/PeerProcess.h"
#include "support/RedisServerFixture.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConnectionPool.h"
#include "velsupport/TlsCertificates.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class CoherenceAcrossProcesses : public veltest::RedisServerTest {
protected:
    std::string Port() { return std::to_string(Server().Port()); }
};

// One process holds entries, another announces newer, differing ones under the same key hashes
// while the server misbehaves. Whatever happens, no entry of the holder may stay stale.
TEST_F(CoherenceAcrossProcesses, NoInvalidationIsLostAcrossServerFaults) {
    enum Fault { Kills, RestartEmpty, PublisherCutOff, Malformed };
    const struct {
        const char* name;
        Fault fault;
        int entries, rate, holdSeconds;
    } cases[] = {
        {"subscriber connections killed every 2 s", Kills, 1000, 50, 24},
        {"server restarted empty", RestartEmpty, 200, 100, 6},
        {"server unreachable for 3 s", PublisherCutOff, 200, 50, 9},
        {"10000 malformed messages", Malformed, 10, 100, 6},
    };
    const std::string log = ::testing::TempDir() + "coherence_peer_err.log";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Server().Command({"FLUSHALL"});
        veltest::PeerProcess holder("hold " + Port() + " " + std::to_string(c.entries) + " " +
                                        std::to_string(c.holdSeconds),
                                    log);
        ASSERT_EQ(holder.ReadUntil("ready"), "ready");
        std::vector<long long> kills;
        if (c.fault == RestartEmpty) {
            Server().Stop();
            ASSERT_EQ(Server().Start(), "");
        }
        {
            veltest::PeerProcess adder("add " + Port() + " " + std::to_string(c.entries) + " " +
                                       std::to_string(c.rate));
            const auto start = Clock::now();
            if (c.fault == Kills) {
                for (int i = 1; i <= 10; ++i) {
                    std::this_thread::sleep_until(start + i * 2s);
                    kills.push_back(veltest::SteadyMs());
                    Server().Command({"CLIENT", "KILL", "TYPE", "pubsub"});
                }
            } else if (c.fault == PublisherCutOff) {
                std::this_thread::sleep_for(1s);
                Server().Freeze();
                std::this_thread::sleep_for(3s);
                Server().Thaw();
            } else if (c.fault == Malformed) {
                velmora::caching::RedisConnection raw(Server().MakeConfig());
                const std::string big(1 << 20, 'x'), longName(64 << 10, 'n');
                for (int i = 0; i < 10000; ++i) {
                    const std::string bodies[] = {"garbage", "1-2-3@4", "@@",
                                                  std::string("1\0@2@3", 6)};
                    const std::string channel =
                        i % 100 == 0 ? "defaultns." + longName : "defaultns.1-x";
                    raw.Command({"PUBLISH", channel, i % 1000 == 999 ? big : bodies[i % 4]});
                }
            }
            const std::string done = adder.ReadUntil("done");
            EXPECT_EQ(done.rfind("done", 0), 0u) << done;
            std::printf("[figures] %s: publisher %s\n", c.name, done.c_str());
            if (c.fault == PublisherCutOff) {
                EXPECT_EQ(done.find("queued=0 "), std::string::npos) << done;
            }
        }
        const std::string result = holder.ReadUntil("result");
        std::printf("[figures] %s: %s, %zu re-subscriptions, log %llu bytes\n", c.name,
                    result.c_str(), holder.resubs.size(),
                    static_cast<unsigned long long>(std::filesystem::file_size(log)));
        for (const std::string& r : holder.resubs)
            if (r.back() != '-') std::printf("[figures]   %s\n", r.c_str());
        EXPECT_EQ(result.rfind("result stale=0 ", 0), 0u) << result;
        if (c.fault == Kills) {
            // Every kill is followed by a re-subscription within 1 s.
            for (long long kill : kills) {
                bool quick = false;
                for (const std::string& r : holder.resubs) {
                    const long long at = std::stoll(r.substr(6));
                    quick |= at >= kill && at - kill < 1000;
                }
                EXPECT_TRUE(quick) << "no re-subscription within 1 s of the kill at " << kill;
            }
        }
        if (c.fault == RestartEmpty) {
            ASSERT_FALSE(holder.resubs.empty());
            EXPECT_NE(holder.resubs[0].find("restarted"), std::string::npos) << holder.resubs[0];
            EXPECT_NE(result.find("flushes=1"), std::string::npos) << result;
            EXPECT_EQ(result.find("received=0 "), std::string::npos) << "working again";
        }
        if (c.fault == Malformed) {
            EXPECT_NE(result.find("malformed=10000 "), std::string::npos) << result;
            EXPECT_LT(std::filesystem::file_size(log), 1u << 20);
        }
    }
}

// The same exchange through a server that speaks TLS only and requires client certificates: no
// entry of the holder stays stale, also when the server kills the subscriber connections or
// restarts empty (each reconnect makes a new TLS session).
TEST(CoherenceAcrossProcessesOverTls, NoInvalidationIsLostAcrossKillsAndARestart) {
    ASSERT_TRUE(velsupport::RedisServer::IsInstalled()) << velsupport::kRedisServerMissing;
    velsupport::TlsCertificates certificates;
    ASSERT_EQ(certificates.Make(), "");
    velsupport::RedisServer server(velsupport::ServerTlsFrom(certificates, true));
    ASSERT_EQ(server.Start(), "");
    const std::string endpoint = std::to_string(server.Port()) + "+tls=" + certificates.Directory();
    const std::string log = ::testing::TempDir() + "coherence_peer_tls_err.log";
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "server restarted empty" : "subscriber connections killed");
        veltest::PeerProcess holder("hold " + endpoint + " 300 8", log);
        ASSERT_EQ(holder.ReadUntil("ready"), "ready");
        if (restart) {
            server.Stop();
            ASSERT_EQ(server.Start(), "");
        }
        {
            veltest::PeerProcess adder("add " + endpoint + " 300 60");
            if (!restart)
                for (int i = 0; i < 3; ++i) {
                    std::this_thread::sleep_for(1500ms);
                    server.Command({"CLIENT", "KILL", "TYPE", "pubsub"});
                }
            const std::string done = adder.ReadUntil("done");
            EXPECT_EQ(done.rfind("done", 0), 0u) << done;
        }
        const std::string result = holder.ReadUntil("result");
        std::printf("[figures] TLS, %s: %s, %zu re-subscriptions\n",
                    restart ? "restarted" : "kills", result.c_str(), holder.resubs.size());
        EXPECT_EQ(result.rfind("result stale=0 ", 0), 0u) << result;
        EXPECT_EQ(result.find("received=0 "), std::string::npos) << result;
        EXPECT_FALSE(holder.resubs.empty()) << "the subscriber never came back";
    }
}

}  // namespace
