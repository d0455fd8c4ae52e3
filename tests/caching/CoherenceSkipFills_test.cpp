// Fills whose content everyone has been told of are not published again (OnFilled), and each
// step of the argument that this hides no change from another process.
#include <gtest/gtest.h>

#include "RedisPubsubTestDoubles.h"
#include "caching/CoherenceMessages.h"
#include "caching/RedisPubsub.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;
using velmora::appoptions::ScopedOverride;

namespace {

constexpr unsigned long long kSecond = 10000000ULL;  // DateTime ticks
const HashPair kKey{0x51, 0x52};
const HashPair kOld{1, 1}, kNew{2, 2};

class SkipFills : public ::testing::Test {
protected:
    std::shared_ptr<RedisPubsub> Make(bool loop = true) {
        return RedisPubsub::CreateTestInstance("skip.", m_manager,
                                               [this, loop](const TString& c, const TString& m) {
                                                   m_published.push_back(m.toStdString());
                                                   if (loop) m_manager.Publish(c, m);
                                               });
    }
    // Another process's announcement, delivered here.
    void Arrives(const HashPair& hash, unsigned long long timestamp) {
        m_manager.Publish(FormatCoherenceChannel("skip.", kKey),
                          FormatCoherenceMessage(hash, timestamp));
    }
    std::string Message(const HashPair& hash, unsigned long long timestamp) {
        return FormatCoherenceMessage(hash, timestamp).toStdString();
    }

    veltest::HostScope m_host;
    ScopedOverride m_margin{"CacheSynchronizationMinimumDeltaSeconds", 0};
    veltest::LoopbackManager m_manager;
    std::vector<std::string> m_published;
    std::shared_ptr<veltest::RecordingCache> m_cache = std::make_shared<veltest::RecordingCache>();
};

TEST_F(SkipFills, FillOfTheNewestReceivedContentIsFiledButNotPublished) {
    auto service = Make();
    Arrives(kNew, 100 * kSecond);
    service->OnFilled(kKey, kNew, 105 * kSecond, 1, m_cache);
    EXPECT_TRUE(m_published.empty());
    EXPECT_EQ(service->GetHealth().fillsNotPublished, 1);
    // Filed all the same: a later change makes it dirty.
    Arrives(HashPair{3, 3}, 110 * kSecond);
    EXPECT_EQ(m_cache->dirty.Get(), std::vector<unsigned>{1});
}

TEST_F(SkipFills, FillsArePublishedWhenTheTableKnowsNothingNewerOrOtherwise) {
    auto service = Make(false);
    service->OnFilled(kKey, kNew, 100 * kSecond, 1, m_cache);  // key unknown
    Arrives(kOld, 90 * kSecond);
    Arrives(kNew, 80 * kSecond);  // not the newest: kOld at 90 is
    service->OnFilled(kKey, kNew, 100 * kSecond, 2, m_cache);
    EXPECT_EQ(m_published.size(), 2u);
    // Sent is not received: what this service published (without loop-back) does not count.
    service->OnFilled(kKey, kNew, 101 * kSecond, 3, m_cache);
    EXPECT_EQ(m_published.size(), 3u);
    // The plain path publishes every fill unless the option says otherwise.
    Arrives(kNew, 200 * kSecond);
    service->OnAdded(kKey, kNew, 201 * kSecond, 4, m_cache);
    EXPECT_EQ(m_published.size(), 4u);
}

TEST_F(SkipFills, OptionLetsThePlainPathSkipToo) {
    ScopedOverride skip("CacheSynchronizationSkipKnownFills", true);
    auto service = Make();
    Arrives(kNew, 100 * kSecond);
    service->OnAdded(kKey, kNew, 101 * kSecond, 1, m_cache);
    EXPECT_TRUE(m_published.empty());
}

// Every process that had skipped a fill of a key re-announced it when the key's next change
// arrived, so each change cost one announcement per process and deliveries grew with the square
// of the processes. A change newer than the fill is owed nothing; an older one still is (a change
// in flight when the fill was skipped: those who took it must hear of the newer content), once.
TEST_F(SkipFills, SkippedFillIsNotRepublishedOnEveryNewerChange) {
    auto service = Make(false);
    Arrives(kNew, 100 * kSecond);
    service->OnFilled(kKey, kNew, 105 * kSecond, 1, m_cache);
    Arrives(HashPair{3, 3}, 110 * kSecond);  // the next change
    EXPECT_TRUE(m_published.empty());
    EXPECT_EQ(service->GetHealth().skippedPublishedLater, 0);
    Arrives(kOld, 102 * kSecond);  // a change from before the fill, still in flight
    EXPECT_EQ(m_published, std::vector<std::string>{Message(kNew, 105 * kSecond)});
    EXPECT_EQ(service->GetHealth().skippedPublishedLater, 1);
    Arrives(kOld, 103 * kSecond);  // owed once only
    EXPECT_EQ(m_published.size(), 1u);
}

TEST_F(SkipFills, WithAMarginOnlyFillsWithinItOfTheNewestAreSkipped) {
    ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", 5);
    auto service = Make(false);
    Arrives(kNew, 100 * kSecond);
    service->OnFilled(kKey, kNew, 104 * kSecond, 1, m_cache);
    EXPECT_TRUE(m_published.empty());
    // Records of other content within 5 s of the newest announcement were not made dirty by
    // it; a fill more than the margin later can, so it goes out.
    service->OnFilled(kKey, kNew, 106 * kSecond, 2, m_cache);
    EXPECT_EQ(m_published.size(), 1u);
}

// On a real server: a re-subscription forgets what arrived before it.
class SkipFillsOnRedis : public veltest::RedisServerTest {};

TEST_F(SkipFillsOnRedis, ReSubscriptionRestartsTheCount) {
    veltest::HostScope host;
    RedisEndpointConfig config = Server().MakeConfig();
    RedisSubscriptionManager manager(config);
    auto service = RedisPubsub::CreateTestInstance("skipr.", manager);
    ASSERT_TRUE(manager.WaitUntilSubscribed("skipr.*", std::chrono::seconds(5)));
    auto cache = std::make_shared<veltest::RecordingCache>();
    service->OnFilled(kKey, kNew, 100 * kSecond, 1, cache);  // published, comes back
    ASSERT_TRUE(veltest::Eventually([&] { return service->GetHealth().applied >= 1; }));
    service->OnFilled(kKey, kNew, 101 * kSecond, 2, cache);
    EXPECT_EQ(service->GetHealth().fillsNotPublished, 1);
    Server().Command({"CLIENT", "KILL", "TYPE", "pubsub"});
    ASSERT_TRUE(veltest::Eventually([&] { return service->GetHealth().resubscriptions == 1; }));
    const long long published = service->GetHealth().published;
    service->OnFilled(kKey, kNew, 102 * kSecond, 3, cache);
    EXPECT_EQ(service->GetHealth().published, published + 1);
    EXPECT_EQ(service->GetHealth().fillsNotPublished, 1);
}

}  // namespace
