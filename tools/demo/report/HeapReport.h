// HeapReport: what the C library's allocator holds in the process, and the allocator choice the
// main job makes for a long-running process.
//
// ReadHeap asks whichever allocator serves the process: a preloaded jemalloc (found by its
// `mallctl` entry point) or glibc's malloc. HeapLog samples it on a thread of its own into a
// CSV file, for scripts/soak; it owns that thread and the file. Any thread may call ReadHeap;
// CapMallocArenas belongs at the start of main, before the process starts a thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace demo {

struct HeapFigures {
    std::string allocator;  // "glibc" or "jemalloc"
    long long inUse = 0;    // bytes handed out and not yet freed
    long long free = 0;     // bytes the allocator holds for reuse (free chunks; dirty pages)
    long long mapped = 0;   // bytes the allocator has taken from the system
    long long sqlite = 0;   // of inUse: what SQLite holds (its page caches, statements, schema)
};

HeapFigures ReadHeap();

// Caps glibc's malloc arenas at `arenas` in this process and in the processes it starts (through
// MALLOC_ARENA_MAX), unless MALLOC_ARENA_MAX is already set or `arenas` is 0. Returns whether it
// did.
bool CapMallocArenas(int arenas);

// Appends "unix time,role,allocator,in use,free,mapped,sqlite" (bytes) to `path` every
// `intervalMs` until destroyed.
class HeapLog {
public:
    HeapLog(std::string path, std::string role, int intervalMs);
    ~HeapLog();
    HeapLog(const HeapLog&) = delete;
    HeapLog& operator=(const HeapLog&) = delete;

private:
    void Run();

    const std::string m_path, m_role;
    const int m_intervalMs;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace demo
