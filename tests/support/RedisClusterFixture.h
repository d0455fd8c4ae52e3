// GoogleTest fixture for tests on the shared private cluster (velsupport::RedisCluster::Shared):
// fails when redis-server is not installed, skips with the reason when a cluster cannot be created
// (redis-cli missing or unable to join the nodes).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSlotMap.h"
#include "velsupport/RedisCluster.h"

namespace veltest {

using velsupport::RedisCluster;

class RedisClusterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(velsupport::RedisServer::IsInstalled())
            << velsupport::kRedisServerMissing << " to run the Redis tests.";
        std::string error;
        m_cluster = &RedisCluster::Shared(error);
        if (!error.empty()) GTEST_SKIP() << "cannot create a local Redis cluster: " << error;
    }
    RedisCluster& Cluster() { return *m_cluster; }

private:
    RedisCluster* m_cluster = nullptr;
};

// A pool on the cluster: given every node as a seed (Cluster), or only the first node's address,
// the pool finding out by itself that it is a cluster (Detect).
inline std::shared_ptr<velmora::caching::RedisConnectionPool> MakeClusterPool(
    RedisCluster& cluster, velmora::caching::RedisMode mode, int poolSize = 4) {
    velmora::caching::RedisEndpointConfig config = cluster.MakeConfig();
    config.mode = mode;
    config.poolSize = poolSize;
    if (mode == velmora::caching::RedisMode::Cluster)
        for (int port : cluster.Ports())
            config.clusterNodes.push_back("127.0.0.1:" + std::to_string(port));
    return std::make_shared<velmora::caching::RedisConnectionPool>(config);
}

// "127.0.0.1:<port>,..." for `ports`, as a list of cluster nodes.
inline std::string NodeList(const std::vector<int>& ports) {
    std::string list;
    for (int port : ports)
        list += (list.empty() ? "" : ",") + ("127.0.0.1:" + std::to_string(port));
    return list;
}

// The port of the master serving `slot`, as the node at `askPort` sees it.
inline int MasterPortOf(RedisCluster& cluster, int askPort, int slot) {
    const auto map = velmora::caching::RedisSlotMap::FromClusterSlots(
        cluster.Command(askPort, {"CLUSTER", "SLOTS"}), "127.0.0.1");
    return map.MasterOf(slot) ? map.MasterOf(slot)->port : 0;
}

// The port of a node that has a pattern subscriber connected (the first found), 0 when none has.
inline int SubscriberNode(RedisCluster& cluster) {
    for (int port : cluster.Ports()) {
        const auto list = cluster.Command(port, {"CLIENT", "LIST", "TYPE", "pubsub"});
        if (list.text.find("psub=1") != std::string::npos) return port;
    }
    return 0;
}

}  // namespace veltest
