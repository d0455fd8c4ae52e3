// One suite over the external caches that keep values (disk, Redis, Redis over TLS) for what
// they share: answers of the right kind, values kept exactly, keys kept apart exactly.
#include <gtest/gtest.h>

#include <thread>

#include "ExternalCacheTestSupport.h"
#include "caching/DiskExternalCache.h"
#include "caching/ExternalCacheFactory.h"
#include "caching/RedisExternalCache.h"
#include "velredis/RedisConnectionPool.h"
#include "velsupport/RedisServer.h"
#include "velsupport/TlsCertificates.h"

using namespace velmora::caching;
using namespace veltest;

namespace {

struct DiskBackend {
    ExternalCachePtr Make(const char* ns) {
        return std::make_shared<DiskExternalCache>(TString(ns), nullptr);
    }
    ScratchDir dir;
};

// A private redis-server (speaking TLS only, and asking for client certificates, when `tls`)
// and a pool sized for the concurrency limit, as the shared pool is.
template <bool tls>
struct RedisBackend {
    RedisBackend() {
        EXPECT_TRUE(velsupport::RedisServer::IsInstalled()) << velsupport::kRedisServerMissing;
        EXPECT_EQ(tls ? certificates.Make() : std::string(), "");
        server = tls ? std::make_unique<velsupport::RedisServer>(
                           velsupport::ServerTlsFrom(certificates, true))
                     : std::make_unique<velsupport::RedisServer>();
        EXPECT_EQ(server->Start(), "");
        auto config = server->MakeConfig();
        config.poolSize = 0;
        pool = std::make_shared<RedisConnectionPool>(config);
    }
    ExternalCachePtr Make(const char* ns) {
        return std::make_shared<RedisExternalCache>(TString(ns), pool);
    }
    velsupport::TlsCertificates certificates;
    std::unique_ptr<velsupport::RedisServer> server;
    std::shared_ptr<RedisConnectionPool> pool;
};

template <class Backend>
class ExternalCacheBackend : public ExternalCacheTest {
protected:
    Backend m_backend;
};

using Backends = ::testing::Types<DiskBackend, RedisBackend<false>, RedisBackend<true>>;
TYPED_TEST_SUITE(ExternalCacheBackend, Backends);

TYPED_TEST(ExternalCacheBackend, StoreOverwriteEmptyValueDropAndSynchronousLoad) {
    const auto cache = this->m_backend.Make("shared");
    EXPECT_EQ(cache->TryLoad(TString("k")).Get(), nullptr);
    // Larger than a TLS record and a socket buffer, then overwritten by a shorter value.
    std::string large(3 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = char(i * 13);
    EXPECT_TRUE(cache->TryStore(TString("k"), Bytes(large), 0, -1).Get());
    EXPECT_EQ(Text(cache->TryLoad(TString("k")).Get()), large);
    EXPECT_TRUE(cache->TryStore(TString("k"), Bytes(std::string("a\0b", 3)), 0, -1).Get());
    bool timedOut = true;
    EXPECT_EQ(Text(cache->TryLoad(TString("k"), 30000, &timedOut)), std::string("a\0b", 3));
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(cache->TryStore(TString("e"), std::make_shared<ExternalBytes>(), 0, -1).Get());
    EXPECT_EQ(Text(cache->TryLoad(TString("e")).Get()), "");
    EXPECT_TRUE(cache->TryDrop(TString("k")).Get());
    EXPECT_TRUE(cache->TryDrop(TString("never stored")).Get());
    EXPECT_EQ(cache->TryLoad(TString("k")).Get(), nullptr);
}

// Lone surrogates used to become '?' in the narrow form: distinct keys shared one Redis key
// (a load returned another key's value) and disk entries stored under them never loaded.
TYPED_TEST(ExternalCacheBackend, LoneSurrogateKeysCollide) {
    const auto cache = this->m_backend.Make("keys");
    const std::u16string keys[] = {u"p\xD800", u"p\xD801", u"p\xDC00", u"p?", u"p\xD83D\xDE00"};
    for (std::size_t i = 0; i < std::size(keys); ++i)
        ASSERT_TRUE(
            cache->TryStore(TString(keys[i].c_str()), Bytes(std::to_string(i)), 0, -1).Get());
    for (std::size_t i = 0; i < std::size(keys); ++i)
        EXPECT_EQ(Text(cache->TryLoad(TString(keys[i].c_str())).Get()), std::to_string(i)) << i;
    if (auto* disk = dynamic_cast<DiskExternalCache*>(cache.get())) {
        auto listed = disk->TryGetAllKeys();
        EXPECT_EQ(listed.size(), std::size(keys));
        for (const auto& key : keys)
            EXPECT_EQ(std::count(listed.begin(), listed.end(), TString(key.c_str())), 1);
    }
}

// The shared Redis pool had fewer connections than the concurrency limit admits, and a store
// that found none free did nothing yet answered true: later loads returned older values.
TYPED_TEST(ExternalCacheBackend, AcknowledgedStoreMissingUnderSixteenThreads) {
    const auto cache = this->m_backend.Make("acked");
    std::atomic<int> stale{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&, t] {
            const TString key = TString::number(t);
            for (int version = 0; version < 40; ++version) {
                const std::string value = std::to_string(t) + ":" + std::to_string(version);
                if (!cache->TryStore(key, Bytes(value), 0, -1).Get()) {
                    ++refused;  // a jam or a failure says so; only a true must be kept
                    continue;
                }
                stale += Text(cache->TryLoad(key).Get()) != value;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(stale.load(), 0);
    EXPECT_EQ(refused.load(), 0);
}

}  // namespace
