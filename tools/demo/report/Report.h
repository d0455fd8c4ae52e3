// report/: what a run shows beyond its summary: the HTML report and its charts' axes, text
// tables, the workers' metrics endpoint and the heap report.

// Report: the end of a run as one self-contained HTML page that a person reads from the top.
// After a comparison run it opens with the comparison (a bar chart of the answers per second of
// each set-up beside its stale answers, then the table); then charts over the seconds of the
// workload (answers per second by layer, hit ratio, p50/p99 latency on a log axis, the coherence
// service's delivery lag, the freshness checks, the library auditor's verdicts), each fault of a
// chaos run marked on the time axis; then the summary's tables. Charts are inline SVG with round
// ticks, grid lines and readable units; the page loads nothing from anywhere, so it opens offline.
// Each chart carries in `data-drawn` how many of its points the browser drew inside it (set by a
// script of the page once loaded), for a check that renders the page. Not thread-safe: use from one
// thread at a time.
#pragma once

#include <string>
#include <vector>

#include "baselines/Comparison.h"
#include "harness/Summary.h"
#include "report/Table.h"

namespace demo {

// What the report charts of one second of the workload, from the workers' stats added up as
// reported by its end: the charted counters, and the p50 and p99 of the answers' latency in that
// second alone (counters "second.latency-p50-ns" and "second.latency-p99-ns", absent when no
// answer came), against `latencyBefore`, the workers' "latency.all" at the end of the second
// before, which it then advances. A run keeps one a second, so it keeps no histogram.
Stats ChartedSecond(const Stats& workers, Histogram& latencyBefore);

// `facts` and `summary`: of the run, or of the library's set-up in a comparison run, whose
// set-ups `comparison` holds (null when none ran). The summary's verdict heads the page.
std::string HtmlReport(const RunFacts& facts, const Summary& summary, const Comparison* comparison);

}  // namespace demo
