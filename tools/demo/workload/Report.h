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

// `comparisonTable` may be empty (no comparison ran).
std::string HtmlReport(const RunFacts& facts, const std::string& summaryTable,
                       const std::string& comparisonTable);

}  // namespace demo
