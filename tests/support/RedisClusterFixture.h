// GoogleTest fixture for tests on the shared private cluster (RedisCluster::Shared): fails when
// redis-server is not installed, skips with the reason when a cluster cannot be created
// (redis-cli missing or unable to join the nodes).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/RedisCluster.h"

namespace veltest {

class RedisClusterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(std::system("command -v redis-server >/dev/null 2>&1"), 0)
            << "redis-server is not installed (or not on PATH); install the redis-server "
               "package (scripts/setup does) to run the Redis tests.";
        std::string error;
        m_cluster = &RedisCluster::Shared(error);
        if (!error.empty()) GTEST_SKIP() << "cannot create a local Redis cluster: " << error;
    }
    RedisCluster& Cluster() { return *m_cluster; }

private:
    RedisCluster* m_cluster = nullptr;
};

}  // namespace veltest
