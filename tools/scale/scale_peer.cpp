// One process of the coherence scale bench (scripts/scale): a host that fills entries over a
// shared key space at a fixed rate, or the writer that changes the data under the hosts at a
// fixed rate. The data is a file of one version number per key that every process maps (the
// "database"); a host's entry of key k holds the version it read.
//
// scale_peer host <port> <data file> <keys> <held> <fills/s> <start unix ms> <warm-up s> <seconds>
//            <settle s> [every]
//   From the start for <warm-up s> + <seconds>: fills one key it does not hold (a miss) per
//   1/<fills/s>, with the version the data file has for it, through OnFilled (with "every":
//   OnAdded, so every fill is announced); over <held> entries it lets the oldest go (OnRemoved).
//   Counts and CPU cover the last <seconds> only (the window). Then waits <settle s> and compares
//   the entries it still holds with the data file. Prints "dirty <key> <unix ns>" for every entry
//   the service made dirty, then "result fills=.. published=.. not-published=.. received=.. held=..
//   stale=.. cpu-ms=.. fill-thread-cpu-ms=.. gaps=.."
// scale_peer writer <port> <data file> <keys> <changes/s> <start unix ms> <seconds>
//   At the start announces every key's first version; then for <seconds>: bumps the version of a
//   random key per 1/<changes/s> and announces the new content (OnAdded, filed nowhere); prints
//   "change <key> <unix ns>" for each (the moment before the announcement), then "result
//   published=.. received=..".
// Every process subscribes before it prints "ready"; every wait is bounded.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "caching/RedisPubsub.h"
#include "utility/SynchronizedCache.h"
#include "velcore/AppOptions.h"
#include "velcoredata/DateTime.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsys/Locks.h"

using velmora::TMutex;
using velmora::TMutexLock;

using namespace velmora::caching;

namespace {

long long UnixNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SleepUntilUnixNs(long long ns) {
    const long long left = ns - UnixNs();
    if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

long long CpuMs(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// The versions of the keys, shared by every process of the run through a mapped file.
class SharedVersions {
public:
    SharedVersions(const char* path, std::size_t keys) : m_keys(keys) {
        const int fd = ::open(path, O_RDWR);
        void* map = fd < 0 ? MAP_FAILED
                           : ::mmap(nullptr, keys * sizeof(std::uint64_t), PROT_READ | PROT_WRITE,
                                    MAP_SHARED, fd, 0);
        if (fd >= 0) ::close(fd);
        if (map == MAP_FAILED) {
            std::printf("error cannot map %s\n", path);
            std::exit(3);
        }
        m_versions = static_cast<std::uint64_t*>(map);
    }
    std::uint64_t Get(std::size_t key) const {
        return std::atomic_ref<std::uint64_t>(m_versions[key]).load();
    }
    std::uint64_t Bump(std::size_t key) {
        return std::atomic_ref<std::uint64_t>(m_versions[key]).fetch_add(1) + 1;
    }
    std::size_t Keys() const { return m_keys; }

private:
    const std::size_t m_keys;
    std::uint64_t* m_versions = nullptr;
};

// A host's entries: records which key each entry holds and when the service made it dirty.
class TimedCache final : public SynchronizedCache {
public:
    explicit TimedCache(TReadWriteLock* lock)
        : SynchronizedCache(std::make_shared<CacheHelpers::LifetimePolicy>(1ULL << 40), lock) {}
    void Filed(unsigned int guid, std::size_t key) {
        TMutexLock hold(m_mutex);
        m_keyOf[guid] = key;
    }
    void OnDirty(const std::vector<unsigned int>& ids) override {
        const long long now = UnixNs();
        {
            TMutexLock hold(m_mutex);
            for (unsigned int id : ids)
                if (const auto it = m_keyOf.find(id); it != m_keyOf.end())
                    m_dirty.emplace_back(it->second, now);
        }
        SynchronizedCache::OnDirty(ids);
    }
    std::vector<std::pair<std::size_t, long long>> Dirty() const {
        TMutexLock hold(m_mutex);
        return m_dirty;
    }

private:
    // A leaf lock: OnDirty takes it on the service's thread, under the service's lock.
    mutable TMutex m_mutex;
    std::unordered_map<unsigned int, std::size_t> m_keyOf VEL_GUARDED_BY(m_mutex);
    std::vector<std::pair<std::size_t, long long>> m_dirty VEL_GUARDED_BY(m_mutex);
};

std::shared_ptr<RedisPubsub> Connect(int port) {
    // As a host of the library would: coherence on, an announcement makes every older record of
    // other content dirty (no margin).
    velmora::appoptions::Set("SyncCaches", true);
    velmora::appoptions::Set("CacheSynchronizationMinimumDeltaSeconds", 0);
    RedisEndpointConfig config;
    config.port = port;
    config.heartbeatInterval = std::chrono::milliseconds(300);
    ConfigureRedis(config);
    std::shared_ptr<RedisPubsub> service = RedisPubsub::GetInstance().lock();
    if (!RedisSubscriptionManager::GetInstance().WaitUntilSubscribed("defaultns.*",
                                                                     std::chrono::seconds(10))) {
        std::printf("error not-subscribed\n");
        std::exit(3);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return service;
}

struct HostPlan {
    int port = 0;
    std::size_t held = 0;
    double fillsPerSecond = 0;
    long long startNs = 0;
    long long warmSeconds = 0;  // of filling before the measured window
    long long seconds = 0;
    long long settleSeconds = 0;
    bool every = false;
};

// A host's entries and its filling. One thread: the caller's.
class FillingHost {
public:
    FillingHost(const HostPlan& plan, SharedVersions& data)
        : m_plan(plan),
          m_data(data),
          m_service(Connect(plan.port)),
          m_cache(std::make_shared<TimedCache>(&m_lock)),
          m_random(static_cast<std::uint64_t>(::getpid())),
          m_anyKey(0, data.Keys() - 1) {}

    // Fills one entry per step from `fromNs` until `untilNs`.
    void FillBetween(long long fromNs, long long untilNs) {
        const long long stepNs = static_cast<long long>(1e9 / m_plan.fillsPerSecond);
        for (long long next = fromNs; next < untilNs; next += stepNs) {
            SleepUntilUnixNs(next);
            FillOne(MissingKey());
            ++m_fills;
        }
    }

    // Held entries, and those of them whose version is no longer the data's.
    std::pair<long long, long long> HeldAndStale() {
        long long held = 0, stale = 0;
        for (const auto& [key, entry] : m_byKey) {
            if (!m_cache->TryGetEntry(entry.guid)) continue;
            ++held;
            stale += entry.version != m_data.Get(key);
        }
        return {held, stale};
    }
    RedisPubsub& Service() { return *m_service; }
    long long Fills() const { return m_fills; }
    std::vector<std::pair<std::size_t, long long>> Dirty() const { return m_cache->Dirty(); }
    ~FillingHost() { m_service->OnRemoved(*m_cache); }

private:
    struct Held {
        unsigned int guid;
        std::uint64_t version;
    };

    // A key not held (or made dirty); after a few tries at random, a held one is filled again.
    std::size_t MissingKey() {
        std::size_t key = m_anyKey(m_random);
        for (int tries = 0; tries < 64; ++tries, key = m_anyKey(m_random)) {
            const auto it = m_byKey.find(key);
            if (it == m_byKey.end() || !m_cache->TryGetEntry(it->second.guid)) break;
        }
        return key;
    }

    void FillOne(std::size_t key) {
        Forget(key);
        const unsigned long long stamp = DateTime::UtcNow().GetRepresentation();
        const std::uint64_t version = m_data.Get(key);
        const unsigned int guid = m_cache->AddEntry(CacheHelpers::Payload(new VelCacheData()));
        m_cache->Filed(guid, key);
        const HashPair keyhash{key + 1, 0}, hash{version + 1, key + 1};
        if (m_plan.every)
            m_service->OnAdded(keyhash, hash, stamp, guid, m_cache);
        else
            m_service->OnFilled(keyhash, hash, stamp, guid, m_cache);
        m_byKey[key] = {guid, version};
        m_order.push_back(key);
        while (m_byKey.size() > m_plan.held && !m_order.empty()) {
            Forget(m_order.front());
            m_order.pop_front();
        }
    }

    // Lets the entry of `key` go, telling the service, unless the service made it dirty
    // already (then it is gone, with its record).
    void Forget(std::size_t key) {
        const auto it = m_byKey.find(key);
        if (it == m_byKey.end()) return;
        if (m_cache->TryDeleteEntry(it->second.guid))
            m_service->OnRemoved({it->second.guid}, m_cache);
        m_byKey.erase(it);
    }

    const HostPlan m_plan;
    SharedVersions& m_data;
    std::shared_ptr<RedisPubsub> m_service;
    TReadWriteLock m_lock;
    std::shared_ptr<TimedCache> m_cache;
    std::mt19937_64 m_random;
    std::uniform_int_distribution<std::size_t> m_anyKey;
    std::unordered_map<std::size_t, Held> m_byKey;
    std::deque<std::size_t> m_order;  // keys in the order filled (some since let go)
    long long m_fills = 0;
};

// Warms up, then measures a window of filling: the service's figures and the CPU over it.
int Host(const HostPlan& plan, SharedVersions& data) {
    FillingHost host(plan, data);
    const long long windowNs = plan.startNs + plan.warmSeconds * 1000000000LL;
    const long long endNs = windowNs + plan.seconds * 1000000000LL;
    host.FillBetween(plan.startNs, windowNs);
    const CoherenceHealth before = host.Service().GetHealth();
    const long long cpuStart = CpuMs(RUSAGE_SELF), fillCpuStart = CpuMs(RUSAGE_THREAD);
    const long long fillsBefore = host.Fills();
    host.FillBetween(windowNs, endNs);
    const long long cpuMs = CpuMs(RUSAGE_SELF) - cpuStart;
    const long long fillCpuMs = CpuMs(RUSAGE_THREAD) - fillCpuStart;
    const CoherenceHealth after = host.Service().GetHealth();
    SleepUntilUnixNs(endNs + plan.settleSeconds * 1000000000LL);
    const auto [held, stale] = host.HeldAndStale();
    for (const auto& [key, at] : host.Dirty()) std::printf("dirty %zu %lld\n", key, at);
    std::printf(
        "result fills=%lld published=%lld not-published=%lld received=%lld held=%lld stale=%lld "
        "cpu-ms=%lld fill-thread-cpu-ms=%lld gaps=%lld\n",
        host.Fills() - fillsBefore, after.published - before.published,
        after.fillsNotPublished - before.fillsNotPublished, after.received - before.received, held,
        stale, cpuMs, fillCpuMs, after.gaps);
    std::fflush(stdout);
    return 0;
}

int Writer(int port, SharedVersions& data, double perSecond, long long startNs, long long seconds) {
    std::shared_ptr<RedisPubsub> service = Connect(port);
    std::weak_ptr<ICoherentCache> none;  // announced only, filed nowhere
    std::mt19937_64 random(static_cast<std::uint64_t>(::getpid()));
    std::uniform_int_distribution<std::size_t> anyKey(0, data.Keys() - 1);
    std::vector<std::pair<std::size_t, long long>> changes;
    const long long endNs = startNs + seconds * 1000000000LL;
    const long long stepNs = static_cast<long long>(1e9 / perSecond);
    unsigned int guid = 0;
    // Every key announced once at its first version, as a long-running system has seen it.
    SleepUntilUnixNs(startNs);
    for (std::size_t key = 0; key < data.Keys(); ++key)
        service->OnAdded({key + 1, 0}, {data.Get(key) + 1, key + 1},
                         DateTime::UtcNow().GetRepresentation(), ++guid, none);
    for (long long next = startNs; next < endNs; next += stepNs) {
        SleepUntilUnixNs(next);
        const std::size_t key = anyKey(random);
        const std::uint64_t version = data.Bump(key);
        const unsigned long long stamp = DateTime::UtcNow().GetRepresentation();
        changes.emplace_back(key, UnixNs());
        service->OnAdded({key + 1, 0}, {version + 1, key + 1}, stamp, ++guid, none);
    }
    for (const auto& [key, at] : changes) std::printf("change %zu %lld\n", key, at);
    const CoherenceHealth h = service->GetHealth();
    std::printf("result published=%lld received=%lld\n", h.published, h.received);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto num = [&](int i) { return std::strtoll(argv[i], nullptr, 10); };
    if ((argc == 11 || argc == 12) && std::strcmp(argv[1], "host") == 0) {
        SharedVersions data(argv[3], static_cast<std::size_t>(num(4)));
        HostPlan plan;
        plan.port = static_cast<int>(num(2));
        plan.held = static_cast<std::size_t>(num(5));
        plan.fillsPerSecond = std::strtod(argv[6], nullptr);
        plan.startNs = num(7) * 1000000;
        plan.warmSeconds = num(8);
        plan.seconds = num(9);
        plan.settleSeconds = num(10);
        plan.every = argc == 12 && std::strcmp(argv[11], "every") == 0;
        return plan.fillsPerSecond > 0 ? Host(plan, data) : 2;
    }
    if (argc == 8 && std::strcmp(argv[1], "writer") == 0) {
        SharedVersions data(argv[3], static_cast<std::size_t>(num(4)));
        const double rate = std::strtod(argv[5], nullptr);
        return rate > 0 ? Writer(static_cast<int>(num(2)), data, rate, num(6) * 1000000, num(7))
                        : 2;
    }
    std::fprintf(stderr, "usage: see the head of tools/scale/scale_peer.cpp\n");
    return 2;
}
