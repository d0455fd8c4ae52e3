#include "harness/Summary.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <span>
#include <stdexcept>
#include <tuple>
#include <variant>

#include "harness/Roles.h"
#include "report/ChartAxis.h"

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
    {"dropped_by_tag", "rt.dropped-by-tag", "dropped by tag"},
    {"tag_refused", "rt.tag-refused", "refused by tag"},
    {"evictions", "rt.evictions", "evictions"}};
const Figure kDerived[] = {
    {"built", "derived.built", "built and kept"},
    {"held", "derived.held", "served held"},
    {"not_kept", "derived.not-kept", "not kept"},
    {"dropped_dirty", "derived.dropped-dirty", "dropped when a part went stale"},
    {"dropped_on_prune", "derived.dropped-on-prune", "dropped when a part's tracking ended"},
    {"dropped_over_bound", "derived.dropped-over-bound", "let go past the bound"},
    {"silence_recomputes", "derived.silence-recomputes", "computed again after a silence began"}};
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

// How the table and the JSON write a value: a switch reads "on"/"off" in the table and
// true/false in the JSON.
enum class Style { Table, Json };

// A value of the summary, as its figure is counted.
using Value = std::variant<long long, unsigned long long, double, bool, std::string>;

// What the table shows of a value: the value, a share as a percentage, microseconds as
// milliseconds (or milliseconds as seconds).
enum class Scale { None, Percent, Milli };

}  // namespace

// One figure of the summary, in the table's order: the words around it in the table and where
// the JSON keeps it. Table() and Json() both write the same list (Summary::AllRows).
struct SummaryRow {
    std::string lead;  // the table's words before the figure; "\n" begins a line
    std::string text;  // the figure's printf format in the table; empty: the JSON only
    std::string path;  // its keys in the JSON, apart by '/'; empty: the table only
    std::string json;  // its printf format in the JSON
    Value value;
    Scale scale = Scale::None;  // of the table's figure
};

namespace {

using Rows = std::vector<SummaryRow>;

SummaryRow Both(std::string lead, std::string text, std::string path, std::string json, Value value,
                Scale scale = Scale::None) {
    return {std::move(lead), std::move(text),  std::move(path),
            std::move(json), std::move(value), scale};
}
SummaryRow TableOnly(std::string lead, std::string text, Value value) {
    return {std::move(lead), std::move(text), "", "", std::move(value), Scale::None};
}
SummaryRow JsonOnly(std::string path, std::string json, Value value) {
    return {"", "", std::move(path), std::move(json), std::move(value), Scale::None};
}
// A row the table shows only when `shown`.
SummaryRow Shown(bool shown, SummaryRow row) {
    if (!shown) row.text.clear();
    return row;
}

// The conversion of a printf format of at most one value ('\0': none).
char ConversionOf(const std::string& format) {
    for (std::size_t i = 0; i + 1 < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (format[i + 1] == '%') {
            ++i;
            continue;
        }
        const std::size_t at = format.find_first_of("diufgs", i + 1);
        return at == std::string::npos ? '\0' : format[at];
    }
    return '\0';
}

// `value` by `format`; a format that does not fit its value is a mistake in the list of rows.
std::string Render(const std::string& format, const Value& value, Style style, Scale scale) {
    const char c = ConversionOf(format);
    const char* f = format.c_str();
    if (const auto* n = std::get_if<long long>(&value); n && (c == 'd' || c == 'i' || !c))
        return Format(f, *n);
    if (const auto* u = std::get_if<unsigned long long>(&value); u && c == 'u')
        return Format(f, *u);
    if (const auto* d = std::get_if<double>(&value); d && (c == 'f' || c == 'g'))
        return Format(f, scale == Scale::Percent ? 100 * *d
                         : scale == Scale::Milli ? *d / 1000
                                                 : *d);
    if (const auto* s = std::get_if<std::string>(&value); s && c == 's')
        return Format(f, s->c_str());
    if (const auto* b = std::get_if<bool>(&value); b && c == 's')
        return Format(f, style == Style::Json ? JsonBool(*b) : *b ? "on" : "off");
    throw std::logic_error("summary: the format \"" + format + "\" does not fit its value");
}

// The table's words of the rows it shows.
std::string TextOf(const Rows& rows) {
    std::string out;
    for (const SummaryRow& row : rows)
        if (!row.text.empty())
            out += row.lead + Render(row.text, row.value, Style::Table, row.scale);
    return out;
}

// The counters of a group, "label n, label n, ..." in the table, members of `object` in the JSON.
Rows FigureRows(const std::string& lead, const std::string& object, const Stats& stats,
                std::span<const Figure> figures, bool inTable = true) {
    Rows rows;
    for (const Figure& f : figures)
        rows.push_back(
            Shown(inTable, Both(rows.empty() ? lead : ", ", std::string(f.label) + " %lld",
                                object + "/" + f.json, "%lld", Count(stats, f.counter))));
    return rows;
}

void Append(Rows& rows, Rows more) {
    rows.insert(rows.end(), std::make_move_iterator(more.begin()),
                std::make_move_iterator(more.end()));
}

// The JSON's top-level keys, line by line.
const std::vector<std::vector<const char*>> kJsonLines = {
    {"redis", "redis_mode", "cluster_masters", "private_redis"},
    {"processes", "memory_entries", "duration_s", "seed", "sales_rows"},
    {"queries", "queries_per_s"},
    {"layers"},
    {"disk_single"},
    {"cached"},
    {"sqlite_alone"},
    {"speedup"},
    {"announcements"},
    {"writer"},
    {"traffic"},
    {"features"},
    {"read_through"},
    {"caller_errors"},
    {"derived"},
    {"external_outcomes"},
    {"library_warnings"},
    {"failed_external_ops"},
    {"timeline"},
    {"checks"},
    {"auditor"},
    {"settle"},
    {"chaos"},
    {"all_reported", "correct", "clean"}};

// A member of the JSON: a written value, or (with none) an object of members in the order the
// rows gave them.
struct Node {
    std::string key;
    std::string value;
    std::vector<Node> members;
};

Node& MemberOf(Node& object, const std::string& key) {
    for (Node& member : object.members)
        if (member.key == key) return member;
    object.members.push_back({key, "", {}});
    return object.members.back();
}

void Insert(Node& root, const std::string& path, std::string value) {
    Node* node = &root;
    for (std::size_t begin = 0;;) {
        const std::size_t slash = path.find('/', begin);
        node = &MemberOf(*node, path.substr(begin, slash - begin));
        if (slash == std::string::npos) break;
        begin = slash + 1;
    }
    node->value = std::move(value);
}

// In a top-level object, a member that is an object begins a line of its own, and an object of
// objects (the layers) ends on one.
std::string ValueOf(const Node& node, int depth) {
    if (!node.value.empty()) return node.value;
    std::string out = "{";
    bool allObjects = !node.members.empty();
    for (std::size_t i = 0; i < node.members.size(); ++i) {
        const Node& member = node.members[i];
        const bool object = member.value.empty();
        allObjects = allObjects && object;
        out += i ? "," : "";
        out += depth == 1 && object ? "\n    " : i ? " " : "";
        out += "\"" + member.key + "\": " + ValueOf(member, depth + 1);
    }
    return out + (depth == 1 && allObjects ? "\n  }" : "}");
}

// The JSON of the rows, its top-level keys placed by kJsonLines (a key without rows is an empty
// object); a key with no place is a mistake in the list of rows.
std::string JsonOf(const Rows& rows) {
    Node root;
    for (const SummaryRow& row : rows)
        if (!row.path.empty())
            Insert(root, row.path, Render(row.json, row.value, Style::Json, Scale::None));
    std::string out = "{\n";
    std::size_t placed = 0;
    for (std::size_t line = 0; line < kJsonLines.size(); ++line) {
        out += "  ";
        for (std::size_t k = 0; k < kJsonLines[line].size(); ++k) {
            const char* key = kJsonLines[line][k];
            const auto it = std::find_if(root.members.begin(), root.members.end(),
                                         [&](const Node& n) { return n.key == key; });
            placed += it != root.members.end();
            out += std::string(k ? ", " : "") + "\"" + key +
                   "\": " + (it != root.members.end() ? ValueOf(*it, 1) : "{}");
        }
        out += line + 1 < kJsonLines.size() ? ",\n" : "\n";
    }
    if (placed != root.members.size())
        throw std::logic_error("summary: a top-level JSON key has no line in kJsonLines");
    return out + "}\n";
}

// " hit n miss n" in the table, "operation.outcome": n in the JSON.
Rows OutcomeRows(const std::string& operation,
                 const std::map<std::string, std::int64_t>& outcomes) {
    Rows rows;
    for (const auto& [outcome, n] : outcomes)
        rows.push_back(Both(" ", outcome + " %lld",
                            "external_outcomes/" + operation + "." + outcome, "%lld",
                            static_cast<long long>(n)));
    return rows;
}

// "workers n [per worker], writer n", members of `object` in the JSON.
Rows ProcessRows(const std::string& lead, const std::string& object, std::int64_t workers,
                 const std::vector<std::int64_t>& perWorker, std::int64_t writer) {
    return {
        Both(lead, "workers %lld", object + "/workers", "%lld", static_cast<long long>(workers)),
        Both(" ", "%s", object + "/per_worker", "%s", JsonList(perWorker)),
        Both(", ", "writer %lld", object + "/writer", "%lld", static_cast<long long>(writer))};
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
    const std::string versions = "herd.version.";
    for (auto it = workers.counters.lower_bound(versions);
         it != workers.counters.end() && it->first.rfind(versions, 0) == 0; ++it)
        herd.firstLoads += it->second > 0 ? 1 : 0;
    herd.repeats = herd.loads - herd.firstLoads;
    if (const auto deaf = workers.counters.find("herd.deaf-loads"); deaf != workers.counters.end())
        herd.deafLoads = deaf->second;
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

Rows Summary::AllRows() const {
    Rows rows;
    AddRunRows(rows);
    AddLayerRows(rows);
    AddCoherenceRows(rows);
    AddCacheRows(rows);
    AddOperationRows(rows);
    AddFreshnessRows(rows);
    AddChaosRows(rows);
    rows.push_back(TableOnly("\nResult: ", "%s", Verdict()));
    rows.push_back(JsonOnly("all_reported", "%s", m_facts.allReported));
    rows.push_back(JsonOnly("correct", "%s", Correct()));
    rows.push_back(JsonOnly("clean", "%s", Clean()));
    return rows;
}

std::string Summary::Table() const {
    return TextOf(AllRows()) + "\n";
}

std::string Summary::Json() const {
    return JsonOf(AllRows());
}

void Summary::AddRunRows(Rows& rows) const {
    static const char* const kSetups[] = {"private", "server", "cluster"};
    const RunFacts& f = m_facts;
    rows.push_back(Both("\n== Summary: ", "%lld worker processes", "processes", "%lld",
                        static_cast<long long>(f.processes)));
    rows.push_back(Both(" (", "%lld answers in memory each)", "memory_entries", "%lld",
                        static_cast<long long>(f.memoryEntries)));
    rows.push_back(Both(", ", "%.0f s of workload", "duration_s", "%g", f.durationSec));
    rows.push_back(
        Both(", ", "seed %llu", "seed", "%llu", static_cast<unsigned long long>(f.seed)));
    rows.push_back(Both("\nRedis ", "%s", "redis", "\"%s\"", f.redisEndpoint));
    rows.push_back(JsonOnly("redis_mode", "\"%s\"", kSetups[static_cast<int>(f.redisSetup)]));
    rows.push_back(JsonOnly("cluster_masters", "%lld", static_cast<long long>(f.clusterMasters)));
    const bool privateServer = f.redisSetup == RedisSetup::PrivateServer;
    rows.push_back(JsonOnly("private_redis", "%s", privateServer));
    rows.push_back(
        TableOnly(" (", "%s)", DescribeRedis(f) + (privateServer ? ", stopped afterwards" : "")));
    rows.push_back(TableOnly("; database ", "%s", f.dbPath));
    rows.push_back(
        Both(" (", "%lld sales rows)", "sales_rows", "%lld", static_cast<long long>(f.salesRows)));
    rows.push_back(TableOnly("\n\n", "%s",
                             Format("%-28s %10s %8s %11s %11s", "answered from", "answers", "ratio",
                                    "p50 (us)", "p99 (us)")));
}

// Where the answers came from, with their latency: a line of the table and an object of the
// JSON each.
void Summary::AddLayerRows(Rows& rows) const {
    const long long answers = Answers();
    // The latency columns of a line, p50 and p99, in `object`.
    const auto percentiles = [&rows](const std::string& object, const Histogram& h) {
        rows.push_back(Both(" ", "%11.1f", object + "/p50_us", "%.1f", h.PercentileUs(0.5)));
        rows.push_back(Both(" ", "%11.1f", object + "/p99_us", "%.1f", h.PercentileUs(0.99)));
    };
    for (int i = 0; i < 4; ++i) {
        const std::string object = std::string("layers/") + kLayers[i];
        const long long n = m_workers.Get(std::string("layer.") + kLayers[i]);
        rows.push_back(TableOnly("\n", "%-28s", kLayerTitles[i]));
        rows.push_back(Both(" ", "%10lld", object + "/answers", "%lld", n));
        rows.push_back(
            Both(" ", "%7.1f%%", object + "/ratio", "%.4f", Ratio(n, answers), Scale::Percent));
        percentiles(object, HistogramOf(m_workers, std::string("latency.") + kLayers[i]));
    }
    // Disk answers of single queries: one Get each, beside the disk-hit benchmark.
    const Histogram& single = HistogramOf(m_workers, "latency.disk-single");
    rows.push_back(TableOnly("\n", "%-28s", "  of those, single queries"));
    rows.push_back(
        Both(" ", "%10lld", "disk_single/answers", "%lld", static_cast<long long>(single.Count())));
    rows.push_back(TableOnly(" ", "%8s", ""));
    percentiles("disk_single", single);
    // All answers and the same stream against SQLite alone; the table gives the mean last.
    const Histogram& all = HistogramOf(m_workers, "latency.all");
    const Histogram& alone = HistogramOf(m_workers, "latency.sqlite-alone");
    for (const auto& [title, object, count, n, h] :
         {std::tuple{"all answers", "cached", "queries", answers, &all},
          std::tuple{"SQLite alone (same stream)", "sqlite_alone", "sqlite_alone/queries",
                     static_cast<long long>(alone.Count()), &alone}}) {
        rows.push_back(TableOnly("\n", "%-28s", title));
        rows.push_back(Both(" ", "%10lld", count, "%lld", n));
        rows.push_back(TableOnly(" ", "%8s", ""));
        rows.push_back(JsonOnly(std::string(object) + "/mean_us", "%.1f", h->MeanUs()));
        percentiles(object, *h);
        rows.push_back(TableOnly("   ", "mean %.1f us", h->MeanUs()));
    }
    rows.push_back(Both("\nSpeed-up over SQLite alone: ", "%.1fx (mean latency)", "speedup", "%.2f",
                        Speedup()));
    rows.push_back(Both("; ", "%.0f answers/s", "queries_per_s", "%.1f",
                        static_cast<double>(answers) / m_facts.durationSec));
}

void Summary::AddCoherenceRows(Rows& rows) const {
    Append(rows,
           FigureRows("\n\nCoherence: announcements ", "announcements", m_both, kAnnouncements));
    rows.push_back(Both("; ", "received per worker %s", "announcements/received_per_worker", "%s",
                        JsonList(m_facts.receivedPerWorker)));
    Append(rows, FigureRows("\n  ", "announcements", m_both, kResubscriptions));
    rows.push_back(Both("\n  writer: ", "%lld row updates", "writer/updates", "%lld",
                        Count(m_writer, "updates")));
    rows.push_back(TableOnly("; ", "entries invalidated in workers %lld",
                             Count(m_workers, "rt.invalidations")));
    if (m_writer.counters.count("follower.transactions")) {
        // On PostgreSQL: the commit log's follower announced the writer's changes.
        const auto lag = m_writer.histograms.find("latency.follower-lag");
        const Histogram none;
        const Histogram& h = lag == m_writer.histograms.end() ? none : lag->second;
        rows.push_back(Both("\n  follower: ", "%lld changes announced",
                            "follower/changes_announced", "%lld",
                            Count(m_writer, "follower.changes")));
        rows.push_back(Both(" in ", "%lld transactions", "follower/transactions", "%lld",
                            Count(m_writer, "follower.transactions")));
        rows.push_back(Both(", commit to announced p50 ", "%.1f ms", "follower/lag_p50_ms", "%.2f",
                            h.PercentileUs(0.5) / 1000));
        rows.push_back(
            Both(", p99 ", "%.1f ms", "follower/lag_p99_ms", "%.2f", h.PercentileUs(0.99) / 1000));
        rows.push_back(Both("; retries ", "%lld", "follower/retries", "%lld",
                            Count(m_writer, "follower.retries")));
        rows.push_back(Both(", reconnections ", "%lld", "follower/reconnects", "%lld",
                            Count(m_writer, "follower.reconnects")));
    }
    // The traffic is worded as a sentence (TrafficText), the same figures as the JSON's.
    const CoherenceTraffic traffic = TrafficOf(m_workers, m_writer, m_facts.processes);
    rows.push_back(TableOnly("\n  ", "%s", TrafficText(traffic, m_facts.skipKnownFills, false)));
    rows.push_back(JsonOnly("traffic", "{%s}", TrafficText(traffic, m_facts.skipKnownFills, true)));
    Append(rows, FeatureRows("\nFeatures: "));
}

// The cache features of the workers: "leases on, fail-safe on (...); answers live 600 s".
Rows Summary::FeatureRows(const std::string& lead) const {
    const CacheFeatures features;
    const bool failSafe = m_facts.failSafe;
    return {
        Both(lead, "leases %s", "features/leases", "%s", m_facts.leases),
        Both(", ", "fail-safe %s", "features/fail_safe", "%s", failSafe),
        Shown(failSafe, Both(" (", "soft time-out %lld ms", "features/soft_timeout_ms", "%lld",
                             failSafe ? static_cast<long long>(features.softTimeoutMs) : 0)),
        Shown(failSafe, TableOnly(", ", "answers at most %lld s old)", features.failSafeMaxAgeSec)),
        Both("; ", "answers live %lld s", "features/value_lifetime_s", "%lld",
             m_facts.valueLifetimeSec)};
}

void Summary::AddCacheRows(Rows& rows) const {
    Append(rows, FigureRows("\nRead-through cache: ", "read_through", m_workers, kReadThrough));
    Append(rows, FigureRows("\n  ", "read_through", m_workers, kFailSafe));
    Append(rows, FigureRows("; ", "read_through", m_workers, kLeases));
    Append(rows, FigureRows("\n  ", "caller_errors", m_workers, kCallerErrors));
    Append(rows, FigureRows("\n  ", "read_through", m_workers, kReadThroughGuards));
    Append(rows, FigureRows("\nDerived answers: ", "derived", m_workers, kDerived));
    rows.push_back(TableOnly(
        "\nMemory entries held at the end, by the tables their query reads:", "%s", HeldText()));
}

// The external caches' outcomes by operation, the library's warnings and the failed operations.
void Summary::AddOperationRows(Rows& rows) const {
    rows.push_back(TableOnly("\n\nExternal cache outcomes (workers and writer):", "%s", ""));
    for (const auto& [operation, outcomes] : Outcomes(m_both)) {
        rows.push_back(TableOnly("\n  ", "%-12s", operation));
        Append(rows, OutcomeRows(operation, outcomes));
    }
    Append(rows, ProcessRows("\nLibrary warnings (log lines at Warn or above): ",
                             "library_warnings", LibraryWarnings(m_workers),
                             m_facts.warningsPerWorker, LibraryWarnings(m_writer)));
    Append(rows, ProcessRows("\nFailed external operations (errors, time-outs, refusals): ",
                             "failed_external_ops", FailedExternalOperations(m_workers),
                             m_facts.failedExternalPerWorker, FailedExternalOperations(m_writer)));
}

void Summary::AddFreshnessRows(Rows& rows) const {
    const bool audit = m_facts.audit;
    rows.push_back(TableOnly("\n\nFreshness: ", "%s", ""));
    rows.push_back(JsonOnly("auditor/on", "%s", audit));
    Append(rows, FigureRows("the library's auditor (1% of answers re-loaded from SQLite, window "
                            "1 s): ",
                            "auditor", m_workers, kAudit, audit));
    // The auditor's nines over every worker: -log10 of the inconsistent share of the decided
    // samples, or, with none inconsistent, at least log10 of the decided samples.
    const long long bad = Count(m_workers, "audit.inconsistent");
    const long long decided = Count(m_workers, "audit.consistent") + bad;
    const double nines = bad ? -std::log10(static_cast<double>(bad) / static_cast<double>(decided))
                         : decided ? std::log10(static_cast<double>(decided))
                                   : 0.0;
    rows.push_back(Shown(audit, TableOnly("; ", "%s", bad ? "" : "at least ")));
    rows.push_back(Shown(audit, Both("", "%.2f nines", "auditor/nines", "%.2f", nines)));
    rows.push_back(JsonOnly("auditor/nines_at_least", "%s", !bad && decided));
    rows.push_back(TableOnly(audit ? "\n  the main job's own checks (a second opinion): " : "",
                             "%s", CheckedText()));
    Append(rows, FigureRows("\n  ", "checks", m_workers, kChecks));
    Append(rows, FigureRows("\n  ", "checks", m_workers, kStaleChecks));
    rows.push_back(Both("\nAfter settling: ", "%lld entries held by the workers compared",
                        "settle/checked", "%lld", Count(m_workers, "settle.checked")));
    rows.push_back(
        Both(", ", "%lld stale", "settle/stale", "%lld", Count(m_workers, "settle.stale")));
    rows.push_back(
        JsonOnly("settle/stale_per_worker", "%s", JsonList(m_facts.settleStalePerWorker)));
    AddTimelineRows(rows);
}

// The JSON's timeline: the answers and the delivery lag step by step (a second, or more in a
// run long enough to have thinned its timeline), and the faults.
void Summary::AddTimelineRows(Rows& rows) const {
    std::string faults = "[";
    for (std::size_t i = 0; i < m_facts.faults.size(); ++i)
        faults += Format("%s{\"at_s\": %.2f, \"what\": \"%s\"}", i ? ", " : "",
                         m_facts.faults[i].atSec, m_facts.faults[i].what.c_str());
    rows.push_back(JsonOnly("timeline/started_at_unix_ms", "%lld",
                            static_cast<long long>(m_facts.startedAtUnixMs)));
    rows.push_back(JsonOnly("timeline/step_ms", "%lld", 1000LL * m_facts.secondsPerPoint));
    rows.push_back(JsonOnly("timeline/answers", "%s", JsonList(m_facts.answersPerSecond)));
    rows.push_back(JsonOnly("timeline/lag_p50_ms", "%s", JsonList(m_facts.lagP50MsEachSecond)));
    rows.push_back(JsonOnly("timeline/lag_p99_ms", "%s", JsonList(m_facts.lagP99MsEachSecond)));
    rows.push_back(JsonOnly("timeline/faults", "%s", faults + "]"));
}

void Summary::AddChaosRows(Rows& rows) const {
    const RunFacts& f = m_facts;
    rows.push_back(JsonOnly("chaos/on", "%s", f.chaos));
    rows.push_back(Shown(f.chaos, Both("\nChaos: subscriber connections killed ", "%lld time(s)",
                                       "chaos/connection_kills", "%lld",
                                       static_cast<long long>(f.connectionKills))));
    rows.push_back(
        Shown(f.chaos, Both(", server restarted ", "%lld time(s)", "chaos/server_restarts", "%lld",
                            static_cast<long long>(f.serverRestarts))));
    rows.push_back(Shown(f.chaos && f.followerKills > 0,
                         Both(", follower killed ", "%lld time(s)", "chaos/follower_kills", "%lld",
                              static_cast<long long>(f.followerKills))));
    rows.push_back(Shown(f.chaos && f.databaseRestarts > 0,
                         Both(", PostgreSQL restarted ", "%lld time(s)", "chaos/database_restarts",
                              "%lld", static_cast<long long>(f.databaseRestarts))));
    Append(rows, HerdRows("\n  herd at ", f.herdAtSec >= 0));
    Append(rows, OutageRows("\n  database outage at ", f.outageAtSec >= 0));
}

// The herd (chaos): the database loads of the dropped keys in the window after.
Rows Summary::HerdRows(const std::string& lead, bool inTable) const {
    const HerdLoads herd = HerdLoadsOf(m_workers, m_facts.herdKeys);
    const std::string o = "chaos/herd/";
    Rows rows = {
        Both(lead, "%.1f s", o + "at_s", "%.1f", m_facts.herdAtSec),
        Both(": the ", "%lld hottest base answers dropped at once", o + "keys", "%lld",
             static_cast<long long>(m_facts.herdKeys)),
        Both("; database loads of them in the next ", "%.0f s", o + "window_ms", "%.0f",
             static_cast<double>(kHerdWindowMs), Scale::Milli),
        Both(": ", "%lld", o + "loads", "%lld", static_cast<long long>(herd.loads)),
        Both(" over ", "%lld keys", o + "keys_loaded", "%lld",
             static_cast<long long>(herd.keysLoaded)),
        Both(", per key max ", "%lld", o + "max_loads_per_key", "%lld",
             static_cast<long long>(herd.maxPerKey)),
        Both(", mean ", "%.2f", o + "mean_loads_per_key", "%.3f", herd.meanPerKey),
        Both(": ", "%lld first loads", o + "first_loads", "%lld",
             static_cast<long long>(herd.firstLoads)),
        Both(" (a key's first, or its first after a change made meanwhile), ", "%lld repeats",
             o + "repeat_loads", "%lld", static_cast<long long>(herd.repeats)),
        Both("; ", "%lld loads while the worker heard nothing", o + "deaf_loads", "%lld",
             static_cast<long long>(herd.deafLoads))};
    for (SummaryRow& row : rows) row = Shown(inTable, std::move(row));
    return rows;
}

// The database outage (chaos): the answers while it lasted and the errors callers saw.
Rows Summary::OutageRows(const std::string& lead, bool inTable) const {
    const Histogram& h = HistogramOf(m_workers, "latency.outage");
    const std::string o = "chaos/outage/";
    Rows rows = {
        Both(lead, "%.1f s", o + "at_s", "%.1f", m_facts.outageAtSec),
        Both(" for ", "%.1f s", o + "duration_s", "%.1f", m_facts.outageSec),
        Both(": ", "%lld answers", o + "answers", "%lld", Count(m_workers, "outage.answers")),
        Both(" (", "%lld fail-safe)", o + "fail_safe_answers", "%lld",
             Count(m_workers, "outage.stale-answers")),
        Both(", ", "p99 %.1f ms", o + "p99_us", "%.1f", h.PercentileUs(0.99), Scale::Milli),
        Both(", ", "max %.1f ms", o + "max_us", "%.1f", h.MaxUs(), Scale::Milli),
        Both("; ", "caller errors %lld", o + "caller_errors", "%lld",
             Count(m_workers, "outage.caller-errors")),
        Both(" (", "%lld of keys answered before)", o + "caller_errors_had_answer", "%lld",
             Count(m_workers, "outage.caller-errors.had-answer")),
        Both(", ", "the slowest after %.1f ms", o + "caller_errors_max_us", "%.1f",
             HistogramOf(m_workers, "latency.outage-errors").MaxUs(), Scale::Milli)};
    for (SummaryRow& row : rows) row = Shown(inTable, std::move(row));
    return rows;
}

std::string Summary::HeldText() const {
    std::string byTables;
    for (const auto& [name, n] : m_workers.counters)
        if (name.rfind("held.", 0) == 0)
            byTables += Format(" %s %lld", name.substr(5).c_str(), static_cast<long long>(n));
    return byTables;
}

std::string Summary::CheckedText() const {
    long long checked = 0;
    for (const Figure& f : std::span(kChecks).first(3)) checked += Count(m_workers, f.counter);
    return Format(
        "%lld answers served from a cache checked against SQLite (1%% sample, at most 100/s per "
        "worker)",
        checked);
}

std::string Summary::Verdict() const {
    if (!m_facts.allReported) return "INCOMPLETE: a process ended without its final report";
    return !Correct() ? "STALE ANSWERS FOUND (see above)"
           : Clean() ? "correct (0 inconsistent, 0 stale beyond the window, 0 stale after settling)"
                     : "correct, but NOT CLEAN: library warnings or failed external operations "
                       "(see above)";
}

std::vector<Table> Summary::ReportTables() const {
    return {RunTable(), LayersTable(), FreshnessTable(), CoherenceTable()};
}

Table Summary::LayersTable() const {
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
    return layers;
}

Table Summary::RunTable() const {
    const std::int64_t answers = Answers();
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
        {"features", TextOf(FeatureRows(""))},
        {"library warnings",
         TextOf(ProcessRows("", "", LibraryWarnings(m_workers), m_facts.warningsPerWorker,
                            LibraryWarnings(m_writer)))},
        {"failed external operations",
         TextOf(ProcessRows("", "", FailedExternalOperations(m_workers),
                            m_facts.failedExternalPerWorker, FailedExternalOperations(m_writer)))}};
    return run;
}

Table Summary::CoherenceTable() const {
    demo::Table coherence{"coherence",
                          "Coherence and the caches",
                          "The announcements of changed answers and what the workers' caches did.",
                          {},
                          {}};
    coherence.rows = {
        {"announcements", TextOf(FigureRows("", "", m_both, kAnnouncements)) +
                              "; received per worker " + JsonList(m_facts.receivedPerWorker)},
        {"subscription", TextOf(FigureRows("", "", m_both, kResubscriptions))},
        {"writer", Format("%lld row updates; entries invalidated in workers %lld",
                          Count(m_writer, "updates"), Count(m_workers, "rt.invalidations"))},
        {"traffic", TrafficText(TrafficOf(m_workers, m_writer, m_facts.processes),
                                m_facts.skipKnownFills, false)
                        .substr(std::string("Traffic: ").size())},
        {"read-through cache", TextOf(FigureRows("", "", m_workers, kReadThrough))},
        {"fail-safe and leases", TextOf(FigureRows("", "", m_workers, kFailSafe)) + "; " +
                                     TextOf(FigureRows("", "", m_workers, kLeases))},
        {"errors to callers", TextOf(FigureRows("", "", m_workers, kCallerErrors))},
        {"guards", TextOf(FigureRows("", "", m_workers, kReadThroughGuards))},
        {"derived answers", TextOf(FigureRows("", "", m_workers, kDerived))},
        {"held at the end, by table", HeldText()}};
    for (const auto& [operation, outcomes] : Outcomes(m_both))
        coherence.rows.push_back(
            {"external " + operation, TextOf(OutcomeRows(operation, outcomes))});
    return coherence;
}

Table Summary::FreshnessTable() const {
    demo::Table freshness{"freshness", "Freshness", CheckedText() + ".", {}, {}};
    freshness.rows = {
        {"checks", TextOf(FigureRows("", "", m_workers, kChecks))},
        {"fail-safe answers", TextOf(FigureRows("", "", m_workers, kStaleChecks))},
        {"after settling",
         Format("%lld entries held by the workers compared, %lld stale",
                Count(m_workers, "settle.checked"), Count(m_workers, "settle.stale"))}};
    if (m_facts.chaos)
        freshness.rows.push_back(
            {"chaos",
             Format("subscriber connections killed %d time(s), server restarted %d time(s)",
                    m_facts.connectionKills, m_facts.serverRestarts)});
    if (m_facts.herdAtSec >= 0)
        freshness.rows.push_back({"herd", "at " + TextOf(HerdRows("", true))});
    if (m_facts.outageAtSec >= 0)
        freshness.rows.push_back({"database outage", "at " + TextOf(OutageRows("", true))});
    return freshness;
}

}  // namespace demo
