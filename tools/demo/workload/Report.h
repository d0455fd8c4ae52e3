// Report: the end of a run as one self-contained HTML page: charts over the seconds of the
// workload (answers per second by layer, hit ratio, p50/p99 latency, the coherence service's
// delivery lag, the freshness checks), each fault of a chaos run marked on the time axis, then
// the summary table and, after a comparison run, the comparison table. The charts are inline
// SVG; the page loads nothing from anywhere, so it opens offline.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <string>

#include "Summary.h"

namespace demo {

// What the report charts of one second of the workload, from the workers' stats added up as
// reported by its end: the charted counters, and the p50 and p99 of the answers' latency in that
// second alone (counters "second.latency-p50-ns" and "second.latency-p99-ns", absent when no
// answer came), against `latencyBefore`, the workers' "latency.all" at the end of the second
// before, which it then advances. A run keeps one a second, so it keeps no histogram.
Stats ChartedSecond(const Stats& workers, Histogram& latencyBefore);

// `comparisonTable` may be empty (no comparison ran).
std::string HtmlReport(const RunFacts& facts, const std::string& summaryTable,
                       const std::string& comparisonTable);

}  // namespace demo
