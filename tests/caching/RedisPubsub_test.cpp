#include "caching/RedisPubsub.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "caching/CascadeInvalidatorHolder.h"
#include "caching/RedisPubsubTestDoubles.h"
#include "metrics2/Metrics.h"
#include "support/TestEnvironment.h"
#include "velcore/VelmoraCounters.h"

using namespace velmora::caching;
using namespace veltest;
using Calls = std::vector<Call>;
using velmora::appoptions::ScopedOverride;

namespace {

constexpr unsigned long long kSecond = 10000000ULL;  // DateTime ticks
const HashPair kKey{0x12, 0x34};

class Coherence : public ::testing::Test {
protected:
    void SetUp() override {
        m_holder.ResetForTest();
        m_holder.Initialize({&m_inv, nullptr, &m_inv2, nullptr});
    }
    void TearDown() override { m_holder.ResetForTest(); }

    // A service whose messages are recorded and, when `loop`, delivered back to every service
    // subscribed to the manager.
    std::shared_ptr<RedisPubsub> Make(bool loop = true, const TString& ns = "defaultns.") {
        return RedisPubsub::CreateTestInstance(ns, m_manager,
                                               [this, loop](const TString& c, const TString& m) {
                                                   m_published.emplace_back(c, m);
                                                   if (loop) m_manager.Publish(c, m);
                                               });
    }
    std::vector<TString> Lines(int severity) {
        std::vector<TString> result;
        for (const velmora::LogRecord& r : m_host.Log().Records())
            if (r.severity == severity) result.push_back(r.message);
        return result;
    }
    RedisPubsub::TrackingCounts Counts(RedisPubsub& s) { return s.GetTrackingCountsTestOnly(); }
    // "r<records> e<evicted> p<placeholders>"
    std::string Tracked(RedisPubsub& s) {
        const auto c = Counts(s);
        return "r" + std::to_string(c.records) + " e" + std::to_string(c.evicted) + " p" +
               std::to_string(c.placeholders);
    }

    HostScope m_host;
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
    RecordingInvalidator m_inv, m_inv2;
    LoopbackManager m_manager;
    std::vector<std::pair<TString, TString>> m_published;
    std::shared_ptr<RecordingCache> m_cache = std::make_shared<RecordingCache>();
    std::shared_ptr<RecordingCache> m_other = std::make_shared<RecordingCache>();
};

// ---- wire format, subscription ----

TEST_F(Coherence, WireFormatSubscriptionAndMalformedMessages) {
    const long long wasted = VelmoraCounters::RedisPubsubWastedMessages;
    auto service = Make(false, "ns1.");
    EXPECT_EQ(VelmoraCounters::RedisPubsubWastedMessages - wasted, 2);
    ASSERT_EQ(m_manager.subscriptions.size(), 1u);
    EXPECT_EQ(m_manager.subscriptions[0].first, "ns1.*");

    service->OnAdded(kKey, {0x5, 0x7}, 0x100, 1, m_cache);
    service->OnAdded({0, 0}, {0, 0}, 0, 2, m_cache);
    service->OnAdded({0xABCDEF, ~0ULL}, {1, 0}, 0xFFFF, 3, m_cache);
    const std::vector<std::pair<TString, TString>> expected{
        {"ns1.12-34", "5-7@100"},
        {"ns1.0-0", "0-0@0"},
        {"ns1.abcdef-ffffffffffffffff", "1-0@ffff"}};
    EXPECT_EQ(m_published, expected);
    // A message for a key hash without local records is wasted and leaves no table entry.
    m_manager.Deliver("ns1.9-9", "1-1@1");
    EXPECT_EQ(VelmoraCounters::RedisPubsubWastedMessages - wasted, 3);
    EXPECT_EQ(Counts(*service).keyHashes, 3u);

    // Malformed messages fail before any state changes.
    const char* cases[][3] = {
        {"ns1.12-34", "abc", "split.size() == 2"},
        {"ns1.12-34", "5-6@10@1", "split.size() == 2"},
        {"ns1.12-34", "a-b-c@1", "parts.size() == 2"},
        {"ns1.12-34-3", "5-6@10", "parts.size() == 2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FailedExpression([&] { m_manager.Deliver(c[0], c[1]); }), c[2]) << c[1];
    m_manager.Deliver("ns1.", "5-6@10");  // names no key hash: ignored
    EXPECT_TRUE(m_cache->dirty.Get().empty());
    EXPECT_EQ(Counts(*service).records, 3u);
    m_manager.Deliver("ns1.12-34", "5-6@ffffffffff");
    EXPECT_EQ(
        Lines(TLog::Debug).back(),
        TString("RedisPubsub IsDirty CacheGuid=1, cache=") + TString::pointer(m_cache.get()) +
            TString(", oldHash=5-7, oldTimestamp=256, newHash=5-6, newTimestamp=1099511627775"));

    service.reset();
    EXPECT_EQ(m_manager.unsubscribed, std::vector<TString>{"ns1.*"});
}

// ---- the dirty rule ----

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
        {0, {5, 7}, 17, {5, 6}, 16, false},
        {0, none, 15, none, 16, true},                           // content unknown on both sides
        {5, {1, 1}, 10 * kSecond, {2, 2}, 15 * kSecond, false},  // older by exactly the margin
        {5, {1, 1}, 10 * kSecond - 1, {2, 2}, 15 * kSecond, true},
        {5, {1, 1}, 0, {2, 2}, 4 * kSecond, false},  // the margin reaches before the epoch
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.localTime << " vs " << c.newTime);
        ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", c.marginSec);
        auto service = Make(false);
        auto cache = std::make_shared<RecordingCache>();
        service->OnAdded({1, 2}, c.localHash, c.localTime, 7, cache);
        m_manager.Publish("defaultns.1-2", TString::number(c.newHash.first, 16) + TString("-") +
                                               TString::number(c.newHash.second, 16) +
                                               TString("@") + TString::number(c.newTime, 16));
        EXPECT_EQ(cache->dirty.Get(), c.dirty ? Guids{7} : Guids{});
        EXPECT_EQ(Counts(*service).records, c.dirty ? 0u : 1u);
    }
    EXPECT_EQ(m_inv.dirty.Get().size(), 3u);
    EXPECT_EQ(m_inv2.dirty.Get().size(), 3u);
}

TEST_F(Coherence, DryRunAndEvictedRecordsTellOnlyTheInvalidators) {
    for (const bool dryRun : {true, false}) {
        ScopedOverride dry("CacheSynchronizationDryRun", dryRun);
        auto service = Make(false);
        auto cache = std::make_shared<RecordingCache>();
        service->OnAdded({1, 2}, {5, 7}, 0, 1, cache);
        if (!dryRun) service->OnRemoved(Guids{1}, cache);  // evicted: the cache holds nothing
        m_manager.Deliver("defaultns.1-2", "5-6@ffffffffff");
        EXPECT_TRUE(cache->dirty.Get().empty());
        EXPECT_EQ(m_inv.dirty.Get().back(), (Call{{1}, cache.get()}));
        EXPECT_EQ(m_inv2.dirty.Get().size(), m_inv.dirty.Get().size());
        EXPECT_EQ(Tracked(*service), "r0 e0 p0");
        EXPECT_TRUE(m_inv.evicted.Get().empty());
    }
}

// A cache that reports back to the service from OnDirty, as a host that mirrors removals does.
// While two records of one key hash were dirty, the second was erased without its cache being
// told and the tables broke their own invariants (or were read after a node was freed).
TEST_F(Coherence, OnDirtyReentryCorruptedTheTables) {
    ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", 0);
    struct Reentrant : RecordingCache {
        void OnDirty(const Guids& guids) override {
            RecordingCache::OnDirty(guids);
            callBack(guids);
        }
        std::function<void(const Guids&)> callBack;
    };
    const char* cases[] = {"r0 e0 p2", "r2 e0 p0", "r0 e0 p0"};  // removes, re-adds, forgets
    for (int c = 0; c < 3; ++c) {
        SCOPED_TRACE(c);
        auto service = Make(false);
        auto cache = std::make_shared<Reentrant>();
        cache->callBack = [&, c, self = cache.get()](const Guids& guids) {
            if (c == 0) service->OnRemoved(guids, std::weak_ptr<ICoherentCache>(cache));
            if (c == 1) service->OnAdded({1, 2}, {5, 6}, 100, guids[0] + 100, cache);
            if (c == 2) service->OnRemoved(*self);
        };
        for (unsigned g = 1; g <= 3; ++g) service->OnAdded({1, 2}, {5, 7}, 10, g, cache);
        service->OnRemoved(Guids{3}, cache);  // an evicted copy among the dirty records
        m_manager.Deliver("defaultns.1-2", "5-6@10");
        EXPECT_EQ(cache->dirty.Get(), c == 2 ? Guids{1} : (Guids{1, 2}));
        EXPECT_EQ(Tracked(*service), cases[c]);  // checks every invariant first
    }
}

// With AsyncCacheCoherence, an OnAdded task launched before OnRemoved(cache) could file the
// cache after it had been forgotten: the next message for its key called a destroyed cache.
TEST_F(Coherence, AsyncTaskFiledACacheAfterItsRemoval) {
    ScopedOverride async("AsyncCacheCoherence", true);
    // Publishes from several workers at once: nothing recorded.
    auto service = RedisPubsub::CreateTestInstance("defaultns.", m_manager,
                                                   [](const TString&, const TString&) {});
    std::vector<std::shared_ptr<RecordingCache>> caches(300);
    for (unsigned i = 0; i < caches.size(); ++i) {
        caches[i] = std::make_shared<RecordingCache>();  // kept alive: only the order matters
        service->OnAdded({i, 0}, {1, 1}, 1, 1, caches[i]);
        service->OnRemoved(*caches[i]);
    }
    for (int i = 0;
         i < 4000 && m_host.Metrics().Find("RedisPubsub::OnAdded").size() < caches.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Tracked(*service), "r0 e0 p0");
}

// ---- OnAdded ----

TEST_F(Coherence, SavedMessagesCountKeyHashesStaleArrivalsAndExpiredCaches) {
    auto service = Make(false);
    const long long saved = VelmoraCounters::RedisPubsubSavedMessages;
    service->OnAdded(kKey, {1, 1}, 100 * kSecond, 1, m_other);
    EXPECT_EQ(VelmoraCounters::RedisPubsubSavedMessages - saved, 1);
    service->OnAdded(kKey, {1, 1}, 1, 3, m_cache);  // same content: never dirty
    EXPECT_EQ(VelmoraCounters::RedisPubsubSavedMessages - saved, 1);

    // An entry older than content filed already is dirty on arrival and not published.
    service->OnAdded(kKey, {2, 2}, 0, 2, m_cache);
    EXPECT_EQ(m_cache->dirty.Get(), Guids{2});
    EXPECT_EQ(m_inv.dirty.Get(), (Calls{{{2}, m_cache.get()}}));
    EXPECT_TRUE(m_other->dirty.Get().empty());
    EXPECT_EQ(m_published.size(), 2u);

    // A cache that is gone is only published for.
    std::weak_ptr<ICoherentCache> gone = std::make_shared<RecordingCache>();
    service->OnAdded({7, 7}, {1, 1}, 1, 5, gone);
    EXPECT_EQ(m_published.size(), 3u);
    EXPECT_EQ(Counts(*service).records, 2u);
}

// ---- removals and placeholders ----

TEST_F(Coherence, RemovalBeforeAdditionLeavesAPlaceholderThatTheAdditionConsumes) {
    auto service = Make(false);
    service->OnRemoved(Guids{9}, m_cache);
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 1);
    EXPECT_EQ(FailedExpression([&] { service->OnRemoved(Guids{9}, m_cache); }),
              "m_removeBeforeAddPlaceholders.find({guid, cache.get()}) == "
              "m_removeBeforeAddPlaceholders.end()");
    service->OnRemoved(Guids{9}, m_other);  // another cache's guid 9 is another pair
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 2);

    service->OnAdded(kKey, {1, 1}, 1, 9, m_cache);
    EXPECT_TRUE(m_published.empty());
    EXPECT_EQ(Tracked(*service), "r0 e0 p1");
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 1);
}

TEST_F(Coherence, TooManyPlaceholdersAreFlushedWithAReportOfTen) {
    auto service = Make(false);
    Guids guids;
    for (unsigned g = 1; g <= 10000; ++g) guids.push_back(g);
    service->OnRemoved(guids, m_cache);
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 10000);
    service->OnRemoved(Guids{10001}, m_cache);
    EXPECT_EQ(VelmoraCounters::RedisPubsubPlaceholderSize, 0);
    EXPECT_EQ(Counts(*service).placeholders, 0u);
    TString expected("RedisPubsub: Too many placeholders, flushing.");
    for (unsigned g = 1; g <= 10; ++g)
        expected += TFormatString(" {CacheGuid=%1, cache=%2}", g, TString::pointer(m_cache.get()))
                        .ToString();
    EXPECT_EQ(Lines(TLog::Warn), std::vector<TString>{expected});
    service->OnAdded(kKey, {1, 1}, 1, 5, m_cache);  // no longer swallowed
    EXPECT_EQ(m_published.size(), 1u);
}

TEST_F(Coherence, RemovalsThatChangeNothing) {
    auto service = Make(false);
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnRemoved(Guids{1}, m_cache);
    m_host.Log().Clear();
    service->OnRemoved(Guids{}, m_cache);
    std::weak_ptr<ICoherentCache> gone = std::make_shared<RecordingCache>();
    service->OnRemoved(Guids{1, 2}, gone);  // an expired cache
    EXPECT_TRUE(m_host.Log().Records().empty());

    service->OnRemoved(Guids{1}, m_cache);  // evicted already
    const std::vector<velmora::LogRecord> errors = m_host.Log().Records();
    ASSERT_EQ(errors.size(), 2u);  // the switchable line, then the error
    EXPECT_EQ(errors[1].message, "RedisPubsub::OnRemoved - removing an evicted entry again.");
    EXPECT_EQ(errors[1].severity, TLog::Error);
    EXPECT_EQ(errors[1].error, VelmoraError(0xC5E8FF71, "LogSite_AutoGen_0xC5E8FF71"));
    EXPECT_EQ(Tracked(*service), "r1 e1 p0");
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

    EXPECT_EQ(m_inv.evicted.Get(), (Calls{{{10, 20, 30}, m_cache.get()}}));
    EXPECT_EQ(m_inv2.evicted.Get(), m_inv.evicted.Get());
    EXPECT_EQ(Tracked(*service), "r1 e0 p1");
    service->OnRemoved(*m_cache);  // nothing tracked: still reported, with no guids
    EXPECT_EQ(m_inv.evicted.Get().back(), (Call{{}, m_cache.get()}));
}

// ---- pruning ----

TEST_F(Coherence, PruningByAgeTellsTheInvalidatorsPerCacheOldestFirst) {
    auto service = Make(false);
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnAdded(kKey, {1, 1}, 1, 2, m_cache);
    service->OnAdded({3, 3}, {1, 1}, 1, 3, m_other);
    service->OnRemoved(Guids{2}, m_cache);
    service->OnRemoved(Guids{3}, m_other);
    service->OnRemoved(Guids{1}, m_cache);
    EXPECT_TRUE(m_inv.evicted.Get().empty());

    const long long saved = VelmoraCounters::RedisPubsubSavedMessages;
    service->TriggerPruneEvictedEntriesTestOnly(-1, 0);
    Calls expected{{{2, 1}, m_cache.get()}, {{3}, m_other.get()}};
    if (m_other.get() < m_cache.get()) std::swap(expected[0], expected[1]);  // address order
    EXPECT_EQ(m_inv.evicted.Get(), expected);
    EXPECT_EQ(m_inv2.evicted.Get(), expected);
    EXPECT_EQ(VelmoraCounters::RedisPubsubSavedMessages - saved, 2);  // both key hashes gone
    EXPECT_EQ(Counts(*service).keyHashes, 0u);

    // A negative lifetime prunes in the same call that evicts.
    ScopedOverride lifetime("CacheSynchronizationEvictedLifetimeSec", -5);
    auto other = Make(false);
    other->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    other->OnRemoved(Guids{1}, m_cache);
    EXPECT_EQ(m_inv.evicted.Get().back(), (Call{{1}, m_cache.get()}));
}

TEST_F(Coherence, PruningByCountCutsToTwoThirdsOfTheMaximum) {
    const struct {
        int maximum;
        Guids pruned;
    } cases[] = {{3, {1, 2}}, {0, {1, 2, 3, 4}}, {4, {}}};
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
        EXPECT_EQ(inv.evicted.Get(), expected);
        const TString tracking =
            TFormatString("RedisPubsub now tracking %1 evicted queries", 4 - c.pruned.size())
                .ToString();
        const std::vector<TString> info = Lines(TLog::Info);
        EXPECT_EQ(std::count(info.begin(), info.end(), tracking), c.pruned.empty() ? 0 : 1);
        service->OnAdded(kKey, {1, 1}, 1, 50, m_cache);
        service->OnRemoved(Guids{50}, m_cache);
        EXPECT_LE(Counts(*service).evicted, size_t(c.maximum));  // the new limit stays
    }
}

// ---- modes, logging, metrics ----

TEST_F(Coherence, SwitchableLinesAndMetricsScopes) {
    ScopedOverride info("CacheSynchronizationLogging", true);
    auto service = Make();
    m_host.Log().Clear();
    service->OnAdded(kKey, {1, 1}, 1, 1, m_cache);
    service->OnRemoved(Guids{1}, m_cache);
    EXPECT_EQ(Lines(TLog::Info).back(), TString("RedisPubsub::OnRemoved CacheGuid=1 on cache=") +
                                            TString::pointer(m_cache.get()));
    EXPECT_TRUE(Lines(TLog::Debug).empty());
    for (const char* name : {"RedisPubsub::OnAdded", "RedisPubsub::OnRemoved"}) {
        ASSERT_EQ(m_host.Metrics().Find(name).size(), 1u) << name;
        EXPECT_EQ(m_host.Metrics().Find(name)[0].optionBits, 0x20001u);
    }
}

}  // namespace
