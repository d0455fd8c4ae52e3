// Several host threads add and evict entries of their own caches; every message is delivered
// back to the service on the publishing thread, so additions, evictions and deliveries of
// different threads interleave. The tables stay consistent, and in the end no cache holds an
// entry that is stale against another entry under its key hash.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "caching/CascadeInvalidatorHolder.h"
#include "caching/RedisPubsub.h"
#include "caching/RedisPubsubTestDoubles.h"
#include "metrics2/Metrics.h"
#include "support/TestEnvironment.h"
#include "utility/SynchronizedCache.h"
#include "velsys/Locks.h"

using namespace velmora::caching;

namespace {

struct Added {
    unsigned guid;
    unsigned key;
    unsigned hash;
    unsigned long long timestamp;
};

void RunWorkload(bool async) {
    using velmora::appoptions::ScopedOverride;
    veltest::HostScope host;
    ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", 0),
        asyncMode("AsyncCacheCoherence", async),
        lifetime("CacheSynchronizationEvictedLifetimeSec", 3600),
        maxEvicted("CacheSynchronizationMaxEvictedEntries", 50);
    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    veltest::RecordingInvalidator invalidator;
    holder.ResetForTest();
    holder.Initialize({&invalidator, nullptr, nullptr, nullptr});

    constexpr int kThreads = 4, kEntries = 250, kKeys = 6;
    veltest::LoopbackManager manager;
    auto service = RedisPubsub::CreateTestInstance(
        "ns.", manager, [&](const TString& c, const TString& m) { manager.Publish(c, m); });

    TReadWriteLock locks[kThreads];
    std::vector<std::shared_ptr<SynchronizedCache>> caches;
    for (auto& lock : locks)
        caches.push_back(std::make_shared<SynchronizedCache>(
            std::make_shared<CacheHelpers::LifetimePolicy>(1000000), &lock));
    std::vector<std::vector<Added>> added(kThreads);
    std::atomic<size_t> removals{0};
    std::atomic<bool> done{false};
    std::thread checker([&] {
        while (!done) {
            service->GetTrackingCountsTestOnly();  // raises if an invariant is broken
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(1234u + unsigned(t));
            const auto& cache = caches[size_t(t)];
            std::vector<Added>& mine = added[size_t(t)];
            for (int i = 0; i < kEntries; ++i) {
                mine.push_back({cache->AddEntry(veltest::MakePayload(i)),
                                unsigned(random() % kKeys), unsigned(random() % 3),
                                random() % 1000});
                const Added& a = mine.back();
                service->OnAdded({a.key, 0}, {a.hash, 1}, a.timestamp, a.guid, cache);
                const unsigned victim = mine[random() % mine.size()].guid;
                if (random() % 4 == 0 && cache->TryDeleteEntry(victim)) {
                    ++removals;
                    service->OnRemoved(std::vector<unsigned>{victim}, cache);
                }
            }
        });
    }
    for (std::thread& w : workers) w.join();
    // Each operation's own procedure closes its metrics scope after publishing; in asynchronous
    // mode that happens on a worker some time after the call returned.
    const auto finished = [&] {
        return host.Metrics().Find("RedisPubsub::OnAdded").size() == size_t(kThreads * kEntries) &&
               host.Metrics().Find("RedisPubsub::OnRemoved").size() == removals;
    };
    for (int i = 0; i < 4000 && !finished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = true;
    checker.join();
    ASSERT_TRUE(finished());

    // Every entry still held is not stale against any other entry held under its key hash.
    std::map<unsigned, std::vector<Added>> live;
    for (int t = 0; t < kThreads; ++t)
        for (const Added& a : added[size_t(t)])
            if (caches[size_t(t)]->TryGetEntry(a.guid)) live[a.key].push_back(a);
    for (const auto& [key, entries] : live)
        for (const Added& x : entries)
            for (const Added& y : entries)
                EXPECT_FALSE(x.hash != y.hash && x.timestamp < y.timestamp)
                    << "key " << key << ": guid " << x.guid << " stale against " << y.guid;
    EXPECT_FALSE(invalidator.dirty.Get().empty());

    for (auto& cache : caches) service->OnRemoved(*cache);
    const RedisPubsub::TrackingCounts counts = service->GetTrackingCountsTestOnly();
    EXPECT_EQ(counts.records + counts.evicted, 0u);
    service.reset();
    holder.ResetForTest();
}

TEST(CoherenceConcurrency, ConcurrentAdditionsEvictionsAndDeliveriesStayCoherent) {
    for (const bool async : {false, true}) {
        SCOPED_TRACE(async ? "asynchronous" : "synchronous");
        RunWorkload(async);
    }
}

}  // namespace
