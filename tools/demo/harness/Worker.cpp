#include "harness/Roles.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unordered_set>

#include "baselines/Baselines.h"
#include "host/ResultCache.h"
#include "judge/FreshnessChecker.h"
#include "judge/History.h"
#include "report/MetricsEndpoint.h"
#include "velcore/ThreadContext.h"
#include "velredis/RedisSubscriptionManager.h"

using namespace velmora::caching;
using Clock = std::chrono::steady_clock;

namespace demo {

namespace {

constexpr double kSampleFraction = 0.01;
constexpr double kMaxChecksPerSecond = 100;
constexpr auto kBaselineEvery = std::chrono::milliseconds(50);
constexpr auto kReportEvery = std::chrono::milliseconds(500);
constexpr auto kSettle = std::chrono::milliseconds(1500);
constexpr std::int64_t kWindowMs = 1000;
// How long a query waits for the database during an outage before it fails.
constexpr auto kOutageBusyTimeout = std::chrono::milliseconds(1000);

std::int64_t Ns(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

// The library's figures of the two caches, as a worker reports them.
void AddCacheCounts(const BaseResults& base, const DerivedResults& derived, Stats& stats) {
    const ReadThroughCounters rt = base.GetCounters();
#define DEMO_READ_THROUGH_STAT(member, tag, help) \
    stats.counters[std::string("rt.") + tag] = rt.member;
    VELCACHE_READ_THROUGH_COUNTS(DEMO_READ_THROUGH_STAT)
#undef DEMO_READ_THROUGH_STAT
    for (std::size_t i = 0; i < rt.layerHits.size(); ++i)
        stats.counters[std::string("rt.hits.") + LayerName(static_cast<Layer>(i + 1))] =
            rt.layerHits[i];
    stats.counters["audit.samples"] = rt.audit.samples;
    stats.counters["audit.dropped"] = rt.audit.dropped;
    stats.counters["audit.undecided"] = rt.audit.undecided;
    stats.counters["audit.consistent"] = rt.audit.consistent;
    stats.counters["audit.inconsistent"] = rt.audit.inconsistent;
    stats.counters["audit.unannounced"] = rt.audit.unannounced;
    const DerivedResultCounters d = derived.GetCounters();
    stats.counters["derived.held"] = d.held;
    stats.counters["derived.built"] = d.built;
    stats.counters["derived.not-kept"] = d.notKept;
    stats.counters["derived.dropped-dirty"] = d.droppedDirty;
    stats.counters["derived.dropped-on-prune"] = d.droppedOnPrune;
    stats.counters["derived.dropped-over-bound"] = d.droppedOverBound;
    stats.counters["derived.silence-recomputes"] = d.silenceRecomputes;
}

// The database loads of the herd's keys in the window after the parent's "herd" (the writer
// drops those keys' answers when it hears the same command), by the version of the rows each
// read: a second load of one version is a repeat, a load of a new version follows a change.
// Safe for concurrent use: loads run on the worker's thread and on the cache's.
class HerdLoads {
public:
    // `deaf` tells whether the worker's coherence service hears nothing now (its loads then
    // pass every lease and layer).
    HerdLoads(const std::vector<int>& keys, std::chrono::milliseconds window,
              std::function<bool()> deaf)
        : m_keys(keys.begin(), keys.end()), m_window(window), m_deaf(std::move(deaf)) {}
    void Start() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_start = Clock::now();
    }
    void OnLoad(int qid, std::int64_t version) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_start || Clock::now() - *m_start >= m_window || !m_keys.count(qid)) return;
        ++m_loads[{qid, version}];
        if (m_deaf()) ++m_deafLoads;
    }
    // "herd.loads.<qid>" for every herd key loaded in the window, and
    // "herd.version.<qid>.<version>" for each version of it loaded, and "herd.deaf-loads" for
    // those loaded while the service heard nothing.
    void CopyTo(Stats& stats) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::map<int, std::int64_t> perKey;  // copied again at each report: set, never added
        for (const auto& [key, n] : m_loads) {
            perKey[key.first] += n;
            stats.counters["herd.version." + std::to_string(key.first) + "." +
                           std::to_string(key.second)] = n;
        }
        for (const auto& [qid, n] : perKey) stats.counters["herd.loads." + std::to_string(qid)] = n;
        stats.counters["herd.deaf-loads"] = m_deafLoads;
    }

private:
    const std::unordered_set<int> m_keys;
    const Clock::duration m_window;
    const std::function<bool()> m_deaf;
    mutable std::mutex m_mutex;
    std::optional<Clock::time_point> m_start;                      // guarded by m_mutex
    std::map<std::pair<int, std::int64_t>, std::int64_t> m_loads;  // guarded by m_mutex
    std::int64_t m_deafLoads = 0;                                  // guarded by m_mutex
};

// The source of a comparison's set-up other than the library's caches; null for those.
std::unique_ptr<AnswerSource> MakeBaseline(const ChildConfig& config, RunnerPool& loaders,
                                           const QueryCatalogue& catalogue) {
    const std::optional<Setup> setup = ParseSetup(config.setup);
    if (!setup) throw std::invalid_argument("unknown set-up " + config.setup);
    const std::chrono::milliseconds ttl(config.ttlMs);
    switch (*setup) {
        case Setup::Database:
            return std::make_unique<DatabaseOnly>(loaders);
        case Setup::LocalTtl:
            return std::make_unique<LocalTtlCache>(
                loaders, static_cast<std::size_t>(config.memoryEntries), ttl);
        case Setup::RedisTtl: {
            RedisEndpointConfig endpoint;
            endpoint.host = config.redisHost;
            endpoint.port = config.redisPort;
            return std::make_unique<RedisTtlCache>(loaders, catalogue,
                                                   std::make_unique<RedisConnection>(endpoint),
                                                   "VelDemo." + config.runId + ".aside:", ttl);
        }
        case Setup::Velcache:
            break;
    }
    return nullptr;
}

// With --metrics-port: this worker's metrics, served at its own port. The sink chains to any
// sink installed before it; the cache's and the coherence service's figures are asked for at
// each scrape, so that they report them as snapshots.
std::unique_ptr<MetricsEndpoint> ServeMetrics(const ChildConfig& config, const DemoHost& host,
                                              const BaseResults& base) {
    if (config.metricsPort == 0) return nullptr;
    auto sink = std::make_shared<Metrics::OpenMetricsSink>(Metrics::SetSink(nullptr));
    Metrics::SetSink(sink);
    sink->AddCollector([service = host.Service(), &base] {
        service->GetHealth();
        base.GetCounters();
    });
    return std::make_unique<MetricsEndpoint>(sink, config.metricsPort + config.index);
}

CacheFeatures FeaturesOf(const ChildConfig& config) {
    CacheFeatures features;
    features.leases = config.leases;
    features.failSafe = config.failSafe;
    features.valueLifetimeSec = config.valueLifetimeSec;
    features.skipKnownFills = config.skipKnownFills;
    features.holdDeafLoads = config.deafHolds;
    features.frequencyPolicy = config.frequencyPolicy;
    features.audit = config.audit;
    features.auditWindowMs = static_cast<unsigned int>(kWindowMs);
    return features;
}

// The database alone answers `qid`, begun at `start`: the figure the caches are set against.
void DatabaseAlone(QueryRunner& runner, int qid, Clock::time_point start, Stats& stats) {
    runner.Compute(qid);
    const std::int64_t ns = Ns(Clock::now() - start);
    stats.histograms["latency.sqlite-alone"].Add(ns);
    stats.Count("judge-ns", ns);
}

// A caller's failure: no answer, and no last good one to stand in.
void RecordFailure(Stats& stats, bool hadAnswer, bool inOutage, std::int64_t ns) {
    stats.Count("caller-errors");
    if (hadAnswer) stats.Count("caller-errors.had-answer");
    if (!inOutage) return;
    stats.Count("outage.caller-errors");
    stats.histograms["latency.outage-errors"].Add(ns);
    if (hadAnswer) stats.Count("outage.caller-errors.had-answer");
}

void RecordAnswer(Stats& stats, const Answerer::Answer& answer, bool inOutage, std::int64_t ns) {
    stats.Count("queries");
    stats.Count(std::string("layer.") + LayerName(answer.layer));
    stats.histograms[std::string("latency.") + LayerName(answer.layer)].Add(ns);
    stats.histograms["latency.all"].Add(ns);
    // One Get answered by the disk layer: what the disk-hit benchmark measures, in a host.
    if (answer.layer == Layer::Disk && !answer.derived)
        stats.histograms["latency.disk-single"].Add(ns);
    if (answer.stale) stats.Count("stale-answers");
    if (!inOutage) return;
    stats.Count("outage.answers");
    if (answer.stale) stats.Count("outage.stale-answers");
    stats.histograms["latency.outage"].Add(ns);
}

// Which answers the judge checks: a sample of them and every fail-safe answer, at most
// kMaxChecksPerSecond (a token bucket, refilled as time passes).
class CheckSampler {
public:
    explicit CheckSampler(std::uint64_t seed) : m_random(seed) {}

    // Whether to check `answer`, given at `now`; counts the ones the budget leaves unchecked.
    bool Take(const Answerer::Answer& answer, Clock::time_point now, Stats& stats) {
        m_budget =
            std::min(kMaxChecksPerSecond,
                     m_budget + kMaxChecksPerSecond *
                                    std::chrono::duration<double>(now - m_lastRefill).count());
        m_lastRefill = now;
        if (answer.layer == Layer::Sqlite ||
            (!answer.stale && m_uniform(m_random) >= kSampleFraction))
            return false;
        if (m_budget < 1) {
            stats.Count("check.skipped");
            return false;
        }
        m_budget -= 1;
        return true;
    }

private:
    std::mt19937_64 m_random;
    std::uniform_real_distribution<double> m_uniform{0, 1};
    double m_budget = kMaxChecksPerSecond;
    Clock::time_point m_lastRefill = Clock::now();
};

// What a worker knew when it gave an answer, for a finding of the judge: the layer that gave it,
// how long the Get took, whether the coherence service heard its server (and how long ago it
// last did), and a database outage under way. Faults of the Redis server are the soak's: its
// verdict sets each finding beside the fault under way.
std::string Circumstances(const Answerer::Answer& answer, Clock::duration took,
                          const RedisPubsub* service, bool inOutage) {
    std::string text =
        std::string("answered by ") + LayerName(answer.layer) +
        (answer.derived ? " (derived)" : "") + (answer.stale ? " (fail-safe)" : "") + " after " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) + " ms";
    if (service) {
        const char* state = "hearing";
        if (service->State() == RedisPubsub::CoherenceState::Silent) state = "silent";
        if (service->State() == RedisPubsub::CoherenceState::CatchingUp) state = "catching up";
        text += ", " + DescribeHearing(*service) + ", state " + state;
    }
    if (inOutage) text += ", database outage under way";
    return text;
}

// A fail-safe answer is judged as any other: a key changed since must not have been answered
// from its old value.
void Check(FreshnessChecker& checker, const Answerer::Answer& answer, std::int64_t answeredAtMs,
           const std::string& circumstances, Stats& stats) {
    const auto start = Clock::now();
    const FreshnessChecker::Verdict verdict =
        checker.CheckServed(answer.result, answeredAtMs, circumstances);
    // The judge's time is the run's, not the set-up's (a comparison leaves it out).
    stats.Count("judge-ns", Ns(Clock::now() - start));
    if (!answer.stale) return;
    stats.Count("check.stale-answers");
    if (verdict == FreshnessChecker::Verdict::StaleBeyondWindow)
        stats.Count("check.stale-answers-beyond-window");
}

// Once the writer has stopped: lets its last announcements arrive, then has the judge compare
// everything the caches hold.
void CheckHeld(const BaseResults& base, const DerivedResults& derived,
               const QueryCatalogue& catalogue, FreshnessChecker& checker, Stats& stats) {
    RedisSubscriptionManager::GetInstance().WaitUntilSubscribed(
        TString(DemoHost::kCoherenceNamespace) + TString("*"), std::chrono::seconds(10));
    std::this_thread::sleep_for(kSettle);
    std::vector<ResultPtr> held;
    for (auto& [key, result] : base.HeldValues()) {
        stats.Count("held." + catalogue.Get(result->qid).tables);
        held.push_back(std::move(result));
    }
    for (auto& [key, result] : derived.HeldValues()) held.push_back(std::move(result));
    checker.CheckHeld(held);
}

}  // namespace

void RunWorker(const ChildConfig& config, DemoHost& host, ParentLink& parent,
               const QueryCatalogue& catalogue) {
    velmora::ScopedThreadContext context;  // holds the current cascade scope of this thread
    Stats stats;
    // The checker's and the baseline's connection: the judge reads the database as it is, also
    // during an outage, which strikes the loads only.
    QueryRunner runner(config.dbPath, catalogue);
    // Loads borrow a connection each, so that one running on a thread of the cache's (after a
    // soft time-out) never shares this thread's: SQLite connections serve one thread at a time.
    DatabaseOutage outage(kOutageBusyTimeout);
    RunnerPool loaders(config.dbPath, catalogue, &outage);
    HerdLoads herd(HottestBaseQueries(catalogue, config.seed, kHerdKeys),
                   std::chrono::milliseconds(kHerdWindowMs),
                   [service = host.Service()] { return service && !service->Hears(); });
    parent.SetCommandListener([&outage, &herd](const std::string& command) {
        if (command == "outage-begin") outage.Begin();
        if (command == "outage-end") outage.End();
        if (command == "herd") herd.Start();
    });
    CacheFeatures features = FeaturesOf(config);
    features.tags = host.Tags();
    const std::unique_ptr<BaseResults> base = MakeBaseResults(
        config.runId, config.memoryEntries, host.Disk(), host.Redis(), host.Service(), features);
    DerivedResults derived(host.Service());
    Answerer answerer(*base, derived, catalogue, loaders,
                      [&herd](int qid, std::int64_t version) { herd.OnLoad(qid, version); });
    const std::unique_ptr<AnswerSource> baseline = MakeBaseline(config, loaders, catalogue);
    AnswerSource& source = baseline ? *baseline : answerer;
    const std::unique_ptr<MetricsEndpoint> metrics = ServeMetrics(config, host, *base);
    FreshnessChecker checker(runner, stats, kWindowMs);
    ZipfSampler zipf(catalogue.Size(), 1.0, config.seed,
                     config.seed * 7919 + static_cast<std::uint64_t>(config.index));
    CheckSampler sampler(config.seed + 17 * static_cast<std::uint64_t>(config.index));

    const auto report = [&](const char* kind) {
        AddHostCounts(host, stats);
        AddCacheCounts(*base, derived, stats);
        herd.CopyTo(stats);
        stats.counters["loader-connections"] = static_cast<std::int64_t>(loaders.Opened());
        stats.counters["database-queries"] = loaders.Leases();
        parent.Report(kind, stats);
    };
    report("ready");
    parent.WaitFor("go");

    HistoryLog history(config.historyPath);
    const std::string process = "worker" + std::to_string(config.index);
    std::uint64_t reads = 0;

    auto nextBaseline = Clock::now() + kBaselineEvery;
    auto nextReport = Clock::now() + kReportEvery;
    while (!parent.Received("settle")) {
        const auto start = Clock::now();
        const int qid = zipf.Next();
        const bool inOutage = outage.Active();
        if (start >= nextBaseline) {  // the database alone, on the same stream
            nextBaseline = start + kBaselineEvery;
            if (!inOutage) {  // which it could not answer now
                try {
                    DatabaseAlone(runner, qid, start, stats);
                } catch (const std::exception&) {
                    stats.Count("judge.database-errors");  // restarting (PostgreSQL, --chaos)
                }
                continue;
            }
        }
        Answerer::Answer answer;
        // One read in a hundred goes to the history, timed on CLOCK_REALTIME.
        const bool recorded = history.On() && ++reads % 100 == 0;
        const std::int64_t startNs = recorded ? RealtimeNs() : 0;
        try {
            answer = source.Get(qid);
        } catch (const std::exception&) {
            RecordFailure(stats, source.LastFailureHadAnswer(), inOutage, Ns(Clock::now() - start));
            continue;
        }
        // Fail-safe answers are stale by design (and counted apart): not in the history.
        if (recorded && answer.result && !answer.stale)
            history.Read(process, *answer.result, startNs, RealtimeNs());
        const auto answered = Clock::now();
        const std::int64_t answeredAtMs = NowMs();
        RecordAnswer(stats, answer, inOutage, Ns(answered - start));
        if (sampler.Take(answer, start, stats)) {
            try {
                Check(checker, answer, answeredAtMs,
                      Circumstances(answer, answered - start, host.Service().get(), inOutage),
                      stats);
            } catch (const std::exception&) {
                // The judge could not read the database (restarting: PostgreSQL, --chaos).
                stats.Count("judge.database-errors");
            }
        }
        if (start >= nextReport) {
            report("progress");
            nextReport = start + kReportEvery;
        }
    }
    CheckHeld(*base, derived, catalogue, checker, stats);
    parent.SetCommandListener({});
    report("final");
}

}  // namespace demo
