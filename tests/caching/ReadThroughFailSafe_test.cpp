// Answers that survive a failing loader (fail-safe values, throttling, soft and hard time-outs,
// eager refresh) and one load per key through Redis leases, on a real redis-server.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <utility>

#include "RedisPubsubTestDoubles.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/DerivedResultCache.h"
#include "caching/DiskExternalCache.h"
#include "caching/LoadLeases.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisExternalCache.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velcore/ThreadContext.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;
using velmora::appoptions::ScopedOverride;

namespace {

using veltest::Eventually;

using Cache = ReadThroughCache<std::string>;

Cache::Codec TextCodec() {
    return {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
            [](const unsigned char* data, std::size_t size) {
                return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                           size);
            }};
}

// A gate one loader passes once: it waits there until the test opens it.
struct Gate {
    void Pass() { arrived.set_value(), open.wait(); }
    void WaitForArrival() { arrived.get_future().wait(); }
    void Open() { opened.set_value(); }

    std::promise<void> arrived, opened;
    std::shared_future<void> open = opened.get_future().share();
};

class FailSafe : public ::testing::Test {
protected:
    std::shared_ptr<RedisPubsub> Service() {
        return RedisPubsub::CreateTestInstance(
            "fs.", m_manager,
            [this](const TString& c, const TString& m) { m_manager.Publish(c, m); });
    }
    // No memory: every Get is a miss, so the fail-safe copy is what answers for a failing load.
    static ReadThroughOptions Options() {
        ReadThroughOptions o;
        o.name = "fs";
        o.memoryEntries = 0;
        o.failSafe = true;
        o.failSafeThrottleMs = 60000;
        return o;
    }

    veltest::HostScope m_host;
    veltest::LoopbackManager m_manager;
    std::shared_ptr<RedisPubsub> m_service = Service();
};

TEST_F(FailSafe, FailingLoaderAnswersWithTheLastGoodValueAndIsNotCalledAgainForAWhile) {
    Cache cache(Options(), TextCodec(), m_service);
    cache.Get("k", [] { return std::string("good"); });
    int calls = 0;
    const auto failing = [&calls]() -> std::string {
        ++calls;
        throw std::runtime_error("database down");
    };
    const auto first = cache.Get("k", failing);
    EXPECT_EQ(*first.value, "good");
    EXPECT_TRUE(first.stale);
    EXPECT_EQ(first.source, ReadThroughSource::FailSafe);
    EXPECT_EQ(cache.Get("k", failing).source, ReadThroughSource::FailSafe);
    EXPECT_EQ(calls, 1);  // throttled
    const ReadThroughCounters c = cache.GetCounters();
    EXPECT_EQ(c.failSafeAnswers, 2);
    EXPECT_EQ(c.throttled, 1);
    // A key without a good value still fails.
    EXPECT_THROW(cache.Get("other", failing), std::runtime_error);
}

TEST_F(FailSafe, ValueAnnouncedAsChangedIsNotServedUnlessTheHostSaysSo) {
    Cache cache(Options(), TextCodec(), m_service);
    Cache writer(Options(), TextCodec(), m_service);
    cache.Get("k", [] { return std::string("before the change"); });
    writer.Invalidate("k");
    const auto failing = []() -> std::string { throw std::runtime_error("database down"); };
    EXPECT_THROW(cache.Get("k", failing), std::runtime_error);

    auto lenient = Options();
    lenient.failSafeAfterChange = true;
    Cache tolerant(lenient, TextCodec(), m_service);
    tolerant.Get("j", [] { return std::string("before the change"); });
    writer.Invalidate("j");
    EXPECT_EQ(*tolerant.Get("j", failing).value, "before the change");
}

// The fail-safe answer was chosen before the load began: a change announced while the load ran
// (and then failed) did not keep the old value from being served.
TEST_F(FailSafe, ChangeAnnouncedWhileTheLoadRanKeepsTheOldValueFromBeingServed) {
    Cache cache(Options(), TextCodec(), m_service);
    Cache writer(Options(), TextCodec(), m_service);
    cache.Get("k", [] { return std::string("before the change"); });
    const auto changedThenFailing = [&writer]() -> std::string {
        writer.Invalidate("k");  // committed and announced while the load runs
        throw std::runtime_error("database down");
    };
    EXPECT_THROW(cache.Get("k", changedThenFailing), std::runtime_error);
    EXPECT_EQ(cache.GetCounters().failSafeAnswers, 0);
}

TEST_F(FailSafe, SlowLoadAnswersWithTheStaleValueAtTheSoftTimeOutAndFillsLater) {
    auto options = Options();
    options.softTimeoutMs = 20;
    options.memoryEntries = 10;
    options.valueLifetimeSec = 1;
    Gate gate;  // outlives the cache, whose background load passes it
    Cache cache(options, TextCodec(), m_service);
    cache.Get("k", [] { return std::string("v1"); });
    // Past its lifetime the memory entry is a miss; the fail-safe copy is older than that, but
    // younger than failSafeMaxAgeSec.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const auto slow = cache.Get("k", [&gate] {
        gate.Pass();
        return std::string("v2");
    });
    EXPECT_EQ(*slow.value, "v1");
    EXPECT_TRUE(slow.stale);
    EXPECT_EQ(cache.GetCounters().softTimeouts, 1);
    gate.Open();
    // The load finishes in the background and fills memory.
    const auto held = [&cache] {
        const auto values = cache.HeldValues();
        return values.size() == 1 ? *values[0].second : std::string("<not one>");
    };
    // Answered from memory once its fill's verdict passed (the layer lists the entry a moment
    // before: a Get in between would miss it and load).
    EXPECT_TRUE(Eventually([&] {
        const auto answer = cache.TryGet("k");
        return answer.value && *answer.value == "v2" && answer.source == ReadThroughSource::Memory;
    })) << held();
}

TEST_F(FailSafe, HardTimeOutAnswersStaleForTheCallerAndItsWaiters) {
    auto options = Options();
    options.hardTimeoutMs = 20;
    Gate gate;
    std::thread waiter;
    Cache cache(options, TextCodec(), m_service);
    cache.Get("k", [] { return std::string("v1"); });
    const auto slow = cache.Get("k", [&] {
        // A second caller joins the flight while the load hangs.
        waiter = std::thread([&] {
            const auto r = cache.Get("k", [] { return std::string("never"); });
            EXPECT_TRUE(r.stale);
        });
        gate.Pass();
        return std::string("v2");
    });
    EXPECT_TRUE(slow.stale);
    gate.WaitForArrival();  // the waiter has been started
    waiter.join();
    gate.Open();
    EXPECT_EQ(cache.GetCounters().hardTimeouts, 2);
}

// With every background slot taken by a stalled load, a second key's load used to run on its
// caller's thread and hold it for the whole load, although a fail-safe value was at hand.
TEST_F(FailSafe, FullBackgroundSlotsHeldCallersForTheWholeLoad) {
    auto options = Options();
    options.softTimeoutMs = 20;
    options.maxBackgroundLoads = 1;
    Gate gate;  // outlives the cache, whose background load passes it
    Cache cache(options, TextCodec(), m_service);
    for (const char* key : {"a", "b"}) cache.Get(key, [] { return std::string("v1"); });
    const auto stalled = cache.Get("a", [&gate] {
        gate.Pass();
        return std::string("v2");
    });
    EXPECT_TRUE(stalled.stale);
    gate.WaitForArrival();  // the one slot is taken
    bool ranHere = false;
    const auto other = cache.Get("b", [&ranHere] {
        ranHere = true;
        return std::string("v2");
    });
    EXPECT_FALSE(ranHere);
    EXPECT_EQ(*other.value, "v1");
    EXPECT_TRUE(other.stale);
    EXPECT_EQ(cache.GetCounters().backgroundFull, 1);
    gate.Open();
    // Once the slot is free, a later Get of the key loads again.
    EXPECT_TRUE(
        Eventually([&] { return !cache.Get("b", [] { return std::string("v3"); }).stale; }));
}

TEST_F(FailSafe, EntryPastTheChosenFractionOfItsLifeIsRefreshedOnceInTheBackground) {
    auto options = Options();
    options.failSafe = false;
    options.memoryEntries = 10;
    options.eagerRefreshFraction = 1e-6;  // of 600 s: 0.6 ms
    std::atomic<int> loads{0};
    Gate gate;
    Cache cache(options, TextCodec(), m_service);
    cache.Get("k", [&] {
        ++loads;
        return std::string("v1");
    });
    const auto loader = [&] {
        if (++loads == 2) gate.Pass();
        return std::string("v2");
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // well past 1e-6 of its life
    EXPECT_EQ(*cache.Get("k", loader).value, "v1");             // answered at once, refresh started
    gate.WaitForArrival();
    EXPECT_EQ(*cache.Get("k", loader).value, "v1");  // one refresh at a time
    gate.Open();
    EXPECT_TRUE(Eventually([&] { return *cache.HeldValues().at(0).second == "v2"; }));
    EXPECT_EQ(cache.GetCounters().eagerRefreshes, 1);
}

// The values a cache holds are let go on the thread that destroys the cache, never on the thread
// of a background load that finished just before (which once destroyed the whole engine, the
// coherence service it held included, after its owner had gone).
TEST_F(FailSafe, BackgroundLoadNeverDestroysTheEngineOnItsOwnThread) {
    struct Noted {
        std::string text;
        std::shared_ptr<std::vector<std::thread::id>> destroyedOn;
        ~Noted() {
            // Replaced values go where they are replaced; the last one goes with the cache.
            if (text == "v2") destroyedOn->push_back(std::this_thread::get_id());
        }
    };
    auto destroyedOn = std::make_shared<std::vector<std::thread::id>>();
    for (int round = 0; round < 50; ++round) {
        auto options = Options();
        options.softTimeoutMs = 1;
        ReadThroughCache<Noted> cache(
            options,
            {[](const Noted& v) { return ExternalBytes(v.text.begin(), v.text.end()); },
             [](const unsigned char*, std::size_t) -> std::shared_ptr<const Noted> {
                 return nullptr;
             }},
            Service());
        const auto make = [destroyedOn](const char* text) {
            return std::shared_ptr<const Noted>(new Noted{text, destroyedOn});
        };
        cache.Get("k", [&] { return make("v1"); });
        cache.Get("k", [make] {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            return make("v2");
        });  // answered stale; the load ends in the background
    }
    ASSERT_FALSE(destroyedOn->empty());
    for (const std::thread::id& id : *destroyedOn) EXPECT_EQ(id, std::this_thread::get_id());
}

// ---- leases on a real redis-server ----

class Leases : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        m_config = Server().MakeConfig();
        m_config.commandTimeout = std::chrono::milliseconds(300);
        m_pool = std::make_shared<RedisConnectionPool>(m_config);
    }
    void TearDown() override {
        m_quickService.reset();
        m_quickManager.reset();
        RedisServerTest::TearDown();
    }
    // A service of namespace `ns`, subscribed, whose subscriber notices a frozen server within
    // about 250 ms (a 50 ms heartbeat, a 200 ms command time-out). It lives until the test ends.
    std::shared_ptr<RedisPubsub> ListenQuickly(const char* ns) {
        RedisEndpointConfig config = m_config;
        config.heartbeatInterval = std::chrono::milliseconds(50);
        config.commandTimeout = std::chrono::milliseconds(200);
        m_quickManager = std::make_unique<RedisSubscriptionManager>(config);
        m_quickService = RedisPubsub::CreateTestInstance(ns, *m_quickManager);
        EXPECT_TRUE(m_quickManager->WaitUntilSubscribed(TString(ns) + TString("*"),
                                                        std::chrono::seconds(5)));
        return m_quickService;
    }
    ReadThroughOptions Options() {
        ReadThroughOptions o;
        o.name = "leased";
        o.memoryEntries = 0;
        o.layers = {std::make_shared<RedisExternalCache>(TString("rt"), m_pool)};
        o.leases = std::make_shared<RedisLoadLeases>(m_pool, "test:lease:");
        o.leaseMs = 2000;
        return o;
    }

    veltest::HostScope m_host;
    RedisEndpointConfig m_config;
    std::shared_ptr<RedisConnectionPool> m_pool;
    std::unique_ptr<RedisSubscriptionManager> m_quickManager;  // see ListenQuickly
    std::shared_ptr<RedisPubsub> m_quickService;
};

TEST_F(Leases, OnlyTheHolderReleasesALease) {
    RedisLoadLeases leases(m_pool, "test:lease:");
    const auto ttl = std::chrono::milliseconds(5000);
    EXPECT_EQ(leases.TryTake("a", "t1", ttl), ILoadLeases::Outcome::Taken);
    EXPECT_EQ(leases.TryTake("a", "t2", ttl), ILoadLeases::Outcome::HeldElsewhere);
    leases.Release("a", "t2");
    EXPECT_EQ(leases.TryTake("a", "t2", ttl), ILoadLeases::Outcome::HeldElsewhere);
    leases.Release("a", "t1");
    EXPECT_EQ(leases.TryTake("a", "t2", ttl), ILoadLeases::Outcome::Taken);
    EXPECT_EQ(Server().Command({"PTTL", leases.KeyOf("a")}).integer > 0, true);
}

TEST_F(Leases, FrozenServerFallsBackToLoadingInTheProcess) {
    auto options = Options();
    options.layers.clear();  // the layer would wait its own time-out; the lease must not
    options.layers.push_back(std::make_shared<NullExternalCache<TString, ExternalBytes>>());
    Cache cache(options, TextCodec(), nullptr);
    Server().Freeze();
    const auto r = cache.Get("k", [] { return std::string("loaded here"); });
    Server().Thaw();
    EXPECT_EQ(*r.value, "loaded here");
    EXPECT_EQ(cache.GetCounters().leaseUnavailable, 1);
    EXPECT_EQ(cache.GetCounters().leasesTaken, 0);
}

// A frozen server delivers no announcement, so a change made meanwhile could not reach this
// process: held values and derived results were served until the connection came back, long
// past the freshness window, and so were fail-safe answers. While the service hears nothing,
// everything held is passed by.
// Once the server answers again, a change made meanwhile may still be unannounced (its
// publisher retries later), and what was held before was served until it came: what is held
// is now treated as after a gap.
TEST_F(Leases, HeldValuesWereServedWhileAndAfterTheServerWasFrozen) {
    // Far above the heartbeat, so that a loaded machine's late beat does not pass what is held
    // before the freeze; the freeze then outlasts it.
    ScopedOverride deafAfter("CacheSynchronizationMaxDeafMs", 1000);
    ScopedOverride sync("SyncCaches", true);
    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    holder.ResetForTest();
    holder.Initialize({CascadeInvalidatorAggregator::TryGetSingleton(), nullptr, nullptr, nullptr});
    velmora::ScopedThreadContext context;
    const std::shared_ptr<RedisPubsub> service = ListenQuickly("deaf.");
    ReadThroughOptions options;
    options.name = "deaf";
    options.memoryEntries = 10;
    options.failSafe = true;
    Cache cache(options, TextCodec(), service);
    DerivedResultCache<std::string> derived(service);
    const auto part = [&cache](const char* value) {
        return [&cache, value] {
            return *cache.Get("k", [value] { return std::string(value); }).value;
        };
    };
    EXPECT_EQ(*derived.Get("d", part("v1")).value, "v1");
    cache.Get("q", [] { return std::string("q1"); });
    cache.Get("f", [] { return std::string("f1"); });
    EXPECT_EQ(cache.Get("k", [] { return std::string("never"); }).source,
              ReadThroughSource::Memory);
    EXPECT_TRUE(derived.Get("d", part("never")).held);

    Server().Freeze();
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_FALSE(service->Hears());
    const auto during = cache.Get("k", [] { return std::string("v2"); });
    const auto derivedDuring = derived.Get("d", part("v2"));
    // Nor is the last good value the answer to a failing load.
    EXPECT_THROW(cache.Get("f", []() -> std::string { throw std::runtime_error("down"); }),
                 std::runtime_error);
    Server().Thaw();
    EXPECT_EQ(during.source, ReadThroughSource::Loader);
    EXPECT_EQ(*during.value, "v2");
    EXPECT_FALSE(derivedDuring.held);
    EXPECT_EQ(*derivedDuring.value, "v2");
    EXPECT_GE(cache.GetCounters().deafLoads, 2);

    for (int i = 0; i < 1000 && !service->Hears(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(service->Hears());
    const auto after = cache.Get("q", [] { return std::string("q2"); });
    EXPECT_EQ(*after.value, "q2");
    EXPECT_GE(service->GetHealth().gaps, 1);
    CascadeInvalidatorAggregator::TryGetSingleton()->ResetForTest();
    holder.ResetForTest();
}

// While the server was frozen every Get passed what was held and ran the loader: with many
// processes, the whole read traffic fell on the source at the moment it is least wanted. A value
// loaded during the silence now answers for at most the silence bound, with every option at its
// default; a change made at the source meanwhile (unannounced: its writer cannot reach the
// server either) reaches the answers within that bound, and nothing from before the freeze is
// served.
TEST_F(Leases, AFrozenServerSentEveryGetToTheSource) {
    RedisSubscriptionManager manager(Server().MakeConfig());
    auto service = RedisPubsub::CreateTestInstance("outage.", manager);
    ASSERT_TRUE(manager.WaitUntilSubscribed("outage.*", std::chrono::seconds(5)));
    const auto bound = std::chrono::nanoseconds(service->SilenceBoundNs());
    ASSERT_GT(bound.count(), 0);
    ReadThroughOptions options;
    options.name = "outage";
    Cache cache(options, TextCodec(), service);
    std::atomic<int> version{1};
    std::atomic<int> loads{0};
    const auto loader = [&] {
        ++loads;
        return "v" + std::to_string(version.load());
    };
    EXPECT_EQ(*cache.Get("k", loader).value, "v1");

    Server().Freeze();
    ASSERT_TRUE(Eventually([&] { return !service->Hears(); }));
    const int loadsBefore = loads.load();
    const auto deafFrom = std::chrono::steady_clock::now();
    const auto changeAt = deafFrom + 2 * bound;
    const auto until = deafFrom + 4 * bound;
    // (moment, answer) of every Get while the service hears nothing.
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> answers;
    while (std::chrono::steady_clock::now() < until && !service->Hears()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= changeAt && version.load() == 1) version = 2;
        answers.emplace_back(now, *cache.Get("k", loader).value);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Server().Thaw();
    const int deafLoads = loads.load() - loadsBefore;
    ASSERT_GT(answers.size(), 100u);
    // The first Get of the silence passed the value held from before it; then about one load
    // per bound (the loop lasts four), not one per Get.
    EXPECT_GE(deafLoads, 2);
    EXPECT_LE(deafLoads, 6);
    EXPECT_GE(cache.GetCounters().deafHolds, static_cast<long long>(answers.size()) - 6);
    for (const auto& [at, value] : answers) {
        if (at > changeAt + bound + std::chrono::milliseconds(200)) {
            EXPECT_EQ(value, "v2");
        }
    }
    EXPECT_TRUE(Eventually([&] { return service->Hears(); }));
}

// A change committed as the server froze could not be announced. A Get shortly before the
// service stopped hearing found the key's old content on this machine's disk (stored before the
// freeze) and filled memory with it, stamped as if loaded at that Get; once the service was deaf
// that entry counted as loaded during the silence and answered for the silence bound: the old
// content, served more than a second after the commit. A value read from a layer is now known
// fresh only as of the moment the service last heard, and is not held through a silence.
TEST_F(Leases, AValueReadFromDiskAsTheServerFrozeWasHeldThroughTheSilence) {
    ScopedOverride deafAfter("CacheSynchronizationMaxDeafMs", 600);
    const std::shared_ptr<RedisPubsub> service = ListenQuickly("diskheld.");
    veltest::TempDir dir("diskheld");
    ReadThroughOptions options;
    options.name = "diskheld";
    options.memoryEntries = 10;
    options.layers = {std::make_shared<DiskExternalCache>(
        TString("dh"), TPath(TString::fromStdString(dir.Path().string())), nullptr)};
    Cache writer(options, TextCodec(), service);
    ASSERT_EQ(*writer.Get("k", [] { return std::string("old"); }).value, "old");
    const TString stored = writer.Core().ExternalKey("k");
    ASSERT_TRUE(Eventually([&] { return options.layers[0]->TryLoad(stored).Get() != nullptr; }));
    // Another instance of the name: a process of this machine that has not read the key yet.
    Cache cache(options, TextCodec(), service);

    Server().Freeze();
    // Read while the service still hears (it stops when its heartbeat goes unanswered).
    const auto read = cache.Get("k", [] { return std::string("new"); });
    const bool heardAtRead = service->Hears();
    while (service->Hears()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The source changed meanwhile; its writer could not announce it.
    const auto deaf = cache.Get("k", [] { return std::string("new"); });
    Server().Thaw();
    ASSERT_TRUE(heardAtRead);
    EXPECT_EQ(read.source, ReadThroughSource::External);
    EXPECT_EQ(*read.value, "old");
    EXPECT_EQ(deaf.source, ReadThroughSource::Loader);
    EXPECT_EQ(*deaf.value, "new");
}

// A change committed as the server froze could not be announced; a derived answer whose
// computation read one part from memory just before, then waited on another part (behind the
// frozen server's time-out) until the silence had outlasted its bound, was given with the part
// held from before the silence: the old content, long past the bound. So was a GetMany's answer
// from memory, given after the loads of its other keys. Both are now asked again once the
// service hears nothing at their end, and answer the change.
TEST_F(Leases, AnswersBuiltAcrossTheStartOfASilenceServedWhatWasHeldFromBefore) {
    ScopedOverride deafAfter("CacheSynchronizationMaxDeafMs", 600);
    const std::shared_ptr<RedisPubsub> service = ListenQuickly("span.");
    ReadThroughOptions options;
    options.name = "span";
    options.memoryEntries = 10;
    Cache cache(options, TextCodec(), service);
    DerivedResultCache<std::string> derived(service);
    std::atomic<int> version{1};
    const auto source = [&version](const std::string& key) {
        return key + std::to_string(version.load());
    };
    // The change is committed as the server freezes; the load it happens in returns only once
    // the service has heard nothing for longer than its bound.
    const auto commitAsTheServerFreezes = [&] {
        Server().Freeze();
        ++version;
        EXPECT_TRUE(Eventually([&] { return !service->Hears(); }));
    };
    const auto hearAgain = [&] {
        Server().Thaw();
        ASSERT_TRUE(Eventually([&] { return service->Hears(); }));
    };

    ASSERT_EQ(*cache.Get("a", [&] { return source("a"); }).value, "a1");
    ASSERT_EQ(cache.Get("a", [&] { return source("a"); }).source, ReadThroughSource::Memory);
    bool first = true;
    const auto answer = derived.Get("d", [&] {
        std::string parts = *cache.Get("a", [&] { return source("a"); }).value;
        parts += "+" + *cache
                            .Get("b",
                                 [&] {
                                     if (std::exchange(first, false)) commitAsTheServerFreezes();
                                     return source("b");
                                 })
                            .value;
        return parts;
    });
    EXPECT_FALSE(service->Hears());
    EXPECT_EQ(*answer.value, "a2+b2");
    EXPECT_EQ(derived.GetCounters().silenceRecomputes, 1);
    hearAgain();

    ASSERT_EQ(*cache.Get("a", [&] { return source("a"); }).value, "a2");
    ASSERT_EQ(cache.Get("a", [&] { return source("a"); }).source, ReadThroughSource::Memory);
    first = true;
    const auto many = cache.GetMany({"a", "c"}, [&](const std::string& key) {
        if (key == "c" && std::exchange(first, false)) commitAsTheServerFreezes();
        return source(key);
    });
    EXPECT_FALSE(service->Hears());
    ASSERT_EQ(many.size(), 2u);
    EXPECT_EQ(*many[0].value, "a3");
    EXPECT_EQ(*many[1].value, "c3");
    hearAgain();
}

// The last good value was taken when a Get began and given when its load was late, even when
// the service had stopped hearing its server meanwhile (the Get had waited on a Redis layer
// behind the frozen server's time-out): a value held from before the silence, given during it.
// It is now asked again when it is to answer, and the load is waited for instead.
TEST_F(Leases, AFailSafeValueTakenBeforeASilenceAnsweredDuringIt) {
    ScopedOverride deafAfter("CacheSynchronizationMaxDeafMs", 600);
    const std::shared_ptr<RedisPubsub> service = ListenQuickly("fsdeaf.");
    RedisEndpointConfig layer = m_config;
    layer.commandTimeout = std::chrono::milliseconds(800);  // longer than the service hears
    ReadThroughOptions options;
    options.name = "fsdeaf";
    options.memoryEntries = 0;
    options.failSafe = true;
    options.softTimeoutMs = 50;
    options.layers = {std::make_shared<RedisExternalCache>(
        TString("fsdeaf"), std::make_shared<RedisConnectionPool>(layer))};
    Cache cache(options, TextCodec(), service);
    ASSERT_EQ(*cache.Get("k", [] { return std::string("v1"); }).value, "v1");

    Server().Freeze();
    const auto answer = cache.Get("k", [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the soft time-out
        return std::string("v2");
    });
    const bool heard = service->Hears();
    Server().Thaw();
    EXPECT_FALSE(heard);
    EXPECT_EQ(*answer.value, "v2");
    EXPECT_FALSE(answer.stale);
    EXPECT_TRUE(Eventually([&] { return service->Hears(); }));
}

}  // namespace
