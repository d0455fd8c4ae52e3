// GoogleTest fixture for tests that need a real Redis server: each test gets its own
// redis-server (velsupport::RedisServer) and fails with a clear message when redis-server is not
// installed.
#pragma once

#include <gtest/gtest.h>

#include "velsupport/RedisServer.h"

namespace veltest {

class RedisServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(velsupport::RedisServer::IsInstalled())
            << velsupport::kRedisServerMissing << " to run the Redis tests.";
        const std::string error = m_server.Start();
        ASSERT_EQ(error, "") << "could not start redis-server";
    }
    velsupport::RedisServer& Server() { return m_server; }

private:
    velsupport::RedisServer m_server;
};

}  // namespace veltest
