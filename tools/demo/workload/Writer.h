// Writer: the process that changes the data under the workers. At a steady rate it updates one
// sales row, bumps the version of every base query the row affects and records the change, all
// in one transaction; then it recomputes those queries, stores the new answers in the Redis
// external cache, adds them to its own cache and announces them through the coherence service
// (older, different entries elsewhere become dirty), and records when each was announced.
// Not thread-safe: Run uses the calling thread.
#pragma once

#include "DemoHost.h"
#include "QueryCatalogue.h"

namespace demo {

class Writer {
public:
    Writer(DemoHost& host, const QueryCatalogue& catalogue)
        : m_host(host), m_catalogue(catalogue) {}
    void Run();

private:
    DemoHost& m_host;
    const QueryCatalogue& m_catalogue;
};

}  // namespace demo
