// The demo host: a small program that loads the library as a host would, configures it, and
// shows each capability at work, printing what every call returned.
#include <cstdio>
#include <exception>

#include "Demos.h"
#include "velcoreplatform/TLog.h"

int main() {
    TLog::SetStderrLevel(TLog::Warn);
    try {
        RunCacheDemo();
        RunIndexedAndSynchronizedDemo();
        RunCascadeDemo();
        RunCoherenceDemo();
        RunExternalCacheDemo();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
