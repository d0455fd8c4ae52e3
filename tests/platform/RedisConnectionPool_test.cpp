#include "velredis/RedisConnectionPool.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "support/DelayingProxy.h"
#include "support/FakeServer.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velsupport/TlsCertificates.h"

using namespace velmora::caching;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using veltest::FakeServer;
using veltest::OpenFdCount;

RedisConnection::Bytes MakeBytes(std::size_t size, unsigned seed = 1) {
    auto bytes = std::make_shared<std::vector<unsigned char>>(size);
    for (std::size_t i = 0; i < size; ++i) (*bytes)[i] = static_cast<unsigned char>(i * 31 + seed);
    return bytes;
}

// Reads from `fd` until `needle` has arrived (or the peer goes).
void ReadUntil(int fd, const std::string& needle) {
    std::string seen;
    char buffer[4096];
    for (ssize_t n;
         seen.find(needle) == std::string::npos && (n = ::recv(fd, buffer, 4096, 0)) > 0;)
        seen.append(buffer, static_cast<std::size_t>(n));
}

class RedisPool : public veltest::RedisServerTest {
protected:
    std::shared_ptr<RedisConnectionPool> MakePool(int size, bool pipelining = true) {
        auto config = Server().MakeConfig();
        config.poolSize = size;
        config.pipelining = pipelining;
        return std::make_shared<RedisConnectionPool>(config);
    }
};

}  // namespace

TEST_F(RedisPool, ExhaustedPoolGivesAnEmptyGuardAndAGuardKeepsThePoolAlive) {
    auto pool = MakePool(2);
    auto a = pool->FindAndLockConnection("a");
    auto b = pool->FindAndLockConnection("a");  // same key, still a different connection
    ASSERT_TRUE(a && b);
    EXPECT_NE(&a->GetConnection(), &b->GetConnection());
    EXPECT_EQ(pool->FindAndLockConnection("c"), nullptr);
    EXPECT_EQ(pool->LockConnection(20ms), nullptr);
    b.reset();
    auto c = pool->FindAndLockConnection("c");
    ASSERT_TRUE(c);
    pool.reset();
    EXPECT_TRUE(c->GetConnection().Set("x", MakeBytes(1)));
    c.reset();  // returns the connection to a pool only the guards kept
}

// With the shared connection's queue over its bound (one command held by a frozen server), a
// guard is refused after the connection wait although slots are free; it is given again once
// the queue drains.
TEST_F(RedisPool, GuardIsRefusedWhileTheSharedQueueStaysOverItsBound) {
    auto config = Server().MakeConfig();
    config.poolSize = 4;
    config.pipelineQueueBound = 1;
    config.commandTimeout = 3s;
    config.commandTimeoutFollowsStoreTimeout = false;
    auto pool = std::make_shared<RedisConnectionPool>(config);
    ASSERT_FALSE(pool->FindAndLockConnection("a")->GetConnection().Get("a"));
    Server().Freeze();
    std::thread stuck([&] {
        auto guard = pool->FindAndLockConnection("a");
        ASSERT_TRUE(guard);
        EXPECT_FALSE(guard->GetConnection().Get("a"));  // answered after the thaw
    });
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i, std::this_thread::sleep_for(10ms))
        refused = pool->FindAndLockConnection("b") == nullptr;
    Server().Thaw();
    stuck.join();
    EXPECT_TRUE(refused);
    EXPECT_TRUE(pool->FindAndLockConnection("b"));
}

// A command that comes after every command on the shared connection gave up, with their replies
// overdue, must not fail for them: it goes out on a new connection and gets its own time-out.
// It used to be written behind them and failed at once, with the connection they had worn out.
TEST_F(RedisPool, CommandAfterOverdueAbandonedRepliesDoesNotFailForThem) {
    auto config = Server().MakeConfig();
    config.poolSize = 1;
    config.commandTimeout = 1s;
    config.commandTimeoutFollowsStoreTimeout = false;
    auto pool = std::make_shared<RedisConnectionPool>(config);
    auto guard = pool->FindAndLockConnection("k");
    RedisConnection& c = guard->GetConnection();
    ASSERT_TRUE(c.Set("k", MakeBytes(3)));
    Server().Freeze();
    EXPECT_THROW(c.Command({"GET", "k"}, Clock::now() + 50ms, {}), RedisTimeoutException);
    std::this_thread::sleep_for(1100ms);  // its reply is overdue now
    std::thread thaw([&] {
        std::this_thread::sleep_for(100ms);
        Server().Thaw();
    });
    RedisReplyValue got;
    EXPECT_NO_THROW(got = c.Command({"GET", "k"}, Clock::now() + 1s, {}));
    thaw.join();
    EXPECT_EQ(got.text.size(), 3u);
}

// A connection the server killed is replaced before the next command. redisReconnect makes a new
// socket without the read/write time-outs and keepalive of the old one; they must be set again.
TEST_F(RedisPool, KilledConnectionIsReplacedWithItsTimeoutAndKeepalive) {
    auto pool = MakePool(1, false);  // the connection's own socket
    auto guard = pool->FindAndLockConnection("k");
    RedisConnection& c = guard->GetConnection();
    EXPECT_TRUE(c.Set("k", MakeBytes(4)));
    EXPECT_EQ(Server().Command({"CLIENT", "KILL", "TYPE", "normal"}).integer, 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(c.Get("k"));  // no error surfaces: the closed socket is noticed and replaced
    ASSERT_EQ(c.GetConnectCount(), 2);
    const int fd = c.GetSocketForDiagnostics();
    int keepalive = 0;
    socklen_t len = sizeof keepalive;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &len), 0);
    EXPECT_EQ(keepalive, 1);
    timeval tv{};
    len = sizeof tv;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, Server().MakeConfig().commandTimeout.count());

    Server().Freeze();  // the reconnected connection still gives up on a frozen server
    EXPECT_THROW(c.Get("k"), RedisTimeoutException);
    Server().Thaw();
    EXPECT_TRUE(c.Get("k"));
}

// A connection the server killed is replaced, as often as it happens (over TLS with a new
// session each time), and leaves no descriptor behind.
TEST_F(RedisPool, NoFileDescriptorGrowthOverAThousandReconnects) {
    velsupport::TlsCertificates certificates;
    ASSERT_EQ(certificates.Make(), "");
    velsupport::RedisServer tlsServer(velsupport::ServerTlsFrom(certificates));
    ASSERT_EQ(tlsServer.Start(), "");
    const struct {
        const char* name;
        velsupport::RedisServer& server;
        bool pipelining;
        int kills;  // a TLS handshake each: fewer
    } rows[] = {{"own connection", Server(), false, 1000},
                {"shared connection", Server(), true, 1000},
                {"TLS", tlsServer, false, 100}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto config = row.server.MakeConfig();
        config.poolSize = 1;
        config.pipelining = row.pipelining;
        auto pool = std::make_shared<RedisConnectionPool>(config);
        auto guard = pool->FindAndLockConnection("k");
        RedisConnection& c = guard->GetConnection();
        c.Set("k", MakeBytes(4));
        const int before = OpenFdCount();
        for (int i = 0; i < row.kills; ++i) {
            row.server.Command({"CLIENT", "KILL", "TYPE", "normal"});
            try {
                c.Get("k");
            } catch (const RedisException&) {
                // the kill raced the idle check; the next use reconnects
            }
        }
        const auto back = c.Get("k");
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, *MakeBytes(4));
        EXPECT_GE(c.GetConnectCount(), row.kills);
        EXPECT_LE(OpenFdCount(), before);
    }
}

// A server that closes the connection while a large value is being written: without
// MSG_NOSIGNAL the write raises SIGPIPE, whose default action ends the process.
TEST(RedisConnectionFault, WriteToAConnectionTheServerClosedDoesNotRaiseSigpipe) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::signal(SIGPIPE, SIG_DFL);
            int code = 3;
            {
                FakeServer server([](int fd) {
                    ReadUntil(fd, "GET\r\n$1\r\nk\r\n");
                    ::send(fd, "$-1\r\n", 5, MSG_NOSIGNAL);
                    // Close while the next command streams in: FIN first (the client keeps
                    // writing into a half-closed connection), then a reset, after which a write
                    // fails.
                    ReadUntil(fd, "SET");
                    ::shutdown(fd, SHUT_WR);
                    std::this_thread::sleep_for(50ms);
                });
                RedisConnection c(server.config);
                c.Get("k");
                try {
                    c.Set("k", MakeBytes(32 << 20));
                } catch (const RedisException&) {
                    code = 0;
                }
            }  // the stand-in's thread is joined before the process ends
            std::exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

// An array reply announcing more elements than any reply the pool asks for fails the command at
// once: the reader would otherwise reserve room for all of them (gigabytes for a header of a
// few bytes) and wait for them until the command's time-out. Four million elements (32 MB of
// room) are reserved without trouble when nothing refuses them, so waiting shows here.
TEST(RedisConnectionFault, ArrayAnnouncingTooManyElementsFailsAtOnce) {
    FakeServer server([](int fd) {
        ReadUntil(fd, "PING\r\n");
        const std::string header = "*4000000\r\n:1\r\n";
        ::send(fd, header.data(), header.size(), MSG_NOSIGNAL);
        ReadUntil(fd, "never sent");  // until the client closes
    });
    server.config.commandTimeout = 3s;
    RedisConnection c(server.config);
    const auto start = Clock::now();
    try {
        c.Command({"PING"});
        ADD_FAILURE() << "no exception";
    } catch (const RedisTimeoutException& e) {
        ADD_FAILURE() << "waited for the elements: " << e.what();
    } catch (const RedisException& e) {
        EXPECT_NE(std::string(e.what()).find("Unreadable reply"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - start, 2s);
}

// A per-read time-out lets a reply that trickles in a byte at a time take many time-outs; the
// command's time-out must bound the whole command. An unreachable server raises as well.
TEST_F(RedisPool, SlowReplyFailsWithinTheCommandTimeoutAndUnreachableServerRaises) {
    veltest::DelayingProxy proxy;
    ASSERT_EQ(proxy.Start(Server().Port()), "");
    auto config = Server().MakeConfig();
    config.port = proxy.Port();
    config.commandTimeout = 300ms;
    RedisConnection c(config);
    ASSERT_TRUE(c.Set("k", MakeBytes(40)));
    proxy.SetDrip(100ms);  // each byte well inside a per-read time-out
    const auto start = Clock::now();
    EXPECT_THROW(c.Get("k"), RedisTimeoutException);
    // The whole reply takes about 4.7 s; the command must give up near its 300 ms.
    EXPECT_LT(Clock::now() - start, 2500ms) << "bounded wait";

    config.port = 1;  // nothing listens there
    RedisConnection unreachable(config);
    EXPECT_THROW(unreachable.Get("k"), RedisException);
    EXPECT_THROW(unreachable.Get("k"), RedisException);
}

// Sixteen threads issue commands at once over the shared connection while the server is killed
// (SIGKILL) and restarted, frozen (SIGSTOP) and thawed, or has its replies drip-fed. Every GET
// carries a time-out of its own, shorter than the connection's, so replies often come after
// their command gave up. A reply must answer only the command it was sent for (each thread has
// its own key, and a SET must see OK), every call must come back near its own time-out, and
// the pool works again once the fault is over.
TEST_F(RedisPool, PipelinedBurstUnderServerFaultsNeverTakesAnotherCommandsReply) {
    veltest::DelayingProxy proxy;
    ASSERT_EQ(proxy.Start(Server().Port()), "");
    const struct {
        const char* name;
        int port;
        std::function<void()> start, end;
    } faults[] = {
        {"killed and restarted", Server().Port(), [&] { Server().Stop(SIGKILL); },
         [&] { ASSERT_EQ(Server().Start(), ""); }},
        {"frozen and thawed", Server().Port(), [&] { Server().Freeze(); },
         [&] { Server().Thaw(); }},
        {"replies drip-fed", proxy.Port(), [&] { proxy.SetDrip(2ms); },
         [&] { proxy.SetDrip(0ms); }},
    };
    constexpr int kThreads = 16;
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        auto config = Server().MakeConfig();
        config.port = fault.port;
        config.poolSize = kThreads;
        config.commandTimeout = 700ms;
        config.commandTimeoutFollowsStoreTimeout = false;
        auto pool = std::make_shared<RedisConnectionPool>(config);
        std::atomic<bool> stop{false};
        std::atomic<int> wrong{0}, slow{0}, answered{0}, failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                const std::string key = "burst:" + std::to_string(t);
                const std::string prefix = std::to_string(t) + ":";
                const auto timeout = std::chrono::milliseconds(20 + 10 * t);
                for (int version = 0; !stop; ++version) {
                    auto guard = pool->FindAndLockConnection(key);
                    ASSERT_TRUE(guard);
                    RedisConnection& c = guard->GetConnection();
                    const auto begin = Clock::now();
                    try {
                        const RedisReplyValue set = c.Command(
                            {"SET", key, prefix + std::to_string(version)}, begin + timeout, {});
                        wrong += set.type != RedisReplyValue::Type::Status || set.text != "OK";
                        const RedisReplyValue got =
                            c.Command({"GET", key}, Clock::now() + timeout, {});
                        const bool mine = got.type == RedisReplyValue::Type::String &&
                                          got.text.rfind(prefix, 0) == 0 &&
                                          std::stoi(got.text.substr(prefix.size())) <= version;
                        // Nil only after the restart lost the keys.
                        wrong += !mine && got.type != RedisReplyValue::Type::Nil;
                        ++answered;
                    } catch (const RedisException&) {
                        ++failed;
                    }
                    // Two commands, each within its time-out; slack for two busy cores.
                    slow += Clock::now() - begin > 2 * timeout + 1500ms;
                }
            });
        std::this_thread::sleep_for(300ms);
        fault.start();
        std::this_thread::sleep_for(450ms);  // inside the connection's time-out
        fault.end();
        std::this_thread::sleep_for(500ms);
        stop = true;
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(wrong.load(), 0) << "of " << answered.load() << " answered";
        EXPECT_EQ(slow.load(), 0);
        EXPECT_GT(failed.load(), 0) << "the fault went unnoticed";
        auto guard = pool->FindAndLockConnection("after");
        ASSERT_TRUE(guard);
        EXPECT_TRUE(guard->GetConnection().Set("after", MakeBytes(3)));
        EXPECT_EQ(*guard->GetConnection().Get("after"), *MakeBytes(3));
    }
}

namespace {

// A host confined to its own keys by an ACL user logs in with its user name (over TLS after the
// handshake); a key outside the user's pattern is refused, not stored; a wrong password fails
// the connection with the server's reason, and the password shows nowhere in the error.
TEST(RedisAclUser, LogsInAsItsUserAndStaysInItsKeys) {
    velsupport::TlsCertificates certificates;
    ASSERT_EQ(certificates.Make(), "");
    const std::string acl = "user app on >s3cret-pw ~ns:* &ns:* +@all\n";
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        auto server = tls ? std::make_unique<velsupport::RedisServer>(
                                velsupport::ServerTlsFrom(certificates), acl)
                          : std::make_unique<velsupport::RedisServer>(acl);
        ASSERT_EQ(server->Start(), "");
        RedisEndpointConfig config = server->MakeConfig();
        config.user = "app";
        config.password = "s3cret-pw";
        RedisConnection connection(config);
        const auto value = std::make_shared<std::vector<unsigned char>>(3, 'v');
        EXPECT_TRUE(connection.Set("ns:k", value));
        EXPECT_NE(connection.Get("ns:k"), nullptr);
        EXPECT_FALSE(connection.Set("other:k", value));
        EXPECT_EQ(server->Command({"EXISTS", "other:k"}).integer, 0);

        config.password = "wrong-pw";
        RedisConnection refused(config);
        try {
            refused.Get("ns:k");
            ADD_FAILURE() << "logged in with a wrong password";
        } catch (const RedisException& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("WRONGPASS"), std::string::npos) << what;
            EXPECT_EQ(what.find("wrong-pw"), std::string::npos) << what;
        }
    }
}

}  // namespace
