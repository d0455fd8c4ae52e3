// Coherence through the failover of the master that holds the announcement stream, on the shared
// private cluster (3 masters, 3 replicas), with host processes (tests/e2e/coherence_peer.cpp):
// one holds entries, another announces newer content of them while the stream's master is
// killed or frozen.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/PeerProcess.h"
#include "support/RedisClusterFixture.h"
#include "velredis/RedisClusterSlot.h"

namespace {

using namespace std::chrono_literals;
using namespace velmora::caching;
using veltest::PeerProcess;
using veltest::SteadyMs;
using Clock = std::chrono::steady_clock;

// The peers' command time-out (coherence_peer.cpp).
constexpr long long kPeerCommandTimeoutMs = 300;

class StreamMasterLost : public veltest::RedisClusterTest,
                         public ::testing::WithParamInterface<int> {
protected:
    // Waits until a master other than `victim` serves `slot` and the cluster is ok again, as
    // `observer` sees it; the time it happened, or 0 after 30 s.
    long long WaitForFailover(int victim, int observer) {
        for (const auto deadline = Clock::now() + 30s; Clock::now() < deadline;
             std::this_thread::sleep_for(10ms)) {
            const auto masters = Cluster().MasterPorts(observer);
            if (std::count(masters.begin(), masters.end(), victim) == 0 && masters.size() == 3 &&
                Cluster().Info(observer, "cluster_state") == "ok")
                return SteadyMs();
        }
        return 0;
    }
};

// While the stream's slot has no master, announcements still reach the holder live through the
// other nodes (they used to wait for the replica's promotion), fills wait out at most the first
// failed append (they used to wait out every one), and once the cluster has settled no entry of
// the holder is stale.
TEST_P(StreamMasterLost, AnnouncementsKeepFlowingAndFillsDoNotWait) {
    const bool frozen = GetParam() == SIGSTOP;
    const int seed = Cluster().Ports().front();
    ASSERT_TRUE(Cluster().WaitUntilOk(20s));
    const int victim =
        veltest::MasterPortOf(Cluster(), seed, RedisKeySlot("{defaultns.}announcements"));
    int observer = 0;
    for (int port : Cluster().MasterPorts(seed))
        if (port != victim) observer = port;
    ASSERT_NE(victim, 0);

    PeerProcess holder("hold " + veltest::NodeList(Cluster().Ports()) + " 200 16 progress");
    ASSERT_EQ(holder.ReadLine(), "ready");
    // A holder subscribed on the victim would re-subscribe and flush everything at the loss,
    // which says nothing about live delivery: move it to another node first.
    for (int i = 0; i < 20 && veltest::SubscriberNode(Cluster()) == victim; ++i) {
        Cluster().Command(victim, {"CLIENT", "KILL", "TYPE", "pubsub"});
        std::this_thread::sleep_for(500ms);
    }
    ASSERT_NE(veltest::SubscriberNode(Cluster()), victim);

    long long lostAt = 0, failoverAt = 0;
    std::string done;
    {
        PeerProcess adder("add " + veltest::NodeList(Cluster().Ports()) +
                          " 200 40");  // 5 s of announcements
        std::this_thread::sleep_for(1s);
        lostAt = SteadyMs();
        if (frozen)
            Cluster().Node(victim).Freeze();
        else
            Cluster().Node(victim).Stop(SIGKILL);
        failoverAt = WaitForFailover(victim, observer);
        done = adder.ReadUntil("done");
    }
    if (frozen)
        Cluster().Node(victim).Thaw();
    else
        EXPECT_EQ(Cluster().Node(victim).Start(), "");
    EXPECT_TRUE(Cluster().WaitUntilOk(20s));
    ASSERT_NE(failoverAt, 0) << "no failover within 30 s";

    std::vector<long long> progress;  // when the holder saw entries go dirty
    std::string result;
    for (std::string line; (line = holder.ReadLine()) != "<exited>";) {
        if (line.rfind("left ", 0) == 0) progress.push_back(std::stoll(line.substr(5)));
        if (line.rfind("result ", 0) == 0) result = line;
    }
    long long firstAfterLoss = 0;
    for (long long at : progress)
        if (at > lostAt) {
            firstAfterLoss = at;
            break;
        }
    std::printf(
        "[figures] %s: failover after %lld ms, first invalidation after the loss at "
        "+%lld ms; publisher %s; holder %s\n",
        frozen ? "frozen" : "killed", failoverAt - lostAt,
        firstAfterLoss ? firstAfterLoss - lostAt : -1, done.c_str(), result.c_str());

    EXPECT_NE(firstAfterLoss, 0) << "no invalidation reached the holder after the loss";
    EXPECT_LT(firstAfterLoss, failoverAt)
        << "live invalidation stopped until the stream's slot had a master again";
    EXPECT_NE(done.find("appends-queued="), std::string::npos) << done;
    EXPECT_EQ(done.find("appends-queued=0 "), std::string::npos) << "the loss went unnoticed";
    // Fills wait out a failing node once per announcement in flight, not one time-out each.
    const auto figure = [&](const std::string& name) {
        const std::size_t at = done.find(name + "=");
        return at == std::string::npos ? -1 : std::stoll(done.substr(at + name.size() + 1));
    };
    // (Waiting out each one, every announcement of the outage was slow and few were made.)
    EXPECT_LE(4 * figure("slow"), figure("appends-queued")) << done;
    EXPECT_LT(figure("slowest-ms"), 3 * kPeerCommandTimeoutMs + 500) << done;
    EXPECT_EQ(result.rfind("result stale=0 ", 0), 0u) << result;
}

INSTANTIATE_TEST_SUITE_P(BySignal, StreamMasterLost, ::testing::Values(SIGKILL, SIGSTOP),
                         [](const auto& row) {
                             return std::string(row.param == SIGSTOP ? "Frozen" : "Killed");
                         });

}  // namespace
