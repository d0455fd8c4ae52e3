#include "report/Report.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "report/ChartAxis.h"

namespace demo {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
// The timelines' size and margins, in pixels.
constexpr double kWidth = 820, kHeight = 220, kLeft = 64, kRight = 14, kTop = 20, kBottom = 26;

struct Series {
    std::string name;
    const char* color;
    std::vector<double> values;  // one per second; NaN where there is nothing to show
};

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A coordinate or a raw value in an attribute.
std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.5g", value);
    return text;
}

std::string SvgLine(double x1, double y1, double x2, double y2, const std::string& cls) {
    return "<line class=\"" + cls + "\" x1=\"" + Number(x1) + "\" y1=\"" + Number(y1) + "\" x2=\"" +
           Number(x2) + "\" y2=\"" + Number(y2) + "\"/>";
}

std::string SvgText(double x, double y, const std::string& anchor, const std::string& text,
                    const std::string& cls = "") {
    return "<text" + (cls.empty() ? std::string() : " class=\"" + cls + "\"") + " x=\"" +
           Number(x) + "\" y=\"" + Number(y) + "\" text-anchor=\"" + anchor + "\">" + Escape(text) +
           "</text>";
}

// A timeline's axes: seconds across, the values up.
struct Plot {
    Axis time;
    Axis values;
    Unit unit;
    double X(double t) const { return kLeft + (kWidth - kLeft - kRight) * time.Fraction(t); }
    double Y(double v) const {
        return kHeight - kBottom -
               (kHeight - kTop - kBottom) * std::clamp(values.Fraction(v), 0.0, 1.0);
    }
    bool Shows(double v) const { return !std::isnan(v) && (!values.log || v > 0); }
};

std::string Grid(const Plot& plot) {
    std::string svg;
    for (const double v : plot.values.ticks) {
        svg += SvgLine(kLeft, plot.Y(v), kWidth - kRight, plot.Y(v), "grid");
        svg += SvgText(kLeft - 6, plot.Y(v) + 4, "end", FormatValue(v, plot.unit));
    }
    for (const double t : plot.time.ticks) {
        svg += SvgLine(plot.X(t), kTop, plot.X(t), kHeight - kBottom, "grid");
        svg += SvgText(plot.X(t), kHeight - 8, "middle", t == 0 ? "0" : Number(t) + " s");
    }
    svg += SvgLine(kLeft, kHeight - kBottom, kWidth - kRight, kHeight - kBottom, "axis");
    return svg + SvgLine(kLeft, kTop, kLeft, kHeight - kBottom, "axis");
}

// The outage as a shaded span, and each fault as a dashed line numbered as in the page's list
// (numbers that would overlap the one before are left to the list and the line's hover text).
std::string FaultMarks(const RunFacts& facts, const Plot& plot) {
    std::string svg;
    if (facts.outageAtSec >= 0 && facts.outageSec > 0) {
        const double from = plot.X(facts.outageAtSec);
        svg += "<rect class=\"outage\" x=\"" + Number(from) + "\" y=\"" + Number(kTop) +
               "\" width=\"" + Number(plot.X(facts.outageAtSec + facts.outageSec) - from) +
               "\" height=\"" + Number(kHeight - kTop - kBottom) +
               "\"><title>database outage</title></rect>";
    }
    double lastLabel = -1e9;
    for (std::size_t i = 0; i < facts.faults.size(); ++i) {
        const RunFacts::Fault& f = facts.faults[i];
        const double x = plot.X(f.atSec);
        svg += "<line class=\"fault\" x1=\"" + Number(x) + "\" y1=\"" + Number(kTop) + "\" x2=\"" +
               Number(x) + "\" y2=\"" + Number(kHeight - kBottom) + "\"><title>" + Number(f.atSec) +
               " s: " + Escape(f.what) + "</title></line>";
        if (x - lastLabel >= 16) {
            svg += SvgText(x, kTop - 6, "middle", std::to_string(i + 1), "fault-label");
            lastLabel = x;
        }
    }
    return svg;
}

// The series as lines broken where it has nothing to show, with a point at each second.
// The series' points, point i at the end of its (i + 1) * secondsPerPoint seconds.
std::string Line(const Series& s, const Plot& plot, int secondsPerPoint) {
    std::string lines, points, dots;
    const auto flush = [&] {
        if (!points.empty())
            lines += "<polyline fill=\"none\" stroke=\"" + std::string(s.color) + "\" points=\"" +
                     points + "\"/>";
        points.clear();
    };
    for (std::size_t i = 0; i < s.values.size(); ++i) {
        const double v = s.values[i];
        if (!plot.Shows(v)) {
            flush();
            continue;
        }
        const long long seconds = static_cast<long long>(i + 1) * secondsPerPoint;
        const std::string x = Number(plot.X(static_cast<double>(seconds))), y = Number(plot.Y(v));
        points += x + "," + y + " ";
        dots += "<circle class=\"point\" cx=\"" + x + "\" cy=\"" + y + "\" r=\"2.5\" data-t=\"" +
                std::to_string(seconds) + "\" data-v=\"" + Number(v) + "\"><title>" + s.name +
                ", " + std::to_string(seconds) + " s: " + FormatValue(v, plot.unit) +
                "</title></circle>";
    }
    flush();
    return "<g class=\"series\" data-name=\"" + Escape(s.name) + "\" fill=\"" + s.color + "\">" +
           lines + dots + "</g>";
}

std::string Legend(const std::vector<std::pair<std::string, const char*>>& entries) {
    std::string html = "<div class=\"legend\">";
    for (const auto& [name, color] : entries)
        html += "<span><i style=\"background:" + std::string(color) + "\"></i>" + Escape(name) +
                "</span>";
    return html + "</div>\n";
}

// The opening tag of a chart `kWidth` wide and `height` high.
std::string SvgOpen(const std::string& cls, const std::string& id, double height) {
    return "<svg class=\"" + cls + "\" id=\"" + id +
           "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth) + "\" height=\"" +
           Number(height) + "\" viewBox=\"0 0 " + Number(kWidth) + " " + Number(height) + "\">";
}

enum class Scale { Linear, Log, Percent };

std::string Chart(const std::string& id, const std::string& title, const std::string& caption,
                  Unit unit, Scale scale, const std::vector<Series>& series,
                  const RunFacts& facts) {
    double low = std::numeric_limits<double>::infinity(), high = 0;
    for (const Series& s : series)
        for (const double v : s.values)
            if (!std::isnan(v)) {
                high = std::max(high, v);
                if (v > 0) low = std::min(low, v);
            }
    const std::size_t seconds =
        facts.workersEachSecond.size() * static_cast<std::size_t>(facts.secondsPerPoint);
    const Plot plot{LinearAxis(static_cast<double>(std::max<std::size_t>(seconds, 1))),
                    scale == Scale::Percent ? PercentAxis()
                    : scale == Scale::Log   ? LogAxis(low, high)
                                            : LinearAxis(high),
                    unit};
    std::vector<std::pair<std::string, const char*>> legend;
    for (const Series& s : series) legend.emplace_back(s.name, s.color);
    std::string html = "<figure>\n<h3>" + Escape(title) + "</h3>\n" + Legend(legend) +
                       SvgOpen("chart", id, kHeight);
    html += Grid(plot) + FaultMarks(facts, plot);
    for (const Series& s : series) html += Line(s, plot, facts.secondsPerPoint);
    return html + "</svg>\n<figcaption>" + Escape(caption) + "</figcaption>\n</figure>\n";
}

// A counter's growth per second, point by point.
std::vector<double> PerSecond(const RunFacts& facts, const std::string& counter) {
    std::vector<double> out;
    std::int64_t before = 0;
    for (const Stats& s : facts.workersEachSecond) {
        out.push_back(static_cast<double>(s.Get(counter) - before) / facts.secondsPerPoint);
        before = s.Get(counter);
    }
    return out;
}

std::vector<double> HitRatio(const RunFacts& facts) {
    const std::vector<double> answers = PerSecond(facts, "queries");
    const std::vector<double> loads = PerSecond(facts, "layer.sqlite");
    std::vector<double> out;
    for (std::size_t i = 0; i < answers.size(); ++i)
        out.push_back(answers[i] > 0
                          ? std::clamp(100 * (answers[i] - loads[i]) / answers[i], 0.0, 100.0)
                          : kNone);
    return out;
}

std::vector<double> LatencyPercentile(const RunFacts& facts, const std::string& counter) {
    std::vector<double> out;
    for (const Stats& s : facts.workersEachSecond) {
        const auto found = s.counters.find(counter);
        out.push_back(found == s.counters.end() ? kNone
                                                : static_cast<double>(found->second) / 1000);
    }
    return out;
}

// A lag gauge in milliseconds, as microseconds.
std::vector<double> LagMicros(const std::vector<std::int64_t>& values) {
    std::vector<double> out;
    for (const std::int64_t v : values)
        out.push_back(v < 0 ? kNone : static_cast<double>(v) * 1000);
    return out;
}

std::string Charts(const RunFacts& facts) {
    std::string html;
    html += Chart("answers", "Answers per second, by layer",
                  "Each answer counted once, in the layer that served it: the worker's memory, "
                  "the disk cache, Redis, or SQLite when every cache missed.",
                  Unit::PerSecond, Scale::Linear,
                  {{"memory", "#2a7", PerSecond(facts, "layer.memory")},
                   {"disk", "#27a", PerSecond(facts, "layer.disk")},
                   {"redis", "#a52", PerSecond(facts, "layer.redis")},
                   {"sqlite", "#777", PerSecond(facts, "layer.sqlite")}},
                  facts);
    html += Chart("hit-ratio", "Hit ratio",
                  "The share of each second's answers that did not load from the database.",
                  Unit::Percent, Scale::Percent, {{"hit ratio", "#2a7", HitRatio(facts)}}, facts);
    html += Chart("latency", "Answer latency",
                  "p50 and p99 of the answers of each second, all layers together; log scale.",
                  Unit::Micros, Scale::Log,
                  {{"p50", "#27a", LatencyPercentile(facts, "second.latency-p50-ns")},
                   {"p99", "#a52", LatencyPercentile(facts, "second.latency-p99-ns")}},
                  facts);
    html += Chart("lag", "Coherence delivery lag",
                  "An announcement's arrival less its timestamp, as the coherence service reports "
                  "it: p50 and p99 of the last minute, the largest of the workers. A fill from a "
                  "lower layer carries its stored value's timestamp.",
                  Unit::Micros, Scale::Linear,
                  {{"p50", "#27a", LagMicros(facts.lagP50MsEachSecond)},
                   {"p99", "#a52", LagMicros(facts.lagP99MsEachSecond)}},
                  facts);
    html += Chart("checks", "Freshness checks per second",
                  "A sample of the answers served from a cache, each compared with the "
                  "database's answer at that moment. Stale within 1 s: the change that made it "
                  "stale was less than the one-second window old.",
                  Unit::PerSecond, Scale::Linear,
                  {{"fresh", "#2a7", PerSecond(facts, "check.fresh")},
                   {"stale within 1 s", "#ca2", PerSecond(facts, "check.stale-within-window")},
                   {"stale beyond 1 s", "#c00", PerSecond(facts, "check.stale-beyond-window")}},
                  facts);
    if (facts.audit)
        html += Chart("auditor", "The library's auditor: verdicts per second",
                      "One answer in a hundred, re-loaded from SQLite on the auditor's thread and "
                      "compared. Consistent: the same content, or newer content announced after "
                      "the answer or within the one-second window before it. Inconsistent: newer "
                      "content announced longer before the answer, or never. Undecided: the "
                      "sample overlapped a gap in the coherence service's hearing.",
                      Unit::PerSecond, Scale::Linear,
                      {{"consistent", "#2a7", PerSecond(facts, "audit.consistent")},
                       {"undecided", "#ca2", PerSecond(facts, "audit.undecided")},
                       {"inconsistent", "#c00", PerSecond(facts, "audit.inconsistent")}},
                      facts);
    return html;
}

// Each row's answers stale beyond the window, in percent of those checked (kNone: none checked).
std::vector<double> StaleShares(const std::vector<ComparisonRow>& rows) {
    std::vector<double> stale;
    for (const ComparisonRow& r : rows)
        stale.push_back(r.checked > 0 ? 100 * static_cast<double>(r.staleBeyondWindow) /
                                            static_cast<double>(r.checked)
                                      : kNone);
    return stale;
}

// One bar of a bar chart, from `x` for `width`, with its value and a tooltip.
std::string SvgBar(const std::string& cls, double x, double top, double width, double height,
                   double value, const std::string& title) {
    return "<rect class=\"" + cls + "\" x=\"" + Number(x) + "\" y=\"" + Number(top) +
           "\" width=\"" + Number(width) + "\" height=\"" + Number(height) + "\" data-v=\"" +
           Number(value) + "\"><title>" + Escape(title) + "</title></rect>";
}

// The comparison as bars, one row a set-up: its answers per second, and beside them its
// answers stale beyond the window as a share of those checked.
std::string ComparisonChart(const Comparison& comparison) {
    constexpr double kLabels = 200, kRateEnd = 470, kStale = 540, kStaleEnd = 670;
    constexpr double kHead = 22, kRow = 28, kBar = 16, kFoot = 24;
    const std::vector<ComparisonRow>& rows = comparison.Rows();
    const std::vector<double> stale = StaleShares(rows);
    double fastest = 0, stalest = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        fastest = std::max(fastest, rows[i].AnswersPerSec());
        if (!std::isnan(stale[i])) stalest = std::max(stalest, stale[i]);
    }
    const Axis rate = LinearAxis(fastest);
    const Axis share = LinearAxis(stalest);
    const double height = kHead + kRow * static_cast<double>(rows.size()) + kFoot;
    const double base = height - kFoot;
    const auto rateX = [&](double v) { return kLabels + (kRateEnd - kLabels) * rate.Fraction(v); };
    const auto staleX = [&](double v) { return kStale + (kStaleEnd - kStale) * share.Fraction(v); };

    std::string svg = SvgOpen("chart bars", "comparison", height);
    svg += SvgText(kLabels, 14, "start", "answers per second", "head");
    svg += SvgText(kStale, 14, "start", "stale beyond 1 s, of checked", "head");
    // A grid line at every tick; a label where it keeps clear of the one before.
    const auto ticks = [&](const Axis& axis, const auto& x, Unit unit) {
        double labelled = -1e9;
        for (const double v : axis.ticks) {
            svg += SvgLine(x(v), kHead, x(v), base, "grid");
            if (x(v) - labelled < 44) continue;
            svg += SvgText(x(v), height - 8, "middle", FormatValue(v, unit));
            labelled = x(v);
        }
    };
    ticks(rate, rateX, Unit::PerSecond);
    ticks(share, staleX, Unit::Percent);
    svg += SvgLine(kLabels, kHead, kLabels, base, "axis") +
           SvgLine(kStale, kHead, kStale, base, "axis");
    std::string rates = "<g class=\"series\" data-name=\"answers per second\">";
    std::string stales = "<g class=\"series\" data-name=\"stale beyond 1 s\">";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ComparisonRow& r = rows[i];
        const double top = kHead + kRow * static_cast<double>(i) + (kRow - kBar) / 2;
        const double middle = top + kBar / 2 + 4;
        const bool ours = r.setup == "velcache";
        svg += SvgText(kLabels - 8, middle, "end", SetupLabel(r), ours ? "ours" : "");
        const std::string perSec = FormatValue(r.AnswersPerSec(), Unit::PerSecond);
        rates +=
            SvgBar(ours ? "point ours" : "point", kLabels, top, rateX(r.AnswersPerSec()) - kLabels,
                   kBar, r.AnswersPerSec(), SetupLabel(r) + ": " + perSec);
        rates += SvgText(rateX(r.AnswersPerSec()) + 4, middle, "start", perSec, "value");
        if (std::isnan(stale[i])) {
            stales += SvgText(kStale + 4, middle, "start", "not checked", "value");
            continue;
        }
        const std::string text = FormatValue(stale[i], Unit::Percent) + " (" +
                                 std::to_string(r.staleBeyondWindow) + " of " +
                                 std::to_string(r.checked) + ")";
        stales += SvgBar("point stale", kStale, top, staleX(stale[i]) - kStale, kBar, stale[i],
                         SetupLabel(r) + ": " + text);
        stales += SvgText(staleX(stale[i]) + 4, middle, "start", text, "value");
    }
    return svg + rates + "</g>" + stales + "</g></svg>\n";
}

std::string HtmlTable(const Table& table) {
    std::string html = "<h3>" + Escape(table.title) + "</h3>\n<div class=\"wide\"><table id=\"" +
                       table.id + "\"" + (table.header.empty() ? " class=\"facts\"" : "") + ">\n";
    if (!table.header.empty()) {
        html += "<thead><tr>";
        for (const std::string& h : table.header) html += "<th>" + Escape(h) + "</th>";
        html += "</tr></thead>\n";
    }
    html += "<tbody>\n";
    for (const std::vector<std::string>& row : table.rows) {
        html += row.empty() || row[0] != "velcache" ? "<tr>" : "<tr class=\"ours\">";
        for (std::size_t i = 0; i < row.size(); ++i) {
            // Figures of a table with columns line up on the right; words and prose on the left.
            const bool figure =
                !table.header.empty() && i > 0 && !row[i].empty() &&
                (std::isdigit(static_cast<unsigned char>(row[i][0])) || row[i] == "-");
            html += i == 0 ? "<th scope=\"row\">" : figure ? "<td class=\"n\">" : "<td>";
            html += Escape(row[i]) + (i == 0 ? "</th>" : "</td>");
        }
        html += "</tr>\n";
    }
    html += "</tbody></table></div>\n";
    if (!table.caption.empty()) html += "<p class=\"caption\">" + Escape(table.caption) + "</p>\n";
    return html;
}

std::string FaultList(const RunFacts& facts) {
    if (facts.faults.empty()) return "";
    std::string html =
        "<p>Faults made during the run, numbered on the charts (dashed red lines; the database "
        "outage shaded):</p>\n<ol class=\"faults\">";
    char at[32];
    for (const RunFacts::Fault& f : facts.faults) {
        std::snprintf(at, sizeof at, "%.1f s", f.atSec);
        html += "<li>" + std::string(at) + ": " + Escape(f.what) + "</li>";
    }
    return html + "</ol>\n";
}

const char* const kStyle =
    "body{font-family:'DejaVu Sans',Helvetica,Arial,sans-serif;color:#222;max-width:940px;"
    "margin:24px auto;padding:0 16px;line-height:1.4;font-size:15px}"
    ".wide{max-width:100%;overflow-x:auto}"
    "h1{font-size:1.6em;margin-bottom:.2em}"
    "h2{font-size:1.3em;border-bottom:1px solid #ddd;padding-bottom:.2em;margin-top:1.8em}"
    "h3{font-size:1.05em;margin:1.4em 0 .3em}"
    "figure{margin:0 0 1em}"
    "figcaption,.caption{color:#555;font-size:.88em;margin:.2em 0 0}"
    ".legend{font-size:.85em;color:#444}"
    ".legend span{margin-right:1.2em}"
    ".legend i{display:inline-block;width:14px;height:4px;margin-right:5px;"
    "vertical-align:middle}"
    "svg{display:block;max-width:100%;height:auto}"
    "svg text{font-size:11px;fill:#555}"
    "svg.bars text{font-size:12px}"
    "svg text.head{font-size:12px;fill:#222;font-weight:bold}"
    "svg text.ours{fill:#222;font-weight:bold}"
    "svg text.value{fill:#333}"
    "svg text.fault-label{fill:#c00;font-size:10px}"
    ".grid{stroke:#e6e6e6}.axis{stroke:#888}"
    ".fault{stroke:#c00;stroke-dasharray:4 3}"
    ".outage{fill:#c00;fill-opacity:.07}"
    "rect.point{fill:#8aa4c8}rect.point.ours{fill:#2a7}rect.point.stale{fill:#c33}"
    "table{border-collapse:collapse;font-size:.88em;margin:.3em 0}"
    "th,td{padding:3px 7px;border-bottom:1px solid #eee;text-align:left;vertical-align:top}"
    "thead th{border-bottom:2px solid #ccc;vertical-align:bottom}"
    "thead th+th{text-align:right}"
    "th[scope=row]{white-space:nowrap}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}"
    "table.facts th{color:#444;font-weight:600}"
    "tr.ours{background:#eef8f2;font-weight:600}"
    "ol.faults{font-size:.88em;color:#444;columns:2}"
    ".verdict{padding:6px 10px;border-left:4px solid #2a7;background:#eef8f2}"
    ".verdict.unclean{border-color:#ca2;background:#fbf6e4}"
    ".verdict.stale{border-color:#c00;background:#fbeaea}";

// Once the page is laid out, each chart notes how many of its points were drawn with a size,
// inside the chart.
const char* const kCountDrawn =
    "addEventListener('load',function(){"
    "document.querySelectorAll('svg.chart').forEach(function(svg){"
    "var box=svg.getBoundingClientRect(),drawn=0;"
    "svg.querySelectorAll('.point').forEach(function(p){"
    "var r=p.getBoundingClientRect();"
    "if((r.width>0||r.height>0)&&r.left>=box.left-1&&r.right<=box.right+1&&"
    "r.top>=box.top-1&&r.bottom<=box.bottom+1)drawn++;});"
    "svg.setAttribute('data-drawn',drawn);});});";

}  // namespace

Stats ChartedSecond(const Stats& workers, Histogram& latencyBefore) {
    static const char* const kCharted[] = {"queries",
                                           "layer.memory",
                                           "layer.disk",
                                           "layer.redis",
                                           "layer.sqlite",
                                           "check.fresh",
                                           "check.stale-within-window",
                                           "check.stale-beyond-window",
                                           "audit.consistent",
                                           "audit.undecided",
                                           "audit.inconsistent"};
    Stats out;
    for (const char* name : kCharted) out.counters[name] = workers.Get(name);
    const auto found = workers.histograms.find("latency.all");
    const Histogram now = found == workers.histograms.end() ? Histogram() : found->second;
    const Histogram second = now.Since(latencyBefore);
    if (second.Count()) {
        out.counters["second.latency-p50-ns"] =
            static_cast<std::int64_t>(second.PercentileUs(0.5) * 1000);
        out.counters["second.latency-p99-ns"] =
            static_cast<std::int64_t>(second.PercentileUs(0.99) * 1000);
    }
    latencyBefore = now;
    return out;
}

std::string HtmlReport(const RunFacts& facts, const Summary& summary,
                       const Comparison* comparison) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width\">"
        "<title>velcache main job report</title>\n<style>" +
        std::string(kStyle) + "</style></head>\n<body>\n<h1>velcache main job</h1>\n<p>" +
        std::to_string(facts.processes) +
        (facts.processes == 1 ? " worker process, " : " worker processes, ") +
        FormatValue(facts.durationSec * 1e6, Unit::Micros) + " of workload" +
        (comparison ? " per set-up" : "") + ", seed " + std::to_string(facts.seed) + ".</p>\n";
    const int code = summary.ExitCode();
    html += std::string("<p class=\"verdict") +
            (code == 1   ? " stale"
             : code == 3 ? " unclean"
                         : "") +
            "\" id=\"verdict\"><b>Result" + (comparison ? " of velcache's set-up" : "") + ":</b> " +
            Escape(summary.Verdict()) + "</p>\n";
    if (comparison) {
        html += "<h2>Comparison</h2>\n<figure>\n<h3>Answers per second by set-up</h3>\n" +
                ComparisonChart(*comparison) +
                "<figcaption>The same query stream and writer through each set-up in turn; "
                "the TTL set-ups keep answers for the time shown, and no change reaches them. "
                "Right: answers judged stale more than the one-second window after the change "
                "that made them so, as a share of the answers checked.</figcaption>\n"
                "</figure>\n" +
                HtmlTable(comparison->ReportTable());
    }
    html += std::string("<h2>") +
            (comparison ? "velcache's set-up, second by second" : "Second by second") + "</h2>\n" +
            FaultList(facts) + Charts(facts);
    html += "<h2>Summary</h2>\n";
    for (const Table& table : summary.ReportTables()) html += HtmlTable(table);
    return html + "<script>" + kCountDrawn + "</script>\n</body></html>\n";
}

}  // namespace demo
