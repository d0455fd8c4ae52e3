// The main job's allocator hygiene: what a long-running process's freed memory costs it.
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "report/HeapReport.h"

namespace demo {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOwnAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kOwnAllocator = true;
#else
constexpr bool kOwnAllocator = false;
#endif
#else
constexpr bool kOwnAllocator = false;
#endif

// Anonymous resident memory of this process, KiB.
long RssAnonKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("RssAnon:", 0) == 0) return std::strtol(line.c_str() + 8, nullptr, 10);
    return -1;
}

// A burst's blocks freed amid blocks still in use (the minute-35 steps of the hour-long soaks):
// glibc gives back only the top of its heap, so their pages stayed resident for good while the
// heap in use was back where it started.
TEST(HeapTrimmer, ABurstFreedAmidBlocksInUseStayedResidentForGood) {
    if (kOwnAllocator) GTEST_SKIP() << "the sanitizer's allocator serves this build";
    constexpr int kBlocks = 2048;
    constexpr std::size_t kBlock = 32 * 1024;  // below glibc's mmap threshold: on the heap
    // Every other block stays in use, so that no freed one joins another or the heap's top.
    std::vector<void*> burst, pins;
    for (int i = 0; i < 2 * kBlocks; ++i) {
        void* block = std::malloc(kBlock);
        std::memset(block, 0x5a, kBlock);  // resident
        (i % 2 ? pins : burst).push_back(block);
    }
    const long withBurst = RssAnonKb();
    for (void* block : burst) std::free(block);
    const long afterFree = RssAnonKb();
    ASSERT_GT(withBurst, 0);
    // The premise: freeing alone gave almost nothing back (64 MiB were resident).
    EXPECT_GT(afterFree, withBurst - 16 * 1024) << "glibc gave the freed pages back by itself";

    EXPECT_TRUE(ReleaseFreePages());
    EXPECT_LT(RssAnonKb(), afterFree - 48 * 1024) << "the burst's pages are still resident";
    for (void* pin : pins) std::free(pin);
}

TEST(HeapTrimmer, RunsAtOnceAndThenEveryInterval) {
    std::mutex mutex;
    std::condition_variable ran;
    int runs = 0;
    {
        PeriodicTask task(std::chrono::milliseconds(1), [&] {
            std::lock_guard<std::mutex> lock(mutex);
            ++runs;
            ran.notify_all();
        });
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(ran.wait_for(lock, std::chrono::seconds(10), [&] { return runs >= 3; }));
    }
    const int atDestruction = runs;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(runs, atDestruction) << "ran after its destructor returned";
}

}  // namespace
}  // namespace demo
