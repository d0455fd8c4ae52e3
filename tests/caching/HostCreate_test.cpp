// Hosts as objects, in the test process itself: a host made with Create sets nothing
// process-wide, stays apart from hosts of other servers or namespaces, stops its caches with a
// clear error, leaves no thread, descriptor or memory behind, and says what its retry queue
// could not publish by the deadline.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdio>
#include <filesystem>
#include <future>
#include <string>

#include "caching/Host.h"
#include "support/FakeServer.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velcore/AppOptions.h"
#include "velcoreplatform/TElapsedTimer.h"
#include "velsupport/RedisServer.h"

namespace {

using namespace velmora::caching;
using ::testing::HasSubstr;

ReadThroughCache<std::string>::Codec TextCodec() {
    return {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
            [](const unsigned char* data, std::size_t size) {
                return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                           size);
            }};
}

using TextCache = std::shared_ptr<ReadThroughCache<std::string>>;

// What `f` raised ("" when nothing).
std::string Raises(const std::function<void()>& f) {
    try {
        f();
    } catch (const VelmoraException& e) {
        return e.what();
    }
    return "";
}

std::shared_ptr<const std::string> Text(const std::string& text) {
    return std::make_shared<const std::string>(text);
}

std::string Answer(const TextCache& cache, const std::string& key, const std::string& loaded) {
    return *cache->Get(key, [loaded] { return loaded; }).value;
}

HostOptions OnServer(const velsupport::RedisServer& server, const std::string& ns) {
    HostOptions options;
    options.redis = "127.0.0.1:" + std::to_string(server.Port());
    options.coherenceNamespace = ns;
    // Long enough that a loaded machine (sanitizers, tests in parallel) still hears.
    options.maxDeafMs = 4000;
    return options;
}

int ThreadCount() {
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

TEST(HostCreate, ProcessWideFieldsMustAgreeWithTheProcessAndNoneIsSet) {
    veltest::HostScope scope;
    struct Case {
        const char* what;
        std::function<void(HostOptions&)> set;
    };
    const Case cases[] = {
        {"HostOptions::cascadeInvalidation is true but the process has false (SyncCaches)",
         [](HostOptions& o) { o.cascadeInvalidation = true; }},
        {"HostOptions::externalConcurrencyLimit is 3 but the process has 16",
         [](HostOptions& o) { o.externalConcurrencyLimit = 3; }},
        {"HostOptions::redisValuesExpireSec is 60 but the process has 0",
         [](HostOptions& o) { o.redisValuesExpireSec = 60; }},
        {"Host::Create: HostOptions::coherenceNamespace \"velcache.clear@\"",
         [](HostOptions& o) { o.coherenceNamespace = "velcache.clear@"; }},
        {"HostOptions::coherenceNamespace \"velcache.tags@x.\" and \"velcache.tags\"",
         [](HostOptions& o) { o.coherenceNamespace = "velcache.tags@x."; }},
    };
    for (const Case& c : cases) {
        HostOptions options;
        c.set(options);
        EXPECT_THAT(Raises([&] { Host::Create(options); }), HasSubstr(c.what));
    }
    // Agreeing fields are taken; the options store is as it was.
    velmora::appoptions::ScopedOverride sync("SyncCaches", true);
    HostOptions options;
    options.cascadeInvalidation = true;
    options.externalConcurrencyLimit = 16;
    options.maxDeafMs = 300;
    options.startDegraded = true;
    EXPECT_TRUE(Host::Create(options));
    EXPECT_EQ(velmora::appoptions::CacheSynchronizationMaxDeafMs(), 600);
    EXPECT_FALSE(velmora::appoptions::CacheSynchronizationStartDegraded());
}

// A stopped host's caches raise a clear error, outlive the host, and go without a crash.
TEST(HostCreate, StoppedHostsCachesRaiseAndOutliveIt) {
    veltest::HostScope scope;
    veltest::TempDir dir("host-create");
    HostOptions options;
    options.diskDirectory = dir.Path().string();
    auto host = Host::Create(options);
    ASSERT_TRUE(host->DiskLayer() && !host->RedisLayer() && !host->Service());
    TextCache cache = host->ReadThrough<std::string>("answers", {}, TextCodec());
    int loads = 0;
    const auto load = [&] {
        ++loads;
        return std::string("42");
    };
    EXPECT_EQ(*cache->Get("q", load).value, "42");
    EXPECT_EQ(*cache->Get("q", load).value, "42");
    EXPECT_EQ(loads, 1);

    host->Stop();
    EXPECT_TRUE(host->Stopped());
    EXPECT_THAT(Raises([&] { cache->Get("q", load); }),
                HasSubstr("ReadThroughCache \"answers\": its host was stopped"));
    EXPECT_THAT(Raises([&] { cache->Set("q", Text("43")); }), HasSubstr("its host was stopped"));
    EXPECT_THAT(Raises([&] { host->ReadThrough<std::string>("more", {}, TextCodec()); }),
                HasSubstr("Host::ReadThrough: \"more\": the host was stopped"));
    host.reset();
    EXPECT_THAT(Raises([&] { cache->Get("q", load); }), HasSubstr("its host was stopped"));
    cache.reset();
    EXPECT_EQ(loads, 1);
}

// A degraded start says why, does not wait for a subscription that cannot come, and its caches
// load from the source.
TEST(HostCreate, DegradedStartAgainstNoServerLoadsFromTheSourceWithoutWaiting) {
    veltest::HostScope scope;
    HostOptions options;
    options.redis = "127.0.0.1:" + std::to_string(velsupport::FreeLoopbackPort());
    options.connectTimeout = std::chrono::milliseconds(200);
    options.startDegraded = true;
    auto host = Host::Create(options);
    TextCache cache = host->ReadThrough<std::string>("rows", {}, TextCodec());
    EXPECT_EQ(Answer(cache, "k", "from the source"), "from the source");
    bool said = false, waited = false;
    for (const velmora::LogRecord& record : scope.Log().Records()) {
        const std::string text = record.message.toStdString();
        said = said || (record.severity == TLog::Error &&
                        text.find("Host::Create: cannot reach Redis at " + options.redis) !=
                            std::string::npos);
        waited = waited || text.find("is not confirmed yet") != std::string::npos;
    }
    EXPECT_TRUE(said);
    EXPECT_FALSE(waited);
    host->Stop();
}

class HostCreateOnRedis : public veltest::RedisServerTest {
protected:
    veltest::HostScope m_scope;
};

// Whether `layer` holds the value stored under `key` (as the cache's own layers name it).
bool Holds(const ExternalCachePtr& layer, const TString& key) {
    return layer && layer->TryLoad(key).Get() != nullptr;
}

// `peer` shares `a`'s server and namespace and hears it (the control); `b` must not: neither
// an announcement, a clear nor a stored value of `a` reaches it.
void ExpectApart(Host& a, Host& peer, Host& b) {
    TextCache ca = a.ReadThrough<std::string>("rows", {}, TextCodec());
    TextCache cpeer = peer.ReadThrough<std::string>("rows", {}, TextCodec());
    TextCache cb = b.ReadThrough<std::string>("rows", {}, TextCodec());
    ASSERT_EQ(Answer(cpeer, "k", "old"), "old");
    ASSERT_EQ(Answer(cb, "k", "b"), "b");

    // The source now says "new", as a writer's Set tells everyone.
    ca->Set("k", Text("new"));
    EXPECT_TRUE(veltest::Eventually([&] { return Answer(cpeer, "k", "new") == "new"; }));
    EXPECT_EQ(Answer(cb, "k", "new"), "b") << "an announcement reached the other host";

    ca->Set("stored", Text("by a"));
    const TString key = ca->Core().ExternalKey("stored");
    EXPECT_TRUE(veltest::Eventually([&] { return Holds(peer.RedisLayer(), key); }));
    EXPECT_FALSE(Holds(b.RedisLayer(), key)) << "a stored value reached the other host";
    if (a.DiskLayer()) {
        EXPECT_TRUE(veltest::Eventually([&] { return Holds(peer.DiskLayer(), key); }));
        EXPECT_FALSE(Holds(b.DiskLayer(), key)) << "a value on disk reached the other host";
    }

    ca->Clear();
    EXPECT_TRUE(veltest::Eventually([&] { return Answer(cpeer, "k", "cleared") == "cleared"; }));
    EXPECT_EQ(Answer(cb, "k", "cleared"), "b") << "a clear reached the other host";
}

TEST_F(HostCreateOnRedis, TwoHostsOnTwoServersStayApart) {
    velsupport::RedisServer second;
    ASSERT_EQ(second.Start(), "");
    auto a = Host::Create(OnServer(Server(), "tenant."));
    auto peer = Host::Create(OnServer(Server(), "tenant."));
    auto b = Host::Create(OnServer(second, "tenant."));
    ExpectApart(*a, *peer, *b);
}

TEST_F(HostCreateOnRedis, TwoNamespacesOnOneServerStayApart) {
    veltest::TempDir dir("host-namespaces");
    HostOptions one = OnServer(Server(), "one."), two = OnServer(Server(), "two.");
    // One disk directory too: each namespace keeps its values apart there as well.
    one.diskDirectory = two.diskDirectory = dir.Path().string();
    auto a = Host::Create(one);
    auto peer = Host::Create(one);
    auto b = Host::Create(two);
    ExpectApart(*a, *peer, *b);
}

// Heap bytes in use (0 where the allocator does not say, as under the sanitizers).
std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

TEST_F(HostCreateOnRedis, HundredCreateStopCyclesLeaveNothingBehind) {
    const auto cycle = [&](int i) {
        auto host = Host::Create(OnServer(Server(), "cycle."));
        TextCache cache = host->ReadThrough<std::string>("rows", {}, TextCodec());
        cache->Set("k", Text("v" + std::to_string(i)));
        EXPECT_EQ(Answer(cache, "k", "loaded"), "v" + std::to_string(i));
        host->Stop();
        // What the capturing sinks keep is the test's, not the host's.
        m_scope.Log().Clear();
        m_scope.Metrics().Clear();
    };
    cycle(0);  // shared pools start their threads lazily
    const int threads = ThreadCount(), fds = veltest::OpenFdCount();
    const std::size_t heap = HeapInUse();
    TElapsedTimer timer;
    const int cycles = 100;
    for (int i = 1; i <= cycles; ++i) cycle(i);
    const long long usPerCycle = timer.Elapsed().count() / 1000 / cycles;
    RecordProperty("us_per_cycle", std::to_string(usPerCycle));
    std::printf("a create/stop cycle took %lld us on average\n", usPerCycle);
    // The process-wide task pool may start a thread or two; a host left behind leaves three.
    EXPECT_LE(ThreadCount(), threads + 2);
    EXPECT_TRUE(veltest::Eventually([&] { return veltest::OpenFdCount() <= fds; }))
        << veltest::OpenFdCount() << " descriptors open, " << fds << " before";
    EXPECT_LT(HeapInUse(), heap + (2u << 20)) << "heap grew by " << HeapInUse() - heap;
}

// A host whose announcements wait in the retry queue: one cache of `host`, in memory only.
TextCache QueueAnnouncements(Host& host, velsupport::RedisServer& server, int count) {
    TextCache cache = host.ReadThrough<std::string>(
        "rows", HostCacheOptions{.disk = false, .redis = false}, TextCodec());
    server.Freeze();
    for (int i = 0; i < count; ++i) cache->Set("k" + std::to_string(i), Text("new"));
    return cache;
}

TEST_F(HostCreateOnRedis, StopAgainstAFrozenServerReturnsByItsDeadlineAndSaysWhatItDropped) {
    HostOptions options = OnServer(Server(), "frozen.");
    options.connectTimeout = options.commandTimeout = std::chrono::milliseconds(200);
    auto host = Host::Create(options);
    TextCache cache = QueueAnnouncements(*host, Server(), 5);
    EXPECT_EQ(host->Service()->GetHealth().publishFailuresQueued, 5);
    const std::chrono::milliseconds deadline(800);
    TElapsedTimer timer;
    host->Stop(deadline);
    const auto tookMs = static_cast<long long>(timer.ElapsedMs());
    Server().Thaw();
    // The contract's bound: the deadline, or one command time-out past it when the server
    // stops answering during the last try.
    EXPECT_LE(tookMs, deadline.count() + options.commandTimeout.count());
    EXPECT_EQ(host->Service()->GetHealth().dropped, 5);
    bool said = false;
    for (const velmora::LogRecord& record : m_scope.Log().Records())
        said = said || (record.severity == TLog::Warn &&
                        record.message.toStdString().find(
                            "0 queued announcements published, 5 dropped at the deadline of "
                            "800 ms") != std::string::npos);
    EXPECT_TRUE(said);
}

TEST_F(HostCreateOnRedis, StopAgainstALiveServerPublishesEveryQueuedAnnouncement) {
    HostOptions options = OnServer(Server(), "live.");
    options.commandTimeout = std::chrono::milliseconds(200);
    auto host = Host::Create(options);
    // The peer waits longer for a reply than the freeze lasts: it hears the announcements
    // themselves, not a gap that would drop everything anyway.
    auto peer = Host::Create(OnServer(Server(), "live."));
    TextCache held = peer->ReadThrough<std::string>(
        "rows", HostCacheOptions{.disk = false, .redis = false}, TextCodec());
    const int count = 5;
    for (int i = 0; i < count; ++i) ASSERT_EQ(Answer(held, "k" + std::to_string(i), "old"), "old");
    TextCache cache = QueueAnnouncements(*host, Server(), count);
    Server().Thaw();
    host->Stop(std::chrono::milliseconds(5000));
    const CoherenceHealth health = host->Service()->GetHealth();
    EXPECT_EQ(health.dropped, 0);
    EXPECT_EQ(health.queuedNow, 0);
    EXPECT_EQ(health.resent, count);
    for (int i = 0; i < count; ++i)
        EXPECT_TRUE(veltest::Eventually([&] {
            return Answer(held, "k" + std::to_string(i), "reloaded") == "reloaded";
        })) << i;
    EXPECT_EQ(peer->Service()->GetHealth().conservativeFlushes, 0);
}

// Runs `work` on a thread of its own while the server is frozen; whether it was done within
// `bound` (each step it waits on the frozen server takes a whole command time-out). The server
// is thawed and the work joined either way.
// Less than any wait on the frozen server in the tests below, more than they need without one.
constexpr std::chrono::milliseconds kNoWait{2500};

bool DoneWhileFrozen(velsupport::RedisServer& server, std::chrono::milliseconds bound,
                     const std::function<void()>& work) {
    std::future<void> done = std::async(std::launch::async, work);
    const bool inTime = done.wait_for(bound) == std::future_status::ready;
    server.Thaw();
    done.get();
    return inTime;
}

// A degraded start never waits on its server again: the host is made while nothing listens on
// the port, the server then comes back frozen, and the cache is made, a value loaded and a
// change announced without a command to it (each would wait a command time-out, at least the 5 s
// of the store time-out that bounds the pool's); once it answers, the queued announcement goes
// out.
TEST_F(HostCreateOnRedis, DegradedStartAgainstAFrozenServerWaitsForItOnlyOnce) {
    HostOptions options = OnServer(Server(), "frozen-start.");
    options.commandTimeout = std::chrono::seconds(60);
    options.startDegraded = true;
    Server().Stop();
    std::unique_ptr<Host> host = Host::Create(options);
    ASSERT_EQ(Server().Start(), "");
    Server().Freeze();
    TextCache cache;
    EXPECT_TRUE(DoneWhileFrozen(Server(), kNoWait, [&] {
        cache = host->ReadThrough<std::string>("rows", {}, TextCodec());
        EXPECT_EQ(Answer(cache, "k", "from the source"), "from the source");
        cache->Set("k", Text("changed"));
    }));
    EXPECT_TRUE(veltest::Eventually([&] { return host->Service()->GetHealth().published >= 1; }));
    EXPECT_EQ(host->Service()->GetHealth().dropped, 0);
}

// Once the service knows the server is silent, a writer's change and a reader's load no longer
// wait on it (each would wait at least 5 s, as above); what they announce goes out when it
// answers again.
TEST_F(HostCreateOnRedis, KnownSilentServerMakesNoCallWait) {
    HostOptions options = OnServer(Server(), "silent.");
    options.commandTimeout = std::chrono::seconds(60);
    options.maxDeafMs = 300;
    auto host = Host::Create(options);
    TextCache cache = host->ReadThrough<std::string>("rows", {}, TextCodec());
    ASSERT_EQ(Answer(cache, "k", "old"), "old");
    Server().Freeze();
    ASSERT_TRUE(veltest::Eventually(
        [&] { return host->Service()->State() == RedisPubsub::CoherenceState::Silent; }));
    const long long published = host->Service()->GetHealth().published;
    EXPECT_TRUE(DoneWhileFrozen(Server(), kNoWait, [&] {
        cache->Set("k", Text("new"));
        EXPECT_EQ(Answer(cache, "other", "loaded"), "loaded");
    }));
    EXPECT_TRUE(
        veltest::Eventually([&] { return host->Service()->GetHealth().published > published; }));
}

// What GET /metrics at `address` ("host:port") answers, head and body; "" when nobody listens.
std::string Scrape(const std::string& address) {
    const int port = std::stoi(address.substr(address.rfind(':') + 1));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = veltest::FakeServer::Loopback(port);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

// A host's metrics address serves the process's figures with its service's and caches' asked
// for, each series labelled with its namespace, in a text Prometheus's own checker accepts; a
// wrong or taken address is refused by name, and Stop closes the endpoint.
TEST_F(HostCreateOnRedis, MetricsAddressServesLabelledSeriesThatPromtoolAccepts) {
    HostOptions options = OnServer(Server(), "metrics.");
    options.metricsAddress = "127.0.0.1:0";
    auto host = Host::Create(options);
    TextCache cache = host->ReadThrough<std::string>("rows", {}, TextCodec());
    ASSERT_EQ(Answer(cache, "k", "v"), "v");
    const std::string scraped = Scrape(host->MetricsAddress());
    EXPECT_THAT(scraped, HasSubstr("HTTP/1.1 200"));
    EXPECT_THAT(scraped,
                HasSubstr("velcache_redispubsub_health_published_total{namespace=\"metrics.\"}"));
    EXPECT_THAT(scraped,
                HasSubstr("velcache_readthroughcache_counters_loads_total{namespace=\"rows\"} 1"));

    const std::string body = scraped.substr(scraped.find("\r\n\r\n") + 4);
    veltest::TempDir dir("metrics");
    const std::string file = (dir.Path() / "scrape.txt").string();
    std::FILE* out = std::fopen(file.c_str(), "w");
    ASSERT_TRUE(out);
    std::fwrite(body.data(), 1, body.size(), out);
    std::fclose(out);
    ASSERT_TRUE(std::filesystem::exists(VELTEST_PROMTOOL))
        << VELTEST_PROMTOOL << " is missing: scripts/setup unpacks it";
    const std::string check = std::string(VELTEST_PROMTOOL) + " check metrics < " + file + " 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << "promtool refused the scrape (above)";

    HostOptions taken = OnServer(Server(), "metrics2.");
    taken.metricsAddress = host->MetricsAddress();
    EXPECT_THAT(Raises([&] { Host::Create(taken); }),
                HasSubstr("Host::Create: HostOptions::metricsAddress cannot be served: "));
    taken.metricsAddress = "127.0.0.1:65536";
    EXPECT_THAT(Raises([&] { Host::Create(taken); }),
                HasSubstr("HostOptions::metricsAddress must be \"host:port\""));
    const std::string address = host->MetricsAddress();
    host->Stop();
    EXPECT_EQ(Scrape(address), "");
}

}  // namespace
