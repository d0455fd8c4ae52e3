#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "caching/RedisExternalCache.h"
#include "support/RedisClusterFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisClusterSlot.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSlotMap.h"

using namespace velmora::caching;
using namespace std::chrono_literals;
using veltest::RedisCluster;
using veltest::RedisClusterTest;
using Clock = std::chrono::steady_clock;

namespace {

// A pool on the cluster: given every node as a seed (Cluster), or only the first node's address,
// the pool finding out by itself that it is a cluster (Detect).
std::shared_ptr<RedisConnectionPool> MakePool(RedisCluster& cluster, RedisMode mode,
                                              int poolSize = 4) {
    RedisEndpointConfig config = cluster.MakeConfig();
    config.mode = mode;
    config.poolSize = poolSize;
    if (mode == RedisMode::Cluster)
        for (int port : cluster.Ports())
            config.clusterNodes.push_back("127.0.0.1:" + std::to_string(port));
    return std::make_shared<RedisConnectionPool>(config);
}

ExternalBytesPtr Bytes(const std::string& text) {
    return std::make_shared<ExternalBytes>(text.begin(), text.end());
}

// The port of the master serving `slot`, as the node at `askPort` sees it.
int MasterPortOf(RedisCluster& cluster, int askPort, int slot) {
    const RedisSlotMap map =
        RedisSlotMap::FromClusterSlots(cluster.Command(askPort, {"CLUSTER", "SLOTS"}), "127.0.0.1");
    return map.MasterOf(slot) ? map.MasterOf(slot)->port : 0;
}

RedisReplyValue Int(long long n) {
    RedisReplyValue v;
    v.type = RedisReplyValue::Type::Integer;
    v.integer = n;
    return v;
}

RedisReplyValue Str(std::string text) {
    RedisReplyValue v;
    v.type = RedisReplyValue::Type::String;
    v.text = std::move(text);
    return v;
}

RedisReplyValue Arr(std::vector<RedisReplyValue> elements) {
    RedisReplyValue v;
    v.type = RedisReplyValue::Type::Array;
    v.elements = std::move(elements);
    return v;
}

}  // namespace

TEST(RedisClusterSlot, HashTagRules) {
    EXPECT_EQ(RedisCrc16("123456789"), 0x31C3);  // the CRC16/XMODEM check value
    struct Case {
        std::string key, hashed;
    } cases[] = {
        {"{user1000}.following", "user1000"},
        {"foo{}{bar}", "foo{}{bar}"},
        {"foo{{bar}}zap", "{bar"},
        {"foo{bar}{zap}", "bar"},
        {"{}", "{}"},
        {"no}tag{", "no}tag{"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RedisHashTagOf(c.key), c.hashed) << c.key;
        EXPECT_EQ(RedisKeySlot(c.key), RedisCrc16(c.hashed) % kRedisClusterSlots) << c.key;
    }
}

TEST(RedisClusterSlot, RedirectParsing) {
    using Kind = RedisRedirect::Kind;
    struct Case {
        std::string text;
        Kind kind;
        int slot;
        std::string host;
        int port;
    } cases[] = {
        {"MOVED 3999 127.0.0.1:6381", Kind::Moved, 3999, "127.0.0.1", 6381},
        {"ASK 0 10.0.0.2:7000", Kind::Ask, 0, "10.0.0.2", 7000},
        {"MOVED 16383 :7001", Kind::Moved, 16383, "answering", 7001},
        {"ASK 5 [::1]:7002", Kind::Ask, 5, "::1", 7002},
        {"MOVED 16384 h:1", Kind::None, -1, "", 0},
        {"MOVED x h:1", Kind::None, -1, "", 0},
        {"MOVED 1 h", Kind::None, -1, "", 0},
        {"MOVED 1 h:0", Kind::None, -1, "", 0},
        {"ERR unknown command", Kind::None, -1, "", 0},
        {"CLUSTERDOWN Hash slot not served", Kind::None, -1, "", 0},
    };
    for (const auto& c : cases) {
        const RedisRedirect r = RedisRedirect::Parse(c.text, "answering");
        EXPECT_EQ(r.kind, c.kind) << c.text;
        EXPECT_EQ(r.slot, c.slot) << c.text;
        EXPECT_EQ(r.node, (RedisNodeAddress{c.host, c.port})) << c.text;
    }
}

TEST(RedisSlotMap, BuiltFromRangesCorrectedByMoved) {
    // Two ranges of one master, one of another listed with an empty host (the answering node)
    // and a replica whose endpoint is unknown.
    const RedisReplyValue reply = Arr({
        Arr({Int(0), Int(99), Arr({Str("10.0.0.1"), Int(7000), Str("id1")}),
             Arr({Str("10.0.0.4"), Int(7003), Str("id4")})}),
        Arr({Int(200), Int(16383), Arr({Str(""), Int(7001), Str("id2")}),
             Arr({Str("?"), Int(7004), Str("id5")})}),
        Arr({Int(100), Int(150), Arr({Str("10.0.0.1"), Int(7000), Str("id1")})}),
    });
    RedisSlotMap map = RedisSlotMap::FromClusterSlots(reply, "10.0.0.9");
    const RedisNodeAddress a{"10.0.0.1", 7000}, b{"10.0.0.9", 7001}, c{"10.0.0.4", 7003};
    EXPECT_EQ(map.AssignedSlots(), kRedisClusterSlots - 49);
    EXPECT_EQ(*map.MasterOf(0), a);
    EXPECT_EQ(*map.MasterOf(150), a);
    EXPECT_EQ(map.MasterOf(151), nullptr);
    EXPECT_EQ(*map.MasterOf(16383), b);
    EXPECT_EQ(map.MasterOf(16384), nullptr);
    EXPECT_EQ(map.KnownNodes(), (std::vector<RedisNodeAddress>{a, c, b}));

    map.Assign(151, c);
    map.Assign(0, b);
    EXPECT_EQ(*map.MasterOf(151), c);
    EXPECT_EQ(*map.MasterOf(0), b);
    EXPECT_EQ(map.Masters(), (std::vector<RedisNodeAddress>{a, c, b}));

    for (const RedisReplyValue& bad :
         {Str("x"), Arr({Arr({Int(5), Int(2), Arr({Str("h"), Int(1)})})}),
          Arr({Arr({Int(0), Int(16384), Arr({Str("h"), Int(1)})})}),
          Arr({Arr({Int(0), Int(1), Arr({Int(1), Str("h")})})})})
        EXPECT_THROW(RedisSlotMap::FromClusterSlots(bad, "h"), RedisException);
}

// Against a real cluster: our slot of every key is the server's, and the map built from a real
// CLUSTER SLOTS reply sends every key to the master that serves it.
TEST_F(RedisClusterTest, SlotsAndMapAgreeWithTheServers) {
    const int seed = Cluster().Ports().front();
    const RedisSlotMap map =
        RedisSlotMap::FromClusterSlots(Cluster().Command(seed, {"CLUSTER", "SLOTS"}), "127.0.0.1");
    EXPECT_EQ(map.AssignedSlots(), kRedisClusterSlots);
    std::set<int> masters;
    for (const auto& node : map.Masters()) masters.insert(node.port);
    const auto expected = Cluster().MasterPorts(seed);
    EXPECT_EQ(masters, std::set<int>(expected.begin(), expected.end()));
    for (const auto& node : map.KnownNodes())  // replicas may not be listed yet
        EXPECT_NE(std::count(Cluster().Ports().begin(), Cluster().Ports().end(), node.port), 0);

    std::mt19937 random(7);
    std::vector<std::string> keys = {"{user1000}.following", "foo{}{bar}", "foo{{bar}}zap", ""};
    for (int i = 0; i < 200; ++i) {
        std::string key(static_cast<std::size_t>(random() % 24), '\0');
        for (char& c : key) c = static_cast<char>(random());
        keys.push_back(key);
    }
    for (const std::string& key : keys) {
        const int slot = RedisKeySlot(key);
        EXPECT_EQ(Cluster().Command(seed, {"CLUSTER", "KEYSLOT", key}).integer, slot);
        const RedisReplyValue reply = Cluster().Command(map.MasterOf(slot)->port, {"GET", key});
        EXPECT_NE(reply.type, RedisReplyValue::Type::Error) << reply.text;
    }
}

TEST_F(RedisClusterTest, ThousandKeysRoundTripThroughTheExternalCacheOnEveryMaster) {
    veltest::HostScope host;
    for (const RedisMode mode : {RedisMode::Cluster, RedisMode::Detect}) {
        const std::string ns = mode == RedisMode::Cluster ? "rt1" : "rt2";
        SCOPED_TRACE(ns);
        RedisExternalCache cache(TString::fromStdString(ns), MakePool(Cluster(), mode));
        std::mt19937 random(static_cast<unsigned>(mode));
        std::vector<ExternalBytesPtr> values;
        for (int i = 0; i < 1000; ++i) {
            auto value = std::make_shared<ExternalBytes>(1 + random() % 2048);
            for (auto& byte : *value) byte = static_cast<unsigned char>(random());
            values.push_back(value);
            ASSERT_TRUE(cache.TryStore(TString::number(i), value, 0, -1).Get()) << i;
        }
        for (int i = 0; i < 1000; ++i) {
            const ExternalBytesPtr loaded = cache.TryLoad(TString::number(i)).Get();
            ASSERT_TRUE(loaded) << i;
            EXPECT_EQ(*loaded, *values[static_cast<std::size_t>(i)]) << i;
        }
        // Every master holds its share, and only the keys of its own slots.
        int total = 0;
        for (int port : Cluster().MasterPorts(Cluster().Ports().front())) {
            const RedisReplyValue scan =
                Cluster().Command(port, {"SCAN", "0", "MATCH", ns + ":*", "COUNT", "100000"});
            ASSERT_EQ(scan.elements.size(), 2u) << scan.text;
            const auto& keys = scan.elements[1].elements;
            EXPECT_GT(keys.size(), 100u) << port;
            for (const auto& key : keys)
                EXPECT_EQ(MasterPortOf(Cluster(), port, RedisKeySlot(key.text)), port);
            total += static_cast<int>(keys.size());
        }
        EXPECT_EQ(total, 1000);
    }
}

// Loaders store and load their own keys of one slot while the slot moves to another master key
// by key: every load returns the value its loader stored last, through ASK while keys are split
// between the two masters and MOVED afterwards.
TEST_F(RedisClusterTest, LiveSlotMigrationUnderLoadReturnsNoWrongValue) {
    veltest::HostScope host;
    auto pool = MakePool(Cluster(), RedisMode::Cluster, 4);
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
    constexpr int kKeys = 150, kLoaders = 3;
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

// A master dies (SIGKILL) under load: its replica takes over, calls succeed again within a
// second of the failover, and no call outlives its command time-out by much.
TEST_F(RedisClusterTest, KilledMasterIsFailedOverAndCallsRecover) {
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
        bool victimKey;
    };
    std::vector<std::vector<Call>> calls(2);
    std::atomic<bool> stop{false};
    std::vector<std::thread> loaders;
    const int victimSlot = RedisKeySlot("fo");
    for (std::size_t t = 0; t < calls.size(); ++t)
        loaders.emplace_back([&, t] {
            auto value = std::make_shared<std::vector<unsigned char>>(16, 'v');
            for (int i = 0; !stop; ++i) {
                // Half the calls go to the victim's slot ("{fo}" tag), half anywhere.
                const std::string key =
                    (i % 2 ? "{fo}" : "") + std::to_string(t) + "-" + std::to_string(i % 50);
                Call call{Clock::now(), {}, false, RedisKeySlot(key) == victimSlot};
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
    Cluster().KillNode(victim);
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

    int lateVictimCalls = 0, failures = 0;
    for (const auto& list : calls)
        for (const Call& call : list) {
            failures += !call.ok;
            // Two command time-outs (a Set and a Get) and generous slack for a loaded machine.
            EXPECT_LT(call.end - call.start, 2 * config.commandTimeout + 1500ms);
            if (call.start > failover + 1s) {
                EXPECT_TRUE(call.ok) << "a call failed more than 1 s after the failover";
                lateVictimCalls += call.victimKey;
            }
        }
    EXPECT_GT(lateVictimCalls, 0);
    EXPECT_GT(failures, 0) << "the kill went unnoticed";
    ASSERT_EQ(Cluster().RestartNode(victim), "");
    EXPECT_TRUE(Cluster().WaitUntilOk(20s));
}
