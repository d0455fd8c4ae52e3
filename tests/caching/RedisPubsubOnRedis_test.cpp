// The coherence service on a private redis-server: what a publisher that had to give an
// announcement up leaves for the subscribers that replay, and services of namespaces the host
// names.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "RedisPubsubTestDoubles.h"
#include "caching/RedisPubsub.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Exceptions.h"

namespace {

using veltest::Eventually;
using namespace velmora::caching;
using namespace std::chrono_literals;
using velmora::appoptions::ScopedOverride;

constexpr unsigned long long kMinute = 600000000ULL;  // DateTime ticks

class CoherenceOnRedis : public veltest::RedisServerTest {
protected:
    veltest::HostScope m_host;
};

// With the retry queue off, an announcement sent while the server was frozen is lost for good.
// Its publisher leaves a marker in the stream once the server answers; a subscriber that
// replays past the marker cannot know what it missed, so it treats every entry it tracks as
// dirty, here an entry whose key the lost announcement did not even name.
TEST_F(CoherenceOnRedis, GivenUpAnnouncementMakesAReplayPastItAGap) {
    ScopedOverride noQueue("CacheSynchronizationRetryQueue", 0);
    RedisSubscriptionManager publisherSide(Server().MakeConfig());
    RedisSubscriptionManager holderSide(Server().MakeConfig());
    auto publisher = RedisPubsub::CreateTestInstance("gap.", publisherSide);
    auto holder = RedisPubsub::CreateTestInstance("gap.", holderSide);
    auto cache = std::make_shared<veltest::RecordingCache>();
    holder->OnAdded({7, 0}, {1, 1}, DateTime::UtcNow().GetRepresentation() - kMinute, 42, cache);

    Server().Freeze();
    publisher->OnAdded({8, 0}, {2, 2}, DateTime::UtcNow().GetRepresentation(), 1, {});
    Server().Thaw();
    EXPECT_EQ(publisher->GetHealth().appendsLost, 1);
    ASSERT_TRUE(Eventually([&] {
        const RedisReplyValue tip =
            Server().Command({"XREVRANGE", "{gap.}announcements", "+", "-", "COUNT", "1"});
        return tip.elements.size() == 1 && tip.elements[0].elements.size() == 2 &&
               tip.elements[0].elements[1].elements.size() == 2 &&
               tip.elements[0].elements[1].elements[0].text == "g";
    })) << "no marker in the stream";

    // However the holder's subscription fared during the freeze, its next catch-up replays
    // past the marker.
    Server().Command({"CLIENT", "KILL", "TYPE", "pubsub"});
    ASSERT_TRUE(Eventually([&] { return !cache->dirty.Get().empty(); }))
        << "the holder's entry outlived a lost announcement";
    EXPECT_EQ(cache->dirty.Get(), std::vector<unsigned>{42});
    EXPECT_GE(holder->GetHealth().gaps, 1);
    EXPECT_GE(holder->GetHealth().conservativeFlushes, 1);
    holder->OnRemoved(*cache);
}

// While the server was frozen, a queued announcement replaced by a newer one of the same key
// hash was counted as lost: a failover showed dozens "lost" with nothing stale. Only what the
// queue cannot hold is lost.
TEST_F(CoherenceOnRedis, QueuedAnnouncementReplacedByANewerOneWasCountedLost) {
    ScopedOverride oneQueued("CacheSynchronizationRetryQueue", 1);
    RedisSubscriptionManager side(Server().MakeConfig());
    auto publisher = RedisPubsub::CreateTestInstance("supersede.", side);
    const unsigned long long now = DateTime::UtcNow().GetRepresentation();
    const auto failed = [&] {
        const CoherenceHealth h = publisher->GetHealth();
        return h.publishFailuresQueued + h.dropped;
    };
    Server().Freeze();
    // The announcements go out on the service's own tasks, in no set order: each is made only
    // once the one before has failed (had the third gone first, both of key hash 8 would have
    // found the queue full), and the server stays frozen until all have, or a task slowed past
    // the thaw would find it answering.
    publisher->OnAdded({8, 0}, {1, 1}, now, 1, {});
    ASSERT_TRUE(Eventually([&] { return failed() >= 1; }));
    publisher->OnAdded({8, 0}, {2, 2}, now + 1, 2, {});  // the same key hash: replaces it
    ASSERT_TRUE(Eventually([&] { return failed() >= 2; }));
    publisher->OnAdded({9, 0}, {3, 3}, now + 2, 3, {});  // another: the queue holds one
    ASSERT_TRUE(Eventually([&] { return failed() >= 3; }))
        << "the announcements did not fail while the server was frozen";
    Server().Thaw();
    // The third found the queue full and was lost, unless the retry thread had the second out
    // for an attempt just then (a failed attempt puts it back, past the bound): then none was.
    // The first was superseded by the second (replaced in the queue, or found older when the
    // retry thread's attempt failed), or went out once the server answered if that attempt was
    // still under way. The queue reads empty while an attempt is under way, so wait for every
    // announcement to have an outcome.
    ASSERT_TRUE(Eventually([&] {
        const CoherenceHealth h = publisher->GetHealth();
        return h.queuedNow == 0 && h.published + h.superseded + h.dropped >= 3;
    }));
    EXPECT_LE(publisher->GetHealth().dropped, 1) << "a superseded announcement was counted lost";
}

// A loss after a long live spell: with more announcements gone by since the last catch-up than
// the stream keeps, the resume point had fallen out of the stream, and a re-subscription that
// had missed nothing was taken for a gap that made every tracked entry dirty.
TEST_F(CoherenceOnRedis, LossAfterALongLiveSpellFoundTheResumePointTrimmedAway) {
    constexpr int kCap = 1000;
    constexpr int kAnnouncements = 3 * kCap;
    ScopedOverride cap("CacheSynchronizationReplayMaxLen", kCap);
    ScopedOverride follow("CacheSynchronizationReplayFollowMs", 20);
    RedisSubscriptionManager publisherSide(Server().MakeConfig());
    RedisSubscriptionManager holderSide(Server().MakeConfig());
    auto publisher = RedisPubsub::CreateTestInstance("follow.", publisherSide);
    const unsigned long long now = DateTime::UtcNow().GetRepresentation();
    // The holder starts at an entry of the stream (at an empty one it would replay from its
    // very start, and nothing could be trimmed past that).
    publisher->OnAdded({99, 0}, {9, 9}, now, 999, {});
    ASSERT_TRUE(Eventually([&] {
        return Server().Command({"XLEN", "{follow.}announcements"}).integer == 1;
    }));
    auto holder = RedisPubsub::CreateTestInstance("follow.", holderSide);
    ASSERT_TRUE(holderSide.WaitUntilSubscribed("follow.*", 5s));
    auto cache = std::make_shared<veltest::RecordingCache>();
    holder->OnAdded({7, 0}, {1, 1}, now - kMinute, 42, cache);
    for (unsigned i = 0; i < kAnnouncements; ++i)
        publisher->OnAdded({100 + i, 0}, {i, i}, now, 1000 + i, {});
    ASSERT_TRUE(Eventually([&] { return holder->GetHealth().received >= kAnnouncements + 1; }));
    const RedisReplyValue length = Server().Command({"XLEN", "{follow.}announcements"});
    ASSERT_EQ(length.type, RedisReplyValue::Type::Integer);
    ASSERT_LT(length.integer, kAnnouncements) << "the stream was not trimmed: nothing to show";
    ASSERT_TRUE(Eventually([&] { return holder->GetHealth().replayBehind == 0; }))
        << "the resume point stayed behind what arrived live";

    Server().Command({"CLIENT", "KILL", "TYPE", "pubsub"});
    ASSERT_TRUE(Eventually([&] { return holder->GetHealth().resubscriptions >= 1; }));
    ASSERT_TRUE(holderSide.WaitUntilSubscribed("follow.*", 5s));
    const CoherenceHealth health = holder->GetHealth();
    EXPECT_EQ(health.gaps, 0);
    EXPECT_EQ(health.conservativeFlushes, 0);
    EXPECT_TRUE(cache->dirty.Get().empty());
    holder->OnRemoved(*cache);
}

// A deaf limit shorter than the subscriber's heartbeat: on a quiet connection nothing is heard
// between heartbeats, so every heartbeat's answer came after a "silence" past the limit. Each
// one treated every tracked entry as dirty, and the service counted as deaf for part of every
// interval, so read-through caches served nothing they held.
TEST_F(CoherenceOnRedis, QuietConnectionWithAHeartbeatPastTheDeafLimitFlushedEverything) {
    ScopedOverride deafAfter("CacheSynchronizationMaxDeafMs", 1000);
    RedisEndpointConfig config = Server().MakeConfig();
    config.heartbeatInterval = 2000ms;
    config.commandTimeout = 500ms;
    RedisSubscriptionManager manager(config);
    auto service = RedisPubsub::CreateTestInstance("quiet.", manager);
    ASSERT_TRUE(manager.WaitUntilSubscribed("quiet.*", 5s));
    auto cache = std::make_shared<veltest::RecordingCache>();
    service->OnAdded({7, 0}, {1, 1}, DateTime::UtcNow().GetRepresentation(), 42, cache);

    int deafSamples = 0;
    for (auto end = std::chrono::steady_clock::now() + 3000ms;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(10ms))
        if (!service->Hears()) ++deafSamples;
    EXPECT_EQ(deafSamples, 0);
    EXPECT_EQ(service->GetHealth().gaps, 0);
    EXPECT_TRUE(cache->dirty.Get().empty());
    service->OnRemoved(*cache);
}

// Services of namespaces the host names share the process's Redis connection but not their
// announcements; a namespace has one service at a time.
TEST_F(CoherenceOnRedis, HostNamedNamespacesKeepTheirAnnouncementsApart) {
    ConfigureRedis(Server().MakeConfig());
    auto a = RedisPubsub::Create("tenant-a.");
    auto b = RedisPubsub::Create("tenant-b.");
    EXPECT_THROW(RedisPubsub::Create("tenant-a."), VelmoraException);
    EXPECT_THROW(RedisPubsub::Create(""), VelmoraException);
    RedisSubscriptionManager& manager = RedisSubscriptionManager::GetInstance();
    ASSERT_TRUE(manager.WaitUntilSubscribed("tenant-a.*", 10s));
    ASSERT_TRUE(manager.WaitUntilSubscribed("tenant-b.*", 10s));

    const unsigned long long old = DateTime::UtcNow().GetRepresentation() - kMinute;
    auto cacheA = std::make_shared<veltest::RecordingCache>();
    auto cacheB = std::make_shared<veltest::RecordingCache>();
    a->OnAdded({5, 0}, {1, 1}, old, 1, cacheA);
    b->OnAdded({5, 0}, {1, 1}, old, 2, cacheB);
    // Newer content of key hash 5 in tenant-a: tenant-b's entry of the same key hash stays.
    a->OnAdded({5, 0}, {2, 2}, DateTime::UtcNow().GetRepresentation(), 3, {});
    ASSERT_TRUE(Eventually([&] { return !cacheA->dirty.Get().empty(); }));
    EXPECT_EQ(cacheA->dirty.Get(), std::vector<unsigned>{1});
    // Both patterns are served by one connection in order: had b heard a's message, it would
    // have by now.
    b->OnAdded({6, 0}, {1, 1}, old, 4, {});
    ASSERT_TRUE(Eventually([&] { return b->GetHealth().received >= 2; }));
    EXPECT_TRUE(cacheB->dirty.Get().empty());
    EXPECT_EQ(b->GetHealth().received, 2);  // its own two announcements

    a->OnRemoved(*cacheA);
    a.reset();
    EXPECT_NO_THROW(a = RedisPubsub::Create("tenant-a."));
    b->OnRemoved(*cacheB);
}

}  // namespace
