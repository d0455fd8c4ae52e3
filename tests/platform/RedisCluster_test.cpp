#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "caching/RedisExternalCache.h"
#include "support/PeerProcess.h"
#include "support/RedisClusterFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisClusterSlot.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSlotMap.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/TlsCertificates.h"

using namespace velmora::caching;
using namespace std::chrono_literals;
using namespace veltest;
using Clock = std::chrono::steady_clock;

namespace {

using Type = RedisReplyValue::Type;
RedisReplyValue Int(long long n) {
    return {Type::Integer, n, {}, {}};
}
RedisReplyValue Str(std::string text) {
    return {Type::String, 0, std::move(text), {}};
}
RedisReplyValue Arr(std::vector<RedisReplyValue> elements) {
    return {Type::Array, 0, {}, std::move(elements)};
}

}  // namespace

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

using RealCluster = RedisClusterTest;

// Against a real cluster: our slot of every key is the server's (hash tags, empty and repeated
// braces, random bytes), and the map built from a real CLUSTER SLOTS reply sends every key to
// the master that serves it.
TEST_F(RealCluster, SlotsAndMapAgreeWithTheServers) {
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
    std::vector<std::string> keys = {"{user1000}.following",
                                     "foo{}{bar}",
                                     "foo{{bar}}zap",
                                     "foo{bar}{zap}",
                                     "{}",
                                     "no}tag{",
                                     "",
                                     "123456789"};
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

// A keyless command can be sent to the node that holds a given key (the run id of the node that
// holds a stream, say): each answer comes from that key's master, not from whichever node the
// command's own argument would map to.
TEST_F(RealCluster, KeylessCommandRunsOnTheNodeOfTheGivenKey) {
    const int seed = Cluster().Ports().front();
    RedisEndpointConfig config = Cluster().MakeConfig();
    config.mode = RedisMode::Cluster;
    RedisConnection connection(config);
    const auto runId = [](const std::string& info) {
        const auto at = info.find("run_id:");
        return at == std::string::npos ? "" : info.substr(at + 7, 40);
    };
    std::set<std::string> answered;
    for (const std::string key : {"a", "b", "c", "d", "e", "f", "{defaultns.}announcements"}) {
        const int master = MasterPortOf(Cluster(), seed, RedisKeySlot(key));
        const RedisReplyValue info =
            connection.CommandOnNodeOf(key, {"INFO", "server"}, Clock::now() + 2s);
        EXPECT_EQ(runId(info.text), runId(Cluster().Command(master, {"INFO", "server"}).text))
            << key;
        answered.insert(runId(info.text));
    }
    EXPECT_EQ(answered.size(), 3u) << "every master answers for its own keys";
}

// Each subscription manager subscribes on a node of its own choosing among all the nodes the
// cluster names (given one seed), so that the processes of a namespace spread over the cluster
// and one node's loss sends only its share of them to re-subscribe.
TEST_F(RealCluster, SubscribersSpreadOverTheNodes) {
    RedisEndpointConfig config = Cluster().MakeConfig();
    config.mode = RedisMode::Cluster;
    std::vector<std::unique_ptr<RedisSubscriptionManager>> managers;
    for (int i = 0; i < 8; ++i) {
        managers.push_back(std::make_unique<RedisSubscriptionManager>(config));
        managers.back()->Subscribe("spread.*", [](const TString&, const void*, int) {});
        ASSERT_TRUE(managers.back()->WaitUntilSubscribed("spread.*", 10s));
    }
    std::set<int> used;
    for (int port : Cluster().Ports())
        if (Cluster().Command(port, {"CLIENT", "LIST", "TYPE", "pubsub"}).text.find("psub=1") !=
            std::string::npos)
            used.insert(port);
    // All eight on one of six nodes by chance: about four times in a million.
    EXPECT_GE(used.size(), 2u);
}

// The servers place each key on the master of its slot; what is ours is that every value comes
// back whole through the cluster client, whether cluster mode is named or detected.
TEST_F(RealCluster, ThousandKeysRoundTripThroughTheExternalCacheOnEveryMaster) {
    veltest::HostScope host;
    for (const RedisMode mode : {RedisMode::Cluster, RedisMode::Detect}) {
        const std::string ns = mode == RedisMode::Cluster ? "rt1" : "rt2";
        SCOPED_TRACE(ns);
        RedisExternalCache cache(TString::fromStdString(ns), MakeClusterPool(Cluster(), mode));
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
    }
}

// The node a process subscribes through dies (SIGKILL): its subscription moves to another node
// it knows, and announcements another process makes through a surviving node reach it there,
// marking its two older entries dirty. The process was given only the replicas as seeds: it
// learns the other nodes from the cluster and picks one of them all to subscribe on.
TEST_F(RealCluster, CoherenceAcrossNodesSurvivesTheSubscribersNode) {
    const int seed = Cluster().Ports().front();
    const auto masters = Cluster().MasterPorts(seed);
    std::vector<int> replicas;
    for (int port : Cluster().Ports())
        if (std::count(masters.begin(), masters.end(), port) == 0) replicas.push_back(port);
    ASSERT_GE(replicas.size(), 2u);
    PeerProcess hold("hold " + NodeList({replicas[0], replicas[1]}) + " 2 6");
    ASSERT_EQ(hold.ReadLine(), "ready");
    const int subscribed = SubscriberNode(Cluster());
    ASSERT_NE(subscribed, 0) << "no node has the holder's subscription";
    Cluster().Node(subscribed).Stop(SIGKILL);
    EXPECT_EQ(hold.ReadLine().rfind("resub ", 0), 0u);
    const int survivor = subscribed == masters.back() ? masters.front() : masters.back();
    PeerProcess add("add " + NodeList({survivor}) + " 2 50");
    EXPECT_EQ(add.ReadLine().rfind("done ", 0), 0u);
    const std::string result = hold.ReadLine();
    EXPECT_EQ(result.rfind("result stale=0 ", 0), 0u) << result;
    EXPECT_EQ(Cluster().Node(subscribed).Start(), "");
    EXPECT_TRUE(Cluster().WaitUntilOk(20s));
}

// A cluster whose nodes speak TLS only (client ports, bus and replication): a pool given one seed
// learns the other nodes from CLUSTER SLOTS by address and checks each node's certificate
// against that address (or against tlsServerName for every node when set); a slot moved key by
// key leads it through ASK and then MOVED to the node that serves it now. The subscriber, on a
// node of its choosing, receives too.
TEST(RedisClusterOverTls, LearnedNodesAreVerifiedAndReachedThroughAskAndMoved) {
    ASSERT_TRUE(velsupport::RedisServer::IsInstalled()) << velsupport::kRedisServerMissing;
    velsupport::TlsCertificates certificates;
    ASSERT_EQ(certificates.Make(), "");
    RedisCluster cluster;
    const std::string error =
        cluster.Start(3, 0, 1500ms, velsupport::ServerTlsFrom(certificates, true));
    if (!error.empty()) GTEST_SKIP() << "cannot create a local TLS Redis cluster: " << error;
    const int seed = cluster.Ports().front();
    RedisEndpointConfig config = cluster.MakeConfig();
    config.mode = RedisMode::Detect;  // one seed: every other node is learned

    // Names every node must answer to: its address, one name for all, and a name none has.
    for (const std::string name : {"", "localhost", "elsewhere.example"}) {
        SCOPED_TRACE(name);
        config.tlsServerName = name;
        auto pool = std::make_shared<RedisConnectionPool>(config);
        auto guard = pool->FindAndLockConnection("k");
        ASSERT_TRUE(guard);
        int stored = 0;
        std::string refusal;
        for (int i = 0; i < 60; ++i) {
            try {
                stored += guard->GetConnection().Set(
                    "k" + std::to_string(i),
                    std::make_shared<std::vector<unsigned char>>(70 << 10, 'a' + i % 26));
            } catch (const RedisException& e) {
                refusal = e.what();
            }
        }
        if (name == "elsewhere.example") {
            EXPECT_EQ(stored, 0);
            EXPECT_NE(refusal.find("hostname mismatch"), std::string::npos) << refusal;
            continue;
        }
        EXPECT_EQ(stored, 60) << refusal;
        for (int i = 0; i < 60; ++i) {
            const auto value = guard->GetConnection().Get("k" + std::to_string(i));
            ASSERT_TRUE(value);
            EXPECT_EQ(value->size(), std::size_t(70 << 10));
        }
        EXPECT_EQ(pool->GetClusterNodes().size(), 3u) << "every master learned";
    }

    // ASK while a slot's keys are split between two masters, MOVED once it has moved.
    config.tlsServerName.clear();
    auto pool = std::make_shared<RedisConnectionPool>(config);
    auto guard = pool->FindAndLockConnection("m");
    RedisConnection& c = guard->GetConnection();
    const int slot = RedisKeySlot("{m}");
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(c.Set("{m}" + std::to_string(i),
                          std::make_shared<std::vector<unsigned char>>(10, 'x')));
    const RedisSlotMap map =
        RedisSlotMap::FromClusterSlots(cluster.Command(seed, {"CLUSTER", "SLOTS"}), "127.0.0.1");
    const int source = map.MasterOf(slot)->port;
    int target = 0;
    for (int port : cluster.MasterPorts(seed))
        if (port != source) target = port;
    const std::string sourceId = cluster.Command(source, {"CLUSTER", "MYID"}).text;
    const std::string targetId = cluster.Command(target, {"CLUSTER", "MYID"}).text;
    const auto admin = [&](int port, std::vector<std::string> args) {
        const RedisReplyValue reply = cluster.Command(port, args);
        EXPECT_NE(reply.type, RedisReplyValue::Type::Error) << reply.text;
    };
    admin(target, {"CLUSTER", "SETSLOT", std::to_string(slot), "IMPORTING", sourceId});
    admin(source, {"CLUSTER", "SETSLOT", std::to_string(slot), "MIGRATING", targetId});
    admin(source, {"MIGRATE", "127.0.0.1", std::to_string(target), "", "0", "5000", "KEYS", "{m}0",
                   "{m}1", "{m}2"});
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(c.Get("{m}" + std::to_string(i))) << i;
    EXPECT_GT(pool->GetClusterStats().asked, 0);
    for (int i = 3; i < 20; ++i)
        admin(source, {"MIGRATE", "127.0.0.1", std::to_string(target), "{m}" + std::to_string(i),
                       "0", "5000"});
    for (int port : {target, source})
        admin(port, {"CLUSTER", "SETSLOT", std::to_string(slot), "NODE", targetId});
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(c.Get("{m}" + std::to_string(i))) << i;
    EXPECT_GT(pool->GetClusterStats().moved, 0);

    RedisSubscriptionManager manager(config);
    std::atomic<int> received{0};
    manager.Subscribe("tls.*", [&](const TString&, const void*, int) { ++received; });
    ASSERT_TRUE(manager.WaitUntilSubscribed("tls.*", 10s));
    EXPECT_TRUE(manager.TryPublish("tls.1", "m", {}));
    for (int i = 0; i < 500 && received == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(received.load(), 1);
}
