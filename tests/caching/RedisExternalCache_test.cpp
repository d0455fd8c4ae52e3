#include "caching/RedisExternalCache.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <thread>

#include "ExternalCacheTestSupport.h"
#include "support/DelayingProxy.h"
#include "support/RedisServerFixture.h"
#include "velcoredata/FeatureFlags.h"
#include "velredis/RedisConnectionPool.h"

using namespace velmora::caching;
using namespace veltest;
namespace opt = velmora::appoptions;

namespace {

class RedisCache : public RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        auto config = Server().MakeConfig();
        config.poolSize = 2;
        m_pool = std::make_shared<RedisConnectionPool>(config);
    }
    // The reply of one raw command on a connection of the test's pool.
    RedisReplyValue Raw(const std::vector<std::string>& args) {
        auto guard = m_pool->LockConnection(std::chrono::seconds(5));
        EXPECT_TRUE(guard);
        return guard ? guard->GetConnection().Command(args) : RedisReplyValue();
    }

    HostScope m_host;
    std::shared_ptr<RedisConnectionPool> m_pool;
};

TEST_F(RedisCache, ValuesLiveUnderNamespaceColonKeyUnescaped) {
    EXPECT_EQ(RedisExternalCache::MakePhysicalCacheKey(TString("ns"), TString("")), "ns:");
    RedisExternalCache a(TString("a"), m_pool), ab(TString("a:b"), m_pool);
    ASSERT_TRUE(a.TryStore(TString("b:c"), Bytes(std::string("x\0y", 3)), 0, -1).Get());
    EXPECT_EQ(Raw({"GET", "a:b:c"}).text, std::string("x\0y", 3));
    EXPECT_EQ(Text(ab.TryLoad(TString("c")).Get()), std::string("x\0y", 3));
    EXPECT_TRUE(a.TryGetAllKeys().empty());
}

TEST_F(RedisCache, ExpiryFollowsTheOptionTheFlagAndThePositiveTtl) {
    const struct {
        bool alwaysSetEx, flag;
        long long ttlSec, expectTtl;  // TTL's answer: -1 means no expiry
    } cases[] = {{false, true, 60, -1}, {true, true, 60, 60},    {true, true, -1, 1234},
                 {true, true, 0, 1234}, {true, false, 60, 1234}, {false, false, -1, -1}};
    opt::ScopedOverride seconds("ExternalCacheRedisAlwaysSetExSec", 1234);
    RedisExternalCache cache(TString("ttl"), m_pool);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.alwaysSetEx << c.flag << c.ttlSec);
        opt::ScopedOverride always("ExternalCacheRedisAlwaysSetEx", c.alwaysSetEx);
        FeatureFlags::Set(kRedisCallerTtlFlag, c.flag);
        ASSERT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, c.ttlSec).Get());
        EXPECT_EQ(Raw({"TTL", "ttl:k"}).integer, c.expectTtl);
    }
}

// With every connection taken, a call does nothing and says nothing: no problem on any line.
TEST_F(RedisCache, NoFreeConnectionIsQuiet) {
    RedisExternalCache cache(TString("busy"), m_pool);
    {
        auto first = m_pool->LockConnection(std::chrono::seconds(5));
        auto second = m_pool->LockConnection(std::chrono::seconds(5));
        ASSERT_TRUE(first && second);
        EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
        EXPECT_EQ(cache.TryLoad(TString("k")).Get(), nullptr);
        EXPECT_TRUE(cache.TryDrop(TString("k")).Get());
        for (const velmora::LogRecord& line : m_host.Log().Records())
            EXPECT_EQ(Attr(line.attributes, "problem"), TString("<absent>")) << line.message;
        EXPECT_EQ(Attr(OnlyLine(m_host, "ec-load"), "outcome"), TString("miss"));
    }
    EXPECT_EQ(Raw({"EXISTS", "busy:k"}).integer, 0);
}

// Whatever the server does (killed and restarted, frozen and thawed, its connections killed, its
// replies drip-fed) under a burst of stores and loads from eight threads, every call comes back
// within its time-out plus slack, never with a wrong value, and the cache works again once the
// fault is over.
TEST_F(RedisCache, ServerFaultsGiveAWrongValueOrAHungCall) {
    using std::chrono::milliseconds;
    opt::ScopedOverride storeTimeout("ExternalCacheStoreTimeoutMs", 300);
    opt::ScopedOverride dropTimeout("ExternalCacheDropTimeoutMs", 300);
    DelayingProxy proxy;
    ASSERT_EQ(proxy.Start(Server().Port()), "");
    const struct {
        const char* name;
        int port;
        std::function<void()> start, end;
        milliseconds lasting;
    } faults[] = {
        {"killed and restarted", Server().Port(), [&] { Server().Stop(); },
         [&] { ASSERT_EQ(Server().Start(), ""); }, milliseconds(800)},
        {"killed with SIGKILL mid-burst", Server().Port(), [&] { Server().Stop(SIGKILL); },
         [&] { ASSERT_EQ(Server().Start(), ""); }, milliseconds(800)},
        {"frozen and thawed", Server().Port(), [&] { Server().Freeze(); }, [&] { Server().Thaw(); },
         milliseconds(800)},
        {"connections killed", Server().Port(),
         [&] {
             for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(milliseconds(20)))
                 Server().Command({"CLIENT", "KILL", "TYPE", "normal"});
         },
         [] {}, milliseconds(800)},
        // A reply of ten bytes or more takes 5 s: longer than the fault, and than any call may.
        {"replies drip-fed", proxy.Port(), [&] { proxy.SetDrip(milliseconds(500)); },
         [&] { proxy.SetDrip(milliseconds(0)); }, milliseconds(4500)},
    };
    const auto slack = std::chrono::seconds(3);  // two shared cores, several builds at once
    // A load has no time-out of its own: the pool's wait for a connection and the command
    // time-out (which follows the store time-out) bound it.
    const auto loadTimeout = milliseconds(100 + 300);
    for (int run = 0; run < 2 * int(std::size(faults)); ++run) {
        // Every fault with commands sharing one connection, then with a connection each.
        const bool pipelining = run < int(std::size(faults));
        const auto& fault = faults[std::size_t(run) % std::size(faults)];
        SCOPED_TRACE(std::string(fault.name) + (pipelining ? ", shared connection" : ""));
        auto config = Server().MakeConfig();
        config.port = fault.port;
        config.poolSize = 0;
        config.pipelining = pipelining;
        RedisExternalCache cache(TString("fault"), std::make_shared<RedisConnectionPool>(config));
        std::atomic<bool> stop{false};
        std::atomic<int> wrong{0}, slow{0}, calls{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                const TString key = TString::number(t);
                for (int version = 0; !stop; ++version) {
                    const std::string prefix = std::to_string(t) + ":";
                    auto begin = std::chrono::steady_clock::now();
                    cache.TryStore(key, Bytes(prefix + std::to_string(version)), 0, -1).Get();
                    slow += std::chrono::steady_clock::now() - begin >
                            std::chrono::milliseconds(300 + 100) + slack;
                    begin = std::chrono::steady_clock::now();
                    const std::string loaded = Text(cache.TryLoad(key).Get());
                    slow += std::chrono::steady_clock::now() - begin >
                            loadTimeout + std::chrono::milliseconds(100) + slack;
                    wrong +=
                        loaded != "<null>" && (loaded.rfind(prefix, 0) != 0 ||
                                               std::stoi(loaded.substr(prefix.size())) > version);
                    calls += 2;
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fault.start();
        std::this_thread::sleep_for(fault.lasting);
        fault.end();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(wrong.load(), 0) << "of " << calls.load();
        EXPECT_EQ(slow.load(), 0) << "of " << calls.load();
        ExternalBytesPtr after;
        for (int i = 0; i < 50 && Text(after) != "after"; ++i) {
            cache.TryStore(TString("after"), Bytes("after"), 0, -1).Get();
            after = cache.TryLoad(TString("after")).Get();
        }
        EXPECT_EQ(Text(after), "after");
    }
}

}  // namespace
