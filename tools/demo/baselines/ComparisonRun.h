// ComparisonRun: --compare, the workload run once per set-up on the same data and seed, printed
// side by side. One thread.
#pragma once

#include "harness/MainJob.h"

namespace demo {

// Every set-up in turn, then the table (and the report). The exit code is the library's
// set-up's: the others are expected to serve stale answers.
int RunComparison(const Options& options, RunPlace& place);

}  // namespace demo
