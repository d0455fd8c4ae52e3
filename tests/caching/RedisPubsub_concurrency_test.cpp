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
    veltest::HostScope host;
    velmora::appoptions::ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", 0);
    velmora::appoptions::ScopedOverride asyncMode("AsyncCacheCoherence", async);
    velmora::appoptions::ScopedOverride lifetime("CacheSynchronizationEvictedLifetimeSec", 3600);
    velmora::appoptions::ScopedOverride maxEvicted("CacheSynchronizationMaxEvictedEntries", 50);
    auto metrics = std::make_shared<Metrics::CapturingMetricsSink>();
    Metrics::ScopedMetricsSink metricsScope(metrics);
    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    veltest::RecordingInvalidator invalidator;
    holder.ResetForTest();
    holder.Initialize({&invalidator, nullptr, nullptr, nullptr});

    constexpr int kThreads = 4, kEntries = 250, kKeys = 6;
    veltest::LoopbackManager manager;
    auto service = RedisPubsub::CreateTestInstance(
        "ns.", manager, [&](const TString& c, const TString& m) { manager.Publish(c, m); });

    std::vector<std::unique_ptr<TReadWriteLock>> locks;
    std::vector<std::shared_ptr<SynchronizedCache>> caches;
    for (int t = 0; t < kThreads; ++t) {
        locks.push_back(std::make_unique<TReadWriteLock>());
        caches.push_back(std::make_shared<SynchronizedCache>(
            std::make_shared<CacheHelpers::LifetimePolicy>(1000000), locks.back().get()));
    }
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
            SynchronizedCache& cache = *caches[size_t(t)];
            for (int i = 0; i < kEntries; ++i) {
                const Added a{cache.AddEntry(veltest::MakePayload(i)), unsigned(random() % kKeys),
                              unsigned(random() % 3), random() % 1000};
                added[size_t(t)].push_back(a);
                service->OnAdded({a.key, 0}, {a.hash, 1}, a.timestamp, a.guid, caches[size_t(t)]);
                if (random() % 4 == 0) {
                    const Added& victim = added[size_t(t)][random() % added[size_t(t)].size()];
                    if (!cache.TryDeleteEntry(victim.guid)) continue;
                    ++removals;
                    service->OnRemoved(std::vector<unsigned>{victim.guid}, caches[size_t(t)]);
                }
            }
        });
    }
    for (std::thread& w : workers) w.join();
    // Each operation's own procedure closes its metrics scope after publishing; in asynchronous
    // mode that happens on a worker some time after the call returned.
    const auto finished = [&] {
        return metrics->Find("RedisPubsub::OnAdded").size() == size_t(kThreads * kEntries) &&
               metrics->Find("RedisPubsub::OnRemoved").size() == removals;
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
    EXPECT_EQ(counts.records, 0u);
    EXPECT_EQ(counts.evicted, 0u);
    service.reset();
    holder.ResetForTest();
}

TEST(CoherenceConcurrency, ConcurrentAdditionsEvictionsAndDeliveriesStayCoherent) {
    RunWorkload(false);
}

TEST(CoherenceConcurrency, AsynchronousModeStaysCoherent) {
    RunWorkload(true);
}

}  // namespace
