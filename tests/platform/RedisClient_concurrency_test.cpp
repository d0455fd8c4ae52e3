#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/RedisServerFixture.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;
using namespace std::chrono_literals;

using RedisClientConcurrencyTest = veltest::RedisServerTest;

// Unsubscribe must not return while the pattern's callback runs, nor let one start afterwards,
// however many messages are in flight.
TEST_F(RedisClientConcurrencyTest, UnsubscribeWhileMessagesStreamInLeavesNoCallbackBehind) {
    RedisSubscriptionManager manager(Server().MakeConfig());
    std::atomic<bool> stop{false};
    std::thread publisher([&] {
        RedisConnection c(Server().MakeConfig());
        while (!stop) c.Command({"PUBLISH", "ns.stream", "m"});
    });
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> unsubscribed{false};
        std::atomic<int> inside{0};
        std::atomic<int> late{0};
        std::atomic<int> delivered{0};
        manager.Subscribe("ns.*", [&](const TString&, const void*, int) {
            ++inside;
            if (unsubscribed) ++late;
            std::this_thread::sleep_for(200us);  // widen the window
            if (unsubscribed) ++late;
            ++delivered;
            --inside;
        });
        for (int i = 0; i < 1000 && delivered < 20; ++i) std::this_thread::sleep_for(5ms);
        ASSERT_GE(delivered.load(), 20) << "messages did not stream in";
        manager.Unsubscribe("ns.*");
        unsubscribed = true;
        EXPECT_EQ(inside.load(), 0);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(late.load(), 0);
    }
    stop = true;
    publisher.join();
}

TEST_F(RedisClientConcurrencyTest, PoolServesManyThreadsWithoutMixingReplies) {
    auto pool = std::make_shared<RedisConnectionPool>(Server().MakeConfig());  // 4 connections
    std::atomic<int> matches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string key = "k" + std::to_string(t) + ":" + std::to_string(i % 10);
                const std::vector<unsigned char> value(100,
                                                       static_cast<unsigned char>(t * 16 + i % 10));
                std::unique_ptr<RedisConnectionGuard> guard;
                while (!(guard = pool->FindAndLockConnection(key))) std::this_thread::yield();
                guard->GetConnection().Set(key,
                                           std::make_shared<std::vector<unsigned char>>(value));
                auto back = guard->GetConnection().Get(key);
                if (back && *back == value) ++matches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(matches.load(), 1600);
}
