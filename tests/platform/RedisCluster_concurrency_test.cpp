// Multi-threaded tests on the shared private cluster: a slot migrated live, and a master killed
// or frozen, each under load from several threads.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "caching/ExternalCacheTestSupport.h"
#include "caching/RedisExternalCache.h"
#include "support/RedisClusterFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisClusterSlot.h"
#include "velredis/RedisConnectionPool.h"

using namespace velmora::caching;
using namespace std::chrono_literals;
using namespace veltest;
using Clock = std::chrono::steady_clock;

namespace {

class RedisClusterUnderLoad : public RedisClusterTest {};

}  // namespace

// Loaders store and load their own keys of one slot while the slot moves to another master key
// by key: every load returns the value its loader stored last, through ASK while keys are split
// between the two masters and MOVED afterwards. Eight loaders share each node's connection, so
// that one written batch mixes commands that are answered, redirected with ASK and with MOVED.
TEST_F(RedisClusterUnderLoad, LiveSlotMigrationUnderLoadReturnsNoWrongValue) {
    veltest::HostScope host;
    auto pool = MakeClusterPool(Cluster(), RedisMode::Cluster, 8);
    RedisExternalCache cache(TString("mig"), pool);
    const int slot = RedisKeySlot("mig:{m}");
    const int seed = Cluster().Ports().front();
    const int source = MasterPortOf(Cluster(), seed, slot);
    int target = 0;
    for (int port : Cluster().MasterPorts(seed))
        if (port != source) target = port;
    ASSERT_NE(source, 0);
    ASSERT_NE(target, 0);
    const std::string sourceId = Cluster().Command(source, {"CLUSTER", "MYID"}).text;
    const std::string targetId = Cluster().Command(target, {"CLUSTER", "MYID"}).text;
    const auto key = [](int i) { return TString::fromStdString("{m}" + std::to_string(i)); };
    constexpr int kKeys = 160, kLoaders = 8;
    for (int i = 0; i < kKeys; ++i) ASSERT_TRUE(cache.TryStore(key(i), Bytes("0"), 0, -1).Get());

    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0}, failed{0}, calls{0};
    std::vector<std::thread> loaders;
    for (int t = 0; t < kLoaders; ++t)
        loaders.emplace_back([&, t] {
            for (int version = 1; !stop; ++version)
                for (int i = t; i < kKeys && !stop; i += kLoaders) {
                    const std::string value = std::to_string(version);
                    if (!cache.TryStore(key(i), Bytes(value), 0, -1).Get()) ++failed;
                    const ExternalBytesPtr loaded = cache.TryLoad(key(i)).Get();
                    if (!loaded)
                        ++failed;
                    else if (std::string(loaded->begin(), loaded->end()) != value)
                        ++wrong;
                    calls += 2;
                }
        });
    std::this_thread::sleep_for(200ms);
    const auto admin = [&](int port, std::vector<std::string> args) {
        const RedisReplyValue reply = Cluster().Command(port, args);
        EXPECT_NE(reply.type, RedisReplyValue::Type::Error) << reply.text;
        return reply;
    };
    admin(target, {"CLUSTER", "SETSLOT", std::to_string(slot), "IMPORTING", sourceId});
    admin(source, {"CLUSTER", "SETSLOT", std::to_string(slot), "MIGRATING", targetId});
    for (;;) {
        const RedisReplyValue keys =
            admin(source, {"CLUSTER", "GETKEYSINSLOT", std::to_string(slot), "10"});
        if (keys.elements.empty()) break;
        std::vector<std::string> migrate = {"MIGRATE", "127.0.0.1", std::to_string(target), "", "0",
                                            "5000",    "KEYS"};
        for (const auto& k : keys.elements) migrate.push_back(k.text);
        admin(source, migrate);
        std::this_thread::sleep_for(20ms);
    }
    for (int port : {target, source})
        admin(port, {"CLUSTER", "SETSLOT", std::to_string(slot), "NODE", targetId});
    std::this_thread::sleep_for(300ms);
    stop = true;
    for (auto& loader : loaders) loader.join();

    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    const RedisClusterStats stats = pool->GetClusterStats();
    EXPECT_GT(stats.asked, 0);
    EXPECT_GT(stats.moved, 0);
    EXPECT_EQ(MasterPortOf(Cluster(), target, slot), target);
}

// A master dies (SIGKILL) or stops answering (SIGSTOP) under load: its replica takes over, calls
// succeed again within a second of the failover, no call outlives its command time-out by much,
// and while the node is down most calls for it fail at once instead of waiting out the time-out.
class MasterLost : public RedisClusterTest, public ::testing::WithParamInterface<int> {};

TEST_P(MasterLost, ReplicaTakesOverAndCallsRecoverWithinASecond) {
    const bool frozen = GetParam() == SIGSTOP;
    const int seed = Cluster().Ports().front();
    const int victim = MasterPortOf(Cluster(), seed, RedisKeySlot("fo"));
    int observer = 0;  // a node that survives, to watch the failover from
    for (int port : Cluster().MasterPorts(seed))
        if (port != victim) observer = port;
    RedisEndpointConfig config = Cluster().MakeConfig();
    config.mode = RedisMode::Cluster;
    config.clusterNodes = {"127.0.0.1:" + std::to_string(victim),
                           "127.0.0.1:" + std::to_string(observer)};
    config.commandTimeout = 1000ms;
    auto pool = std::make_shared<RedisConnectionPool>(config);

    struct Call {
        Clock::time_point start, end;
        bool ok;
    };
    std::vector<std::vector<Call>> calls(2);
    std::atomic<bool> stop{false};
    std::vector<std::thread> loaders;
    for (std::size_t t = 0; t < calls.size(); ++t)
        loaders.emplace_back([&, t] {
            auto value = std::make_shared<std::vector<unsigned char>>(16, 'v');
            for (int i = 0; !stop; ++i) {
                // Only the victim's slot: nothing but the loss itself may lead the pool to the
                // new master (other slots answer CLUSTERDOWN while the cluster is down).
                const std::string key = "{fo}" + std::to_string(t) + "-" + std::to_string(i % 50);
                Call call{Clock::now(), {}, false};
                try {
                    auto guard = pool->FindAndLockConnection(key);
                    call.ok = guard && guard->GetConnection().Set(key, value) &&
                              guard->GetConnection().Get(key) != nullptr;
                } catch (const RedisException&) {
                }
                call.end = Clock::now();
                calls[t].push_back(call);
                std::this_thread::sleep_for(2ms);
            }
        });
    std::this_thread::sleep_for(300ms);
    const Clock::time_point lost = Clock::now();
    if (frozen)
        Cluster().Node(victim).Freeze();
    else
        Cluster().Node(victim).Stop(SIGKILL);
    Clock::time_point failover;
    for (const auto deadline = Clock::now() + 20s;; std::this_thread::sleep_for(10ms)) {
        ASSERT_LT(Clock::now(), deadline) << "no failover within 20 s";
        const auto masters = Cluster().MasterPorts(observer);
        if (std::count(masters.begin(), masters.end(), victim) == 0 && masters.size() == 3 &&
            Cluster().Info(observer, "cluster_state") == "ok") {
            failover = Clock::now();
            break;
        }
    }
    std::this_thread::sleep_for(1500ms);
    stop = true;
    for (auto& loader : loaders) loader.join();

    int lateCalls = 0, failures = 0, outageCalls = 0, fullWaits = 0;
    for (const auto& list : calls)
        for (const Call& call : list) {
            failures += !call.ok;
            if (call.start > lost + 100ms && call.end < failover) {
                ++outageCalls;
                fullWaits += call.end - call.start >= config.commandTimeout;
            }
            // Two command time-outs (a Set and a Get) and generous slack for a loaded machine.
            EXPECT_LT(call.end - call.start, 2 * config.commandTimeout + 1500ms);
            if (call.start > failover + 1s) {
                EXPECT_TRUE(call.ok) << "a call failed more than 1 s after the failover";
                ++lateCalls;
            }
        }
    EXPECT_GT(lateCalls, 0);
    // Once the node is known to be down, calls for it fail at once; only the occasional probe
    // waits it out.
    EXPECT_GT(outageCalls, 0);
    EXPECT_LT(fullWaits * 2, outageCalls)
        << "calls kept waiting out their time-out on a node known to be down";
    EXPECT_GT(failures, 0) << "the loss went unnoticed";
    // The lost master comes back as a replica of its successor.
    if (frozen)
        Cluster().Node(victim).Thaw();
    else
        ASSERT_EQ(Cluster().Node(victim).Start(), "");
    EXPECT_TRUE(Cluster().WaitUntilOk(20s));
}

INSTANTIATE_TEST_SUITE_P(BySignal, MasterLost, ::testing::Values(SIGKILL, SIGSTOP),
                         [](const auto& row) {
                             return std::string(row.param == SIGSTOP ? "Frozen" : "Killed");
                         });
