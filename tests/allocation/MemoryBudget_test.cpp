// What a byte budget holds, as the allocator counts it: a memory layer filled past its budget
// grows the heap by no more than the budget. It once grew it by half again (52 MB for 32 MB):
// each entry was charged 256 bytes of its own and cost 685 to 763. Each entry is charged its stored
// bytes and a fixed figure for what else it costs (the held value's object, its entry and id, its
// key-table bucket, the frequency policy's node, its share of the sketch and of the remembered
// keys); if that figure is too low, a budget of a gigabyte holds more than a gigabyte. In this
// binary because it is built without a sanitizer, whose allocator counts differently.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "caching/ReadThroughCache.h"
#include "support/TestEnvironment.h"

namespace {

using namespace velmora::caching;
using Cache = ReadThroughCache<std::string>;

// Bytes the allocator has handed out and not had back, every arena and mapping.
long long HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

struct Filled {
    long long held = 0;   // entries the layer holds at the end
    long long grown = 0;  // the heap's growth, the cache's own structures included
};

// Makes a cache of `budget` bytes expecting `expected` entries and fills `keys` distinct keys
// whose values are `valueBytes` long; what the heap grew by while the cache exists.
Filled FillPastBudget(std::uint64_t budget, int expected, int keys, std::size_t valueBytes) {
    const long long before = HeapInUse();
    ReadThroughOptions options;
    options.name = "budget";
    options.memoryBytes = budget;
    options.memoryEntries = expected;
    auto cache = std::make_unique<Cache>(options);
    const std::string value(valueBytes, 'v');
    for (int i = 0; i < keys; ++i)
        cache->Get("customer:" + std::to_string(i), [&] { return value; });
    Filled filled;
    filled.grown = HeapInUse() - before;
    filled.held = keys - cache->GetCounters().evictions;
    return filled;
}

class MemoryBudget : public ::testing::Test {
protected:
    veltest::HostScope m_host;
};

TEST_F(MemoryBudget, AFullLayerGrewTheHeapHalfAgainPastItsBudget) {
    // Values of a few sizes, each layer filled to three times what it can hold, so that it runs
    // full and evicting; the entries it expects are about those it holds (as the option asks).
    struct Case {
        std::size_t valueBytes;
        int expected;
    };
    constexpr std::uint64_t kBudget = 32ULL << 20;
    for (const Case c : {Case{8, 59000}, Case{100, 51000}, Case{1000, 21500}}) {
        SCOPED_TRACE("values of " + std::to_string(c.valueBytes) + " bytes");
        const Filled filled = FillPastBudget(kBudget, c.expected, 3 * c.expected, c.valueBytes);
        ASSERT_GT(filled.held, c.expected / 4) << "the layer held too few to measure";
        // The layer is full, so its entries were charged the budget: each its stored bytes and
        // kHeldEntryBytes. What each cost beyond its stored bytes is then its share of the heap
        // less its share of the budget, plus the charge.
        const long long beyond = (filled.grown - static_cast<long long>(kBudget)) / filled.held +
                                 static_cast<long long>(kHeldEntryBytes);
        std::printf(
            "values of %zu bytes: %lld entries held, heap grown by %lld bytes for a "
            "budget of %llu: %lld bytes an entry beyond its stored bytes (charged %llu)\n",
            c.valueBytes, filled.held, filled.grown, static_cast<unsigned long long>(kBudget),
            beyond, static_cast<unsigned long long>(kHeldEntryBytes));
        EXPECT_LE(filled.grown, static_cast<long long>(kBudget));
    }
}

}  // namespace
