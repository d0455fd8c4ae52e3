#include "velredis/RedisSubscriptionManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisConnectionPool.h"

using namespace velmora::caching;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using veltest::Eventually;

// Records every delivered (channel, message).
class Inbox {
public:
    RedisSubscriptionManager::Callback Callback() {
        return [this](const TString& channel, const void* data, int length) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.emplace_back(channel.toStdString(),
                                    std::string(static_cast<const char*>(data), size_t(length)));
        };
    }
    bool WaitFor(const std::string& text) {
        return Eventually([&] {
            for (auto& m : Messages())
                if (m.second == text) return true;
            return false;
        });
    }
    std::vector<std::pair<std::string, std::string>> Messages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_messages;
};

class RedisSubscription : public veltest::RedisServerTest {
protected:
    // Subscribes `inbox` to "ns.*" on `manager` and waits for the confirmation.
    void SubscribeNs(RedisSubscriptionManager& manager, Inbox& inbox) {
        manager.Subscribe("ns.*", inbox.Callback());
        ASSERT_TRUE(manager.WaitUntilSubscribed("ns.*", 5s));
    }
};

}  // namespace

// Pattern matching is the server's; what is ours: a callback may leave from inside itself, and
// the other subscriptions go on.
TEST_F(RedisSubscription, ACallbackMayUnsubscribeItself) {
    RedisSubscriptionManager manager(Server().MakeConfig());
    Inbox inbox;
    SubscribeNs(manager, inbox);
    std::promise<void> selfDone;
    manager.Subscribe("self.*", [&](const TString&, const void*, int) {
        manager.Unsubscribe("self.*");  // from its own callback: returns at once
        selfDone.set_value();
    });
    ASSERT_TRUE(manager.WaitUntilSubscribed("self.*", 5s));
    manager.TryPublish("self.1", "once", {});
    EXPECT_EQ(selfDone.get_future().wait_for(10s), std::future_status::ready);
    manager.TryPublish("self.1", "twice", {});  // would set the promise again if delivered
    manager.TryPublish("ns.1", "marker", {});
    EXPECT_TRUE(inbox.WaitFor("marker"));
}

// Every failing callback wrote a Warn line carrying the whole channel name: a flood of
// malformed messages on long channels wrote megabytes of log.
TEST_F(RedisSubscription, CallbackFailuresFloodedTheLog) {
    veltest::HostScope host;
    RedisSubscriptionManager manager(Server().MakeConfig());
    manager.Subscribe("ns.*",
                      [](const TString&, const void*, int) { throw std::runtime_error("bad"); });
    ASSERT_TRUE(manager.WaitUntilSubscribed("ns.*", 5s));
    RedisConnection publisher(Server().MakeConfig());
    const std::string channel = "ns." + std::string(16 << 10, 'c');
    for (int i = 0; i < 500; ++i) publisher.Command({"PUBLISH", channel, "m"});
    ASSERT_TRUE(Eventually([&] { return manager.GetStats().failed == 500; }));
    std::size_t bytes = 0;
    for (const velmora::LogRecord& r : host.Log().Records()) {
        bytes += r.message.toStdString().size();
        for (const auto& [key, value] : r.attributes) bytes += value.toStdString().size();
    }
    EXPECT_LT(bytes, 16u << 10);
}

// The reconnection delay doubled at every loss and never came back down, so a subscriber whose
// connection was killed now and then waited up to the maximum delay to subscribe again.
TEST_F(RedisSubscription, BackoffNeverResetAfterConfirmedSubscription) {
    auto config = Server().MakeConfig();
    config.reconnectBackoffMin = 50ms;
    config.reconnectBackoffMax = 5s;
    RedisSubscriptionManager manager(config);
    Inbox inbox;
    SubscribeNs(manager, inbox);
    for (long long kill = 1; kill <= 6; ++kill) {
        ASSERT_EQ(Server().Command({"CLIENT", "KILL", "TYPE", "pubsub"}).integer, 1);
        const auto start = Clock::now();
        ASSERT_TRUE(Eventually([&] { return manager.GetStats().resubscriptions == kill; }));
        EXPECT_LT(Clock::now() - start, 1s) << "re-subscription " << kill;
    }
}

// The server stopped and started again, or frozen (a subscriber blocked in a read would wait for
// ever; the heartbeat notices): publishing fails fast and quietly meanwhile, then the subscriber
// comes back by itself (the host is told) and so does the pool.
TEST_F(RedisSubscription, ServerRestartAndFrozenServerAreSurvived) {
    for (const bool frozen : {false, true}) {
        SCOPED_TRACE(frozen ? "frozen" : "restarted");
        RedisSubscriptionManager manager(Server().MakeConfig());
        std::atomic<int> told{0};
        manager.SetResubscribedCallback([&](const std::string&) { ++told; });
        Inbox inbox;
        SubscribeNs(manager, inbox);
        auto pool = std::make_shared<RedisConnectionPool>(Server().MakeConfig());
        pool->FindAndLockConnection("k")->GetConnection().Set(
            "k", std::make_shared<std::vector<unsigned char>>(3, 1));
        frozen ? Server().Freeze() : Server().Stop();
        EXPECT_TRUE(Eventually([&] { return manager.GetStats().disconnects >= 1; }));
        const auto start = Clock::now();
        bool published = true;
        EXPECT_NO_THROW(published = manager.TryPublish("ns.1", "lost", {}));
        EXPECT_FALSE(published);
        EXPECT_LT(Clock::now() - start, Server().MakeConfig().commandTimeout + 2s) << "bounded";
        if (frozen)
            Server().Thaw();
        else
            ASSERT_EQ(Server().Start(), "");
        ASSERT_TRUE(Eventually([&] { return manager.GetStats().resubscriptions >= 1; }));
        ASSERT_TRUE(manager.WaitUntilSubscribed("ns.*", 5s));
        EXPECT_TRUE(manager.TryPublish("ns.1", "after", {}));
        EXPECT_TRUE(inbox.WaitFor("after"));
        EXPECT_GE(told.load(), 1);
        EXPECT_EQ(pool->FindAndLockConnection("k")->GetConnection().Get("k") == nullptr, !frozen);
    }
}

// Whoever waits for the subscription wakes to a subscriber heard live, however long the delivery
// thread then spends on callbacks.
TEST_F(RedisSubscription, AConfirmedSubscriptionWasNotYetHeardLive) {
    // Declared before the manager: the delivery thread may still be inside wait() when the test
    // body ends, so the shared state must outlive the manager's thread.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    RedisSubscriptionManager manager(Server().MakeConfig());
    // Runs on the delivery thread right before the confirmation counts: a message then waits
    // right behind it.
    manager.SetCatchUp("ns.*", [&](bool) {
        EXPECT_TRUE(manager.TryPublish("ns.1", "hold", {}));
        EXPECT_TRUE(manager.TryPublish("other", "sync", {}));  // "hold" is in the socket now
        return std::string();
    });
    manager.Subscribe("ns.*", [&](const TString&, const void* data, int length) {
        if (std::string(static_cast<const char*>(data), size_t(length)) == "hold") released.wait();
    });
    const bool subscribed = manager.WaitUntilSubscribed("ns.*", 5s);
    const long long heardAt = manager.HeardLiveAtNs();
    release.set_value();
    ASSERT_TRUE(subscribed);
    EXPECT_NE(heardAt, 0);
}
