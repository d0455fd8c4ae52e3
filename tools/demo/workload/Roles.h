// The two roles a child process of a run plays. Each function is the whole body of its process:
// it reports to the parent and follows the parent's commands through `host`, on the calling
// thread, until the parent ends it.
#pragma once

#include "DemoHost.h"
#include "QueryCatalogue.h"

namespace demo {

// A worker: one host answering a skewed stream of catalogue queries through its caches
// (ResultCache for base queries, DerivedResults for derived ones), each query under its own
// cascade scope. It samples the answers served from a cache against the database, measures the
// database alone on the same stream now and then, reports progress to the parent, and after
// "settle" compares everything it still holds with the database.
void RunWorker(DemoHost& host, const QueryCatalogue& catalogue);

// The writer: changes the data under the workers. At a steady rate it updates one sales row,
// bumps the version of every base query the row affects and records the change with each
// query's rows at its new version, all in one transaction (ChangeRecorder); then it recomputes
// those queries, stores the new answers in the Redis external cache, adds them to its own cache and
// announces them through the coherence service (older, different entries elsewhere become dirty),
// and records when each was announced.
void RunWriter(DemoHost& host, const QueryCatalogue& catalogue);

}  // namespace demo
