#include "metrics2/OpenMetrics.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

using velmora::TMutexLock;

namespace Metrics {

struct OpenMetricsSink::Family {
    enum class Type { Counter, Histogram, Gauge };
    struct Series {
        double value = 0;  // count of a counter, last value of a gauge, sum of a histogram
        std::int64_t count = 0;
        std::vector<std::int64_t> buckets;  // a histogram's, not yet cumulative
    };
    Type type = Type::Counter;
    std::string help;
    std::map<std::string, Series> series;  // by label text
};

namespace {

std::string Number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.12g", value);
    return text;
}

// A tag's value as text, for a label.
std::string Text(const TagValue& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, TString>)
                return v.toStdString();
            else if constexpr (std::is_same_v<T, bool>)
                return v ? "true" : "false";
            else if constexpr (std::is_same_v<T, double>)
                return Number(v);
            else
                return std::to_string(v);
        },
        value);
}

// A numeric tag's value; false for text.
bool Numeric(const TagValue& value, double& out) {
    return std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, TString>) {
                return false;
            } else {
                out = static_cast<double>(v);
                return true;
            }
        },
        value);
}

std::string Escape(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Braced(const std::string& labels) {
    return labels.empty() ? "" : "{" + labels + "}";
}

std::string WithLabel(const std::string& labels, const std::string& more) {
    return labels.empty() ? more : labels + "," + more;
}

const char* TypeName(int type) {
    static const char* const names[] = {"counter", "histogram", "gauge"};
    return names[type];
}

}  // namespace

std::string OpenMetricsName(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool word =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
        if (word)
            out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        else if (!out.empty() && out.back() != '_')
            out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

OpenMetricsSink::OpenMetricsSink(std::shared_ptr<IMetricsSink> next, OpenMetricsOptions options)
    : m_next(std::move(next)), m_options(std::move(options)) {}

OpenMetricsSink::~OpenMetricsSink() = default;

const char* OpenMetricsSink::ContentType() {
    return "text/plain; version=0.0.4; charset=utf-8";
}

std::string OpenMetricsSink::LabelsOf(const MetricsRecord& record) const {
    std::map<std::string, std::string> labels;  // sorted by label name
    const std::string scope = record.name.toStdString();
    for (const auto& [prefix, layer] : m_options.layers)
        if (scope.rfind(prefix, 0) == 0) labels["layer"] = layer;
    for (const auto& [tag, value] : record.tags) {  // a later value of a tag wins
        const auto label = m_options.labels.find(tag.toStdString());
        if (label != m_options.labels.end()) labels[label->second] = Text(value);
    }
    std::string text;
    for (const auto& [name, value] : labels)
        text = WithLabel(text, OpenMetricsName(name) + "=\"" + Escape(value) + "\"");
    return text;
}

void OpenMetricsSink::Record(const MetricsRecord& record) {
    const std::string scope = record.name.toStdString();
    const std::string name = m_options.prefix + OpenMetricsName(scope);
    const std::string labels = LabelsOf(record);
    const bool snapshot =
        std::find(m_options.snapshotScopes.begin(), m_options.snapshotScopes.end(), scope) !=
        m_options.snapshotScopes.end();
    {
        TMutexLock lock(m_mutex);
        if (snapshot)
            RecordSnapshot(scope, name, labels, record);
        else
            RecordOperation(name, labels, std::chrono::duration<double>(record.elapsed).count());
    }
    if (m_next) m_next->Record(record);
}

void OpenMetricsSink::RecordOperation(const std::string& name, const std::string& labels,
                                      double seconds) {
    auto& counter = m_families[name];
    if (!counter) {
        counter = std::make_unique<Family>();
        counter->help = "Operations measured by this scope.";
    }
    counter->series[labels].value += 1;
    auto& histogram = m_families[name + "_seconds"];
    if (!histogram) {
        histogram = std::make_unique<Family>();
        histogram->type = Family::Type::Histogram;
        histogram->help = "How long the scope's operations took.";
    }
    Family::Series& series = histogram->series[labels];
    series.buckets.resize(m_options.bucketsSec.size() + 1);
    const auto bucket =
        std::lower_bound(m_options.bucketsSec.begin(), m_options.bucketsSec.end(), seconds) -
        m_options.bucketsSec.begin();
    ++series.buckets[static_cast<std::size_t>(bucket)];
    series.value += seconds;
    ++series.count;
}

void OpenMetricsSink::RecordSnapshot(const std::string& scope, const std::string& name,
                                     const std::string& labels, const MetricsRecord& record) {
    for (const auto& [tag, value] : record.tags) {
        double number = 0;
        if (!Numeric(value, number)) continue;
        const std::string tagName = tag.toStdString();
        // Figures in milliseconds are rendered in the base unit, as scrapers expect: "-ms" ->
        // "_seconds", the value divided by 1000 (a negative "none" stays negative).
        std::string metric = OpenMetricsName(tagName);
        const bool inMs = metric.size() > 3 && metric.compare(metric.size() - 3, 3, "_ms") == 0;
        if (inMs) {
            metric.replace(metric.size() - 3, 3, "_seconds");
            number /= 1000;
        }
        auto& figure = m_families[name + "_" + metric];
        if (!figure) {
            // A figure the scope described as a count that only grows is a counter (rendered
            // as <name>_total); any other is a gauge.
            const std::optional<FigureDescription> described = DescribedFigure(scope, tagName);
            figure = std::make_unique<Family>();
            figure->type = described && described->kind == FigureKind::Counter
                               ? Family::Type::Counter
                               : Family::Type::Gauge;
            figure->help = described && !described->help.empty()
                               ? described->help
                               : "The last value this snapshot reported.";
            if (inMs) figure->help += " Rendered in seconds.";
        }
        figure->series[labels].value = number;  // the source's own count, or its level
    }
}

void OpenMetricsSink::AddCollector(std::function<void()> collect) {
    TMutexLock lock(m_mutex);
    m_collectors.push_back(std::move(collect));
}

std::string OpenMetricsSink::Render() {
    std::vector<std::function<void()>> collectors;
    {
        TMutexLock lock(m_mutex);
        collectors = m_collectors;
    }
    for (const auto& collect : collectors) collect();  // may record: no lock held
    std::string out;
    TMutexLock lock(m_mutex);
    for (const auto& [familyName, family] : m_families) {
        // A counter's samples and (in this version of the format) its family are name_total.
        const bool counter = family->type == Family::Type::Counter;
        const std::string name = counter ? familyName + "_total" : familyName;
        out += "# HELP " + name + " " + family->help + "\n# TYPE " + name + " " +
               TypeName(static_cast<int>(family->type)) + "\n";
        for (const auto& [labels, s] : family->series) {
            if (counter) {
                out += name + Braced(labels) + " " + Number(s.value) + "\n";
            } else if (family->type == Family::Type::Gauge) {
                out += name + Braced(labels) + " " + Number(s.value) + "\n";
            } else {
                std::int64_t cumulative = 0;
                for (std::size_t i = 0; i < s.buckets.size(); ++i) {
                    cumulative += s.buckets[i];
                    const std::string le =
                        i < m_options.bucketsSec.size() ? Number(m_options.bucketsSec[i]) : "+Inf";
                    out += name + "_bucket" + Braced(WithLabel(labels, "le=\"" + le + "\"")) + " " +
                           std::to_string(cumulative) + "\n";
                }
                out += name + "_sum" + Braced(labels) + " " + Number(s.value) + "\n";
                out += name + "_count" + Braced(labels) + " " + std::to_string(s.count) + "\n";
            }
        }
    }
    return out;
}

}  // namespace Metrics
