// The demo host: a program that loads the library as a server process would. By default it runs
// the main job (worker processes caching real queries while a writer changes the data under
// them, see harness/Orchestrator.h); with --tour it walks through the API one chapter per
// capability, printing what every call returned.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "Demos.h"
#include "harness/Options.h"
#include "harness/Orchestrator.h"
#include "report/HeapReport.h"
#include "velcoreplatform/TLog.h"

namespace {

int RunTour() {
    TLog::SetStderrLevel(TLog::Warn);
    RunCacheDemo();
    RunIndexedAndSynchronizedDemo();
    RunCascadeDemo();
    RunCoherenceDemo();
    RunExternalCacheDemo();
    RunReadThroughDemo();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = demo::ParseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "velcache_demo: %s\n\n%s", error.c_str(), demo::Usage());
        return 2;
    }
    // Before any thread starts: the cap binds the arenas of every thread to come. The children
    // inherit it through the environment.
    demo::CapMallocArenas(options->mallocArenas);
    // For scripts/soak: every process of the run samples its allocator into one file.
    std::unique_ptr<demo::HeapLog> heapLog;
    if (const char* path = std::getenv("VELCACHE_DEMO_HEAP_LOG"); path && *path && !options->help)
        heapLog = std::make_unique<demo::HeapLog>(
            path,
            options->child ? options->child->role + "-" + std::to_string(options->child->index)
                           : std::string("parent"),
            3000);
    // Every process of the run, children included: they parse the same flag.
    std::unique_ptr<demo::HeapTrimmer> trimmer;
    if (options->mallocTrimSec > 0 && !options->help && !options->tour)
        trimmer = std::make_unique<demo::HeapTrimmer>(options->mallocTrimSec);
    try {
        if (options->help) {
            std::fputs(demo::Usage(), stdout);
            return 0;
        }
        if (options->child) return demo::RunChild(*options->child);
        if (options->tour) return RunTour();
        return demo::RunWorkload(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo failed: %s\n", e.what());
        return 1;
    }
}
