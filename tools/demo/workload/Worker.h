// Worker: one host process answering a skewed stream of catalogue queries through its caches
// (ResultCache for base queries, DerivedResults for derived ones), each query under its own
// cascade scope. It samples the answers served from a cache against the database, measures the
// database alone on the same stream now and then, reports progress to the parent, and after
// "settle" compares everything it still holds with the database.
// Not thread-safe: Run uses the calling thread.
#pragma once

#include "DemoHost.h"
#include "QueryCatalogue.h"

namespace demo {

class Worker {
public:
    Worker(DemoHost& host, const QueryCatalogue& catalogue)
        : m_host(host), m_catalogue(catalogue) {}
    void Run();

private:
    DemoHost& m_host;
    const QueryCatalogue& m_catalogue;
};

}  // namespace demo
