// GetMany of the read-through cache on a real redis-server: batches below memory, one load a
// missing key, and calls over overlapping keys that must not wait on each other.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <stdexcept>
#include <thread>

#include "ExternalCacheTestSupport.h"
#include "caching/DiskExternalCache.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisExternalCache.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisConnectionPool.h"

using namespace velmora::caching;

namespace {

using velmora::appoptions::ScopedOverride;
using veltest::Eventually;
using Cache = ReadThroughCache<std::string>;

std::vector<std::string> Keys(int n, const std::string& prefix = "k") {
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i) keys.push_back(prefix + std::to_string(i));
    return keys;
}

// The outcomes of the "ec-load" scopes captured so far, by outcome.
std::map<std::string, int> LoadOutcomes(Metrics::CapturingMetricsSink& metrics) {
    std::map<std::string, int> outcomes;
    for (const auto& record : metrics.Find("ec-load"))
        if (const Metrics::TagValue* outcome = record.FindTag("outcome"))
            ++outcomes[std::get<TString>(*outcome).toStdString()];
    return outcomes;
}

class GetMany : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        m_pool = std::make_shared<RedisConnectionPool>(Server().MakeConfig());
    }
    ReadThroughOptions Options(int memoryEntries = 2000) {
        ReadThroughOptions o;
        o.name = "many";
        o.memoryEntries = memoryEntries;
        o.layers = {std::make_shared<RedisExternalCache>(TString("rt"), m_pool)};
        return o;
    }
    long long StoredKeys() { return Server().Command({"DBSIZE"}).integer; }

    veltest::HostScope m_host;
    std::shared_ptr<RedisConnectionPool> m_pool;
};

TEST_F(GetMany, AThousandKeysFromRedisAreEachAGuardedLoadAndNoneIsRefused) {
    const std::vector<std::string> keys = Keys(1000);
    {
        // A thousand background stores at once: each waits for a unit of the concurrency limit
        // instead of giving up after the usual 100 ms (on a loaded machine some would).
        ScopedOverride patientStores("ExternalCacheConcurrencyTimeoutMs", 60000);
        Cache writer(Options(0), nullptr);
        for (const std::string& key : keys)
            writer.Set(key, std::make_shared<const std::string>("v" + key));
        ASSERT_TRUE(Eventually([&] { return StoredKeys() == 1000; }));
    }
    m_host.Metrics().Clear();
    Cache reader(Options(), nullptr);
    std::atomic<int> loads{0};
    const auto results = reader.GetMany(keys, [&](const std::string& key) {
        ++loads;
        return "loaded " + key;
    });

    ASSERT_EQ(results.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(results[i].value) << keys[i];
        EXPECT_EQ(*results[i].value, "v" + keys[i]);
        EXPECT_EQ(results[i].source, ReadThroughSource::External);
        EXPECT_NE(results[i].guid, 0u);
    }
    EXPECT_EQ(loads.load(), 0);
    const ReadThroughCounters counters = reader.GetCounters();
    EXPECT_EQ(counters.layerHits.at(0), 1000);
    EXPECT_EQ(counters.externalFailures, 0);
    // One scope a key, every one a hit: the batches stayed within the concurrency limit.
    EXPECT_EQ(LoadOutcomes(m_host.Metrics()), (std::map<std::string, int>{{"hit", 1000}}));

    // Asked again, memory answers every key.
    for (const auto& r : reader.GetMany(keys, [](const std::string& key) { return key; }))
        EXPECT_EQ(r.source, ReadThroughSource::Memory);
}

TEST_F(GetMany, MixedSourcesDuplicatesAndOrder) {
    veltest::ScratchDir dir;
    auto disk = std::make_shared<DiskExternalCache>(TString("rtdisk"), nullptr);
    ReadThroughOptions o = Options();
    o.layers.insert(o.layers.begin(), disk);
    Cache cache(o, nullptr);
    cache.Get("held", [] { return std::string("h"); });
    {
        ReadThroughOptions other = Options(0);
        Cache elsewhere(other, nullptr);  // stores "shared" in Redis only
        elsewhere.Set("shared", std::make_shared<const std::string>("s"));
        ASSERT_TRUE(Eventually([&] { return StoredKeys() == 2; }));
    }
    int runs = 0;
    cache.SetLoader([&runs](const std::string& key) {
        ++runs;
        return "new " + key;
    });
    const auto results = cache.GetMany({"fresh", "held", "shared", "fresh", "other"});
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(*results[0].value, "new fresh");
    EXPECT_EQ(results[0].source, ReadThroughSource::Loader);
    EXPECT_EQ(*results[1].value, "h");
    EXPECT_EQ(results[1].source, ReadThroughSource::Memory);
    EXPECT_EQ(*results[2].value, "s");
    EXPECT_EQ(results[2].source, ReadThroughSource::External);
    EXPECT_EQ(results[2].layer, 1);
    EXPECT_EQ(results[3].value, results[0].value);  // asked twice, loaded once
    EXPECT_EQ(*results[4].value, "new other");
    EXPECT_EQ(runs, 2);
    // What Redis answered was filled into the disk layer above it.
    EXPECT_EQ(cache.GetCounters().layerHits, (std::vector<long long>{0, 1}));
}

TEST_F(GetMany, AFailingLoadRaisesAfterEveryOtherKeyIsSettled) {
    Cache cache(Options(), nullptr);
    int runs = 0;
    EXPECT_THROW(cache.GetMany({"a", "bad", "c"},
                               [&runs](const std::string& key) -> std::string {
                                   ++runs;
                                   if (key == "bad") throw std::runtime_error("source down");
                                   return key;
                               }),
                 std::runtime_error);
    EXPECT_EQ(runs, 3);
    EXPECT_TRUE(cache.TryGet("a").value);
    EXPECT_TRUE(cache.TryGet("c").value);
    EXPECT_FALSE(cache.TryGet("bad").value);
    // The failed key's flight was let go: it loads again.
    EXPECT_EQ(
        *cache.GetMany({"bad"}, [](const std::string&) { return std::string("up"); }).front().value,
        "up");
    Cache noLoader(Options(), nullptr);
    EXPECT_THROW(noLoader.GetMany({"x"}), VelmoraException);
}

TEST_F(GetMany, OwnLoadsFinishBeforeWaitingForAnotherThreadsLoad) {
    // Another thread holds the load of "busy" until released. A GetMany of "busy" and "mine"
    // must load "mine" (and let its waiters have it) meanwhile: holding the flight of "mine"
    // while it waited for "busy" is what lets two calls over overlapping keys wait on each other
    // until the wait limit.
    ReadThroughOptions o = Options();
    o.loadWaitMs = 20000;
    Cache cache(o, nullptr);
    std::promise<void> busyEntered, releaseBusy, mineLoaded;
    std::shared_future<void> release = releaseBusy.get_future().share();
    std::thread holder([&] {
        cache.Get("busy", [&] {
            busyEntered.set_value();
            release.wait();
            return std::string("b");
        });
    });
    busyEntered.get_future().wait();
    std::vector<Cache::Result> results;
    std::atomic<int> busyLoadedTwice{0};
    std::thread many([&] {
        results = cache.GetMany({"busy", "mine"}, [&](const std::string& key) {
            if (key == "mine") mineLoaded.set_value();
            if (key == "busy") ++busyLoadedTwice;
            return "loaded " + key;
        });
    });
    const bool loadedWhileBusyHeld =
        mineLoaded.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(loadedWhileBusyHeld);
    if (loadedWhileBusyHeld) {
        // Its flight is finished too: another Get of it does not load.
        const auto other = cache.Get("mine", [] { return std::string("again"); });
        EXPECT_EQ(*other.value, "loaded mine");
    }
    releaseBusy.set_value();
    holder.join();
    many.join();
    ASSERT_EQ(results.size(), 2u);
    // The other thread's load answered "busy" (through its flight, or from memory once it had
    // filled): this call did not load it again.
    EXPECT_EQ(*results[0].value, "b");
    EXPECT_EQ(busyLoadedTwice.load(), 0);
    EXPECT_EQ(*results[1].value, "loaded mine");
    EXPECT_EQ(cache.GetCounters().waitTimeouts, 0);
}

}  // namespace
