#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/RedisServerFixture.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;
using namespace std::chrono_literals;

using RedisClientConcurrency = veltest::RedisServerTest;

// Unsubscribe must not return while the pattern's callback runs, nor let one start afterwards,
// however many messages are in flight.
TEST_F(RedisClientConcurrency, UnsubscribeWhileMessagesStreamInLeavesNoCallbackBehind) {
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
