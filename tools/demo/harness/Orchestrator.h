// harness/: the main job's parent and child processes around the model host: flags, starting
// and driving the processes, faults, sampling, the workers' and writer's loops, the summary.

// Orchestrator: the parent of a run. It starts (or finds) the Redis server, generates the
// database, starts the writer and the worker processes (this program again, in a child role),
// tells them when to go, stop and settle over their standard input, reads their reports from
// their standard output, prints a live progress line, makes trouble with --chaos, and prints the
// summary. Returns the process's exit code: 0 when every check passed and no process counted a
// library warning or a failed external operation, 1 when a check failed, 3 when the checks
// passed but the run was not clean (Summary::ExitCode).
// Not thread-safe: use from one thread at a time.
#pragma once

#include "harness/Options.h"

namespace demo {

int RunWorkload(const Options& options);
// The body of a worker or writer process.
int RunChild(const ChildConfig& config);

}  // namespace demo
