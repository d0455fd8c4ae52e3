// HeapReport: what the C library's allocator holds in the process, and the allocator choice the
// main job makes for a long-running process.
//
// ReadHeap asks whichever allocator serves the process: a preloaded jemalloc (found by its
// `mallctl` entry point) or glibc's malloc. HeapLog samples it on a thread of its own into a
// CSV file, for scripts/soak; it owns that thread and the file. HeapTrimmer hands the
// allocator's free pages back to the system now and then, on a thread of its own. Any thread may
// call ReadHeap and ReleaseFreePages; CapMallocArenas belongs at the start of main, before the
// process starts a thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace demo {

struct HeapFigures {
    std::string allocator;  // "glibc" or "jemalloc"
    long long inUse = 0;    // bytes handed out and not yet freed
    long long free = 0;     // bytes the allocator holds for reuse (free chunks, resident or
                            // not: a trimmed chunk's pages went back to the system; dirty pages)
    long long mapped = 0;   // bytes the allocator has taken from the system
    long long sqlite = 0;   // of inUse: what SQLite holds (its page caches, statements, schema)
};

HeapFigures ReadHeap();

// Caps glibc's malloc arenas at `arenas` in this process and in the processes it starts (through
// MALLOC_ARENA_MAX), unless MALLOC_ARENA_MAX is already set or `arenas` is 0. Returns whether it
// did.
bool CapMallocArenas(int arenas);

// Hands glibc's free pages back to the system: every whole page inside a free chunk, wherever it
// lies in the heap (malloc_trim(0)), not only the heap's top, which is all glibc gives back by
// itself. Without it, what a burst (a reload of every key after a lost subscription, say) freed
// amid blocks still in use stays resident for good, and a long-running process's resident
// memory climbs by steps while its heap in use stays flat. Nothing under other allocators.
// Returns whether any memory went back.
bool ReleaseFreePages();

// Runs `task` on a thread of its own at once and then every `interval` until destroyed; the
// destructor waits for a run in progress.
class PeriodicTask {
public:
    PeriodicTask(std::chrono::milliseconds interval, std::function<void()> task);
    ~PeriodicTask();
    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;

private:
    void Run();

    const std::chrono::milliseconds m_interval;
    const std::function<void()> m_task;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;  // guarded by m_mutex
    std::thread m_thread;
};

// Appends "unix time,role,allocator,in use,free,mapped,sqlite" (bytes) to `path` every
// `intervalMs` until destroyed.
class HeapLog {
public:
    HeapLog(std::string path, std::string role, int intervalMs);

private:
    void Append() const;

    const std::string m_path, m_role;
    PeriodicTask m_task;  // last: it runs Append, which reads the members above
};

// ReleaseFreePages every `intervalSec` seconds until destroyed.
class HeapTrimmer {
public:
    explicit HeapTrimmer(int intervalSec)
        : m_task(std::chrono::seconds(intervalSec), [] { ReleaseFreePages(); }) {}

private:
    PeriodicTask m_task;
};

}  // namespace demo
