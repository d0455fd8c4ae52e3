#include "Summary.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <span>

#include "ChartAxis.h"
#include "Roles.h"

namespace demo {

namespace {

const char* const kLayers[] = {"memory", "disk", "redis", "sqlite"};
const char* const kLayerTitles[] = {"memory hit", "external hit (disk)", "external hit (redis)",
                                    "SQLite (all caches missed)"};

// A counter as the table words it and as the JSON names it.
struct Figure {
    const char* json;
    const char* counter;
    const char* label;
};

const Figure kAnnouncements[] = {{"published", "health.published", "published"},
                                 {"resent", "health.resent", "re-sent"},
                                 {"lost", "health.dropped", "lost"},
                                 {"superseded", "health.superseded", "superseded by newer"},
                                 {"received", "health.received", "received"},
                                 {"replayed", "health.replayed", "replayed"}};
const Figure kResubscriptions[] = {
    {"resubscriptions", "health.resubscriptions", "re-subscriptions"},
    {"gaps", "health.gaps", "gaps"},
    {"gap_flushes", "health.conservative-flushes", "answered by dropping every entry"}};
// The workers' read-through cache of base answers (every Get, the parts of derived answers
// included), then their derived answers.
const Figure kReadThrough[] = {{"memory_hits", "rt.memory-hits", "memory hits"},
                               {"disk_hits", "rt.hits.disk", "disk hits"},
                               {"redis_hits", "rt.hits.redis", "Redis hits"},
                               {"loads", "rt.loads", "loads"},
                               {"load_failures", "rt.load-failures", "failed loads"},
                               {"coalesced_waits", "rt.coalesced-waits", "coalesced waits"},
                               {"wait_timeouts", "rt.wait-timeouts", "waits given up"}};
// Answers that survive a failing or slow database, and one load per key across the workers.
const Figure kFailSafe[] = {{"fail_safe_answers", "rt.fail-safe-answers", "fail-safe answers"},
                            {"soft_timeouts", "rt.soft-timeouts", "soft time-outs"},
                            {"hard_timeouts", "rt.hard-timeouts", "hard time-outs"},
                            {"throttled", "rt.throttled", "throttled loads"}};
const Figure kLeases[] = {{"leases_taken", "rt.leases-taken", "leases taken"},
                          {"lease_waits", "rt.lease-waits", "lease waits"},
                          {"lease_unavailable", "rt.lease-unavailable", "leases unavailable"}};
const Figure kCallerErrors[] = {
    {"total", "caller-errors", "caller errors (Gets that raised)"},
    {"had_answer", "caller-errors.had-answer", "of keys answered before"}};
const Figure kReadThroughGuards[] = {
    {"raced_fills_dropped", "rt.raced-fills-dropped", "raced fills dropped"},
    {"lower_layer_rejected", "rt.lower-layer-rejected", "lower-layer values rejected"},
    {"external_failures", "rt.external-failures", "external failures"},
    {"deaf_loads", "rt.deaf-loads", "loads while Redis was unheard"},
    {"deaf_holds", "rt.deaf-holds", "answers held meanwhile"},
    {"invalidations", "rt.invalidations", "invalidations"},
    {"evictions", "rt.evictions", "evictions"}};
const Figure kDerived[] = {
    {"built", "derived.built", "built and kept"},
    {"held", "derived.held", "served held"},
    {"not_kept", "derived.not-kept", "not kept"},
    {"dropped_dirty", "derived.dropped-dirty", "dropped when a part went stale"},
    {"dropped_on_prune", "derived.dropped-on-prune", "dropped when a part's tracking ended"},
    {"dropped_over_bound", "derived.dropped-over-bound", "let go past the bound"}};
// The freshness checks; the first three are the answers checked.
const Figure kChecks[] = {
    {"fresh", "check.fresh", "fresh"},
    {"stale_within_window", "check.stale-within-window", "stale within 1 s of the change"},
    {"stale_beyond_window", "check.stale-beyond-window", "stale beyond it"},
    {"skipped", "check.skipped", "skipped over the budget"}};
// The library's auditor in the workers' base caches (on unless --no-audit).
const Figure kAudit[] = {{"samples", "audit.samples", "samples"},
                         {"dropped", "audit.dropped", "dropped"},
                         {"undecided", "audit.undecided", "undecided"},
                         {"consistent", "audit.consistent", "consistent"},
                         {"inconsistent", "audit.inconsistent", "inconsistent"},
                         {"unannounced", "audit.unannounced", "of which unannounced"}};

// The auditor's nines over every worker: -log10 of the inconsistent share of the decided
// samples, or, with none inconsistent, at least log10 of the decided samples.
std::string AuditNines(const Stats& workers, bool json);

const Figure kStaleChecks[] = {
    {"fail_safe_checked", "check.stale-answers",
     "fail-safe answers checked (all, within the budget)"},
    {"fail_safe_beyond_window", "check.stale-answers-beyond-window", "stale beyond the window"}};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out(static_cast<std::size_t>(std::max(length, 0)), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, again);
    va_end(again);
    return out;
}

long long Count(const Stats& stats, const char* counter) {
    return static_cast<long long>(stats.Get(counter));
}

// "label n, label n, ..." for the table, or "\"json\": n, ..." for the JSON.
std::string Figures(const Stats& stats, std::span<const Figure> figures, bool json) {
    std::string out;
    for (const Figure& f : figures)
        out += (out.empty() ? "" : ", ") +
               (json ? Format("\"%s\": %lld", f.json, Count(stats, f.counter))
                     : Format("%s %lld", f.label, Count(stats, f.counter)));
    return out;
}

std::string AuditNines(const Stats& workers, bool json) {
    const long long bad = Count(workers, "audit.inconsistent");
    const long long decided = Count(workers, "audit.consistent") + bad;
    const double nines = bad ? -std::log10(static_cast<double>(bad) / static_cast<double>(decided))
                         : decided ? std::log10(static_cast<double>(decided))
                                   : 0.0;
    if (json)
        return Format("\"nines\": %.2f, \"nines_at_least\": %s", nines,
                      !bad && decided ? "true" : "false");
    return Format("%s%.2f nines", bad ? "" : "at least ", nines);
}

double Ratio(std::int64_t part, std::int64_t whole) {
    return whole ? static_cast<double>(part) / static_cast<double>(whole) : 0;
}

const Histogram& HistogramOf(const Stats& stats, const std::string& name) {
    static const Histogram empty;
    const auto it = stats.histograms.find(name);
    return it == stats.histograms.end() ? empty : it->second;
}

// The external caches' outcomes: "load.disk" -> {"hit": n, ...}.
std::map<std::string, std::map<std::string, std::int64_t>> Outcomes(const Stats& stats) {
    std::map<std::string, std::map<std::string, std::int64_t>> out;
    for (const auto& [name, value] : stats.counters) {
        if (name.rfind("ec.", 0) != 0) continue;
        const auto last = name.rfind('.');
        out[name.substr(3, last - 3)][name.substr(last + 1)] += value;
    }
    return out;
}

std::string JsonList(const std::vector<std::int64_t>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i)
        out += (i ? ", " : "") + std::to_string(values[i]);
    return out + "]";
}

const char* JsonBool(bool value) {
    return value ? "true" : "false";
}

}  // namespace

std::int64_t LibraryWarnings(const Stats& stats) {
    return stats.Get("log.warnings");
}

std::int64_t FailedExternalOperations(const Stats& stats) {
    std::int64_t failed = 0;
    for (const auto& [name, value] : stats.counters) {
        if (name.rfind("ec.", 0) != 0) continue;
        const std::string outcome = name.substr(name.rfind('.') + 1);
        if (outcome == "fail" || outcome == "jam") failed += value;
    }
    return failed;
}

HerdLoads HerdLoadsOf(const Stats& workers, int keys) {
    HerdLoads herd;
    const std::string prefix = "herd.loads.";
    for (auto it = workers.counters.lower_bound(prefix);
         it != workers.counters.end() && it->first.rfind(prefix, 0) == 0; ++it) {
        if (it->second <= 0) continue;
        herd.loads += it->second;
        ++herd.keysLoaded;
        herd.maxPerKey = std::max(herd.maxPerKey, it->second);
    }
    const int over = std::max(keys, herd.keysLoaded);
    herd.meanPerKey = over ? static_cast<double>(herd.loads) / over : 0;
    return herd;
}

CoherenceTraffic TrafficOf(const Stats& workers, const Stats& writer, int processes) {
    CoherenceTraffic t;
    t.published = workers.Get("health.published") + writer.Get("health.published");
    t.changes = writer.Get("updates");
    t.fillsNotPublished =
        workers.Get("health.fills-not-published") + writer.Get("health.fills-not-published");
    t.publishedPerChange = Ratio(t.published, t.changes);
    const int receivers = processes > 0 ? processes + 1 : 0;
    t.deliveriesPerProcess =
        Ratio(workers.Get("health.received") + writer.Get("health.received"), receivers);
    return t;
}

std::string TrafficText(const CoherenceTraffic& traffic, bool skipKnownFills, bool json) {
    if (json)
        return Format(
            "\"published\": %lld, \"changes\": %lld, \"published_per_change\": %.2f, "
            "\"deliveries_per_process\": %.1f, \"fills_not_published\": %lld, "
            "\"skip_known_fills\": %s",
            static_cast<long long>(traffic.published), static_cast<long long>(traffic.changes),
            traffic.publishedPerChange, traffic.deliveriesPerProcess,
            static_cast<long long>(traffic.fillsNotPublished), JsonBool(skipKnownFills));
    return Format(
        "Traffic: %.2f announcements published per row update (%lld for %lld), %.1f delivered "
        "per process; fills not announced %lld (%s)",
        traffic.publishedPerChange, static_cast<long long>(traffic.published),
        static_cast<long long>(traffic.changes), traffic.deliveriesPerProcess,
        static_cast<long long>(traffic.fillsNotPublished),
        skipKnownFills ? "known content skipped" : "--publish-every-fill");
}

std::string DescribeRedis(const RunFacts& facts) {
    switch (facts.redisSetup) {
        case RedisSetup::PrivateServer:
            return "private server";
        case RedisSetup::GivenServer:
            return "given server";
        case RedisSetup::Cluster:
            return "cluster of " + std::to_string(facts.clusterMasters) + " masters";
    }
    return "?";
}

Summary::Summary(RunFacts facts, Stats workers, Stats writer)
    : m_facts(std::move(facts)), m_workers(std::move(workers)), m_writer(std::move(writer)) {
    m_both = m_workers;
    m_both.Merge(m_writer);
}

double Summary::Speedup() const {
    const double cached = HistogramOf(m_workers, "latency.all").MeanUs();
    return cached > 0 ? HistogramOf(m_workers, "latency.sqlite-alone").MeanUs() / cached : 0;
}

bool Summary::Correct() const {
    return m_facts.allReported && m_workers.Get("check.stale-beyond-window") == 0 &&
           m_workers.Get("audit.inconsistent") == 0 && m_workers.Get("settle.stale") == 0;
}

bool Summary::Clean() const {
    return Correct() && LibraryWarnings(m_both) == 0 && FailedExternalOperations(m_both) == 0;
}

std::string Summary::Table() const {
    const std::int64_t answers = Answers();
    std::string t;
    t += Format(
        "\n== Summary: %d worker processes (%d answers in memory each), %.0f s of workload, "
        "seed %llu\n",
        m_facts.processes, m_facts.memoryEntries, m_facts.durationSec,
        static_cast<unsigned long long>(m_facts.seed));
    t += Format("Redis %s (%s%s); database %s (%d sales rows)\n", m_facts.redisEndpoint.c_str(),
                DescribeRedis(m_facts).c_str(),
                m_facts.redisSetup == RedisSetup::PrivateServer ? ", stopped afterwards" : "",
                m_facts.dbPath.c_str(), m_facts.salesRows);
    t += Format("\n%-28s %10s %8s %11s %11s\n", "answered from", "answers", "ratio", "p50 (us)",
                "p99 (us)");
    for (int i = 0; i < 4; ++i) {
        const Histogram& h = HistogramOf(m_workers, std::string("latency.") + kLayers[i]);
        const std::int64_t n = m_workers.Get(std::string("layer.") + kLayers[i]);
        t += Format("%-28s %10lld %7.1f%% %11.1f %11.1f\n", kLayerTitles[i],
                    static_cast<long long>(n), 100 * Ratio(n, answers), h.PercentileUs(0.5),
                    h.PercentileUs(0.99));
    }
    const Histogram& single = HistogramOf(m_workers, "latency.disk-single");
    t += Format("%-28s %10lld %8s %11.1f %11.1f\n", "  of those, single queries",
                static_cast<long long>(single.Count()), "", single.PercentileUs(0.5),
                single.PercentileUs(0.99));
    const Histogram& all = HistogramOf(m_workers, "latency.all");
    const Histogram& alone = HistogramOf(m_workers, "latency.sqlite-alone");
    const auto row = [&t](const char* title, std::int64_t n, const Histogram& h) {
        t += Format("%-28s %10lld %8s %11.1f %11.1f   mean %.1f us\n", title,
                    static_cast<long long>(n), "", h.PercentileUs(0.5), h.PercentileUs(0.99),
                    h.MeanUs());
    };
    row("all answers", answers, all);
    row("SQLite alone (same stream)", alone.Count(), alone);
    t += Format("Speed-up over SQLite alone: %.1fx (mean latency); %.0f answers/s\n", Speedup(),
                static_cast<double>(answers) / m_facts.durationSec);

    t += "\nCoherence: announcements " + Figures(m_both, kAnnouncements, false) +
         "; received per worker " + JsonList(m_facts.receivedPerWorker) + "\n";
    t += "  " + Figures(m_both, kResubscriptions, false) + "\n";
    t += Format("  writer: %lld row updates; entries invalidated in workers %lld\n",
                Count(m_writer, "updates"), Count(m_workers, "rt.invalidations"));
    t += "  " +
         TrafficText(TrafficOf(m_workers, m_writer, m_facts.processes), m_facts.skipKnownFills,
                     false) +
         "\n";
    t += "Features: " + FeaturesText() + "\n";
    t += "Read-through cache: " + Figures(m_workers, kReadThrough, false) + "\n";
    t += "  " + Figures(m_workers, kFailSafe, false) + "; " + Figures(m_workers, kLeases, false) +
         "\n";
    t += "  " + Figures(m_workers, kCallerErrors, false) + "\n";
    t += "  " + Figures(m_workers, kReadThroughGuards, false) + "\n";
    t += "Derived answers: " + Figures(m_workers, kDerived, false) + "\n";
    t += "Memory entries held at the end, by the tables their query reads:" + HeldText() + "\n";

    t += "\nExternal cache outcomes (workers and writer):\n";
    for (const auto& [operation, outcomes] : Outcomes(m_both))
        t += Format("  %-12s", operation.c_str()) + OutcomesText(outcomes) + "\n";

    t += "Library warnings (log lines at Warn or above): " + WarningsText() + "\n";
    t += "Failed external operations (errors, time-outs, refusals): " + FailedText() + "\n";

    t += "\nFreshness: ";
    if (m_facts.audit)
        t += "the library's auditor (1% of answers re-loaded from SQLite, window 1 s): " +
             Figures(m_workers, kAudit, false) + "; " + AuditNines(m_workers, false) +
             "\n  the main job's own checks (a second opinion): ";
    t += CheckedText() + "\n";
    t += "  " + Figures(m_workers, kChecks, false) + "\n";
    t += "  " + Figures(m_workers, kStaleChecks, false) + "\n";
    t += Format("After settling: %lld entries held by the workers compared, %lld stale\n",
                Count(m_workers, "settle.checked"), Count(m_workers, "settle.stale"));
    if (m_facts.chaos)
        t +=
            Format("Chaos: subscriber connections killed %d time(s), server restarted %d time(s)\n",
                   m_facts.connectionKills, m_facts.serverRestarts);
    if (m_facts.herdAtSec >= 0) t += "  herd at " + HerdText() + "\n";
    if (m_facts.outageAtSec >= 0) t += "  database outage at " + OutageText() + "\n";
    return t + "Result: " + Verdict() + "\n";
}

std::string Summary::FeaturesText() const {
    const CacheFeatures features;
    return Format("leases %s, fail-safe %s; answers live %lld s", m_facts.leases ? "on" : "off",
                  m_facts.failSafe ? Format("on (soft time-out %u ms, answers at most %lld s old)",
                                            features.softTimeoutMs, features.failSafeMaxAgeSec)
                                         .c_str()
                                   : "off",
                  m_facts.valueLifetimeSec);
}

std::string Summary::HeldText() const {
    std::string byTables;
    for (const auto& [name, n] : m_workers.counters)
        if (name.rfind("held.", 0) == 0)
            byTables += Format(" %s %lld", name.substr(5).c_str(), static_cast<long long>(n));
    return byTables;
}

std::string Summary::OutcomesText(const std::map<std::string, std::int64_t>& outcomes) {
    std::string line;
    for (const auto& [outcome, n] : outcomes)
        line += Format(" %s %lld", outcome.c_str(), static_cast<long long>(n));
    return line;
}

std::string Summary::WarningsText() const {
    return Format("workers %lld %s, writer %lld",
                  static_cast<long long>(LibraryWarnings(m_workers)),
                  JsonList(m_facts.warningsPerWorker).c_str(),
                  static_cast<long long>(LibraryWarnings(m_writer)));
}

std::string Summary::FailedText() const {
    return Format("workers %lld %s, writer %lld",
                  static_cast<long long>(FailedExternalOperations(m_workers)),
                  JsonList(m_facts.failedExternalPerWorker).c_str(),
                  static_cast<long long>(FailedExternalOperations(m_writer)));
}

std::string Summary::CheckedText() const {
    long long checked = 0;
    for (const Figure& f : std::span(kChecks).first(3)) checked += Count(m_workers, f.counter);
    return Format(
        "%lld answers served from a cache checked against SQLite (1%% sample, at most 100/s per "
        "worker)",
        checked);
}

std::string Summary::HerdText() const {
    const HerdLoads herd = HerdLoadsOf(m_workers, m_facts.herdKeys);
    return Format(
        "%.1f s: the %d hottest base answers dropped at once; database loads of them in the next "
        "%.0f s: %lld over %d keys, per key max %lld, mean %.2f",
        m_facts.herdAtSec, m_facts.herdKeys, kHerdWindowMs / 1000.0,
        static_cast<long long>(herd.loads), herd.keysLoaded, static_cast<long long>(herd.maxPerKey),
        herd.meanPerKey);
}

std::string Summary::OutageText() const {
    const Histogram& h = HistogramOf(m_workers, "latency.outage");
    return Format(
        "%.1f s for %.1f s: %lld answers (%lld fail-safe), p99 %.1f ms, max %.1f ms; caller "
        "errors %lld (%lld of keys answered before), the slowest after %.1f ms",
        m_facts.outageAtSec, m_facts.outageSec, Count(m_workers, "outage.answers"),
        Count(m_workers, "outage.stale-answers"), h.PercentileUs(0.99) / 1000, h.MaxUs() / 1000,
        Count(m_workers, "outage.caller-errors"),
        Count(m_workers, "outage.caller-errors.had-answer"),
        HistogramOf(m_workers, "latency.outage-errors").MaxUs() / 1000);
}

std::string Summary::Verdict() const {
    if (!m_facts.allReported) return "INCOMPLETE: a process ended without its final report";
    return !Correct() ? "STALE ANSWERS FOUND (see above)"
           : Clean() ? "correct (0 inconsistent, 0 stale beyond the window, 0 stale after settling)"
                     : "correct, but NOT CLEAN: library warnings or failed external operations "
                       "(see above)";
}

std::vector<Table> Summary::ReportTables() const {
    const std::int64_t answers = Answers();
    const auto latency = [](double us) { return FormatValue(us, Unit::Micros); };
    demo::Table layers{
        "layers",
        "Where the answers came from",
        "Each answer by the layer that served it, with its latency. SQLite alone: the "
        "same query stream sampled against the database with no cache in front.",
        {"answered from", "answers", "share", "p50", "p99", "mean"},
        {}};
    for (int i = 0; i < 4; ++i) {
        const Histogram& h = HistogramOf(m_workers, std::string("latency.") + kLayers[i]);
        const std::int64_t n = m_workers.Get(std::string("layer.") + kLayers[i]);
        layers.rows.push_back({kLayerTitles[i], std::to_string(n),
                               FormatValue(100 * Ratio(n, answers), Unit::Percent),
                               latency(h.PercentileUs(0.5)), latency(h.PercentileUs(0.99)),
                               latency(h.MeanUs())});
    }
    const auto row = [&](const char* title, std::int64_t n, const Histogram& h) {
        layers.rows.push_back({title, std::to_string(n), "", latency(h.PercentileUs(0.5)),
                               latency(h.PercentileUs(0.99)), latency(h.MeanUs())});
    };
    const Histogram& single = HistogramOf(m_workers, "latency.disk-single");
    row("of the disk hits, single queries", single.Count(), single);
    row("all answers", answers, HistogramOf(m_workers, "latency.all"));
    const Histogram& alone = HistogramOf(m_workers, "latency.sqlite-alone");
    row("SQLite alone (same stream)", alone.Count(), alone);

    demo::Table run{"run", "The run", "", {}, {}};
    run.rows = {
        {"workload",
         Format("%d worker process%s (%d answers in memory each), %.0f s, seed %llu",
                m_facts.processes, m_facts.processes == 1 ? "" : "es", m_facts.memoryEntries,
                m_facts.durationSec, static_cast<unsigned long long>(m_facts.seed))},
        {"answers",
         Format("%s; %.1fx faster than SQLite alone (mean latency)",
                FormatValue(static_cast<double>(answers) / m_facts.durationSec, Unit::PerSecond)
                    .c_str(),
                Speedup())},
        {"Redis", m_facts.redisEndpoint + " (" + DescribeRedis(m_facts) + ")"},
        {"database", Format("%s (%d sales rows)", m_facts.dbPath.c_str(), m_facts.salesRows)},
        {"features", FeaturesText()},
        {"library warnings", WarningsText()},
        {"failed external operations", FailedText()}};

    demo::Table coherence{"coherence",
                          "Coherence and the caches",
                          "The announcements of changed answers and what the workers' caches did.",
                          {},
                          {}};
    coherence.rows = {
        {"announcements", Figures(m_both, kAnnouncements, false) + "; received per worker " +
                              JsonList(m_facts.receivedPerWorker)},
        {"subscription", Figures(m_both, kResubscriptions, false)},
        {"writer", Format("%lld row updates; entries invalidated in workers %lld",
                          Count(m_writer, "updates"), Count(m_workers, "rt.invalidations"))},
        {"traffic", TrafficText(TrafficOf(m_workers, m_writer, m_facts.processes),
                                m_facts.skipKnownFills, false)
                        .substr(std::string("Traffic: ").size())},
        {"read-through cache", Figures(m_workers, kReadThrough, false)},
        {"fail-safe and leases",
         Figures(m_workers, kFailSafe, false) + "; " + Figures(m_workers, kLeases, false)},
        {"errors to callers", Figures(m_workers, kCallerErrors, false)},
        {"guards", Figures(m_workers, kReadThroughGuards, false)},
        {"derived answers", Figures(m_workers, kDerived, false)},
        {"held at the end, by table", HeldText()}};
    for (const auto& [operation, outcomes] : Outcomes(m_both))
        coherence.rows.push_back({"external " + operation, OutcomesText(outcomes)});

    demo::Table freshness{"freshness", "Freshness", CheckedText() + ".", {}, {}};
    freshness.rows = {
        {"checks", Figures(m_workers, kChecks, false)},
        {"fail-safe answers", Figures(m_workers, kStaleChecks, false)},
        {"after settling",
         Format("%lld entries held by the workers compared, %lld stale",
                Count(m_workers, "settle.checked"), Count(m_workers, "settle.stale"))}};
    if (m_facts.chaos)
        freshness.rows.push_back(
            {"chaos",
             Format("subscriber connections killed %d time(s), server restarted %d time(s)",
                    m_facts.connectionKills, m_facts.serverRestarts)});
    if (m_facts.herdAtSec >= 0) freshness.rows.push_back({"herd", "at " + HerdText()});
    if (m_facts.outageAtSec >= 0)
        freshness.rows.push_back({"database outage", "at " + OutageText()});
    return {run, layers, freshness, coherence};
}

std::string Summary::Json() const {
    static const char* const kSetups[] = {"private", "server", "cluster"};
    const std::int64_t answers = Answers();
    std::string j = "{\n";
    j += Format(
        "  \"redis\": \"%s\", \"redis_mode\": \"%s\", \"cluster_masters\": %d, "
        "\"private_redis\": %s,\n",
        m_facts.redisEndpoint.c_str(), kSetups[static_cast<int>(m_facts.redisSetup)],
        m_facts.clusterMasters, JsonBool(m_facts.redisSetup == RedisSetup::PrivateServer));
    j += Format(
        "  \"processes\": %d, \"memory_entries\": %d, \"duration_s\": %g, \"seed\": %llu, "
        "\"sales_rows\": %d,\n",
        m_facts.processes, m_facts.memoryEntries, m_facts.durationSec,
        static_cast<unsigned long long>(m_facts.seed), m_facts.salesRows);
    j += Format("  \"queries\": %lld, \"queries_per_s\": %.1f,\n", static_cast<long long>(answers),
                static_cast<double>(answers) / m_facts.durationSec);
    j += "  \"layers\": {";
    for (int i = 0; i < 4; ++i) {
        const Histogram& h = HistogramOf(m_workers, std::string("latency.") + kLayers[i]);
        const std::int64_t n = m_workers.Get(std::string("layer.") + kLayers[i]);
        j += Format(
            "%s\n    \"%s\": {\"answers\": %lld, \"ratio\": %.4f, \"p50_us\": %.1f, "
            "\"p99_us\": %.1f}",
            i ? "," : "", kLayers[i], static_cast<long long>(n), Ratio(n, answers),
            h.PercentileUs(0.5), h.PercentileUs(0.99));
    }
    j += "\n  },\n";
    // Disk answers of single queries: one Get each, beside the disk-hit benchmark.
    const Histogram& single = HistogramOf(m_workers, "latency.disk-single");
    j += Format("  \"disk_single\": {\"answers\": %lld, \"p50_us\": %.1f, \"p99_us\": %.1f},\n",
                static_cast<long long>(single.Count()), single.PercentileUs(0.5),
                single.PercentileUs(0.99));
    const Histogram& all = HistogramOf(m_workers, "latency.all");
    const Histogram& alone = HistogramOf(m_workers, "latency.sqlite-alone");
    j += Format("  \"cached\": {\"mean_us\": %.1f, \"p50_us\": %.1f, \"p99_us\": %.1f},\n",
                all.MeanUs(), all.PercentileUs(0.5), all.PercentileUs(0.99));
    j += Format(
        "  \"sqlite_alone\": {\"queries\": %lld, \"mean_us\": %.1f, \"p50_us\": %.1f, "
        "\"p99_us\": %.1f},\n",
        static_cast<long long>(alone.Count()), alone.MeanUs(), alone.PercentileUs(0.5),
        alone.PercentileUs(0.99));
    j += Format("  \"speedup\": %.2f,\n", Speedup());
    j += "  \"announcements\": {" + Figures(m_both, kAnnouncements, true) +
         ", \"received_per_worker\": " + JsonList(m_facts.receivedPerWorker) + ", " +
         Figures(m_both, kResubscriptions, true) + "},\n";
    j += Format("  \"writer\": {\"updates\": %lld},\n", Count(m_writer, "updates"));
    j += "  \"traffic\": {" +
         TrafficText(TrafficOf(m_workers, m_writer, m_facts.processes), m_facts.skipKnownFills,
                     true) +
         "},\n";
    j += Format(
        "  \"features\": {\"leases\": %s, \"fail_safe\": %s, \"soft_timeout_ms\": %u, "
        "\"value_lifetime_s\": %lld},\n",
        JsonBool(m_facts.leases), JsonBool(m_facts.failSafe),
        m_facts.failSafe ? CacheFeatures().softTimeoutMs : 0u, m_facts.valueLifetimeSec);
    j += "  \"read_through\": {" + Figures(m_workers, kReadThrough, true) + ", " +
         Figures(m_workers, kFailSafe, true) + ", " + Figures(m_workers, kLeases, true) + ", " +
         Figures(m_workers, kReadThroughGuards, true) + "},\n";
    j += "  \"caller_errors\": {" + Figures(m_workers, kCallerErrors, true) + "},\n";
    j += "  \"derived\": {" + Figures(m_workers, kDerived, true) + "},\n";
    j += "  \"external_outcomes\": {";
    bool first = true;
    for (const auto& [operation, outcomes] : Outcomes(m_both))
        for (const auto& [outcome, n] : outcomes) {
            j += Format("%s\"%s.%s\": %lld", first ? "" : ", ", operation.c_str(), outcome.c_str(),
                        static_cast<long long>(n));
            first = false;
        }
    j += "},\n";
    j += Format(
        "  \"library_warnings\": {\"workers\": %lld, \"per_worker\": %s, \"writer\": %lld},\n",
        static_cast<long long>(LibraryWarnings(m_workers)),
        JsonList(m_facts.warningsPerWorker).c_str(),
        static_cast<long long>(LibraryWarnings(m_writer)));
    j += Format(
        "  \"failed_external_ops\": {\"workers\": %lld, \"per_worker\": %s, \"writer\": "
        "%lld},\n",
        static_cast<long long>(FailedExternalOperations(m_workers)),
        JsonList(m_facts.failedExternalPerWorker).c_str(),
        static_cast<long long>(FailedExternalOperations(m_writer)));
    j += Format("  \"timeline\": {\"started_at_unix_ms\": %lld, \"step_ms\": 1000, ",
                static_cast<long long>(m_facts.startedAtUnixMs));
    j += "\"answers\": " + JsonList(m_facts.answersPerSecond) +
         ", \"lag_p50_ms\": " + JsonList(m_facts.lagP50MsEachSecond) +
         ", \"lag_p99_ms\": " + JsonList(m_facts.lagP99MsEachSecond) + ", \"faults\": [";
    for (std::size_t i = 0; i < m_facts.faults.size(); ++i)
        j += Format("%s{\"at_s\": %.2f, \"what\": \"%s\"}", i ? ", " : "", m_facts.faults[i].atSec,
                    m_facts.faults[i].what.c_str());
    j += "]},\n";
    j += "  \"checks\": {" + Figures(m_workers, kChecks, true) + ", " +
         Figures(m_workers, kStaleChecks, true) + "},\n";
    j += std::string("  \"auditor\": {\"on\": ") + JsonBool(m_facts.audit) + ", " +
         Figures(m_workers, kAudit, true) + ", " + AuditNines(m_workers, true) + "},\n";
    j += Format("  \"settle\": {\"checked\": %lld, \"stale\": %lld, \"stale_per_worker\": %s},\n",
                Count(m_workers, "settle.checked"), Count(m_workers, "settle.stale"),
                JsonList(m_facts.settleStalePerWorker).c_str());
    const HerdLoads herd = HerdLoadsOf(m_workers, m_facts.herdKeys);
    const Histogram& outage = HistogramOf(m_workers, "latency.outage");
    j += Format(
        "  \"chaos\": {\"on\": %s, \"connection_kills\": %d, \"server_restarts\": %d,\n"
        "    \"herd\": {\"at_s\": %.1f, \"keys\": %d, \"window_ms\": %d, \"loads\": %lld, "
        "\"keys_loaded\": %d, \"max_loads_per_key\": %lld, \"mean_loads_per_key\": %.3f},\n"
        "    \"outage\": {\"at_s\": %.1f, \"duration_s\": %.1f, \"answers\": %lld, "
        "\"fail_safe_answers\": %lld, \"p99_us\": %.1f, \"max_us\": %.1f, \"caller_errors\": %lld, "
        "\"caller_errors_had_answer\": %lld, \"caller_errors_max_us\": %.1f}},\n",
        JsonBool(m_facts.chaos), m_facts.connectionKills, m_facts.serverRestarts, m_facts.herdAtSec,
        m_facts.herdKeys, kHerdWindowMs, static_cast<long long>(herd.loads), herd.keysLoaded,
        static_cast<long long>(herd.maxPerKey), herd.meanPerKey, m_facts.outageAtSec,
        m_facts.outageSec, Count(m_workers, "outage.answers"),
        Count(m_workers, "outage.stale-answers"), outage.PercentileUs(0.99), outage.MaxUs(),
        Count(m_workers, "outage.caller-errors"),
        Count(m_workers, "outage.caller-errors.had-answer"),
        HistogramOf(m_workers, "latency.outage-errors").MaxUs());
    j += Format("  \"all_reported\": %s, \"correct\": %s, \"clean\": %s\n}\n",
                JsonBool(m_facts.allReported), JsonBool(Correct()), JsonBool(Clean()));
    return j;
}

}  // namespace demo
