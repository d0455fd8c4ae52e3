// Chapter: cross-process coherence. Two processes (this one and a child) share a private
// redis-server; each uses its process's coherence service. This process caches a result; the
// child caches a newer, different result under the same key; this process's entry is dropped
// and its cache is told. Skipped, with a note, when redis-server is not installed.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Demos.h"
#include "caching/RedisPubsub.h"
#include "utility/SynchronizedCache.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/RedisServer.h"
#include "velsys/Locks.h"

using namespace velmora::caching;

namespace {

// A lock-protected cache that says when the coherence service tells it an entry is stale.
class ReportingCache : public SynchronizedCache {
public:
    ReportingCache(const char* process, TReadWriteLock* lock)
        : SynchronizedCache(std::make_shared<CacheHelpers::LifetimePolicy>(100), lock),
          m_process(process) {}
    void OnDirty(const std::vector<unsigned int>& guids) override {
        std::printf("  [%s] coherence service: entry %u is dirty, the cache drops it\n", m_process,
                    guids.front());
        std::fflush(stdout);
        SynchronizedCache::OnDirty(guids);
    }

private:
    const char* m_process;
};

class Result : public VelCacheData {};

// Connects this process to the server and waits for its coherence service's subscription.
std::shared_ptr<RedisPubsub> ConnectService(int port) {
    RedisEndpointConfig config;
    config.port = port;
    ConfigureRedis(config);
    std::shared_ptr<RedisPubsub> service = RedisPubsub::GetInstance().lock();
    RedisSubscriptionManager::GetInstance().WaitUntilSubscribed("defaultns.*",
                                                                std::chrono::seconds(5));
    return service;
}

const HashPair kQuery{0x5eed, 0x1};
constexpr unsigned long long kSecond = 10000000ULL;  // DateTime ticks

// The second process: caches a newer, different result for the same query.
[[noreturn]] void RunChild(int port, int go, unsigned long long timestamp) {
    char byte = 0;
    if (::read(go, &byte, 1) != 1) std::_Exit(1);
    std::shared_ptr<RedisPubsub> service = ConnectService(port);
    TReadWriteLock lock;
    auto cache = std::make_shared<ReportingCache>("process B", &lock);
    const unsigned guid = cache->AddEntry(CacheHelpers::Payload(new Result()));
    std::printf("  [process B] caches the query's result (data hash 2-2, 6 s newer) as entry %u\n",
                guid);
    std::fflush(stdout);
    service->OnAdded(kQuery, {2, 2}, timestamp, guid, cache);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its own message comes back
    std::printf("  [process B] still holds %llu entry\n", cache->GetSize());
    std::fflush(stdout);
    service->OnRemoved(*cache);
    std::_Exit(0);
}

}  // namespace

void RunCoherenceDemo() {
    std::printf("\n== Cross-process coherence ==\n");
    if (!velsupport::RedisServer::IsInstalled()) {
        std::printf("  redis-server is not installed: this chapter is skipped.\n");
        return;
    }
    velsupport::RedisServer redis;
    if (const std::string error = redis.Start(); !error.empty()) {
        std::printf("  redis-server did not start (%s): this chapter is skipped.\n", error.c_str());
        return;
    }
    std::printf(
        "  private redis-server on port %d; process B is forked before either process\n"
        "  connects, and each process uses its own coherence service\n",
        redis.Port());
    std::fflush(stdout);
    const unsigned long long t = DateTime::UtcNow().GetRepresentation();

    int go[2];
    if (::pipe(go) != 0) return;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(go[1]);
        RunChild(redis.Port(), go[0], t + 6 * kSecond);
    }
    ::close(go[0]);
    if (child < 0) {
        std::printf("  could not start process B: this chapter is skipped.\n");
        ::close(go[1]);
        return;
    }

    std::shared_ptr<RedisPubsub> service = ConnectService(redis.Port());
    TReadWriteLock lock;
    auto cache = std::make_shared<ReportingCache>("process A", &lock);
    const unsigned guid = cache->AddEntry(CacheHelpers::Payload(new Result()));
    service->OnAdded(kQuery, {1, 1}, t, guid, cache);
    std::printf(
        "  [process A] caches the query's result (data hash 1-1) as entry %u; "
        "holds %llu entry\n",
        guid, cache->GetSize());
    std::fflush(stdout);

    const char byte = 1;
    if (::write(go[1], &byte, 1) != 1) std::printf("  could not signal process B\n");
    ::close(go[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (cache->GetSize() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int status = 0;
    ::waitpid(child, &status, 0);
    if (cache->GetSize() == 0)
        std::printf("  [process A] entry %u was dropped: its content is older and differs\n", guid);
    else
        std::printf("  [process A] entry %u is still held: no newer content arrived in time\n",
                    guid);
    service->OnRemoved(*cache);
}
