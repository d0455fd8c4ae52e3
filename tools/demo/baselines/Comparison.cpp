#include "baselines/Comparison.h"

#include <algorithm>
#include <cstdio>

#include "report/ChartAxis.h"

namespace demo {

namespace {

const char* const kReferences[] = {"database", "redis-ttl", "local-ttl"};

std::string TtlText(long long ttlMs) {
    if (ttlMs <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(ttlMs) / 1000);
    return text;
}

const Histogram& LatencyOf(const Stats& workers) {
    static const Histogram empty;
    const auto found = workers.histograms.find("latency.all");
    return found == workers.histograms.end() ? empty : found->second;
}

}  // namespace

std::string SetupTitle(const std::string& setup) {
    if (setup == "database") return "database alone";
    if (setup == "redis-ttl") return "Redis cache-aside";
    if (setup == "local-ttl") return "in-process TTL cache";
    return setup;
}

std::string SetupLabel(const ComparisonRow& row) {
    return SetupTitle(row.setup) + (row.ttlMs > 0 ? ", " + TtlText(row.ttlMs) : "");
}

ComparisonRow ComparisonRow::From(std::string setup, long long ttlMs, double durationSec,
                                  int processes, const Stats& workers) {
    ComparisonRow row;
    row.setup = std::move(setup);
    row.ttlMs = ttlMs;
    row.durationSec = durationSec;
    row.answers = workers.Get("queries");
    row.p50Us = LatencyOf(workers).PercentileUs(0.5);
    row.p99Us = LatencyOf(workers).PercentileUs(0.99);
    row.databaseQueries = workers.Get("database-queries");
    row.checked = workers.Get("check.fresh") + workers.Get("check.stale-within-window") +
                  workers.Get("check.stale-beyond-window");
    row.staleBeyondWindow = workers.Get("check.stale-beyond-window");
    row.judgeSec = static_cast<double>(workers.Get("judge-ns")) / 1e9 / std::max(processes, 1);
    return row;
}

double Comparison::RatioTo(const ComparisonRow& row, const std::string& setup) const {
    for (const ComparisonRow& reference : m_rows)
        if (reference.setup == setup)
            return reference.AnswersPerSec() > 0 ? row.AnswersPerSec() / reference.AnswersPerSec()
                                                 : 0;
    return 0;
}

std::string Comparison::Table() const {
    std::string t;
    char line[512];
    std::snprintf(
        line, sizeof line,
        "\nThe same query stream and writer through each set-up in turn: %d workers, "
        "%g s each;\nin-memory budget %d answers per worker (velcache's memory layer, which "
        "keeps derived answers apart,\nand the in-process caches); staleness counted "
        "from each change's commit\n\n",
        m_processes, m_rows.empty() ? 0.0 : m_rows.front().durationSec, m_memoryEntries);
    t += line;
    std::snprintf(line, sizeof line, "%-22s %7s %10s %8s %8s %10s %8s %9s %6s %5s %7s %9s %9s\n",
                  "set-up", "TTL", "answers/s", "p50 us", "p99 us", "db queries", "checked",
                  "stale>1s", "CPU s", "load", "vs db", "vs redis", "vs local");
    t += line;
    for (const ComparisonRow& r : m_rows) {
        std::snprintf(
            line, sizeof line,
            "%-22s %7s %10.0f %8.1f %8.1f %10lld %8lld %9lld %6.1f %5.2f %6.2fx %8.2fx "
            "%8.2fx\n",
            SetupTitle(r.setup).c_str(), TtlText(r.ttlMs).c_str(), r.AnswersPerSec(), r.p50Us,
            r.p99Us, static_cast<long long>(r.databaseQueries), static_cast<long long>(r.checked),
            static_cast<long long>(r.staleBeyondWindow), r.cpuSec, r.loadAvg,
            RatioTo(r, kReferences[0]), RatioTo(r, kReferences[1]), RatioTo(r, kReferences[2]));
        t += line;
    }
    t += "\nanswers/s: over the time the workers spent answering (the freshness checks and the\n"
         "database-alone samples left out); \"vs\": answers/s over those of the first row of\n"
         "that set-up; \"stale>1s\": answers judged stale more than the one-second window\n"
         "after the change that made them so (of those checked: a sample of the answers served\n"
         "from a cache); \"load\": the machine's one-minute load average as the set-up began.\n";
    return t;
}

Table Comparison::ReportTable() const {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "The same query stream and writer through each set-up in turn: %d worker%s, %g "
                  "s each; in-memory budget %d answers per worker (velcache's memory layer, which "
                  "keeps derived answers apart, and the in-process caches). Answers/s: over the "
                  "time the workers spent answering. Stale > 1 s: answers judged stale more than "
                  "the one-second window after the change that made them so, of those checked (a "
                  "sample of the answers served from a cache). Load: the machine's one-minute "
                  "load average as the set-up began. \"vs\": answers/s against the first row of "
                  "that set-up.",
                  m_processes, m_processes == 1 ? "" : "s",
                  m_rows.empty() ? 0.0 : m_rows.front().durationSec, m_memoryEntries);
    demo::Table table{"comparison-table",
                      "The set-ups side by side",
                      text,
                      {"set-up", "TTL", "answers/s", "p50", "p99", "db queries", "checked",
                       "stale > 1 s", "CPU", "load", "vs db", "vs Redis", "vs local"},
                      {}};
    const auto fixed = [](const char* format, double value) {
        char out[32];
        std::snprintf(out, sizeof out, format, value);
        return std::string(out);
    };
    for (const ComparisonRow& r : m_rows) {
        table.rows.push_back(
            {SetupTitle(r.setup), TtlText(r.ttlMs), FormatValue(r.AnswersPerSec(), Unit::PerSecond),
             FormatValue(r.p50Us, Unit::Micros), FormatValue(r.p99Us, Unit::Micros),
             std::to_string(r.databaseQueries), std::to_string(r.checked),
             std::to_string(r.staleBeyondWindow), FormatValue(r.cpuSec * 1e6, Unit::Micros),
             fixed("%.2f", r.loadAvg), fixed("%.2fx", RatioTo(r, kReferences[0])),
             fixed("%.2fx", RatioTo(r, kReferences[1])),
             fixed("%.2fx", RatioTo(r, kReferences[2]))});
    }
    return table;
}

std::string Comparison::Json() const {
    std::string j = "{\"processes\": " + std::to_string(m_processes) +
                    ", \"memory_entries\": " + std::to_string(m_memoryEntries) + ", \"rows\": [";
    char row[768];
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const ComparisonRow& r = m_rows[i];
        std::snprintf(row, sizeof row,
                      "%s\n  {\"setup\": \"%s\", \"ttl_ms\": %lld, \"duration_s\": %g, "
                      "\"answers\": %lld, \"answers_per_s\": %.1f, \"p50_us\": %.1f, "
                      "\"p99_us\": %.1f, \"database_queries\": %lld, \"checked\": %lld, "
                      "\"stale_beyond_window\": %lld, \"judge_s\": %.2f, \"cpu_s\": %.2f, "
                      "\"load_avg\": %.2f, "
                      "\"vs_database\": %.3f, \"vs_redis_ttl\": %.3f, \"vs_local_ttl\": %.3f}",
                      i ? "," : "", r.setup.c_str(), r.ttlMs, r.durationSec,
                      static_cast<long long>(r.answers), r.AnswersPerSec(), r.p50Us, r.p99Us,
                      static_cast<long long>(r.databaseQueries), static_cast<long long>(r.checked),
                      static_cast<long long>(r.staleBeyondWindow), r.judgeSec, r.cpuSec, r.loadAvg,
                      RatioTo(r, kReferences[0]), RatioTo(r, kReferences[1]),
                      RatioTo(r, kReferences[2]));
        j += row;
    }
    return j + "\n]}\n";
}

}  // namespace demo
