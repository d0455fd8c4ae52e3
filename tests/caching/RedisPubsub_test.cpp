#include "caching/RedisPubsub.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "caching/CascadeInvalidatorHolder.h"
#include "caching/RedisPubsubTestDoubles.h"
#include "metrics2/Metrics.h"
#include "support/TestEnvironment.h"
#include "utility/SynchronizedCache.h"
#include "velcore/VelmoraCounters.h"
#include "velsys/AsyncTask.h"
#include "velsys/Locks.h"

using namespace velmora::caching;
using veltest::LoopbackManager;
using veltest::RecordingCache;
using veltest::RecordingInvalidator;
using Calls = std::vector<RecordingInvalidator::Call>;
using Guids = std::vector<unsigned int>;

namespace {

constexpr unsigned long long kSecond = 10000000ULL;  // DateTime ticks
const HashPair kKey{0x12, 0x34};

std::string FailedExpression(const std::function<void()>& f) {
    try {
        f();
    } catch (const LogicException& e) {
        return e.GetExpression();
    }
    return "<none>";
}

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 4000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

class Coherence : public ::testing::Test {
protected:
    void SetUp() override {
        m_holder.ResetForTest();
        m_holder.Initialize({&m_inv1, nullptr, &m_inv2, nullptr});
    }
    void TearDown() override { m_holder.ResetForTest(); }

    // A service whose published messages are recorded and, when `loop`, delivered back to every
    // subscriber of the manager (this process and any other service on it).
    std::shared_ptr<RedisPubsub> Make(bool loop = true, const TString& ns = "defaultns.") {
        return RedisPubsub::CreateTestInstance(ns, m_manager,
                                               [this, loop](const TString& c, const TString& m) {
                                                   m_published.emplace_back(c, m);
                                                   if (loop) m_manager.Publish(c, m);
                                               });
    }
    std::vector<TString> Lines(int severity) {
        std::vector<TString> result;
        for (const LogRecord& r : m_host.Log().Records())
            if (r.severity == severity) result.push_back(r.message);
        return result;
    }

    veltest::HostScope m_host;
    std::shared_ptr<Metrics::CapturingMetricsSink> m_metrics =
        std::make_shared<Metrics::CapturingMetricsSink>();
    Metrics::ScopedMetricsSink m_metricsScope{m_metrics};
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
    RecordingInvalidator m_inv1, m_inv2;
    LoopbackManager m_manager;
    std::vector<std::pair<TString, TString>> m_published;
    std::shared_ptr<RecordingCache> m_cache = std::make_shared<RecordingCache>();
    std::shared_ptr<RecordingCache> m_other = std::make_shared<RecordingCache>();
};

// ---- wire format and subscription ----

TEST_F(Coherence, SubscribesPublishesTheWireFormatAndUnsubscribes) {
    const long long wasted = VelmoraCounters::RedisPubsubWastedMessages;
    auto service = Make(false, "ns1.");
    EXPECT_EQ(VelmoraCounters::RedisPubsubWastedMessages - wasted, 2);
    EXPECT_EQ(m_manager.Patterns(), std::vector<TString>{"ns1.*"});

    service->OnAdded(kKey, {0x12, 0x1}, 0x100, 1, m_cache);
    service->OnAdded({0, 0}, {0, 0}, 0, 2, m_cache);
    service->OnAdded({0xABCDEF, ~0ULL}, {1, 0}, 0xFFFF, 3, m_cache);
    ASSERT_EQ(m_published.size(), 3u);
    EXPECT_EQ(m_published[0], std::make_pair(TString("ns1.12-34"), TString("12-1@100")));
    EXPECT_EQ(m_published[1], std::make_pair(TString("ns1.0-0"), TString("0-0@0")));
    EXPECT_EQ(m_published[2],
              std::make_pair(TString("ns1.abcdef-ffffffffffffffff"), TString("1-0@ffff")));

    service.reset();
    EXPECT_EQ(m_manager.Unsubscribed(), std::vector<TString>{"ns1.*"});
}

TEST_F(Coherence, TestInstancesAndTheTestHookRefuseOutsideUnitTests) {
    auto service = Make();
    AppConfig::GetInstance().SetUnitTestFlag(false);
    EXPECT_EQ(FailedExpression([&] { Make(); }), "AppConfig::GetInstance().GetUnitTestFlag()");
    EXPECT_EQ(FailedExpression([&] { service->TriggerPruneEvictedEntriesTestOnly(-1, -1); }),
              "AppConfig::GetInstance().GetUnitTestFlag()");
    AppConfig::GetInstance().SetUnitTestFlag(true);
}

TEST_F(Coherence, MalformedMessagesFailBeforeAnyStateChanges) {
    auto service = Make(false);
    service->OnAdded({1, 2}, {5, 7}, 1, 1, m_cache);
    const struct {
        const char* channel;
        const char* bytes;
        const char* failure;
    } cases[] = {
        {"defaultns.1-2", "abc", "split.size() == 2"},
        {"defaultns.1-2", "", "split.size() == 2"},
        {"defaultns.1-2", "5-6@10@1", "split.size() == 2"},
        {"defaultns.1-2", "a-b-c@1", "parts.size() == 2"},
        {"defaultns.1-2-3", "5-6@10", "parts.size() == 2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FailedExpression([&] { m_manager.Deliver(c.channel, c.bytes); }), c.failure)
            << c.bytes;
    }
    m_manager.Deliver("defaultns.", "5-6@10");  // names no key hash: ignored
    EXPECT_TRUE(m_cache->Dirty().empty());
    EXPECT_EQ(service->GetTrackingCountsTestOnly().records, 1u);
}

// ---- the dirty rule, as received messages apply it ----

TEST_F(Coherence, DirtyRuleOnReceivedMessages) {
    const HashPair none{0, 0};
    const struct {
        int marginSec;
        HashPair localHash;
        unsigned long long localTime;
        HashPair newHash;
        unsigned long long newTime;
        bool dirty;
    } cases[] = {
        {0, {5, 6}, 0, {5, 6}, 1000 * kSecond, false},  // same content is never dirty
        {0, {5, 7}, 15, {5, 6}, 16, true},
        {0, {5, 7}, 16, {5, 6}, 16, false},  // equal timestamps
        {0, {5, 7}, 17, {5, 6}, 16, false},  // newer than the message
        {0, none, 15, none, 16, true},       // content unknown on both sides
        {0, none, 16, none, 16, false},
        {5, {1, 1}, 10 * kSecond, {2, 2}, 15 * kSecond, false},  // older by exactly the margin
        {5, {1, 1}, 10 * kSecond - 1, {2, 2}, 15 * kSecond, true},
        {5, {1, 1}, 0, {2, 2}, 4 * kSecond, false},  // margin reaches before the epoch
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.localTime << " vs " << c.newTime);
        velmora::appoptions::ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds",
                                                   c.marginSec);
        auto service = Make(false);
        auto cache = std::make_shared<RecordingCache>();
        service->OnAdded({1, 2}, c.localHash, c.localTime, 7, cache);
        m_manager.Publish("defaultns.1-2", TString::number(c.newHash.first, 16) + TString("-") +
                                               TString::number(c.newHash.second, 16) +
                                               TString("@") + TString::number(c.newTime, 16));
        EXPECT_EQ(cache->Dirty(), c.dirty ? Guids{7} : Guids{});
        EXPECT_EQ(service->GetTrackingCountsTestOnly().records, c.dirty ? 0u : 1u);
    }
    ASSERT_EQ(m_inv1.Dirty().size(), 3u);
    EXPECT_EQ(m_inv2.Dirty().size(), 3u);
}

TEST_F(Coherence, DirtyRecordsInARowAreAllProcessedAndLogged) {
    velmora::appoptions::ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", 0);
    auto service = Make(false);
    service->OnAdded({1, 2}, {5, 7}, 10, 1, m_cache);
    service->OnAdded({1, 2}, {5, 7}, 10, 2, m_other);
    service->OnAdded({1, 2}, {5, 8}, 11, 4, m_cache);
    service->OnAdded({1, 2}, {5, 7}, 30, 3, m_cache);  // newer than the message: kept
    m_host.Log().Clear();
    m_manager.Deliver("defaultns.1-2", "5-6@10");  // timestamp 16

    EXPECT_EQ(m_cache->Dirty(), (Guids{1, 4}));
    EXPECT_EQ(m_other->Dirty(), Guids{2});
    EXPECT_EQ(m_inv1.Dirty(),
              (Calls{{{1}, m_cache.get()}, {{2}, m_other.get()}, {{4}, m_cache.get()}}));
    EXPECT_EQ(service->GetTrackingCountsTestOnly().records, 1u);
    const std::vector<TString> lines = Lines(TLog::Debug);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "RedisPubsub SubscribeCallback on channel=1-2, rawdata=5-6@10");
    EXPECT_EQ(lines[1],
              TString("RedisPubsub IsDirty CacheGuid=1, cache=") + TString::pointer(m_cache.get()) +
                  TString(", oldHash=5-7, oldTimestamp=10, newHash=5-6, newTimestamp=16"));
}

TEST_F(Coherence, MessageWithoutLocalRecordsIsWastedAndLeavesNothingBehind) {
    auto service = Make(false);
    const long long wasted = VelmoraCounters::RedisPubsubWastedMessages;
    m_manager.Deliver("defaultns.9-9", "1-1@1");
    EXPECT_EQ(VelmoraCounters::RedisPubsubWastedMessages - wasted, 1);
    EXPECT_EQ(service->GetTrackingCountsTestOnly().keyHashes, 0u);
}

TEST_F(Coherence, DryRunForgetsTheRecordAndTellsOnlyTheInvalidators) {
    velmora::appoptions::ScopedOverride dry("CacheSynchronizationDryRun", true);
    auto service = Make(false);
    service->OnAdded({1, 2}, {5, 7}, 0, 1, m_cache);
    m_manager.Deliver("defaultns.1-2", "5-6@ffffffffff");
    EXPECT_TRUE(m_cache->Dirty().empty());
    EXPECT_EQ(m_inv1.Dirty(), (Calls{{{1}, m_cache.get()}}));
    EXPECT_EQ(service->GetTrackingCountsTestOnly().records, 0u);
}

TEST_F(Coherence, DirtyEvictedRecordTellsOnlyTheInvalidatorsAndIsForgotten) {
    auto service = Make(false);
    service->OnAdded({1, 2}, {5, 7}, 0, 1, m_cache);
    service->OnRemoved(Guids{1}, m_cache);
    EXPECT_EQ(service->GetTrackingCountsTestOnly().evicted, 1u);
    m_manager.Deliver("defaultns.1-2", "5-6@ffffffffff");
    EXPECT_TRUE(m_cache->Dirty().empty());
    EXPECT_EQ(m_inv1.Dirty(), (Calls{{{1}, m_cache.get()}}));
    EXPECT_EQ(m_inv2.Dirty(), (Calls{{{1}, m_cache.get()}}));
    EXPECT_TRUE(m_inv1.Evicted().empty());
    const auto counts = service->GetTrackingCountsTestOnly();
    EXPECT_EQ(counts.evicted, 0u);
    EXPECT_EQ(counts.records, 0u);
}

// ---- OnAdded ----

TEST_F(Coherence, OwnMessageDropsOlderDifferingEntriesOfOtherCaches) {
    TReadWriteLock lockA, lockB;
    auto cacheA = std::make_shared<SynchronizedCache>(
        std::make_shared<CacheHelpers::LifetimePolicy>(1000), &lockA);
    auto cacheB = std::make_shared<SynchronizedCache>(
        std::make_shared<CacheHelpers::LifetimePolicy>(1000), &lockB);
    auto service = Make();
    const unsigned a = cacheA->AddEntry(veltest::MakePayload(1));
    const unsigned b = cacheB->AddEntry(veltest::MakePayload(2));
    const unsigned long long t = 100 * kSecond;
    service->OnAdded(kKey, {1, 1}, t, a, cacheA);
    service->OnAdded(kKey, {2, 2}, t + 6 * kSecond, b, cacheB);  // newer by more than 5 s

    EXPECT_EQ(cacheA->GetSize(), 0u);
    EXPECT_EQ(cacheB->GetSize(), 1u);
    EXPECT_EQ(m_inv1.Dirty(), (Calls{{{a}, cacheA.get()}}));
    EXPECT_EQ(service->GetTrackingCountsTestOnly().records, 1u);
    service->OnRemoved(*cacheA);
    service->OnRemoved(*cacheB);
}

TEST_F(Coherence, EntryOlderThanFiledContentIsDirtyOnArrivalAndNotPublished) {
    auto service = Make(false);
    service->OnAdded(kKey, {1, 1}, 100 * kSecond, 1, m_other);
    m_published.clear();
    const OnAddedMetrics metrics = service->OnAdded(kKey, {2, 2}, 0, 2, m_cache);
    EXPECT_EQ(m_cache->Dirty(), Guids{2});
    EXPECT_EQ(m_inv1.Dirty(), (Calls{{{2}, m_cache.get()}}));
    EXPECT_TRUE(m_other->Dirty().empty());
    EXPECT_TRUE(m_published.empty());
    EXPECT_EQ(metrics.publishMs + metrics.pruneMs, 0u);
    EXPECT_EQ(service->GetTrackingCountsTestOnly().records, 1u);
}

TEST_F(Coherence, ExpiredCacheIsPublishedButNotTracked) {
    auto service = Make(false);
    std::weak_ptr<ICoherentCache> gone = std::make_shared<RecordingCache>();
    const OnAddedMetrics metrics = service->OnAdded(kKey, {1, 1}, 1, 5, gone);
    EXPECT_EQ(m_published.size(), 1u);
    EXPECT_EQ(metrics.lockMs + metrics.dirtyMs + metrics.pruneMs, 0u);
    EXPECT_EQ(service->GetTrackingCountsTestOnly().records, 0u);
    EXPECT_EQ(Lines(TLog::Debug).back(),
              "RedisPubsub OnAdded data=1-1@1 on channel=defaultns.12-34 CacheGuid=5, "
              "cache=cache object already destroyed.");
}

TEST_F(Coherence, FirstEntryUnderAKeyHashCountsAsSaved) {
    auto service = Make(false);
    const long long saved = VelmoraCounters::RedisPubsubSavedMessages;
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    EXPECT_EQ(VelmoraCounters::RedisPubsubSavedMessages - saved, 1);
    service->OnAdded(kKey, {1, 1}, 1, 2, m_cache);
    service->OnAdded(kKey, {2, 2}, 1, 3, m_other);
    EXPECT_EQ(VelmoraCounters::RedisPubsubSavedMessages - saved, 1);
    EXPECT_EQ(service->GetTrackingCountsTestOnly().keyHashes, 1u);
    EXPECT_EQ(Lines(TLog::Debug).back(),
              TString("RedisPubsub OnAdded data=2-2@1 on channel=defaultns.12-34 CacheGuid=3, "
                      "cache=") +
                  TString::pointer(m_other.get()));
}

// ---- removals and placeholders ----

TEST_F(Coherence, RemovalBeforeAdditionLeavesAPlaceholderThatTheAdditionConsumes) {
    auto service = Make(false);
    service->OnRemoved(Guids{9}, m_cache);
    EXPECT_EQ(service->GetTrackingCountsTestOnly().placeholders, 1u);
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 1);
    EXPECT_EQ(FailedExpression([&] { service->OnRemoved(Guids{9}, m_cache); }),
              "m_removeBeforeAddPlaceholders.find({guid, cache.get()}) == "
              "m_removeBeforeAddPlaceholders.end()");
    service->OnRemoved(Guids{9}, m_other);  // another cache's guid 9 is another pair

    service->OnAdded(kKey, {1, 1}, 1, 9, m_cache);
    EXPECT_TRUE(m_published.empty());
    const auto counts = service->GetTrackingCountsTestOnly();
    EXPECT_EQ(counts.placeholders, 1u);
    EXPECT_EQ(counts.records, 0u);
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 1);
    const std::vector<TString> lines = Lines(TLog::Debug);
    EXPECT_EQ(lines.back(), TString("RedisPubsub: Deleting placeholder for CacheGuid=9, cache=") +
                                TString::pointer(m_cache.get()) + TString(", size=1"));
    EXPECT_EQ(lines[1], TString("RedisPubsub: TFS874920: Publish cache information - non-standard "
                                "code paths. Creating placeholder for CacheGuid=9, cache=") +
                            TString::pointer(m_cache.get()) + TString(", size=1"));
}

TEST_F(Coherence, TooManyPlaceholdersAreFlushedWithAReportOfTen) {
    auto service = Make(false);
    Guids guids;
    for (unsigned g = 1; g <= 10001; ++g) guids.push_back(g);
    service->OnRemoved(Guids(guids.begin(), guids.end() - 1), m_cache);
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 10000);
    service->OnRemoved(Guids{10001}, m_cache);
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 0);
    EXPECT_EQ(service->GetTrackingCountsTestOnly().placeholders, 0u);
    const std::vector<TString> warnings = Lines(TLog::Warn);
    ASSERT_EQ(warnings.size(), 1u);
    TString expected("RedisPubsub: Too many placeholders, flushing.");
    for (unsigned g = 1; g <= 10; ++g) {
        expected += TString(" {CacheGuid=") + TString::number(g) + TString(", cache=") +
                    TString::pointer(m_cache.get()) + TString("}");
    }
    EXPECT_EQ(warnings[0], expected);
    // A flushed placeholder no longer swallows its addition.
    service->OnAdded(kKey, {1, 1}, 1, 5, m_cache);
    EXPECT_EQ(m_published.size(), 1u);
}

TEST_F(Coherence, RemovalsThatChangeNothing) {
    auto service = Make(false);
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    m_host.Log().Clear();
    OnRemovedMetrics empty = service->OnRemoved(Guids{}, m_cache);
    EXPECT_EQ(empty.guidCount, 0u);
    EXPECT_EQ(empty.totalMs, 0u);
    std::weak_ptr<ICoherentCache> gone = std::make_shared<RecordingCache>();
    OnRemovedMetrics expired = service->OnRemoved(Guids{1, 2}, gone);
    EXPECT_EQ(expired.guidCount, 2u);
    EXPECT_EQ(expired.lockMs, 0u);
    EXPECT_TRUE(m_host.Log().Records().empty());
    const auto counts = service->GetTrackingCountsTestOnly();
    EXPECT_EQ(counts.evicted + counts.placeholders, 0u);
    EXPECT_EQ(m_metrics->Find("RedisPubsub::OnRemoved").size(), 2u);
}

TEST_F(Coherence, SecondRemovalOfAnEvictedEntryIsLoggedAndChangesNothing) {
    auto service = Make(false);
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnRemoved(Guids{1}, m_cache);
    service->OnRemoved(Guids{1}, m_cache);
    std::vector<LogRecord> errors =
        m_host.Log().Find("RedisPubsub::OnRemoved - removing an evicted entry again.");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].severity, TLog::Error);
    EXPECT_EQ(errors[0].attributes.at("CacheGuid"), "1");
    EXPECT_EQ(errors[0].attributes.at("Cache"), TString::pointer(m_cache.get()));
    EXPECT_EQ(errors[0].error.GetCode(), 0xC5E8FF71u);
    EXPECT_EQ(errors[0].error.GetSite(), "LogSite_AutoGen_0xC5E8FF71");
    EXPECT_EQ(service->GetTrackingCountsTestOnly().evicted, 1u);
}

TEST_F(Coherence, ForgettingACacheRemovesItsRecordsAndReportsItsGuids) {
    auto service = Make(false);
    service->OnAdded(kKey, {1, 1}, 1, 30, m_cache);
    service->OnAdded({7, 7}, {1, 1}, 1, 10, m_cache);
    service->OnAdded(kKey, {1, 1}, 1, 20, m_cache);
    service->OnAdded(kKey, {1, 1}, 1, 15, m_other);
    service->OnRemoved(Guids{10}, m_cache);
    service->OnRemoved(Guids{99}, m_cache);  // placeholder
    service->OnRemoved(*m_cache);

    EXPECT_EQ(m_inv1.Evicted(), (Calls{{{10, 20, 30}, m_cache.get()}}));
    EXPECT_EQ(m_inv2.Evicted(), m_inv1.Evicted());
    auto counts = service->GetTrackingCountsTestOnly();
    EXPECT_EQ(counts.records, 1u);
    EXPECT_EQ(counts.evicted, 0u);
    EXPECT_EQ(counts.placeholders, 1u);
    EXPECT_EQ(Lines(TLog::Debug).back(), TString("RedisPubsub OnRemoved CacheGuid=ALL on cache=") +
                                             TString::pointer(m_cache.get()));
    // A cache with nothing tracked is still reported, with no guids.
    service->OnRemoved(*m_cache);
    EXPECT_EQ(m_inv1.Evicted().back(), (RecordingInvalidator::Call{{}, m_cache.get()}));
}

// ---- pruning ----

TEST_F(Coherence, PruningByAgeTellsTheInvalidatorsPerCacheOldestFirst) {
    auto service = Make(false);
    ICoherentCache* const a = m_cache.get();
    ICoherentCache* const b = m_other.get();
    ICoherentCache* const low = std::min(a, b);
    ICoherentCache* const high = std::max(a, b);
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnAdded(kKey, {1, 1}, 1, 2, m_cache);
    service->OnAdded({3, 3}, {1, 1}, 1, 3, m_other);
    service->OnRemoved(Guids{2}, m_cache);
    service->OnRemoved(Guids{3}, m_other);
    service->OnRemoved(Guids{1}, m_cache);
    EXPECT_TRUE(m_inv1.Evicted().empty());

    const long long saved = VelmoraCounters::RedisPubsubSavedMessages;
    service->TriggerPruneEvictedEntriesTestOnly(-1, 0);
    const Calls expected = low == m_cache.get() ? Calls{{{2, 1}, low}, {{3}, high}}
                                                : Calls{{{3}, low}, {{2, 1}, high}};
    EXPECT_EQ(m_inv1.Evicted(), expected);
    EXPECT_EQ(m_inv2.Evicted(), expected);
    EXPECT_EQ(VelmoraCounters::RedisPubsubSavedMessages - saved, 2);  // both key hashes gone
    EXPECT_EQ(service->GetTrackingCountsTestOnly().keyHashes, 0u);
    EXPECT_EQ(m_metrics->Find("RedisPubsub::PruneEvictedEntries").back().optionBits, 0x20001u);
}

TEST_F(Coherence, NegativeLifetimeOptionPrunesAtTheNextPrune) {
    velmora::appoptions::ScopedOverride lifetime("CacheSynchronizationEvictedLifetimeSec", -5);
    auto service = Make(false);
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnRemoved(Guids{1}, m_cache);  // marked, then pruned by the same call
    EXPECT_EQ(m_inv1.Evicted(), (Calls{{{1}, m_cache.get()}}));
    EXPECT_EQ(service->GetTrackingCountsTestOnly().records, 0u);
}

TEST_F(Coherence, PruningByCountCutsToTwoThirdsOfTheMaximum) {
    const struct {
        int maximum;
        Guids pruned;
        size_t infoLines;
    } cases[] = {{3, {1, 2}, 3}, {0, {1, 2, 3, 4}, 2}, {4, {}, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maximum);
        RecordingInvalidator inv;
        m_holder.ResetForTest();
        m_holder.Initialize({&inv, nullptr, nullptr, nullptr});
        auto service = Make(false);
        for (unsigned g = 1; g <= 4; ++g) service->OnAdded(kKey, {1, 1}, 1, g, m_cache);
        for (unsigned g = 1; g <= 4; ++g) service->OnRemoved(Guids{g}, m_cache);
        m_host.Log().Clear();
        service->TriggerPruneEvictedEntriesTestOnly(c.maximum, -1);
        const Calls expected = c.pruned.empty() ? Calls{} : Calls{{c.pruned, m_cache.get()}};
        EXPECT_EQ(inv.Evicted(), expected);
        const std::vector<TString> info = Lines(TLog::Info);
        ASSERT_EQ(info.size(), c.infoLines);
        if (c.infoLines == 0) continue;
        EXPECT_EQ(info[0],
                  "Prune evicted entries from as old as 0 seconds ago - reached 4 entries");
        EXPECT_EQ(info[1], TString("RedisPubsub now tracking ") +
                               TString::number(4 - c.pruned.size()) + TString(" evicted queries"));
        if (c.infoLines == 3) {
            EXPECT_EQ(info[2],
                      "RedisPubsub: oldest evicted query now tracked is from 0 seconds ago");
        }
        // The new limit stays in force.
        service->OnAdded(kKey, {1, 1}, 1, 50, m_cache);
        service->OnRemoved(Guids{50}, m_cache);
        EXPECT_LE(service->GetTrackingCountsTestOnly().evicted, size_t(c.maximum));
    }
}

// ---- modes, logging, metrics ----

TEST_F(Coherence, AsyncModeReportsOnlyTheLaunchAndTracksOnAWorker) {
    velmora::appoptions::ScopedOverride async("AsyncCacheCoherence", true);
    auto service = Make(false);
    const OnAddedMetrics added = service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    EXPECT_EQ(added.lockMs + added.dirtyMs + added.pruneMs + added.publishMs, 0u);
    const OnRemovedMetrics removed = service->OnRemoved(Guids{1, 2}, m_other);
    EXPECT_EQ(removed.guidCount, 2u);
    EXPECT_EQ(removed.lockMs + removed.pruneMs, 0u);
    ASSERT_TRUE(WaitUntil([&] {
        auto counts = service->GetTrackingCountsTestOnly();
        return counts.records == 1 && counts.placeholders == 2;
    }));

    // Under a cancelled context the task is skipped: nothing is tracked or published.
    auto context = AsyncTask::CancellationContext::Create();
    context->Cancel();
    {
        AsyncTask::ScopedCancellationContext bind(context);
        service->OnAdded({9, 9}, {1, 1}, 1, 9, m_cache);
    }
    service.reset();  // waits for its tasks
    EXPECT_EQ(m_published.size(), 1u);
}

TEST_F(Coherence, SwitchableLinesFollowTheOptionAndTheSink) {
    {
        velmora::appoptions::ScopedOverride info("CacheSynchronizationLogging", true);
        auto service = Make(false);
        m_host.Log().Clear();
        service->OnRemoved(Guids{4}, m_cache);
        EXPECT_EQ(Lines(TLog::Info)[0], TString("RedisPubsub::OnRemoved CacheGuid=4 on cache=") +
                                            TString::pointer(m_cache.get()));
        EXPECT_TRUE(Lines(TLog::Debug).empty());
    }
    // A sink that declines the coherence category turns the switchable lines off for good.
    struct DeclinesCoherence : CapturingLogSink {
        bool Accepts(int severity, int category) const override {
            return category != 52 && CapturingLogSink::Accepts(severity, category);
        }
    };
    auto sink = std::make_shared<DeclinesCoherence>();
    ScopedLogSink declining(sink);
    auto service = Make();
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnRemoved(Guids{1}, m_cache);
    service->OnRemoved(Guids{1}, m_cache);  // the Error line is not switchable
    service->OnRemoved(*m_cache);
    ASSERT_EQ(sink->Records().size(), 1u);
    EXPECT_EQ(sink->Records()[0].severity, TLog::Error);
}

TEST_F(Coherence, OperationsOpenTheirMetricsScopes) {
    auto service = Make();
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnRemoved(Guids{1}, m_cache);
    for (const char* name : {"RedisPubsub::OnAdded", "RedisPubsub::OnRemoved"}) {
        auto records = m_metrics->Find(name);
        ASSERT_EQ(records.size(), 1u) << name;
        EXPECT_EQ(records[0].optionBits, 0x20001u);
    }
    // OnAdded, OnRemoved and the received message each prune once.
    EXPECT_EQ(m_metrics->Find("RedisPubsub::PruneEvictedEntries").size(), 3u);
}

}  // namespace
