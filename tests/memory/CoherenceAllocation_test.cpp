// What the coherence service asks of the allocator in a long-running host. This binary replaces
// the global operator new to see the size of every request made while a test watches.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>

#include "caching/RedisPubsub.h"
#include "caching/RedisPubsubTestDoubles.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velcore/AppOptions.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"

namespace {

std::atomic<bool> g_watching{false};
std::atomic<std::size_t> g_largest{0};

}  // namespace

void* operator new(std::size_t size) {
    if (g_watching.load(std::memory_order_relaxed)) {
        std::size_t seen = g_largest.load(std::memory_order_relaxed);
        while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace velmora::caching;
using velmora::appoptions::ScopedOverride;
using veltest::Eventually;

class CoherenceAllocation : public veltest::RedisServerTest {
protected:
    veltest::HostScope m_host;
};

// A gap (here the server silent past the deaf limit) treats every tracked entry as dirty. The
// flush copied every tracked record into one array first: 10,000 records made one block of
// about 768 KiB, and a freed block that large makes glibc keep as much at the top of every
// thread's arena from then on.
TEST_F(CoherenceAllocation, GapFlushCopiedEveryTrackedRecordIntoOneBlock) {
    constexpr unsigned kEntries = 10000;
    ScopedOverride deafAfter("CacheSynchronizationMaxDeafMs", 300);
    RedisEndpointConfig config = Server().MakeConfig();
    config.heartbeatInterval = std::chrono::milliseconds(50);
    config.commandTimeout = std::chrono::milliseconds(200);
    RedisSubscriptionManager manager(config);
    auto service = RedisPubsub::CreateTestInstance("flush.", manager);
    ASSERT_TRUE(manager.WaitUntilSubscribed("flush.*", std::chrono::seconds(5)));
    auto cache = std::make_shared<veltest::RecordingCache>();
    const unsigned long long now = DateTime::UtcNow().GetRepresentation();
    for (unsigned i = 1; i <= kEntries; ++i) service->OnAdded({i, 0}, {i, 1}, now, i, cache);
    ASSERT_TRUE(Eventually([&] { return service->GetHealth().received >= kEntries; }));
    ASSERT_TRUE(cache->dirty.Get().empty());

    g_largest = 0;
    g_watching = true;
    Server().Freeze();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    Server().Thaw();
    const bool flushed = Eventually([&] { return cache->dirty.Get().size() == kEntries; });
    g_watching = false;
    ASSERT_TRUE(flushed) << "dirty: " << cache->dirty.Get().size();
    EXPECT_GE(service->GetHealth().conservativeFlushes, 1);
    EXPECT_LT(g_largest.load(), std::size_t{256} * 1024) << "largest block asked for";
    service->OnRemoved(*cache);
}

}  // namespace
