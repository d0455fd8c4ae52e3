#include "caching/RedisExternalCache.h"

#include <gtest/gtest.h>

#include <thread>

#include "ExternalCacheTestSupport.h"
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
    StringLookupTable OnlyLine(const char* op) {
        const auto lines = m_host.Log().Find(TString(op));
        EXPECT_EQ(lines.size(), 1u) << op;
        return lines.empty() ? StringLookupTable() : lines.back().attributes;
    }

    HostScope m_host;
    std::shared_ptr<RedisConnectionPool> m_pool;
};

TEST_F(RedisCache, ValuesLiveUnderNamespaceColonKeyUnescaped) {
    EXPECT_EQ(RedisExternalCache::MakePhysicalCacheKey(TString("ns"), TString("")), "ns:");
    EXPECT_EQ(RedisExternalCache::MakePhysicalCacheKey(TString("MapTiles"), TString("k1")),
              "MapTiles:k1");
    RedisExternalCache a(TString("a"), m_pool), ab(TString("a:b"), m_pool);
    ASSERT_TRUE(a.TryStore(TString("b:c"), Bytes(std::string("x\0y", 3)), 0, -1).Get());
    EXPECT_EQ(Raw({"GET", "a:b:c"}).text, std::string("x\0y", 3));
    EXPECT_EQ(Text(ab.TryLoad(TString("c")).Get()), std::string("x\0y", 3));
    EXPECT_EQ(Attr(OnlyLine("ec-load"), "outcome"), TString("hit"));
    EXPECT_TRUE(ab.TryDrop(TString("c")).Get());
    EXPECT_EQ(Raw({"EXISTS", "a:b:c"}).integer, 0);
    EXPECT_EQ(a.TryLoad(TString("b:c")).Get(), nullptr);
    EXPECT_TRUE(a.TryGetAllKeys().empty());
}

TEST_F(RedisCache, ExpiryFollowsTheOptionTheFlagAndThePositiveTtl) {
    struct Case {
        bool alwaysSetEx, flag;
        long long ttlSec;
        long long expectTtl;  // TTL's answer: -1 means no expiry
    };
    const Case cases[] = {{false, true, 60, -1}, {true, true, 60, 60},    {true, true, -1, 1234},
                          {true, true, 0, 1234}, {true, false, 60, 1234}, {false, false, -1, -1}};
    opt::ScopedOverride seconds("ExternalCacheRedisAlwaysSetExSec", 1234);
    RedisExternalCache cache(TString("ttl"), m_pool);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.alwaysSetEx << c.flag << c.ttlSec);
        opt::ScopedOverride always("ExternalCacheRedisAlwaysSetEx", c.alwaysSetEx);
        FeatureFlags::Set(kRedisCallerTtlFlag, c.flag);
        ASSERT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, c.ttlSec).Get());
        EXPECT_EQ(Raw({"TTL", "ttl:k"}).integer, c.expectTtl);
    }
}

TEST_F(RedisCache, ExpiredValueLoadsAsMiss) {
    opt::ScopedOverride always("ExternalCacheRedisAlwaysSetEx", true);
    FeatureFlags::Set(kRedisCallerTtlFlag, true);
    RedisExternalCache cache(TString("exp"), m_pool);
    ASSERT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, 1).Get());
    ASSERT_EQ(Text(cache.TryLoad(TString("k")).Get()), "v");
    ExternalBytesPtr value = Bytes("v");
    for (int i = 0; i < 100 && value; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        value = cache.TryLoad(TString("k")).Get();
    }
    EXPECT_EQ(value, nullptr);
}

TEST_F(RedisCache, NoFreeConnectionMeansDoneAndMissWithoutError) {
    RedisExternalCache cache(TString("busy"), m_pool);
    auto first = m_pool->LockConnection(std::chrono::seconds(5));
    auto second = m_pool->LockConnection(std::chrono::seconds(5));
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(cache.TryLoad(TString("k")).Get(), nullptr);
    EXPECT_TRUE(cache.TryDrop(TString("k")).Get());
    EXPECT_EQ(Attr(OnlyLine("ec-store"), "outcome"), TString("done"));
    EXPECT_EQ(Attr(OnlyLine("ec-load"), "outcome"), TString("miss"));
    second.reset();
    EXPECT_EQ(Raw({"EXISTS", "busy:k"}).integer, 0);
}

TEST_F(RedisCache, UnreachableServerFailsEveryOperation) {
    RedisExternalCache cache(TString("down"), m_pool);
    Server().Stop();
    EXPECT_FALSE(cache.TryStore(TString("k"), Bytes("v"), 0, -1).Get());
    EXPECT_EQ(cache.TryLoad(TString("k")).Get(), nullptr);
    EXPECT_FALSE(cache.TryDrop(TString("k")).Get());
    for (const char* op : {"ec-store", "ec-load", "ec-drop"}) {
        const auto info = OnlyLine(op);
        EXPECT_EQ(Attr(info, "outcome"), TString("fail")) << op;
        EXPECT_EQ(Attr(info, "problem"), TString("exception")) << op;
    }
}

}  // namespace
