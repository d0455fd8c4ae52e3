// A host process for the two-process coherence test: it points the process's Redis client at
// the given port, installs a recording invalidator, adds one entry to a SynchronizedCache and
// reports it to the process's coherence service, printing "added <guid>". With <wait> 1 it then
// waits (at most 20 s) until the entry has left the cache and the invalidator has been told, and
// prints "dirty <guid> <invalidator calls>" or "not-dirty <entries left>".
// Usage: coherence_peer <port> <key hash hi> <key hash lo> <data hash hi> <data hash lo>
//        <timestamp> <wait>   (decimal numbers; the timestamp is a raw DateTime value)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "../caching/RedisPubsubTestDoubles.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "utility/SynchronizedCache.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Locks.h"

using namespace velmora::caching;

int main(int argc, char** argv) {
    if (argc != 8) return 2;
    const auto arg = [&](int i) { return std::strtoull(argv[i], nullptr, 10); };
    RedisEndpointConfig config;
    config.port = static_cast<int>(arg(1));
    config.heartbeatInterval = std::chrono::milliseconds(300);
    ConfigureRedis(config);
    veltest::RecordingInvalidator invalidator;
    CascadeInvalidatorHolderFactory::GetInstance().Initialize(
        {&invalidator, nullptr, nullptr, nullptr});

    std::shared_ptr<RedisPubsub> service = RedisPubsub::GetInstance().lock();
    if (!RedisSubscriptionManager::GetInstance().WaitUntilSubscribed("defaultns.*",
                                                                     std::chrono::seconds(10))) {
        std::printf("error not-subscribed\n");
        return 3;
    }
    TReadWriteLock lock;
    auto cache = std::make_shared<SynchronizedCache>(
        std::make_shared<CacheHelpers::LifetimePolicy>(1000), &lock);
    const unsigned guid = cache->AddEntry(CacheHelpers::Payload(new VelCacheData()));
    service->OnAdded({arg(2), arg(3)}, {arg(4), arg(5)}, arg(6), guid, cache);
    std::printf("added %u\n", guid);
    std::fflush(stdout);

    if (arg(7) == 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((cache->GetSize() != 0 || invalidator.dirty.Get().empty()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto dirty = invalidator.dirty.Get();
        if (cache->GetSize() == 0 && !dirty.empty())
            std::printf("dirty %u %zu\n", dirty.front().first.front(), dirty.size());
        else
            std::printf("not-dirty %llu\n", cache->GetSize());
    }
    service->OnRemoved(*cache);
    return 0;
}
