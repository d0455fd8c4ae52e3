// The read-through cache under many threads: one load per key however many miss it at once,
// and Gets, Sets, Invalidates and derived results racing each other over a loopback service
// (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RedisPubsubTestDoubles.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/DerivedResultCache.h"
#include "caching/ReadThroughCache.h"
#include "support/TestEnvironment.h"
#include "velcore/ThreadContext.h"

using namespace velmora::caching;
using velmora::appoptions::ScopedOverride;

namespace {

using Cache = ReadThroughCache<std::string>;

Cache::Codec TextCodec() {
    return {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
            [](const unsigned char* data, std::size_t size) {
                return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                           size);
            }};
}

ReadThroughOptions Named(const char* name, int memoryEntries) {
    ReadThroughOptions o;
    o.name = name;
    o.memoryEntries = memoryEntries;
    return o;
}

class ReadThroughThreads : public ::testing::Test {
protected:
    void SetUp() override {
        m_holder.ResetForTest();
        m_holder.Initialize(
            {CascadeInvalidatorAggregator::TryGetSingleton(), nullptr, nullptr, nullptr});
    }
    void TearDown() override {
        CascadeInvalidatorAggregator::TryGetSingleton()->ResetForTest();
        m_holder.ResetForTest();
    }
    std::shared_ptr<RedisPubsub> Service() {
        return RedisPubsub::CreateTestInstance(
            "rtc.", m_manager,
            [this](const TString& c, const TString& m) { m_manager.Publish(c, m); });
    }

    veltest::HostScope m_host;
    ScopedOverride m_sync{"SyncCaches", true};
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
    veltest::LoopbackManager m_manager;
};

TEST_F(ReadThroughThreads, GetsSetsInvalidatesAndDerivedResultsRaceWithoutHarm) {
    auto service = Service();
    Cache readers(Named("mix", 8), TextCodec(), service);
    Cache writer(Named("mix", 0), TextCodec(), service);
    DerivedResultCache<std::string> derived(service);
    std::atomic<int> version{0};
    std::atomic<bool> stop{false};
    const auto load = [&] { return std::to_string(version.load()); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            velmora::ScopedThreadContext context;
            for (int i = 0; !stop; ++i) {
                const std::string key = "k" + std::to_string((i + t) % 12);
                if (i % 5 == 0) {
                    derived.Get("d" + std::to_string(i % 3), [&] {
                        return *readers.Get(key, load).value + *readers.Get("k0", load).value;
                    });
                } else {
                    readers.Get(key, load);
                }
            }
        });
    }
    for (int change = 0; change < 300; ++change) {
        const std::string key = "k" + std::to_string(change % 12);
        ++version;
        if (change % 2)
            writer.Set(key, std::make_shared<const std::string>(std::to_string(version.load())));
        else
            writer.Invalidate(key);
    }
    stop = true;
    for (auto& t : threads) t.join();
    // Once the changes stop, nothing held is older than the last change of its key: every
    // entry loaded before a change was dropped by it or never kept.
    const int last = version.load();
    // And the layer holds no more than its size: no entry escaped the policy while fills of a
    // key raced its eviction.
    EXPECT_LE(readers.HeldValues().size(), 8u);
    for (const auto& [key, value] : readers.HeldValues()) {
        const int index = std::stoi(key.substr(1));
        int lastChange = -1;
        for (int change = 0; change < 300; ++change)
            if (change % 12 == index) lastChange = change;
        EXPECT_GE(std::stoi(*value), lastChange + 1) << key << " of " << last;
    }
}

// A fill dropped by the verdict reported its entry removed even when the policy had evicted it
// already and the eviction was reported first; the second report of a removal the service had
// not filed (the record having gone dirty meanwhile) broke the service's pairing check.
TEST_F(ReadThroughThreads, DroppedFillReportedARemovalTheEvictionHadReported) {
    auto service = Service();
    Cache readers(Named("evicting", 1), TextCodec(), service);  // each fill evicts the other key
    Cache writer(Named("evicting", 0), TextCodec(), service);
    std::atomic<int> version{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (const char* key : {"a", "b"}) {
        threads.emplace_back([&, key] {
            velmora::ScopedThreadContext context;
            while (!stop) readers.Get(key, [&] { return std::to_string(version.load()); });
        });
    }
    // The race needs the readers to run between the writer's changes: on a loaded machine they
    // may not in the first thousands, so the changes go on until one fill was dropped.
    for (int change = 0;
         change < 3000 ||
         (change < 3'000'000 && (change % 1000 || !readers.GetCounters().racedFillsDropped));
         ++change) {
        ++version;
        writer.Invalidate(change % 2 ? "a" : "b");
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_GT(readers.GetCounters().racedFillsDropped, 0);
}

}  // namespace

// A Get that begins after a change's arrival was handled never answers older data, while other
// threads keep hitting and refilling the key: an entry dropped by the arrival left the index
// every hit reads before the handling returned. Two ways it did answer older data: a fill whose
// load raced the change was answerable from the moment it was filed until its second verdict
// dropped it, and a Get that joined a flight after the change took the flight's raced answer.
TEST_F(ReadThroughThreads, ARacedFillWasAnsweredBeforeItsVerdictAndToWaitersWhoCameAfterTheChange) {
    auto service = Service();
    Cache readers(Named("hot", 64), TextCodec(), service);
    Cache writer(Named("hot", 0), TextCodec(), service);
    std::atomic<int> source{0};     // what the source holds
    std::atomic<int> announced{0};  // the newest change whose announcement was handled here
    std::atomic<long long> answers{0}, hits{0}, stale{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            while (!stop) {
                const int atLeast = announced.load();
                const auto result = readers.Get("k", [&] { return std::to_string(source.load()); });
                if (std::stoi(*result.value) < atLeast) ++stale;
                if (result.source == ReadThroughSource::Memory) ++hits;
                ++answers;
            }
        });
    for (int change = 1; change <= 1000; ++change) {
        // Let the readers hit the value held before changing it.
        for (const long long seen = answers.load(); answers.load() < seen + 20;)
            std::this_thread::yield();
        source = change;
        writer.Invalidate("k");
        announced = change;
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(stale.load(), 0);
    EXPECT_GT(hits.load(), answers.load() / 2);  // the answers came mostly from memory
}

TEST_F(ReadThroughThreads, EveryHitIsCountedFromMoreThreadsThanTheCountHasCells) {
    // The first threads of the process count hits on lines of their own, without a locked
    // instruction; the rest share one line. From more threads than there are own lines, at once,
    // through Get and Visit alike, no hit may be lost.
    Cache cache(Named("hit-count", 100), TextCodec(), nullptr);
    cache.Get("k", [] { return std::string("v"); });
    const long long before = cache.GetCounters().memoryHits;
    constexpr int kThreads = 96;
    constexpr int kHits = 1000;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kHits; ++i) {
                if ((t + i) % 2 == 0) {
                    cache.Get("k", [] { return std::string("never"); });
                } else {
                    cache.Visit(
                        "k", [] { return std::string("never"); },
                        [](const std::string& v) { return v.size(); });
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(cache.GetCounters().memoryHits - before, static_cast<long long>(kThreads) * kHits);
}
