// Many threads of one process miss the same key of a read-through cache at once, over a disk
// directory and a private redis-server with the process's coherence service: one load for all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "caching/DiskExternalCache.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisExternalCache.h"
#include "caching/RedisPubsub.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"

namespace {

using namespace velmora::caching;
using namespace std::chrono_literals;
using Cache = ReadThroughCache<std::string>;

constexpr std::size_t kThreads = 64;

// What the failing loader raises. Its waiters catch it by type and leave it untouched: they all
// hold the one exception object, whose last holder frees it inside the uninstrumented C++
// runtime, which ThreadSanitizer would report as a race with any earlier read of it.
struct RowLocked : std::runtime_error {
    RowLocked() : std::runtime_error("row locked") {}
};

// Whether thread `tid` of this process is asleep (blocked), as the kernel reports it.
bool IsAsleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

class SingleFlight : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        m_manager = std::make_unique<RedisSubscriptionManager>(Server().MakeConfig());
        m_service = RedisPubsub::CreateTestInstance("flight.", *m_manager);
        ASSERT_TRUE(m_manager->WaitUntilSubscribed("flight.*", 10s));
        ReadThroughOptions options;
        options.name = "rows";
        m_layers = {
            std::make_shared<DiskExternalCache>(TString("rt"), TPath(m_dir.Path() / "disk"),
                                                nullptr),
            std::make_shared<RedisExternalCache>(
                TString("rt"), std::make_shared<RedisConnectionPool>(Server().MakeConfig()))};
        options.layers.assign(m_layers.begin(), m_layers.end());
        m_cache = std::make_unique<Cache>(
            options,
            Cache::Codec{[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
                         [](const unsigned char* data, std::size_t size) {
                             return std::make_shared<const std::string>(
                                 reinterpret_cast<const char*>(data), size);
                         }},
            m_service);
    }
    void TearDown() override {
        m_cache.reset();
        m_service.reset();
        m_manager.reset();
    }

    // Runs kThreads threads that each Get `key` at once with `loader`, which runs only once
    // every other thread is inside Get and blocked (waiting for the load, there being nothing
    // else to block on). Returns what each thread got: its value, "<null>", or "raised: <what>".
    std::vector<std::string> MissTogether(const std::string& key,
                                          const std::function<std::string()>& loader) {
        std::vector<std::atomic<pid_t>> tids(kThreads);
        std::atomic<int> entered{0};
        const auto othersWaiting = [&] {
            const pid_t self = ::gettid();
            for (const auto& tid : tids)
                if (tid != self && !IsAsleep(tid)) return false;
            return true;
        };
        const auto load = [&] {
            for (const auto deadline = std::chrono::steady_clock::now() + 10s;
                 entered < int(kThreads) || !othersWaiting(); std::this_thread::sleep_for(1ms)) {
                if (std::chrono::steady_clock::now() > deadline)
                    throw std::runtime_error("others never waited");
            }
            return loader();
        };
        std::vector<std::string> got(kThreads);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                tids[i] = ::gettid();
                ++entered;
                try {
                    const auto value = m_cache->Get(key, load).value;
                    got[i] = value ? *value : "<null>";
                } catch (const RowLocked&) {
                    got[i] = "raised: row locked";
                } catch (const std::exception& e) {
                    got[i] = std::string("raised: ") + e.what();
                }
            });
        }
        for (auto& t : threads) t.join();
        return got;
    }

    veltest::TempDir m_dir{"singleflight"};
    veltest::HostScope m_host;
    std::unique_ptr<RedisSubscriptionManager> m_manager;
    std::shared_ptr<RedisPubsub> m_service;
    std::vector<std::shared_ptr<ExternalCache<TString, ExternalBytes>>> m_layers;
    std::unique_ptr<Cache> m_cache;
};

TEST_F(SingleFlight, ThreadsMissingOneKeyAtOnceLoadItOnce) {
    const std::vector<std::string> got = MissTogether("row", [] { return std::string("v1"); });
    EXPECT_EQ(got, std::vector<std::string>(kThreads, "v1"));
    const ReadThroughCounters c = m_cache->GetCounters();
    EXPECT_EQ(c.loads, 1);
    EXPECT_EQ(c.coalescedWaits, static_cast<long long>(kThreads) - 1);
    EXPECT_EQ(c.layerHits, (std::vector<long long>{0, 0}));
    EXPECT_EQ(c.waitTimeouts, 0);
    // The one load went to both layers.
    for (std::size_t i = 0; i < m_layers.size(); ++i) {
        bool stored = false;
        for (const auto deadline = std::chrono::steady_clock::now() + 10s;
             !(stored =
                   m_layers[i]->LoadOnThisThread(m_cache->Core().ExternalKey("row")) != nullptr) &&
             std::chrono::steady_clock::now() < deadline;)
            std::this_thread::sleep_for(2ms);
        EXPECT_TRUE(stored) << "layer " << i;
    }
}

// Every waiter of a failed load raises what the loader raised, and the failure is not kept: the
// next Get loads again.
TEST_F(SingleFlight, EveryWaiterOfAFailedLoadRaisesItsException) {
    const std::vector<std::string> got =
        MissTogether("row", []() -> std::string { throw RowLocked(); });
    EXPECT_EQ(got, std::vector<std::string>(kThreads, "raised: row locked"));
    ReadThroughCounters c = m_cache->GetCounters();
    EXPECT_EQ(c.loads, 1);
    EXPECT_EQ(c.loadFailures, 1);
    EXPECT_EQ(c.coalescedWaits, static_cast<long long>(kThreads) - 1);

    EXPECT_EQ(*m_cache->Get("row", [] { return std::string("v2"); }).value, "v2");
    EXPECT_EQ(m_cache->GetCounters().loads, 2);
}

}  // namespace
