// A host process for the multi-process coherence tests. It points the process's Redis client at
// the given endpoint and uses the process's coherence service.
//
// <endpoint> is a loopback port, or "host:port,host:port..." naming nodes of a cluster, either
// followed by "+tls=<directory>" for TLS with the certificates of velsupport's TlsCertificates
// in that directory (ca.crt, client.crt, client.key).
// coherence_peer hold <endpoint> <count> <seconds> [progress]
//   Adds <count> entries (key hash (k, 0) for k = 1..count, data hash (1, 1), stamped a minute
//   ago), prints "ready", then for <seconds> prints "resub <steady ms> <cause>" at every
//   re-subscription (with "progress", also "left <steady ms> <entries left>" whenever that number
//   changes, looked at every 20 ms), and finally "result stale=<entries left> malformed=...
//   received=... replayed=... gaps=... flushes=...".
// coherence_peer add <endpoint> <count> <per second>
//   Announces <count> newer, differing entries under the same key hashes at that rate, then
//   prints "done queued=<failed publishes queued> resent=<re-sent> appends-queued=<...>
//   slowest-ms=<longest OnAdded> slow=<OnAdded calls over half the command time-out>".
// Every wait is bounded, so a test reading the output is too.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "caching/RedisPubsub.h"
#include "utility/SynchronizedCache.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Locks.h"

using namespace velmora::caching;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned long long kSecond = 10000000ULL;  // DateTime ticks
constexpr auto kCommandTimeout = std::chrono::milliseconds(300);

long long SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// `endpoint`: a port on the loopback interface, or "host:port,host:port..." for cluster nodes,
// with "+tls=<directory>" after it for TLS.
std::shared_ptr<RedisPubsub> Connect(std::string endpoint) {
    RedisEndpointConfig config;
    if (const std::size_t tls = endpoint.find("+tls="); tls != std::string::npos) {
        const std::string dir = endpoint.substr(tls + 5);
        endpoint.resize(tls);
        config.tls = true;
        config.tlsCaFile = dir + "/ca.crt";
        config.tlsCertFile = dir + "/client.crt";
        config.tlsKeyFile = dir + "/client.key";
    }
    if (endpoint.find(':') == std::string::npos) {
        config.port = std::atoi(endpoint.c_str());
    } else {
        config.mode = RedisMode::Cluster;
        for (std::size_t start = 0; start < endpoint.size();) {
            const std::size_t end = std::min(endpoint.find(',', start), endpoint.size());
            config.clusterNodes.push_back(endpoint.substr(start, end - start));
            start = end + 1;
        }
    }
    config.heartbeatInterval = std::chrono::milliseconds(300);
    config.commandTimeout = kCommandTimeout;
    ConfigureRedis(config);
    std::shared_ptr<RedisPubsub> service = RedisPubsub::GetInstance().lock();
    if (!RedisSubscriptionManager::GetInstance().WaitUntilSubscribed("defaultns.*",
                                                                     std::chrono::seconds(10))) {
        std::printf("error not-subscribed\n");
        std::exit(3);
    }
    return service;
}

int Hold(const std::string& endpoint, unsigned count, int seconds, bool progress) {
    std::shared_ptr<RedisPubsub> service = Connect(endpoint);
    RedisSubscriptionManager::GetInstance().SetResubscribedCallback([](const std::string& cause) {
        std::printf("resub %lld %s\n", SteadyMs(), cause.empty() ? "-" : cause.c_str());
        std::fflush(stdout);
    });
    TReadWriteLock lock;
    auto cache = std::make_shared<SynchronizedCache>(
        std::make_shared<CacheHelpers::LifetimePolicy>(1000000), &lock);
    const unsigned long long stamp = DateTime::UtcNow().GetRepresentation() - 60 * kSecond;
    for (unsigned k = 1; k <= count; ++k)
        service->OnAdded({k, 0}, {1, 1}, stamp,
                         cache->AddEntry(CacheHelpers::Payload(new VelCacheData())), cache);
    std::printf("ready\n");
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (std::size_t left = count; progress && Clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (const std::size_t now = cache->GetSize(); now != left) {
            left = now;
            std::printf("left %lld %zu\n", SteadyMs(), left);
            std::fflush(stdout);
        }
    }
    std::this_thread::sleep_until(end);
    const CoherenceHealth h = service->GetHealth();
    std::printf(
        "result stale=%llu malformed=%lld received=%lld replayed=%lld gaps=%lld "
        "flushes=%lld\n",
        cache->GetSize(), h.malformed, h.received, h.replayed, h.gaps, h.conservativeFlushes);
    std::fflush(stdout);
    service->OnRemoved(*cache);
    return 0;
}

int Add(const std::string& endpoint, unsigned count, int perSecond) {
    std::shared_ptr<RedisPubsub> service = Connect(endpoint);
    std::weak_ptr<ICoherentCache> none;  // announced only, filed nowhere
    const auto start = Clock::now();
    Clock::duration slowest{};
    int slow = 0;
    for (unsigned k = 1; k <= count; ++k) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(1000LL * k / perSecond));
        const auto before = Clock::now();
        service->OnAdded({k, 0}, {2, 2}, DateTime::UtcNow().GetRepresentation(), k, none);
        const auto took = Clock::now() - before;
        slowest = std::max(slowest, took);
        slow += took > kCommandTimeout / 2;
    }
    // Queued announcements go out with the next publish or re-subscription.
    for (int i = 0; i < 300 && service->GetHealth().queuedNow > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const CoherenceHealth h = service->GetHealth();
    std::printf("done queued=%lld resent=%lld appends-queued=%lld slowest-ms=%lld slow=%d\n",
                h.publishFailuresQueued, h.resent, h.appendFailuresQueued,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()),
                slow);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto arg = [&](int i) { return std::strtoull(argv[i], nullptr, 10); };
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], unsigned(arg(3)), int(arg(4)),
                    argc == 6 && std::strcmp(argv[5], "progress") == 0);
    if (argc == 5 && std::strcmp(argv[1], "add") == 0)
        return Add(argv[2], unsigned(arg(3)), int(arg(4)));
    return 2;
}
