#include "Summary.h"

#include <cstdarg>
#include <cstdio>
#include <map>

namespace demo {

namespace {

const char* const kLayers[] = {"memory", "disk", "redis", "sqlite"};
const char* const kLayerTitles[] = {"memory hit", "external hit (disk)", "external hit (redis)",
                                    "SQLite (all caches missed)"};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
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

}  // namespace

double Summary::Speedup() const {
    const double cached = HistogramOf(m_workers, "latency.all").MeanUs();
    return cached > 0 ? HistogramOf(m_workers, "latency.sqlite-alone").MeanUs() / cached : 0;
}

std::int64_t Summary::Total(const char* counter) const {
    return m_workers.Get(counter) + m_writer.Get(counter);
}

bool Summary::Correct() const {
    return m_facts.allReported && m_workers.Get("check.stale-beyond-window") == 0 &&
           m_workers.Get("settle.stale") == 0;
}

std::string Summary::Table() const {
    const std::int64_t answers = Answers();
    std::string t;
    t += Format("\n== Summary: %d worker processes, %.0f s of workload, seed %llu\n",
                m_facts.processes, m_facts.durationSec,
                static_cast<unsigned long long>(m_facts.seed));
    t += Format("Redis %s (%s); database %s (%d sales rows)\n", m_facts.redisEndpoint.c_str(),
                m_facts.privateRedis ? "private server, stopped afterwards" : "given",
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
    const Histogram& all = HistogramOf(m_workers, "latency.all");
    const Histogram& alone = HistogramOf(m_workers, "latency.sqlite-alone");
    t += Format("%-28s %10lld %8s %11.1f %11.1f   mean %.1f us\n", "all answers",
                static_cast<long long>(answers), "", all.PercentileUs(0.5), all.PercentileUs(0.99),
                all.MeanUs());
    t += Format("%-28s %10lld %8s %11.1f %11.1f   mean %.1f us\n", "SQLite alone (same stream)",
                static_cast<long long>(alone.Count()), "", alone.PercentileUs(0.5),
                alone.PercentileUs(0.99), alone.MeanUs());
    t += Format("Speed-up over SQLite alone: %.1fx (mean latency); %.0f answers/s\n", Speedup(),
                static_cast<double>(answers) / m_facts.durationSec);

    t += Format(
        "\nCoherence: announcements published %lld (re-sent %lld, lost %lld), received %lld, "
        "replayed %lld; received per worker %s\n",
        static_cast<long long>(Total("published")), static_cast<long long>(Total("resent")),
        static_cast<long long>(Total("publish-lost")), static_cast<long long>(Total("received")),
        static_cast<long long>(Total("replayed")), JsonList(m_facts.receivedPerWorker).c_str());
    t +=
        Format("  re-subscriptions %lld, gaps %lld (answered by dropping every entry %lld)\n",
               static_cast<long long>(Total("resubscriptions")),
               static_cast<long long>(Total("gaps")), static_cast<long long>(Total("gap-flushes")));
    t += Format("  writer: %lld row updates; entries invalidated in workers %lld\n",
                static_cast<long long>(m_writer.Get("updates")),
                static_cast<long long>(m_workers.Get("invalidations")));
    t += Format(
        "Cascade: derived answers built %lld, served held %lld, not kept %lld; "
        "scopes invalidated %lld; dropped when a part's tracking ended %lld\n",
        static_cast<long long>(m_workers.Get("derived.built")),
        static_cast<long long>(m_workers.Get("derived.held")),
        static_cast<long long>(m_workers.Get("derived.not-kept")),
        static_cast<long long>(m_workers.Get("cascade.scopes-invalidated")),
        static_cast<long long>(m_workers.Get("derived.dropped-on-eviction")));
    std::string byTables;
    for (const auto& [name, n] : m_workers.counters)
        if (name.rfind("held.", 0) == 0)
            byTables += Format(" %s %lld", name.substr(5).c_str(), static_cast<long long>(n));
    t += "Memory entries held at the end, by the tables their query reads:" + byTables + "\n";
    t += Format("Fills dropped because a change raced them: %lld; evictions %lld\n",
                static_cast<long long>(m_workers.Get("fill.raced")),
                static_cast<long long>(m_workers.Get("evictions")));

    Stats both = m_workers;
    both.Merge(m_writer);
    t += "\nExternal cache outcomes (workers and writer):\n";
    for (const auto& [operation, outcomes] : Outcomes(both)) {
        std::string line = Format("  %-12s", operation.c_str());
        for (const auto& [outcome, n] : outcomes)
            line += Format(" %s %lld", outcome.c_str(), static_cast<long long>(n));
        t += line + "\n";
    }

    t += Format(
        "\nFreshness: %lld answers served from a cache checked against SQLite "
        "(1%% sample, at most 100/s per worker)\n",
        static_cast<long long>(m_workers.Get("check.fresh") +
                               m_workers.Get("check.stale-within-window") +
                               m_workers.Get("check.stale-beyond-window")));
    t += Format("  fresh %lld, stale within 1 s of the announcement %lld, stale beyond it %lld\n",
                static_cast<long long>(m_workers.Get("check.fresh")),
                static_cast<long long>(m_workers.Get("check.stale-within-window")),
                static_cast<long long>(m_workers.Get("check.stale-beyond-window")));
    t += Format("After settling: %lld entries held by the workers compared, %lld stale\n",
                static_cast<long long>(m_workers.Get("settle.checked")),
                static_cast<long long>(m_workers.Get("settle.stale")));
    if (m_facts.chaos)
        t +=
            Format("Chaos: subscriber connections killed %d time(s), server restarted %d time(s)\n",
                   m_facts.connectionKills, m_facts.serverRestarts);
    if (!m_facts.allReported)
        t += "Result: INCOMPLETE: a process ended without its final report\n";
    else
        t += Correct() ? "Result: correct (0 stale beyond the window, 0 stale after settling)\n"
                       : "Result: STALE ANSWERS FOUND (see above)\n";
    return t;
}

std::string Summary::Json() const {
    const std::int64_t answers = Answers();
    std::string j = "{\n";
    j += Format("  \"redis\": \"%s\", \"private_redis\": %s,\n", m_facts.redisEndpoint.c_str(),
                m_facts.privateRedis ? "true" : "false");
    j += Format("  \"processes\": %d, \"duration_s\": %g, \"seed\": %llu, \"sales_rows\": %d,\n",
                m_facts.processes, m_facts.durationSec,
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
    j += Format(
        "  \"announcements\": {\"published\": %lld, \"resent\": %lld, \"lost\": %lld, "
        "\"received\": %lld, \"replayed\": %lld, \"received_per_worker\": %s, "
        "\"resubscriptions\": %lld, \"gaps\": %lld, \"gap_flushes\": %lld},\n",
        static_cast<long long>(Total("published")), static_cast<long long>(Total("resent")),
        static_cast<long long>(Total("publish-lost")), static_cast<long long>(Total("received")),
        static_cast<long long>(Total("replayed")), JsonList(m_facts.receivedPerWorker).c_str(),
        static_cast<long long>(Total("resubscriptions")), static_cast<long long>(Total("gaps")),
        static_cast<long long>(Total("gap-flushes")));
    j += Format("  \"writer\": {\"updates\": %lld},\n",
                static_cast<long long>(m_writer.Get("updates")));
    j += Format("  \"invalidations\": %lld,\n",
                static_cast<long long>(m_workers.Get("invalidations")));
    j += Format(
        "  \"cascade\": {\"scopes_invalidated\": %lld, \"derived_built\": %lld, "
        "\"derived_held\": %lld, \"derived_not_kept\": %lld, "
        "\"derived_dropped_on_eviction\": %lld},\n",
        static_cast<long long>(m_workers.Get("cascade.scopes-invalidated")),
        static_cast<long long>(m_workers.Get("derived.built")),
        static_cast<long long>(m_workers.Get("derived.held")),
        static_cast<long long>(m_workers.Get("derived.not-kept")),
        static_cast<long long>(m_workers.Get("derived.dropped-on-eviction")));
    j += Format("  \"fills_raced\": %lld, \"evictions\": %lld,\n",
                static_cast<long long>(m_workers.Get("fill.raced")),
                static_cast<long long>(m_workers.Get("evictions")));
    Stats both = m_workers;
    both.Merge(m_writer);
    j += "  \"external_outcomes\": {";
    bool first = true;
    for (const auto& [operation, outcomes] : Outcomes(both))
        for (const auto& [outcome, n] : outcomes) {
            j += Format("%s\"%s.%s\": %lld", first ? "" : ", ", operation.c_str(), outcome.c_str(),
                        static_cast<long long>(n));
            first = false;
        }
    j += "},\n";
    j += Format(
        "  \"checks\": {\"fresh\": %lld, \"stale_within_window\": %lld, "
        "\"stale_beyond_window\": %lld, \"skipped\": %lld},\n",
        static_cast<long long>(m_workers.Get("check.fresh")),
        static_cast<long long>(m_workers.Get("check.stale-within-window")),
        static_cast<long long>(m_workers.Get("check.stale-beyond-window")),
        static_cast<long long>(m_workers.Get("check.skipped")));
    j += Format("  \"settle\": {\"checked\": %lld, \"stale\": %lld, \"stale_per_worker\": %s},\n",
                static_cast<long long>(m_workers.Get("settle.checked")),
                static_cast<long long>(m_workers.Get("settle.stale")),
                JsonList(m_facts.settleStalePerWorker).c_str());
    j += Format("  \"chaos\": {\"on\": %s, \"connection_kills\": %d, \"server_restarts\": %d},\n",
                m_facts.chaos ? "true" : "false", m_facts.connectionKills, m_facts.serverRestarts);
    j += Format("  \"all_reported\": %s, \"correct\": %s\n}\n",
                m_facts.allReported ? "true" : "false", Correct() ? "true" : "false");
    return j;
}

}  // namespace demo
