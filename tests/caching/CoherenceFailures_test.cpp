// The coherence service when its Redis server fails it: a service made against a server it
// cannot use raises (or, if the host asked, starts degraded) naming where and why, within the
// connect time-out plus one command time-out; a service that loses its server says so once per
// change of state, in the log and to its listeners.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "caching/ReadThroughCache.h"
#include "caching/RedisExternalCache.h"
#include "caching/RedisPubsub.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisProbe.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/RedisServer.h"
#include "velsupport/TlsCertificates.h"
#include "velsys/Exceptions.h"
#include "velsys/Locks.h"

namespace {

using namespace velmora::caching;
using namespace std::chrono_literals;
using velmora::appoptions::ScopedOverride;
using velsupport::RedisServer;
using veltest::Eventually;
using Clock = std::chrono::steady_clock;
using State = RedisPubsub::CoherenceState;

// Short time-outs, so that the bound a refusal must come within is short too.
constexpr auto kConnectTimeout = 500ms;
constexpr auto kCommandTimeout = 500ms;
// Beyond connect + command time-out: a loaded machine's scheduling, process start-up of nothing.
constexpr auto kSlack = 1500ms;

RedisEndpointConfig Tight(RedisEndpointConfig config) {
    config.connectTimeout = kConnectTimeout;
    config.commandTimeout = kCommandTimeout;
    return config;
}

std::string Address(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

// The lines of `severity` that contain `text`, in order.
std::vector<std::string> LinesWith(const velmora::CapturingLogSink& log, int severity,
                                   const std::string& text) {
    std::vector<std::string> lines;
    for (const velmora::LogRecord& record : log.Records()) {
        const std::string message = record.message.toStdString();
        if (record.severity == severity && message.find(text) != std::string::npos)
            lines.push_back(message);
    }
    return lines;
}

// Every event a service told its listener, in order.
class EventLog {
public:
    void Add(const RedisPubsub::CoherenceEvent& event) {
        velmora::TMutexLock lock(m_mutex);
        m_events.push_back(event);
    }
    std::vector<RedisPubsub::CoherenceEvent> Get() const {
        velmora::TMutexLock lock(m_mutex);
        return m_events;
    }
    std::vector<std::string> Whats() const {
        std::vector<std::string> whats;
        for (const auto& event : Get()) whats.push_back(event.what);
        return whats;
    }
    long Count(const std::string& what) const {
        const auto whats = Whats();
        return std::count(whats.begin(), whats.end(), what);
    }

private:
    mutable velmora::TMutex m_mutex;
    std::vector<RedisPubsub::CoherenceEvent> m_events VEL_GUARDED_BY(m_mutex);
};

std::string Joined(const std::vector<std::string>& whats) {
    std::string text;
    for (const std::string& what : whats) text += (text.empty() ? "" : ", ") + what;
    return text;
}

// ---- Create against a server it cannot use ----

class CoherenceServiceStart : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RedisServer::IsInstalled()) << velsupport::kRedisServerMissing;
    }
    void TearDown() override { ConfigureRedis(m_previous); }

    // Configures `config` as the process's endpoint, makes a service of a fresh namespace and
    // returns what it raised ("" when nothing), with how long Create took in `took`.
    std::string CreateRaises(const RedisEndpointConfig& config, Clock::duration& took) {
        ConfigureRedis(config);
        const TString ns = TString::fromStdString("start" + std::to_string(++m_made) + ".");
        const auto start = Clock::now();
        std::string what;
        try {
            const std::shared_ptr<RedisPubsub> service = RedisPubsub::Create(ns);
            took = Clock::now() - start;
            return "";
        } catch (const VelmoraException& e) {
            took = Clock::now() - start;
            what = e.what();
        }
        return what.empty() ? "<empty message>" : what;
    }

    // Create raises naming the address and `cause`, within the connect time-out plus one
    // command time-out (and the slack).
    void ExpectRefused(const RedisEndpointConfig& config, int port, const std::string& cause) {
        Clock::duration took{};
        const std::string what = CreateRaises(config, took);
        ASSERT_NE(what, "") << "Create did not raise";
        EXPECT_NE(what.find("cannot reach Redis at " + Address(port) + ": "), std::string::npos)
            << what;
        EXPECT_NE(what.find(cause), std::string::npos) << what;
        EXPECT_LT(took, kConnectTimeout + kCommandTimeout + kSlack) << what;
        std::printf("    %s (%lld ms)\n", what.c_str(),
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }

    veltest::HostScope m_host;
    const RedisEndpointConfig m_previous = GetRedisConfiguration();
    int m_made = 0;
};

// A wrong port: the service waited about a second, did not raise and logged nothing; every
// Get then ran the loader.
TEST_F(CoherenceServiceStart, WrongPortRaisedNothing) {
    RedisEndpointConfig config = Tight({});
    config.port = velsupport::FreeLoopbackPort();
    ExpectRefused(config, config.port, "Connection refused");
}

TEST_F(CoherenceServiceStart, WrongPasswordRaisedNothing) {
    RedisServer server("user app on >s3cret-pw ~* &* +@all\n");
    ASSERT_EQ(server.Start(), "");
    RedisEndpointConfig config = Tight(server.MakeConfig());
    config.user = "app";
    config.password = "wrong-pw";
    ExpectRefused(config, server.Port(), "WRONGPASS");
    Clock::duration took{};
    EXPECT_EQ(CreateRaises(config, took).find("wrong-pw"), std::string::npos)
        << "the password shows in the message";
}

TEST_F(CoherenceServiceStart, PlainClientOnATlsPortRaisedNothing) {
    velsupport::TlsCertificates certificates;
    ASSERT_EQ(certificates.Make(), "");
    RedisServer server(velsupport::ServerTlsFrom(certificates));
    ASSERT_EQ(server.Start(), "");
    RedisEndpointConfig config = Tight(server.MakeConfig());
    config.tls = false;
    ExpectRefused(config, server.Port(), "expects TLS");
}

TEST_F(CoherenceServiceStart, TlsClientOnAPlainPortRaisedNothing) {
    velsupport::TlsCertificates certificates;
    ASSERT_EQ(certificates.Make(), "");
    RedisServer server;
    ASSERT_EQ(server.Start(), "");
    RedisEndpointConfig config = Tight(server.MakeConfig());
    config.tls = true;
    config.tlsCaFile = velsupport::ServerTlsFrom(certificates).caFile;
    ExpectRefused(config, server.Port(), "TLS");
}

// A stopped server still accepts the TCP connection (the kernel does); only the unanswered PING
// shows it is not there.
TEST_F(CoherenceServiceStart, FrozenServerRaisedNothing) {
    RedisServer server;
    ASSERT_EQ(server.Start(), "");
    server.Freeze();
    ExpectRefused(Tight(server.MakeConfig()), server.Port(), "no answer to PING within 500 ms");
}

// The host asked to start degraded: the same words at Error instead of an exception, and the
// service hears once the server is there.
TEST_F(CoherenceServiceStart, DegradedStartLogsAtErrorAndHearsOnceTheServerIsThere) {
    ScopedOverride degraded("CacheSynchronizationStartDegraded", true);
    RedisServer server;
    ASSERT_EQ(server.Start(), "");
    server.Stop();
    ConfigureRedis(Tight(server.MakeConfig()));
    std::shared_ptr<RedisPubsub> service;
    ASSERT_NO_THROW(service = RedisPubsub::Create("degraded."));
    ASSERT_NE(service, nullptr);
    const std::string where = "cannot reach Redis at " + Address(server.Port()) + ": ";
    const auto errors = LinesWith(m_host.Log(), TLog::Error, where);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Coherence service \"degraded.\": " + where + "Connection refused"),
              std::string::npos)
        << errors[0];
    EXPECT_EQ(service->State(), State::Silent);
    EXPECT_FALSE(service->Hears());
    EventLog events;
    service->AddStateListener([&](const RedisPubsub::CoherenceEvent& e) { events.Add(e); });

    ASSERT_EQ(server.Start(), "");
    ASSERT_TRUE(Eventually([&] { return events.Count("hearing") == 1; })) << Joined(events.Whats());
    EXPECT_EQ(service->State(), State::Hearing);
    // (A gap between them when the process's subscriber had lost a connection before.)
    const auto whats = events.Whats();
    EXPECT_EQ(whats.front(), "catching-up") << Joined(whats);
    EXPECT_EQ(events.Count("catching-up"), 1) << Joined(whats);
    EXPECT_EQ(
        LinesWith(m_host.Log(), TLog::Info, "hears Redis at " + Address(server.Port())).size(), 1u);
}

// A read-through cache over a Redis layer on a wrong port, or handed a service that never
// heard from its server (the process's own, which never raises), was made without a word and
// then sent every Get to the loader. It raises naming the cache and where; with the degraded
// start it is made and says the same at Error.
TEST_F(CoherenceServiceStart, ReadThroughCacheOnAnUnreachableServerRaisedNothing) {
    RedisEndpointConfig config = Tight({});
    config.port = velsupport::FreeLoopbackPort();
    const auto pool = std::make_shared<RedisConnectionPool>(config);
    ReadThroughOptions options;
    options.name = "unreachable";
    options.layers = {std::make_shared<RedisExternalCache>(TString("rt"), pool)};
    const auto codec = ReadThroughCache<std::string>::Codec{
        [](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
        [](const unsigned char* data, std::size_t size) {
            return std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
        }};
    const std::string where = "cannot reach Redis at " + Address(config.port) + ": ";
    try {
        ReadThroughCache<std::string> cache(options, codec, nullptr);
        ADD_FAILURE() << "a cache over an unreachable Redis layer was made without a word";
    } catch (const VelmoraException& e) {
        EXPECT_NE(std::string(e.what()).find("ReadThroughCache \"unreachable\": " + where +
                                             "Connection refused"),
                  std::string::npos)
            << e.what();
    }

    // A service that never heard from its server: the cache asks it why.
    ScopedOverride degraded("CacheSynchronizationStartDegraded", true);
    ConfigureRedis(config);
    const std::shared_ptr<RedisPubsub> service = RedisPubsub::Create("rt-unreachable.");
    options.layers.clear();
    {
        ScopedOverride strict("CacheSynchronizationStartDegraded", false);
        EXPECT_THROW(ReadThroughCache<std::string>(options, codec, service), VelmoraException);
    }
    ReadThroughCache<std::string> degradedCache(options, codec, service);
    EXPECT_EQ(
        LinesWith(
            m_host.Log(), TLog::Error,
            "ReadThroughCache \"unreachable\": Coherence service \"rt-unreachable.\": " + where)
            .size(),
        1u);
    // It still answers, from the source.
    EXPECT_EQ(*degradedCache.Get("k", [] { return std::string("loaded"); }).value, "loaded");
}

// The process's service is made on paths that must not raise: an unreachable server is said
// once at Error, however often it is asked for. Run in a process of its own, where the service
// is made for the first time.
TEST(CoherenceProcessService, UnreachableServerRaisedFromGetInstanceOrSaidNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            veltest::HostScope host;
            RedisEndpointConfig config = Tight({});
            config.port = velsupport::FreeLoopbackPort();
            ConfigureRedis(config);
            int code = 0;
            try {
                for (int i = 0; i < 3; ++i)
                    if (RedisPubsub::GetInstance().expired()) code = 2;
            } catch (...) {
                std::fprintf(stderr, "GetInstance raised\n");
                std::_Exit(1);
            }
            const auto errors =
                LinesWith(host.Log(), TLog::Error,
                          "Coherence service \"defaultns.\": cannot reach Redis at " +
                              Address(config.port) + ": Connection refused");
            if (errors.size() != 1) {
                std::fprintf(stderr, "%zu Error lines naming the server\n", errors.size());
                code = 3;
            }
            // Without static destructors: the process's service and its threads live on.
            std::_Exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- A service that loses its server ----

class CoherenceStateChanges : public veltest::RedisServerTest {
protected:
    // A durable service of its own subscription manager, with a listener, once it hears.
    void Start(const char* ns) {
        m_manager = std::make_unique<RedisSubscriptionManager>(Server().MakeConfig());
        m_service = RedisPubsub::CreateTestInstance(ns, *m_manager);
        m_service->AddStateListener(
            [this](const RedisPubsub::CoherenceEvent& e) { m_events.Add(e); });
        ASSERT_TRUE(Eventually([&] { return m_service->State() == State::Hearing; }));
        ASSERT_TRUE(Eventually([&] { return m_events.Count("hearing") == 1; }));
        m_host.Log().Clear();
        m_seen = m_events.Get().size();
    }
    // The events since Start.
    std::vector<RedisPubsub::CoherenceEvent> Events() const {
        const auto all = m_events.Get();
        return {all.begin() + static_cast<long>(m_seen), all.end()};
    }
    std::vector<std::string> Whats() const {
        std::vector<std::string> whats;
        for (const auto& event : Events()) whats.push_back(event.what);
        return whats;
    }
    long Count(const std::string& what) const {
        const auto whats = Whats();
        return std::count(whats.begin(), whats.end(), what);
    }
    // After the service hears again, waits a while for anything told twice.
    void SettleAfterHearing() {
        ASSERT_TRUE(Eventually([&] { return Count("hearing") >= 1; })) << Joined(Whats());
        std::this_thread::sleep_for(1s);
    }

    veltest::HostScope m_host;
    std::unique_ptr<RedisSubscriptionManager> m_manager;  // outlives the service
    std::shared_ptr<RedisPubsub> m_service;
    EventLog m_events;
    std::size_t m_seen = 0;
};

// A frozen server delivers nothing and answers no heartbeat: the service must notice the silence
// by itself and say it once at Warn, and its end once at Warn too, with its length and what the
// caches did meanwhile.
TEST_F(CoherenceStateChanges, FrozenServerWentUnnoticed) {
    Start("frozen.");
    ReadThroughOptions options;
    options.name = "during";
    ReadThroughCache<std::string> cache(options, m_service);
    Server().Freeze();
    ASSERT_TRUE(Eventually([&] { return Count("silent") == 1; })) << Joined(Whats());
    // One load, then an answer from the value loaded during the silence.
    for (int i = 0; i < 2; ++i) cache.Get("k", [] { return std::string("v"); });
    EXPECT_EQ(m_service->State(), State::Silent);
    std::this_thread::sleep_for(3s);
    Server().Thaw();
    SettleAfterHearing();
    EXPECT_EQ(m_service->State(), State::Hearing);

    EXPECT_EQ(Count("silent"), 1) << Joined(Whats());
    EXPECT_EQ(Count("hearing"), 1) << Joined(Whats());
    const auto whats = Whats();
    EXPECT_EQ(whats.front(), "silent");
    EXPECT_EQ(whats.back(), "hearing");
    const std::string at = "Redis at " + Address(Server().Port());
    const auto silent = LinesWith(m_host.Log(), TLog::Warn, "hears nothing from " + at);
    const auto hearing = LinesWith(m_host.Log(), TLog::Warn, "hears " + at + " again");
    ASSERT_EQ(silent.size(), 1u);
    ASSERT_EQ(hearing.size(), 1u);
    EXPECT_NE(hearing[0].find("meanwhile they loaded from the source 1 time, answered 1 time with "
                              "values loaded during the silence and gave 0 fail-safe answers"),
              std::string::npos)
        << hearing[0];
    EXPECT_NE(silent[0].find("read-through caches serve nothing they held"), std::string::npos)
        << silent[0];
    // The listener was told the lines logged, and where.
    for (const auto& event : Events()) {
        EXPECT_EQ(event.endpoint, Address(Server().Port()));
        EXPECT_FALSE(LinesWith(m_host.Log(), event.what == "catching-up" ? TLog::Info : TLog::Warn,
                               event.message)
                         .empty())
            << event.message;
    }
}

// A server that restarts empty (no persistence) lost the stream: the restart and the gap are
// each told once, and the service hears again.
TEST_F(CoherenceStateChanges, RestartedServerWentUntold) {
    Start("restart.");
    Server().Stop();
    ASSERT_EQ(Server().Start(), "");
    SettleAfterHearing();
    EXPECT_EQ(Count("restarted"), 1) << Joined(Whats());
    EXPECT_EQ(Count("gap"), 1) << Joined(Whats());
    EXPECT_EQ(Count("hearing"), 1) << Joined(Whats());
    const auto restarted = LinesWith(
        m_host.Log(), TLog::Warn, "the Redis server at " + Address(Server().Port()) + " restarted");
    EXPECT_EQ(restarted.size(), 1u);
    const auto gap = LinesWith(m_host.Log(), TLog::Warn, "may have missed announcements");
    ASSERT_EQ(gap.size(), 1u);
    EXPECT_NE(gap[0].find("every tracked entry is treated as dirty"), std::string::npos) << gap[0];
}

// A listener runs with no lock of the service held: it may call the service, and remove
// itself; once removed it hears nothing more.
TEST_F(CoherenceStateChanges, ListenerThatCallsTheServiceDeadlocked) {
    Start("listener.");
    std::atomic<int> calls{0};
    std::atomic<std::uint64_t> id{0};
    id = m_service->AddStateListener([&](const RedisPubsub::CoherenceEvent&) {
        ++calls;
        (void)m_service->GetHealth();
        (void)m_service->State();
        m_service->RemoveStateListener(id);
    });
    Server().Command({"CLIENT", "KILL", "TYPE", "pubsub"});
    SettleAfterHearing();
    EXPECT_GE(Whats().size(), 2u) << Joined(Whats());
    EXPECT_EQ(calls.load(), 1);
}

// ---- The probe ----

// A cluster counts as reachable when any seed answers; when none does, each is named.
TEST(RedisProbe, ClusterSeedsAnsweringOrNotWereJudgedByTheFirstAlone) {
    ASSERT_TRUE(RedisServer::IsInstalled()) << velsupport::kRedisServerMissing;
    RedisServer server;
    ASSERT_EQ(server.Start(), "");
    RedisEndpointConfig config = Tight(server.MakeConfig());
    config.mode = RedisMode::Cluster;
    const int dead = velsupport::FreeLoopbackPort();
    config.clusterNodes = {Address(dead), Address(server.Port())};
    EXPECT_EQ(ProbeRedis(config), "");
    EXPECT_EQ(DescribeRedisEndpoint(config), Address(dead) + "," + Address(server.Port()));

    server.Stop();
    const std::string cause = ProbeRedis(config);
    EXPECT_NE(cause.find(Address(dead) + ": Connection refused"), std::string::npos) << cause;
    EXPECT_NE(cause.find(Address(server.Port()) + ": Connection refused"), std::string::npos)
        << cause;
}

}  // namespace
