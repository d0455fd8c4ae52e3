// GoogleTest fixture for tests that need a real Redis server: each test gets its own
// redis-server (RedisServer) and fails with a clear message when redis-server is not installed.
#pragma once

#include <gtest/gtest.h>

#include "support/RedisServer.h"

namespace veltest {

class RedisServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RedisServer::IsInstalled())
            << "redis-server is not installed (or not on PATH); install the redis-server package "
               "(scripts/setup does) to run the Redis tests.";
        const std::string error = m_server.Start();
        ASSERT_EQ(error, "") << "could not start redis-server";
    }
    RedisServer& Server() { return m_server; }

private:
    RedisServer m_server;
};

}  // namespace veltest
