#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace demo {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
constexpr int kWidth = 760, kHeight = 240, kLeft = 64, kRight = 16, kTop = 28, kBottom = 34;

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

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

// Where second `t` and value `v` go on a chart whose values reach `top`.
double X(double t, double seconds) {
    return kLeft + (kWidth - kLeft - kRight) * (seconds > 0 ? t / seconds : 0);
}
double Y(double v, double top) {
    return kHeight - kBottom - (kHeight - kTop - kBottom) * (top > 0 ? v / top : 0);
}

std::string Axes(double seconds, double top, const std::string& unit) {
    std::string svg;
    const double base = Y(0, top);
    svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(base) + "\" x2=\"" +
           Number(kWidth - kRight) + "\" y2=\"" + Number(base) + "\" stroke=\"#444\"/>";
    svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(kTop) + "\" x2=\"" + Number(kLeft) +
           "\" y2=\"" + Number(base) + "\" stroke=\"#444\"/>";
    svg += "<text x=\"4\" y=\"" + Number(kTop + 4) + "\">" + Number(top) + " " + Escape(unit) +
           "</text><text x=\"4\" y=\"" + Number(base) + "\">0</text>";
    const int step = seconds > 20 ? 10 : 5;
    for (int t = 0; t <= seconds; t += step)
        svg += "<text x=\"" + Number(X(t, seconds) - 6) + "\" y=\"" + Number(kHeight - 14) + "\">" +
               std::to_string(t) + " s</text>";
    return svg;
}

std::string FaultMarks(const std::vector<RunFacts::Fault>& faults, double seconds, double top) {
    std::string svg;
    for (const RunFacts::Fault& f : faults) {
        const std::string x = Number(X(f.atSec, seconds));
        svg += "<line class=\"fault\" x1=\"" + x + "\" y1=\"" + Number(kTop) + "\" x2=\"" + x +
               "\" y2=\"" + Number(Y(0, top)) +
               "\" stroke=\"#c00\" stroke-dasharray=\"4 3\"><title>" + Number(f.atSec) +
               " s: " + Escape(f.what) + "</title></line>";
    }
    return svg;
}

std::string Line(const Series& s, double seconds, double top) {
    std::string points, dots;
    for (std::size_t i = 0; i < s.values.size(); ++i) {
        if (std::isnan(s.values[i])) continue;
        const std::string x = Number(X(static_cast<double>(i + 1), seconds));
        const std::string y = Number(Y(s.values[i], top));
        points += x + "," + y + " ";
        dots += "<circle class=\"point\" cx=\"" + x + "\" cy=\"" + y + "\" r=\"2.5\" data-t=\"" +
                std::to_string(i + 1) + "\" data-v=\"" + Number(s.values[i]) + "\"><title>" +
                std::to_string(i + 1) + " s: " + Number(s.values[i]) + "</title></circle>";
    }
    return "<g class=\"series\" data-name=\"" + Escape(s.name) + "\" fill=\"" + s.color +
           "\"><polyline fill=\"none\" stroke=\"" + s.color + "\" points=\"" + points + "\"/>" +
           dots + "</g>";
}

std::string Chart(const std::string& id, const std::string& title, const std::string& unit,
                  const std::vector<Series>& series, const std::vector<RunFacts::Fault>& faults,
                  std::size_t seconds) {
    double top = 0;
    for (const Series& s : series)
        for (const double v : s.values)
            if (!std::isnan(v)) top = std::max(top, v);
    top = top > 0 ? top * 1.1 : 1;
    const double span = static_cast<double>(std::max<std::size_t>(seconds, 1));
    std::string svg = "<h2>" + Escape(title) + "</h2>\n<svg class=\"chart\" id=\"" + id +
                      "\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth) +
                      "\" height=\"" + Number(kHeight) + "\" font-size=\"11\">";
    svg += Axes(span, top, unit) + FaultMarks(faults, span, top);
    double legend = kLeft + 8;
    for (const Series& s : series) {
        svg += Line(s, span, top);
        svg += "<text x=\"" + Number(legend) + "\" y=\"14\" fill=\"" + s.color + "\">" +
               Escape(s.name) + "</text>";
        legend += 9.0 * static_cast<double>(s.name.size()) + 16;
    }
    return svg + "</svg>\n";
}

// A counter's growth in each second.
std::vector<double> PerSecond(const RunFacts& facts, const std::string& counter) {
    std::vector<double> out;
    std::int64_t before = 0;
    for (const Stats& s : facts.workersEachSecond) {
        out.push_back(static_cast<double>(s.Get(counter) - before));
        before = s.Get(counter);
    }
    return out;
}

std::vector<double> HitRatio(const RunFacts& facts) {
    const std::vector<double> answers = PerSecond(facts, "queries");
    const std::vector<double> loads = PerSecond(facts, "layer.sqlite");
    std::vector<double> out;
    for (std::size_t i = 0; i < answers.size(); ++i)
        out.push_back(answers[i] > 0 ? 100 * (answers[i] - loads[i]) / answers[i] : kNone);
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

std::vector<double> Gauge(const std::vector<std::int64_t>& values) {
    std::vector<double> out;
    for (const std::int64_t v : values) out.push_back(v < 0 ? kNone : static_cast<double>(v));
    return out;
}

std::string Charts(const RunFacts& facts) {
    const std::size_t n = facts.workersEachSecond.size();
    const auto& f = facts.faults;
    std::string html;
    html += Chart("answers", "Answers per second, by layer", "/s",
                  {{"memory", "#2a7", PerSecond(facts, "layer.memory")},
                   {"disk", "#27a", PerSecond(facts, "layer.disk")},
                   {"redis", "#a52", PerSecond(facts, "layer.redis")},
                   {"sqlite", "#777", PerSecond(facts, "layer.sqlite")}},
                  f, n);
    html += Chart("hit-ratio", "Hit ratio (answers not loaded from the database)", "%",
                  {{"hit ratio", "#2a7", HitRatio(facts)}}, f, n);
    html += Chart("latency", "Answer latency", "us",
                  {{"p50", "#27a", LatencyPercentile(facts, "second.latency-p50-ns")},
                   {"p99", "#a52", LatencyPercentile(facts, "second.latency-p99-ns")}},
                  f, n);
    html +=
        Chart("lag",
              "Coherence delivery lag: arrival less the announcement's timestamp, as the service "
              "reports it (largest of the workers, last minute; a fill from a lower layer "
              "carries its stored value's timestamp)",
              "ms",
              {{"p50", "#27a", Gauge(facts.lagP50MsEachSecond)},
               {"p99", "#a52", Gauge(facts.lagP99MsEachSecond)}},
              f, n);
    html += Chart("checks", "Freshness checks per second", "/s",
                  {{"fresh", "#2a7", PerSecond(facts, "check.fresh")},
                   {"stale within 1 s", "#ca2", PerSecond(facts, "check.stale-within-window")},
                   {"stale beyond 1 s", "#c00", PerSecond(facts, "check.stale-beyond-window")}},
                  f, n);
    return html;
}

}  // namespace

Stats ChartedSecond(const Stats& workers, Histogram& latencyBefore) {
    static const char* const kCharted[] = {"queries",
                                           "layer.memory",
                                           "layer.disk",
                                           "layer.redis",
                                           "layer.sqlite",
                                           "check.fresh",
                                           "check.stale-within-window",
                                           "check.stale-beyond-window"};
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

std::string HtmlReport(const RunFacts& facts, const std::string& summaryTable,
                       const std::string& comparisonTable) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>velcache main job report</title></head>\n<body style=\"font-family: sans-serif\">\n"
        "<h1>velcache main job</h1>\n<p>" +
        std::to_string(facts.processes) + " workers, " + Number(facts.durationSec) +
        " s of workload, seed " + std::to_string(facts.seed) +
        ". Dashed red lines: faults made "
        "(hover for what).</p>\n";
    html += Charts(facts);
    html += "<h2>Summary</h2>\n<pre id=\"summary\">" + Escape(summaryTable) + "</pre>\n";
    if (!comparisonTable.empty())
        html +=
            "<h2>Comparison</h2>\n<pre id=\"comparison\">" + Escape(comparisonTable) + "</pre>\n";
    return html + "</body></html>\n";
}

}  // namespace demo
