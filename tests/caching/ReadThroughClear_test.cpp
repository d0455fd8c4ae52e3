// Clear of a whole read-through cache across processes, on a real redis-server: two
// subscription managers and two connection pools stand for two processes.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "RedisPubsubTestDoubles.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisExternalCache.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;

namespace {

using veltest::Eventually;
using Cache = ReadThroughCache<std::string>;

// One process's connections to the server.
struct Process {
    explicit Process(const RedisEndpointConfig& config)
        : pool(std::make_shared<RedisConnectionPool>(config)), manager(config) {}
    std::shared_ptr<RedisConnectionPool> pool;
    RedisSubscriptionManager manager;
};

class Clear : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        m_config = Server().MakeConfig();
        m_a = std::make_unique<Process>(m_config);
        m_b = std::make_unique<Process>(m_config);
    }
    ReadThroughOptions Options(Process& process) {
        ReadThroughOptions o;
        o.name = "cleared";
        o.layers = {std::make_shared<RedisExternalCache>(TString("rt"), process.pool)};
        o.clearChannel = &process.manager;
        return o;
    }
    static std::function<std::string()> Returns(std::string value, int* runs = nullptr) {
        return [value, runs] {
            if (runs) ++*runs;
            return value;
        };
    }
    bool Stored(const TString& externalKey) {
        return Server()
                   .Command({"EXISTS", RedisExternalCache::MakePhysicalCacheKey("rt", externalKey)})
                   .integer == 1;
    }

    veltest::HostScope m_host;
    RedisEndpointConfig m_config;
    std::unique_ptr<Process> m_a, m_b;
};

TEST_F(Clear, EmptiesEveryInstanceOfTheNameAndLeavesOldStoredCopiesUnread) {
    Cache a(Options(*m_a), nullptr);
    Cache alsoA(Options(*m_a), nullptr);  // a second instance of the name in process A
    Cache b(Options(*m_b), nullptr);
    int runs = 0;
    a.Get("k", Returns("v1", &runs));
    const TString before = a.Core().ExternalKey("k");
    ASSERT_TRUE(Eventually([&] { return Stored(before); }));  // stores go out in the background
    EXPECT_EQ(b.Get("k", Returns("never", &runs)).source, ReadThroughSource::External);
    EXPECT_EQ(alsoA.Get("k", Returns("never", &runs)).source, ReadThroughSource::External);

    b.Clear();
    EXPECT_TRUE(b.HeldValues().empty());
    ASSERT_TRUE(Eventually([&] { return a.GetCounters().clears == 1; }));
    ASSERT_TRUE(Eventually([&] { return alsoA.GetCounters().clears == 1; }));
    EXPECT_EQ(b.GetCounters().clears, 1);  // its own message changes nothing more
    EXPECT_TRUE(a.HeldValues().empty());
    EXPECT_TRUE(alsoA.HeldValues().empty());
    // Every instance moved to the same new generation; the old copy is still stored (no one
    // deletes another's copies) but no longer read.
    EXPECT_NE(a.Core().ExternalKey("k"), before);
    EXPECT_EQ(a.Core().ExternalKey("k"), b.Core().ExternalKey("k"));
    EXPECT_TRUE(Stored(before));
    EXPECT_EQ(a.TryGet("k").value, nullptr);
    EXPECT_EQ(b.TryGet("k").value, nullptr);

    EXPECT_EQ(*a.Get("k", Returns("v2", &runs)).value, "v2");
    ASSERT_TRUE(Eventually([&] { return Stored(a.Core().ExternalKey("k")); }));
    const auto again = b.Get("k", Returns("never", &runs));
    EXPECT_EQ(again.source, ReadThroughSource::External);
    EXPECT_EQ(*again.value, "v2");
    EXPECT_EQ(runs, 2);

    // A process that starts later reads the generation from the shared layer.
    Process late(m_config);
    Cache c(Options(late), nullptr);
    EXPECT_EQ(c.Core().ExternalKey("k"), a.Core().ExternalKey("k"));
    EXPECT_EQ(*c.Get("k", Returns("never", &runs)).value, "v2");
}

TEST_F(Clear, LoadInFlightWhenTheClearArrivesDoesNotFill) {
    Cache a(Options(*m_a), nullptr);
    Cache b(Options(*m_b), nullptr);
    std::promise<void> started, release;
    std::shared_future<void> released = release.get_future().share();
    auto load = std::async(std::launch::async, [&] {
        return b.Get("k", [&] {
            started.set_value();
            released.wait();
            return std::string("loaded before the clear");
        });
    });
    started.get_future().wait();
    a.Clear();
    ASSERT_TRUE(Eventually([&] { return b.GetCounters().clears == 1; }));
    release.set_value();
    const auto result = load.get();
    EXPECT_EQ(*result.value, "loaded before the clear");  // the caller still gets it
    EXPECT_EQ(result.guid, 0u);
    EXPECT_EQ(b.GetCounters().racedFillsDropped, 1);
    EXPECT_TRUE(b.HeldValues().empty());
    EXPECT_EQ(a.TryGet("k").value, nullptr);
    EXPECT_FALSE(Stored(b.Core().ExternalKey("k")));
}

// Messages published while a subscriber is disconnected are lost: the re-subscription counts
// as a clear, and the generation is read again from the shared layer.
TEST_F(Clear, ReSubscriptionAfterALostConnectionCountsAsAClearAndReadsTheGeneration) {
    Cache b(Options(*m_b), nullptr);
    b.Get("k", Returns("v1"));
    const TString before = b.Core().ExternalKey("k");
    // A clear whose message never arrived: the count moved, nothing was delivered.
    Server().Command(
        {"INCR", RedisExternalCache::MakePhysicalCacheKey("rt", "rt.cleared.generation")});
    EXPECT_EQ(b.GetCounters().clears, 0);
    Server().Command({"CLIENT", "KILL", "TYPE", "pubsub"});
    ASSERT_TRUE(Eventually([&] { return b.GetCounters().clears >= 1; }));
    EXPECT_TRUE(b.HeldValues().empty());
    EXPECT_NE(b.Core().ExternalKey("k"), before);
    EXPECT_EQ(b.TryGet("k").value, nullptr);
}

TEST_F(Clear, RefusesAChannelThatACoherenceNamespaceOfTheProcessWouldRead) {
    m_a->manager.Subscribe("velcache.*", [](const TString&, const void*, int) {});
    try {
        Cache a(Options(*m_a), nullptr);
        ADD_FAILURE() << "made a cache whose clears a coherence service would read";
    } catch (const VelmoraException& e) {
        EXPECT_NE(std::string(e.what()).find("\"velcache.\""), std::string::npos) << e.what();
    }
    m_a->manager.Unsubscribe("velcache.*");
}

}  // namespace

// ---- tag invalidations while the server is away ----

namespace {

class TagsOnRedis : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        m_config = Server().MakeConfig();
        m_a = std::make_unique<Process>(m_config);
        m_b = std::make_unique<Process>(m_config);
    }
    static CacheTagSet Loaded(const std::string& tag, TagStamp under) { return {{tag}, under}; }

    veltest::HostScope m_host;
    RedisEndpointConfig m_config;
    std::unique_ptr<Process> m_a, m_b;
};

// An invalidation the server could not take waits in the retry queue, applied in its own process
// meanwhile (nothing loaded before it is served there), and reaches the other process once the
// server is back; then a value loaded after it is served again.
TEST_F(TagsOnRedis, AnInvalidationMadeWhileTheServerIsDownReachesTheOthersWhenItIsBack) {
    const auto a = TagInvalidations::OverRedis(m_a->manager);
    const auto b = TagInvalidations::OverRedis(m_b->manager);
    std::mutex mutex;
    std::vector<std::string> heard;
    b->AddListener([&](const std::string&, const std::string& tag, TagStamp) {
        std::lock_guard<std::mutex> lock(mutex);
        heard.push_back(tag);
    });
    const TagStamp before = b->Watermark();
    Server().Stop();
    a->Invalidate("row:1");
    EXPECT_EQ(a->GetCounters().queued, 1);
    EXPECT_FALSE(a->MayServe("", Loaded("row:1", a->Watermark())));
    EXPECT_TRUE(a->MayServe("", Loaded("row:2", a->Watermark())));

    ASSERT_EQ(Server().Start(), "");
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(heard.begin(), heard.end(), "row:1") > 0;
    }));
    EXPECT_FALSE(b->MayServe("", Loaded("row:1", before)));
    EXPECT_TRUE(b->MayServe("", Loaded("row:1", b->Watermark())));
    ASSERT_TRUE(Eventually([&] { return a->GetCounters().sent == 1; }));
    EXPECT_TRUE(a->MayServe("", Loaded("row:1", a->Watermark())));
    EXPECT_EQ(a->GetCounters().dropped, 0);

    // Several at once, in one script call: heard in the order given.
    // (Queued instead when the subscription has not heard the server since it came back: sent
    // by the retry thread then, in the same order.)
    a->Invalidate(std::vector<std::string>{"x:1", "x:2", "x:3"});
    EXPECT_TRUE(Eventually([&] { return a->GetCounters().sent == 4; }));
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return heard.size() >= 4 && std::vector<std::string>(heard.end() - 3, heard.end()) ==
                                        std::vector<std::string>{"x:1", "x:2", "x:3"};
    }));
}

}  // namespace
