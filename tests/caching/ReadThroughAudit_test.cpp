// The auditor of the read-through cache on a real redis-server: two subscription managers and two
// coherence services stand for two processes sharing one source of data.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "caching/ReadThroughCache.h"
#include "caching/RedisPubsub.h"
#include "support/DelayingProxy.h"
#include "support/RedisServerFixture.h"
#include "support/TestEnvironment.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;
using velmora::appoptions::ScopedOverride;
using veltest::Eventually;

namespace {

using Cache = ReadThroughCache<std::string>;

// The data both processes read; counts every read.
class Source {
public:
    std::string Read(const std::string& key) {
        ++m_reads;
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values[key];
    }
    void Write(const std::string& key, const std::string& value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values[key] = value;
    }
    long long Reads() const { return m_reads; }

private:
    std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
    std::atomic<long long> m_reads{0};
};

// One process's subscription and coherence service.
struct Process {
    Process(const RedisEndpointConfig& config, const char* ns) : manager(config) {
        service = RedisPubsub::CreateTestInstance(ns, manager);
        subscribed = manager.WaitUntilSubscribed(TString(ns) + "*", std::chrono::seconds(5));
    }
    RedisSubscriptionManager manager;
    std::shared_ptr<RedisPubsub> service;
    bool subscribed = false;
};

class Audit : public veltest::RedisServerTest {
protected:
    void SetUp() override {
        RedisServerTest::SetUp();
        m_a = std::make_unique<Process>(Server().MakeConfig(), "audit.");
        m_b = std::make_unique<Process>(Server().MakeConfig(), "audit.");
        ASSERT_TRUE(m_a->subscribed && m_b->subscribed);
        m_source.Write("k", "v0");
    }
    ReadThroughOptions Options(bool audit, double rate = 1.0) {
        ReadThroughOptions o;
        o.name = "audited";
        o.audit = audit;
        o.auditSampleRate = rate;
        o.auditWindowMs = 100;
        o.auditMaxReloadsPerSec = 1000;
        return o;
    }
    std::unique_ptr<Cache> Make(Process& process, const ReadThroughOptions& options) {
        auto cache = std::make_unique<Cache>(options, process.service);
        cache->SetLoader([this](const std::string& key) { return m_source.Read(key); });
        return cache;
    }
    // Gets `key` from `cache` for `ms`, one Get a millisecond.
    static void Read(Cache& cache, const std::string& key, int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            cache.Get(key);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Once nothing waits for a verdict: samples = dropped + undecided + decided.
    static bool Settled(const Cache& cache) {
        const ReadThroughAuditFigures f = cache.GetCounters().audit;
        return f.samples > 0 &&
               f.samples == f.dropped + f.undecided + f.consistent + f.inconsistent;
    }

    veltest::HostScope m_host;
    Source m_source;
    std::unique_ptr<Process> m_a, m_b;
};

TEST_F(Audit, UnannouncedChangeInTheSourceIsFoundInconsistentAndLogged) {
    auto a = Make(*m_a, Options(true));
    EXPECT_EQ(*a->Get("k").value, "v0");
    m_source.Write("k", "v1");  // a writer that tells no one
    Read(*a, "k", 300);
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));
    const ReadThroughAuditFigures f = a->GetCounters().audit;
    EXPECT_GT(f.inconsistent, 0);
    EXPECT_EQ(f.unannounced, f.inconsistent);
    EXPECT_FALSE(f.ninesAtLeast);
    EXPECT_LT(f.nines, 1.0);  // nearly every answer was old
    bool logged = false;
    for (const velmora::LogRecord& r : m_host.Log().Records())
        logged |= r.severity == TLog::Warn &&
                  r.message.toStdString().find("ReadThroughCache audited: an answer was older") !=
                      std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_F(Audit, AnnouncedChangesFromAnotherProcessAreNeverInconsistent) {
    auto a = Make(*m_a, Options(true));
    auto b = Make(*m_b, Options(false));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 1; !done; ++i) {
            const std::string value = "v" + std::to_string(i);
            m_source.Write("k", value);
            if (i % 2)
                b->Set("k", std::make_shared<const std::string>(value));
            else
                b->Invalidate("k");
            std::this_thread::sleep_for(std::chrono::milliseconds(7));
        }
    });
    Read(*a, "k", 1500);
    done = true;
    writer.join();
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));
    const ReadThroughAuditFigures f = a->GetCounters().audit;
    EXPECT_EQ(f.inconsistent, 0) << "unannounced " << f.unannounced << ", age p50 " << f.ageP50Ms
                                 << " max " << f.ageMaxMs << ", consistent " << f.consistent
                                 << ", undecided " << f.undecided << ", dropped " << f.dropped;
    EXPECT_GT(f.consistent, 100);
    EXPECT_TRUE(f.ninesAtLeast);
    EXPECT_GE(f.nines, 2.0);
    RecordProperty("samples", std::to_string(f.samples));
    RecordProperty("decided", std::to_string(f.consistent + f.inconsistent));
    RecordProperty("undecided", std::to_string(f.undecided));
    RecordProperty("dropped", std::to_string(f.dropped));
    RecordProperty("nines", std::to_string(f.nines));
}

// A margin-based dirty rule keeps an entry past a change announced within the margin of its
// load: the auditor sees the cache answer old content after it had heard of the new.
TEST_F(Audit, EntryKeptPastAHeardChangeIsInconsistentWithItsAge) {
    ReadThroughOptions options = Options(true);
    options.dropHeldOnArrival = false;
    auto a = Make(*m_a, options);
    auto b = Make(*m_b, Options(false));
    EXPECT_EQ(*a->Get("k").value, "v0");
    // Its announcement first, heard in both processes. Heard in `a` only, the change below
    // would race it in `b`: `b` would announce v0 again after its own v1, and v0 would be the
    // last news of the key in `a`, so the old answers would count as unannounced.
    ASSERT_TRUE(Eventually([&] {
        return m_a->service->GetHealth().received >= 1 && m_b->service->GetHealth().received >= 1;
    }));
    m_source.Write("k", "v1");
    b->Set("k", std::make_shared<const std::string>("v1"));
    Read(*a, "k", 600);
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));
    const ReadThroughAuditFigures f = a->GetCounters().audit;
    ASSERT_GT(f.inconsistent, 0);
    EXPECT_EQ(f.unannounced, 0);
    EXPECT_GE(f.ageMaxMs, 100);
    EXPECT_LE(f.ageMaxMs, 700);
    EXPECT_GE(f.ageP99Ms, f.ageP50Ms);
    EXPECT_LE(f.ageP99Ms, f.ageMaxMs);
    RecordProperty("inconsistent", std::to_string(f.inconsistent));
    RecordProperty("consistent", std::to_string(f.consistent));
    RecordProperty("ages", std::to_string(f.ageP50Ms) + "/" + std::to_string(f.ageP99Ms) + "/" +
                               std::to_string(f.ageMaxMs));
}

// A writer cut off from the server queues its announcements, and a newer one of a key replaces an
// older one in its queue: only the newest content goes out once it reaches the server again. A
// reader that hears all along answered the old content and re-loaded the middle one, which is
// never announced; the newest one's arrival is the news of the change, so the answer was a race.
TEST_F(Audit, ChangeAnnouncedOnlyThroughANewerOneFromACutOffWriterIsARace) {
    veltest::DelayingProxy proxy;
    ASSERT_EQ(proxy.Start(Server().MakeConfig().port), "");
    RedisEndpointConfig viaProxy = Server().MakeConfig();
    viaProxy.port = proxy.Port();
    Process writer(viaProxy, "audit.");
    ASSERT_TRUE(writer.subscribed);
    ReadThroughOptions options = Options(true);
    options.auditWindowMs = 1000;  // the writer's queue must reach the server within it
    // Nothing is decided over a span from before the reader's table of arrivals began.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto a = Make(*m_a, options);
    auto w = Make(writer, Options(false));
    EXPECT_EQ(*a->Get("k").value, "v0");
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));

    proxy.SetCut(true);
    m_source.Write("k", "v1");
    w->Set("k", std::make_shared<const std::string>("v1"));  // queued: the server is cut off
    EXPECT_EQ(*a->Get("k").value, "v0");                     // nothing heard: a race
    ASSERT_TRUE(Eventually([&] { return a->GetCounters().audit.reloads >= 2; }));
    m_source.Write("k", "v2");
    w->Set("k", std::make_shared<const std::string>("v2"));  // replaces v1 in the queue
    ASSERT_TRUE(Eventually([&] { return writer.service->GetHealth().superseded >= 1; }));
    proxy.SetCut(false);

    ASSERT_TRUE(Eventually([&] { return *a->Get("k").value == "v2"; }));
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));
    const ReadThroughAuditFigures f = a->GetCounters().audit;
    EXPECT_EQ(f.inconsistent, 0) << "unannounced " << f.unannounced;
    EXPECT_GE(f.consistent, 2) << "undecided " << f.undecided << ", dropped " << f.dropped;
    EXPECT_TRUE(m_a->service->Hears());
}

// While the service hears nothing, a change may have been announced that did not arrive: what
// was answered then proves nothing either way.
TEST_F(Audit, SamplesOverASilenceOfTheServiceAreUndecided) {
    ScopedOverride deafAfter("CacheSynchronizationMaxDeafMs", 300);
    RedisEndpointConfig config = Server().MakeConfig();
    config.heartbeatInterval = std::chrono::milliseconds(50);
    config.commandTimeout = std::chrono::milliseconds(200);
    Process quiet(config, "quiet.");
    ASSERT_TRUE(quiet.subscribed);
    auto a = Make(quiet, Options(true));
    Read(*a, "k", 300);
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));
    const ReadThroughAuditFigures before = a->GetCounters().audit;
    EXPECT_GT(before.consistent, 0);

    Server().Freeze();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(quiet.service->Hears());
    for (int i = 0; i < 20; ++i) {
        a->Get("k");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool settled = Eventually([&] { return Settled(*a); });
    Server().Thaw();
    ASSERT_TRUE(settled);
    const ReadThroughAuditFigures during = a->GetCounters().audit;
    EXPECT_EQ(during.consistent, before.consistent);
    EXPECT_EQ(during.inconsistent, 0);
    EXPECT_EQ(during.undecided - before.undecided, 20);
}

TEST_F(Audit, SamplingRateOfZeroReloadsNothing) {
    auto a = Make(*m_a, Options(true, 0.0));
    Read(*a, "k", 200);
    const ReadThroughCounters c = a->GetCounters();
    EXPECT_EQ(c.audit.samples, 0);
    EXPECT_EQ(c.audit.reloads, 0);
    EXPECT_EQ(m_source.Reads(), c.loads);
}

TEST_F(Audit, ReloadsStayUnderTheCapAndBypassEveryLayer) {
    ReadThroughOptions options = Options(true);
    options.auditMaxReloadsPerSec = 5;
    auto a = Make(*m_a, options);
    const auto start = std::chrono::steady_clock::now();
    Read(*a, "k", 1200);
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    const ReadThroughCounters c = a->GetCounters();
    // Each second of the clock started during the run allows 5.
    EXPECT_LE(c.audit.reloads, 5 * (seconds + 2));
    EXPECT_GE(c.audit.reloads, 5);
    EXPECT_GT(c.audit.dropped, 0);
    EXPECT_EQ(c.audit.inconsistent, 0);
    // Every re-load read the source itself; the cache loaded the rest.
    EXPECT_EQ(m_source.Reads(), c.loads + c.audit.reloads);
    EXPECT_EQ(c.loads, 1);
}

// A memory hit through Get with a loader of its own answers without wrapping the loader; the
// auditor must still draw it and re-load with that loader (the cache has none of its own here).
TEST_F(Audit, MemoryHitsThroughAGivenLoaderAreSampledWithIt) {
    auto a = std::make_unique<Cache>(Options(true), m_a->service);
    std::atomic<int> given{0};  // the auditor's thread counts too
    const auto load = [this, &given](const std::string& key) {
        ++given;
        return m_source.Read(key);
    };
    for (int i = 0; i < 20; ++i) EXPECT_EQ(*a->Get("k", load).value, "v0");
    ASSERT_TRUE(Eventually([&] { return Settled(*a); }));
    const ReadThroughCounters c = a->GetCounters();
    EXPECT_EQ(c.loads, 1);
    EXPECT_GE(c.audit.samples, 19);  // the memory hits among them
    EXPECT_EQ(given.load(), 1 + c.audit.reloads);
    EXPECT_EQ(c.audit.inconsistent, 0);
}

TEST_F(Audit, OffByDefaultAndFiguresReachTheMetricsSink) {
    auto off = Make(*m_a, Options(false));
    Read(*off, "k", 20);
    EXPECT_EQ(off->GetCounters().audit.samples, 0);
    EXPECT_EQ(m_source.Reads(), 1);
    auto on = Make(*m_b, Options(true));
    on->Get("k");
    m_host.Metrics().Clear();
    on->GetCounters();
    bool found = false;
    for (const auto& record : m_host.Metrics().Records())
        found |= record.FindTag("audit-samples") != nullptr && record.FindTag("audit-nines");
    EXPECT_TRUE(found);
}

}  // namespace
