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
#include <mutex>
#include <thread>
#include <vector>

#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/RedisPubsub.h"
#include "utility/SynchronizedCache.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Locks.h"

using namespace velmora::caching;

namespace {

class CountingInvalidator : public ICascadeInvalidator {
public:
    void OnEntryUsed(unsigned, const ICoherentCache*) override {}
    void OnEvicted(const std::vector<unsigned>&, const ICoherentCache*) override {}
    void OnDirty(const std::vector<unsigned>& guids, const ICoherentCache*) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dirty.insert(m_dirty.end(), guids.begin(), guids.end());
    }
    std::vector<unsigned> Dirty() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dirty;
    }

private:
    std::mutex m_mutex;
    std::vector<unsigned> m_dirty;
};

unsigned long long Arg(char** argv, int i) {
    return std::strtoull(argv[i], nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: %s port keyhi keylo hashhi hashlo timestamp wait\n", argv[0]);
        return 2;
    }
    RedisEndpointConfig config;
    config.port = static_cast<int>(Arg(argv, 1));
    config.heartbeatInterval = std::chrono::milliseconds(300);
    ConfigureRedis(config);

    CountingInvalidator invalidator;
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
    service->OnAdded({Arg(argv, 2), Arg(argv, 3)}, {Arg(argv, 4), Arg(argv, 5)}, Arg(argv, 6), guid,
                     cache);
    std::printf("added %u\n", guid);
    std::fflush(stdout);

    if (Arg(argv, 7) == 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((cache->GetSize() != 0 || invalidator.Dirty().empty()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::vector<unsigned> dirty = invalidator.Dirty();
        if (cache->GetSize() == 0 && !dirty.empty())
            std::printf("dirty %u %zu\n", dirty.front(), dirty.size());
        else
            std::printf("not-dirty %llu\n", cache->GetSize());
    }
    service->OnRemoved(*cache);
    return 0;
}
