// TLS to a real redis-server that listens on a TLS port only, with certificates made by the
// openssl tool for the run: what works, and every refusal, which must say why and come within
// the connection's time-outs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/FakeServer.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/RedisServer.h"
#include "velsupport/TlsCertificates.h"

using namespace velmora::caching;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velsupport::RedisServer;
using velsupport::TlsCertificates;

namespace {

using veltest::Eventually;
RedisConnection::Bytes MakeBytes(std::size_t size, unsigned seed) {
    auto bytes = std::make_shared<std::vector<unsigned char>>(size);
    for (std::size_t i = 0; i < size; ++i) (*bytes)[i] = static_cast<unsigned char>(i * 7 + seed);
    return bytes;
}

// Certificates shared by the suite: one authority with a server certificate for 127.0.0.1 and
// localhost, a second authority nobody configured, and a server certificate of the first kind
// that names localhost only.
class RedisTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_error = s_trusted.Make();
        if (s_error.empty()) s_error = s_unknown.Make();
        if (s_error.empty()) s_error = s_dnsOnly.Make({"DNS:localhost"});
    }
    void SetUp() override {
        ASSERT_TRUE(RedisServer::IsInstalled()) << velsupport::kRedisServerMissing;
        ASSERT_EQ(s_error, "") << "could not make the test certificates";
    }

    // Starts `server`, failing the test when it does not come up.
    static void StartOrFail(RedisServer& server) { ASSERT_EQ(server.Start(), ""); }

    // What a first command on a new connection with `config` raised ("" when it succeeded), and
    // in `took` how long it took.
    static std::string RefusalOf(const RedisEndpointConfig& config, Clock::duration& took) {
        const auto start = Clock::now();
        std::string what;
        try {
            RedisConnection connection(config);
            const RedisReplyValue reply = connection.Command({"PING"});
            if (reply.text != "PONG") what = "unexpected reply: " + reply.text;
        } catch (const RedisException& e) {
            what = e.what();
            if (what.empty()) what = "<empty message>";
        }
        took = Clock::now() - start;
        return what;
    }

    // Static objects, so that their directories go also when a death test's child ends with
    // std::exit.
    static inline TlsCertificates s_trusted, s_unknown, s_dnsOnly;
    static inline std::string s_error;
};

}  // namespace

// Values larger than a TLS record (16 KiB) and than a socket buffer go out and come back in
// pieces: every partial SSL write is continued and every record read. Kept-alive connections
// stay in use: the session tickets a server sends after the handshake are not taken for bytes
// nobody asked for.
TEST_F(RedisTls, CommandsLargeValuesAndPipelinesRoundTripOnOneConnection) {
    RedisServer server(velsupport::ServerTlsFrom(s_trusted));
    StartOrFail(server);
    auto config = server.MakeConfig();
    config.pipelining = false;  // every command on the connection's own socket
    auto pool = std::make_shared<RedisConnectionPool>(config);
    auto guard = pool->FindAndLockConnection("k");
    ASSERT_TRUE(guard);
    RedisConnection& c = guard->GetConnection();
    unsigned seed = 0;
    for (const std::size_t size :
         {std::size_t(0), std::size_t(10), std::size_t(16 << 10), std::size_t(65 << 10),
          std::size_t(300 << 10), std::size_t(4 << 20)}) {
        SCOPED_TRACE(size);
        const auto value = MakeBytes(size, ++seed);
        ASSERT_TRUE(c.Set("big", value));
        const auto back = c.Get("big");
        ASSERT_TRUE(back);
        EXPECT_TRUE(*back == *value);
    }
    std::vector<std::vector<std::string>> sets, gets;
    for (int i = 0; i < 20; ++i) {
        sets.push_back({"SET", "p" + std::to_string(i), std::string(70 << 10, char('a' + i))});
        gets.push_back({"GET", "p" + std::to_string(i)});
    }
    c.Pipeline(sets, Clock::now() + 5s);
    const auto replies = c.Pipeline(gets, Clock::now() + 5s);
    ASSERT_EQ(replies.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(replies[size_t(i)].text, sets[size_t(i)][2]);
    EXPECT_EQ(c.GetConnectCount(), 1) << "a kept-alive connection was replaced";
}

// Every refusal raises within the connection's time-outs with a message that says why; the
// matching setting that works is tried beside each, so the refusal is the check's doing.
TEST_F(RedisTls, RefusalsSayWhyWithinTheTimeouts) {
    RedisServer tlsServer(velsupport::ServerTlsFrom(s_trusted));
    velsupport::RedisServerTls dnsOnly = velsupport::ServerTlsFrom(s_dnsOnly);
    dnsOnly.serverName = "localhost";  // for the server's own start-up check
    RedisServer dnsOnlyServer(dnsOnly);
    RedisServer clientCertServer(velsupport::ServerTlsFrom(s_trusted, true));
    RedisServer plainServer;
    for (RedisServer* s : {&tlsServer, &dnsOnlyServer, &clientCertServer, &plainServer})
        StartOrFail(*s);
    const auto base = [](const RedisServer& s) {
        RedisEndpointConfig config = s.MakeConfig();
        config.connectTimeout = 700ms;
        config.commandTimeout = 700ms;
        return config;
    };
    using Config = RedisEndpointConfig;
    const struct {
        const char* name;
        const RedisServer& server;
        std::string why;
        std::function<void(Config&)> refuse, accept = {};
    } cases[] = {
        {"plain client on the TLS port", tlsServer, "server expects TLS",
         [](Config& c) { c.tls = false; }},
        {"TLS client on a plain port", plainServer, "does it speak TLS",
         [](Config& c) { c.tls = true, c.tlsCaFile = s_trusted.CaFile(); }},
        // The server sends its authority's certificate along: the chain ends in a certificate
        // that nobody configured.
        {"certificate from an unknown authority", tlsServer,
         "certificate verify failed: self-signed certificate in certificate chain",
         [](Config& c) { c.tlsCaFile = s_unknown.CaFile(); }},
        {"certificate for another name", tlsServer, "certificate verify failed: hostname mismatch",
         [](Config& c) { c.tlsServerName = "elsewhere.example"; },
         [](Config& c) { c.tlsServerName = "localhost"; }},
        {"certificate without the IP address connected to", dnsOnlyServer,
         "certificate verify failed: IP address mismatch",
         [](Config& c) { c.tlsServerName.clear(); }},
        {"no client certificate for a server that requires one", clientCertServer,
         "client certificate", [](Config& c) { c.tlsCertFile.clear(), c.tlsKeyFile.clear(); }},
        {"CA file missing", tlsServer, "No such file or directory",
         [](Config& c) { c.tlsCaFile = s_trusted.Directory() + "/missing.crt"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Config refused = base(c.server), accepted = base(c.server);
        c.refuse(refused);
        if (c.accept) c.accept(accepted);
        Clock::duration took{};
        const std::string refusal = RefusalOf(refused, took);
        EXPECT_NE(refusal.find(c.why), std::string::npos) << refusal;
        EXPECT_LT(took, refused.connectTimeout + refused.commandTimeout + 1s) << "bounded";
        EXPECT_EQ(RefusalOf(accepted, took), "");
    }
}

// Forwards `client` to the server on `serverPort` both ways until `cutAfter` bytes came from the
// client, then half-closes toward the client (it sees the end of the stream while still
// writing) and, 50 ms later, closes with the client's bytes unread (a reset): the next write of
// the client fails with EPIPE.
void ForwardThenHalfClose(int client, int serverPort, std::size_t cutAfter) {
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = veltest::FakeServer::Loopback(serverPort);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return;
    std::size_t fromClient = 0;
    char buffer[64 << 10];
    while (fromClient < cutAfter) {
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(fds, 2, 5000) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) fromClient = cutAfter;
            if (n <= 0) break;
            ::send(fds[1 - i].fd, buffer, std::size_t(n), MSG_NOSIGNAL);
            if (i == 0) fromClient += std::size_t(n);
        }
    }
    ::shutdown(client, SHUT_WR);
    std::this_thread::sleep_for(50ms);
    ::close(server);
}

// A connection closed under a large value streaming out over TLS: the write that meets the
// closed connection reports EPIPE; the process's default action for SIGPIPE would end it
// otherwise.
TEST_F(RedisTls, WriteToAClosedConnectionDoesNotRaiseSigpipe) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::signal(SIGPIPE, SIG_DFL);
            int code = 3;
            {
                RedisServer server(velsupport::ServerTlsFrom(s_trusted));
                if (!server.Start().empty()) std::exit(4);
                veltest::FakeServer forwarder(
                    [port = server.Port()](int fd) { ForwardThenHalfClose(fd, port, 1 << 20); });
                RedisEndpointConfig config = server.MakeConfig();
                config.port = forwarder.config.port;
                config.commandTimeout = 10s;
                config.commandTimeoutFollowsStoreTimeout = false;
                RedisConnection c(config);
                c.Get("k");
                try {
                    c.Set("k", MakeBytes(32 << 20, 1));
                } catch (const RedisException&) {
                    code = 0;
                }
            }
            std::exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

// The subscriber speaks TLS too: messages (large ones among them) arrive, and keep arriving
// after the server kills its connection and it subscribes again over a new session.
TEST_F(RedisTls, SubscriberReceivesOverTlsAcrossKilledConnections) {
    RedisServer server(velsupport::ServerTlsFrom(s_trusted, true));
    StartOrFail(server);
    RedisSubscriptionManager manager(server.MakeConfig());
    std::mutex mutex;
    std::vector<std::string> received;
    manager.Subscribe("app.*", [&](const TString&, const void* data, int length) {
        std::lock_guard<std::mutex> lock(mutex);
        received.emplace_back(static_cast<const char*>(data), std::size_t(length));
    });
    ASSERT_TRUE(manager.WaitUntilSubscribed("app.*", 5s));
    const auto arrived = [&](const std::string& text) {
        return Eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& r : received)
                if (r == text) return true;
            return false;
        });
    };
    const std::string large(200 << 10, 'L');
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const std::string small = "message " + std::to_string(round);
        EXPECT_TRUE(manager.TryPublish("app.1", TString::fromStdString(small), {}));
        EXPECT_TRUE(manager.TryPublishBytes("app.2", large.data(), large.size()));
        EXPECT_TRUE(arrived(small));
        EXPECT_TRUE(arrived(large));
        const long long before = manager.GetStats().resubscriptions;
        EXPECT_GE(server.Command({"CLIENT", "KILL", "TYPE", "pubsub"}).integer, 1);
        ASSERT_TRUE(Eventually([&] { return manager.GetStats().resubscriptions > before; }));
        ASSERT_TRUE(manager.WaitUntilSubscribed("app.*", 5s));
    }
}
