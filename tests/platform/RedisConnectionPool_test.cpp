#include "velredis/RedisConnectionPool.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "support/RedisServerFixture.h"

using namespace velmora::caching;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using Bytes = RedisConnection::Bytes;

Bytes MakeBytes(std::size_t size, unsigned seed) {
    auto bytes = std::make_shared<std::vector<unsigned char>>(size);
    for (std::size_t i = 0; i < size; ++i)
        (*bytes)[i] = static_cast<unsigned char>((i * 31 + seed) & 0xFF);
    return bytes;
}

int OpenFdCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

// A TCP server on a free loopback port that hands each accepted connection to `handler` on its
// own thread; it stands in for a misbehaving Redis server.
class FakeServer {
public:
    explicit FakeServer(std::function<void(int)> handler) : m_handler(std::move(handler)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        ::listen(m_listen, 8);
        m_thread = std::thread([this] {
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client >= 0 && !m_stop) {
                m_handler(client);
                ::close(client);
            } else if (client >= 0) {
                ::close(client);
            }
        });
    }
    ~FakeServer() {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    RedisEndpointConfig Config(std::chrono::milliseconds commandTimeout) const {
        RedisEndpointConfig config;
        config.port = m_port;
        config.poolSize = 1;
        config.commandTimeout = commandTimeout;
        return config;
    }
    std::atomic<bool> m_stop{false};

private:
    std::function<void(int)> m_handler;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
};

// Reads from `fd` until `needle` has arrived (or the peer goes).
void ReadUntil(int fd, const std::string& needle) {
    std::string seen;
    char buffer[4096];
    while (seen.find(needle) == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
}

class RedisPoolTest : public veltest::RedisServerTest {
protected:
    std::shared_ptr<RedisConnectionPool> MakePool(int size = 4) {
        auto config = Server().MakeConfig();
        config.poolSize = size;
        return std::make_shared<RedisConnectionPool>(config);
    }
};

}  // namespace

TEST_F(RedisPoolTest, ValuesAreBinarySafeUpToOneMebibyte) {
    auto pool = MakePool();
    auto guard = pool->FindAndLockConnection("k");
    ASSERT_TRUE(guard);
    RedisConnection& c = guard->GetConnection();
    auto zeros = std::make_shared<std::vector<unsigned char>>(
        std::vector<unsigned char>{0, 'a', 0, '\r', '\n', 0xFF, 0});
    EXPECT_TRUE(c.Set(std::string("bin\0key", 7), zeros));
    auto back = c.Get(std::string("bin\0key", 7));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *zeros);
    EXPECT_EQ(c.Get("bin"), nullptr);  // the key's zero byte is part of the key

    auto big = MakeBytes(1 << 20, 7);
    EXPECT_TRUE(c.Set("big", big));
    auto bigBack = c.Get("big");
    ASSERT_TRUE(bigBack);
    EXPECT_EQ(*bigBack, *big);

    EXPECT_TRUE(c.Set("empty", std::make_shared<std::vector<unsigned char>>()));
    auto empty = c.Get("empty");
    ASSERT_TRUE(empty);  // present but empty is not absent
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(c.Get("never-stored"), nullptr);
}

TEST_F(RedisPoolTest, SetExExpiresAndDelCountsRemovedKeys) {
    auto pool = MakePool();
    auto guard = pool->FindAndLockConnection("k");
    RedisConnection& c = guard->GetConnection();
    EXPECT_TRUE(c.SetEx("ttl", 100s, MakeBytes(10, 1)));
    const RedisReplyValue ttl = c.Command({"TTL", "ttl"});
    ASSERT_EQ(ttl.type, RedisReplyValue::Type::Integer);
    EXPECT_GT(ttl.integer, 90);
    EXPECT_LE(ttl.integer, 100);
    EXPECT_TRUE(c.Set("plain", MakeBytes(10, 1)));
    EXPECT_EQ(c.Command({"TTL", "plain"}).integer, -1);
    EXPECT_FALSE(c.SetEx("bad", 0s, MakeBytes(1, 1)));  // the server refuses a zero expiry

    EXPECT_TRUE(c.SetEx("short", 1s, MakeBytes(3, 1)));
    const auto deadline = Clock::now() + 10s;
    while (c.Get("short") && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(c.Get("short"), nullptr);

    EXPECT_EQ(c.Del("plain"), 1);
    EXPECT_EQ(c.Del("plain"), 0);
}

TEST_F(RedisPoolTest, ExhaustedPoolGivesAnEmptyGuardUntilOneIsReturned) {
    auto pool = MakePool(2);
    auto a = pool->FindAndLockConnection("a");
    auto b = pool->FindAndLockConnection("a");  // same key, still a different connection
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_NE(&a->GetConnection(), &b->GetConnection());
    EXPECT_EQ(pool->FindAndLockConnection("c"), nullptr);
    EXPECT_EQ(pool->LockConnection(20ms), nullptr);
    b.reset();
    auto c = pool->FindAndLockConnection("c");
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->GetConnection().Set("x", MakeBytes(1, 1)));
}

TEST_F(RedisPoolTest, GuardKeepsThePoolAlive) {
    auto pool = MakePool(1);
    auto guard = pool->FindAndLockConnection("k");
    pool.reset();
    EXPECT_TRUE(guard->GetConnection().Set("k", MakeBytes(4, 2)));
    guard.reset();  // returns the connection to a pool only the guard kept
}

TEST_F(RedisPoolTest, PooledConnectionBrokenByARestartReconnectsOnItsNextUse) {
    auto pool = MakePool(1);
    {
        auto guard = pool->FindAndLockConnection("k");
        EXPECT_TRUE(guard->GetConnection().Set("k", MakeBytes(4, 2)));
    }
    Server().Stop();
    {
        auto guard = pool->FindAndLockConnection("k");
        ASSERT_TRUE(guard);
        EXPECT_THROW(guard->GetConnection().Get("k"), RedisException);
    }
    ASSERT_EQ(Server().Start(), "");
    auto guard = pool->FindAndLockConnection("k");
    EXPECT_EQ(guard->GetConnection().Get("k"), nullptr);  // fresh server, no persistence
    EXPECT_TRUE(guard->GetConnection().Set("k", MakeBytes(4, 2)));
}

TEST_F(RedisPoolTest, ConnectionKilledByTheServerIsReplacedBeforeTheNextCommand) {
    auto pool = MakePool(1);
    auto guard = pool->FindAndLockConnection("k");
    RedisConnection& c = guard->GetConnection();
    EXPECT_TRUE(c.Set("k", MakeBytes(4, 2)));
    EXPECT_EQ(Server().Command("CLIENT KILL TYPE normal"), ":1");
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(c.Get("k"));  // no error surfaces: the closed socket is noticed and replaced
    EXPECT_EQ(c.GetConnectCount(), 2);
}

// redisReconnect makes a new socket without the read/write time-outs and keepalive that were
// set on the old one; they must be set again.
TEST_F(RedisPoolTest, ReconnectedConnectionKeepsItsTimeoutAndKeepalive) {
    auto pool = MakePool(1);
    auto guard = pool->FindAndLockConnection("k");
    RedisConnection& c = guard->GetConnection();
    EXPECT_TRUE(c.Set("k", MakeBytes(4, 2)));
    Server().Command("CLIENT KILL TYPE normal");
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(c.Get("k"));
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

    // And the reconnected connection still gives up on a frozen server.
    Server().Freeze();
    const auto start = Clock::now();
    EXPECT_THROW(c.Get("k"), RedisTimeoutException);
    EXPECT_LT(Clock::now() - start, 10s) << "bounded wait";
    Server().Thaw();
    EXPECT_TRUE(c.Get("k"));
}

TEST_F(RedisPoolTest, NoFileDescriptorGrowthOverAThousandReconnects) {
    auto pool = MakePool(1);
    auto guard = pool->FindAndLockConnection("k");
    RedisConnection& c = guard->GetConnection();
    c.Set("k", MakeBytes(4, 2));
    const int before = OpenFdCount();
    for (int i = 0; i < 1000; ++i) {
        Server().Command("CLIENT KILL TYPE normal");
        try {
            c.Get("k");
        } catch (const RedisException&) {
            // the kill raced the idle check; the next use reconnects
        }
    }
    c.Get("k");
    EXPECT_GE(c.GetConnectCount(), 1000);
    EXPECT_LE(OpenFdCount(), before);
}

// A server that closes the connection while a large value is being written: without
// MSG_NOSIGNAL the write raises SIGPIPE, whose default action ends the process.
TEST(RedisConnectionFault, WriteToAConnectionTheServerClosedDoesNotRaiseSigpipe) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::signal(SIGPIPE, SIG_DFL);
            FakeServer server([](int fd) {
                ReadUntil(fd, "GET\r\n$1\r\nk\r\n");
                ::send(fd, "$-1\r\n", 5, MSG_NOSIGNAL);
                // Close while the next command streams in: FIN first (the client keeps writing
                // into a half-closed connection), then a reset, after which a write fails with
                // EPIPE.
                ReadUntil(fd, "SET");
                ::shutdown(fd, SHUT_WR);
                std::this_thread::sleep_for(50ms);
            });
            RedisConnection c(server.Config(5000ms));
            c.Get("k");
            bool threw = false;
            try {
                c.Set("k", MakeBytes(32 << 20, 1));
            } catch (const RedisException&) {
                threw = true;
            }
            std::exit(threw ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// A per-read time-out lets a reply that trickles in a byte at a time take many time-outs; the
// command's time-out must bound the whole command.
TEST(RedisConnectionFault, SlowByteAtATimeReplyFailsWithinTheCommandTimeout) {
    FakeServer server([&](int fd) {
        ReadUntil(fd, "GET\r\n$1\r\nk\r\n");
        const std::string reply = "$40\r\n" + std::string(40, 'x') + "\r\n";
        for (char ch : reply) {
            if (server.m_stop || ::send(fd, &ch, 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(100ms);  // each byte well inside a per-read time-out
        }
    });
    RedisConnection c(server.Config(300ms));
    const auto start = Clock::now();
    EXPECT_THROW(c.Get("k"), RedisTimeoutException);
    // The whole reply takes about 4.7 s; the command must give up near its 300 ms.
    EXPECT_LT(Clock::now() - start, 2500ms) << "bounded wait";
}

TEST(RedisConnectionFault, UnreachableServerRaisesRedisException) {
    RedisEndpointConfig config;
    config.port = 1;  // nothing listens there
    RedisConnection c(config);
    EXPECT_THROW(c.Get("k"), RedisException);
    EXPECT_THROW(c.Get("k"), RedisException);
}
