#include "report/HeapReport.h"

#include <dlfcn.h>
#include <malloc.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace demo {
namespace {

using MallctlFn = int (*)(const char*, void*, std::size_t*, void*, std::size_t);

long long JemallocStat(MallctlFn mallctl, const char* name) {
    std::size_t value = 0, size = sizeof value;
    return mallctl(name, &value, &size, nullptr, 0) == 0 ? static_cast<long long>(value) : 0;
}

}  // namespace

HeapFigures ReadHeap() {
    HeapFigures h;
    h.sqlite = static_cast<long long>(sqlite3_memory_used());
    if (const auto mallctl = reinterpret_cast<MallctlFn>(::dlsym(RTLD_DEFAULT, "mallctl"))) {
        // Its statistics are refreshed when the epoch advances.
        std::uint64_t epoch = 1;
        std::size_t size = sizeof epoch;
        mallctl("epoch", &epoch, &size, &epoch, size);
        h.allocator = "jemalloc";
        h.inUse = JemallocStat(mallctl, "stats.allocated");
        const long long resident = JemallocStat(mallctl, "stats.resident");
        h.free = resident > h.inUse ? resident - h.inUse : 0;
        h.mapped = JemallocStat(mallctl, "stats.mapped");
        return h;
    }
    const struct mallinfo2 m = ::mallinfo2();
    h.allocator = "glibc";
    h.inUse = static_cast<long long>(m.uordblks + m.hblkhd);
    h.free = static_cast<long long>(m.fordblks);
    h.mapped = static_cast<long long>(m.arena + m.hblkhd);
    return h;
}

bool CapMallocArenas(int arenas) {
    if (arenas <= 0 || std::getenv("MALLOC_ARENA_MAX")) return false;
    if (::mallopt(M_ARENA_MAX, arenas) != 1) return false;
    ::setenv("MALLOC_ARENA_MAX", std::to_string(arenas).c_str(), 1);
    return true;
}

bool ReleaseFreePages() {
    if (::dlsym(RTLD_DEFAULT, "mallctl")) return false;  // jemalloc decays its own pages
    return ::malloc_trim(0) == 1;
}

PeriodicTask::PeriodicTask(std::chrono::milliseconds interval, std::function<void()> task)
    : m_interval(interval), m_task(std::move(task)), m_thread([this] { Run(); }) {}

PeriodicTask::~PeriodicTask() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void PeriodicTask::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        lock.unlock();
        m_task();
        lock.lock();
        m_wake.wait_for(lock, m_interval, [this] { return m_stop; });
    }
}

HeapLog::HeapLog(std::string path, std::string role, int intervalMs)
    : m_path(std::move(path)),
      m_role(std::move(role)),
      m_task(std::chrono::milliseconds(intervalMs), [this] { Append(); }) {}

void HeapLog::Append() const {
    const HeapFigures h = ReadHeap();
    if (std::FILE* f = std::fopen(m_path.c_str(), "a")) {
        std::fprintf(f, "%lld,%s,%s,%lld,%lld,%lld,%lld\n",
                     static_cast<long long>(std::time(nullptr)), m_role.c_str(),
                     h.allocator.c_str(), h.inUse, h.free, h.mapped, h.sqlite);
        std::fclose(f);
    }
}

}  // namespace demo
