// OpenMetricsSink: a metrics sink that adds up the records of the process's scopes and renders
// them as the Prometheus/OpenMetrics text a monitoring system scrapes. A host installs it with
// Metrics::SetSink, giving it the host's own sink (if any) to pass every record on to.
//
// What it renders, every name prefixed (default "velcache_") and made of [a-z0-9_]:
// - each operation scope (a scope not listed as a snapshot): a counter <scope>_total and a
//   latency histogram <scope>_seconds (cumulative buckets, _sum, _count), one series per set of
//   label values;
// - each snapshot scope (a scope that reports a set of figures at once, such as a health
//   snapshot): one family <scope>_<tag> per numeric tag, holding the last value reported: a
//   counter (<scope>_<tag>_total) when the scope described the figure as a count that only
//   grows (Metrics::DescribeFigure), else a gauge; the help line is the description's. A
//   figure in milliseconds (its tag ending "-ms") is rendered in seconds (<scope>_<..>_seconds).
// Labels come from tags through a mapping (tag name -> label name; unmapped tags are not
// labels, so that keys and sizes never multiply the series), and from the scope name's prefix
// (e.g. "DiskExternalCache::" -> layer="disk").
// Collectors are functions a host registers to be run before each rendering, typically asking
// a component for its figures so that it reports them through a snapshot scope.
// Thread contract: safe for concurrent use. Record takes the sink's lock and then calls the next
// sink without it; Render runs the collectors with no lock held, then takes the lock.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "metrics2/Metrics.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"

namespace Metrics {

/// How an OpenMetricsSink names and labels what it renders.
struct VELPLATFORM_EXPORT OpenMetricsOptions {
    /// Put before every metric name.
    std::string prefix = "velcache_";
    /// Tag name -> label name.
    std::map<std::string, std::string> labels = {
        {"cns", "namespace"}, {"name", "namespace"}, {"outcome", "outcome"}, {"layer", "layer"}};
    /// Scope name prefix -> value of the "layer" label.
    std::map<std::string, std::string> layers = {{"DiskExternalCache::", "disk"},
                                                 {"RedisExternalCache::", "redis"}};
    /// Scopes whose numeric tags are figures to show as gauges.
    std::vector<std::string> snapshotScopes = {"RedisPubsub::Health", "ReadThroughCache::Counters"};
    /// Upper bounds of the latency buckets, seconds, ascending (+Inf is added).
    std::vector<double> bucketsSec = {1e-5, 5e-5,  1e-4, 2.5e-4, 5e-4, 1e-3, 2.5e-3, 5e-3,
                                      0.01, 0.025, 0.05, 0.1,    0.5,  1,    5};
};

/// A metrics sink that renders the records as the Prometheus text format (see the file's opening
/// comment). Safe for concurrent use.
class VELPLATFORM_EXPORT OpenMetricsSink : public IMetricsSink {
public:
    /// A sink passing every record on to `next` (none: to nobody).
    explicit OpenMetricsSink(std::shared_ptr<IMetricsSink> next = nullptr,
                             OpenMetricsOptions options = {});
    ~OpenMetricsSink() override;

    /// Adds the record up, then passes it on.
    void Record(const MetricsRecord& record) override;
    /// Runs `collect` before each rendering (with no lock held), e.g. to ask a component for its
    /// figures.
    void AddCollector(std::function<void()> collect);
    /// The text exposition format (version 0.0.4), ending with a newline.
    std::string Render();

    /// "text/plain; version=0.0.4; charset=utf-8"
    static const char* ContentType();

private:
    struct Family;
    std::string LabelsOf(const MetricsRecord& record) const;
    void RecordOperation(const std::string& name, const std::string& labels, double seconds)
        VEL_REQUIRES(m_mutex);
    void RecordSnapshot(const std::string& scope, const std::string& name,
                        const std::string& labels, const MetricsRecord& record)
        VEL_REQUIRES(m_mutex);

    const std::shared_ptr<IMetricsSink> m_next;
    const OpenMetricsOptions m_options;
    velmora::TMutex m_mutex;
    std::map<std::string, std::unique_ptr<Family>> m_families VEL_GUARDED_BY(m_mutex);
    std::vector<std::function<void()>> m_collectors VEL_GUARDED_BY(m_mutex);
};

/// A metric or label name from any text: lower case, runs of other characters made one '_'.
VELPLATFORM_EXPORT std::string OpenMetricsName(const std::string& text);

}  // namespace Metrics
