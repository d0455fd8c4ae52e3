// The Redis client on a private 3-master cluster beside the same client on one private server,
// in the same run:
// - the Redis external cache's store and load from 8 threads (throughput, keys spread over every
//   master), the baseline being the same cache on the single server;
// - one thread's pooled GET through the cluster routing (slot of the key, master of the slot,
//   that node's socket) against the same GET sent straight to the same node: the routing cost
//   per call, both paths talking to one and the same server (keys it serves);
// - the slot computation alone.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "caching/RedisExternalCache.h"
#include "velcore/AppConfig.h"
#include "velredis/RedisClusterSlot.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSlotMap.h"
#include "velsupport/RedisCluster.h"
#include "velsupport/RedisServer.h"

using namespace velmora::caching;

namespace {

constexpr int kThreads = 8;
constexpr int kKeysPerThread = 64;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::exit(1);
}

// Both stopped by their destructors when the program exits.
velsupport::RedisServer& Server() {
    static velsupport::RedisServer server;
    static const bool started = [] {
        if (std::string error = server.Start(); !error.empty()) Die("redis-server: " + error);
        return true;
    }();
    (void)started;
    return server;
}

velsupport::RedisCluster& Cluster() {
    static velsupport::RedisCluster cluster;
    static const bool started = [] {
        if (std::string error = cluster.Start(3, 0, std::chrono::milliseconds(5000));
            !error.empty())
            Die("redis cluster: " + error);
        return true;
    }();
    (void)started;
    return cluster;
}

std::shared_ptr<RedisConnectionPool> SinglePool() {
    static auto pool = [] {
        RedisEndpointConfig config = Server().MakeConfig();
        config.poolSize = kThreads;
        return std::make_shared<RedisConnectionPool>(config);
    }();
    return pool;
}

std::shared_ptr<RedisConnectionPool> MakeClusterPool(bool pipelining) {
    RedisEndpointConfig config = Cluster().MakeConfig();
    config.mode = RedisMode::Cluster;
    config.poolSize = kThreads;
    config.pipelining = pipelining;
    return std::make_shared<RedisConnectionPool>(config);
}

std::shared_ptr<RedisConnectionPool> ClusterPool() {
    static auto pool = MakeClusterPool(true);
    return pool;
}

// The cluster pool as it was before connections were shared: each its own sockets.
std::shared_ptr<RedisConnectionPool> UnsharedClusterPool() {
    static auto pool = MakeClusterPool(false);
    return pool;
}

// Keys that all live on the first node, and a plain single-server pool pointed at that node.
const std::vector<std::string>& FirstNodeKeys() {
    static const std::vector<std::string> keys = [] {
        const int port = Cluster().Ports().front();
        const RedisSlotMap map = RedisSlotMap::FromClusterSlots(
            Cluster().Command(port, {"CLUSTER", "SLOTS"}), "127.0.0.1");
        std::vector<std::string> found;
        for (int i = 0; found.size() < std::size_t{kKeysPerThread}; ++i) {
            std::string key = "route:" + std::to_string(i);
            const RedisNodeAddress* master = map.MasterOf(RedisKeySlot(key));
            if (master && master->port == port) found.push_back(std::move(key));
        }
        return found;
    }();
    return keys;
}

std::shared_ptr<RedisConnectionPool> FirstNodePool() {
    static auto pool = [] {
        RedisEndpointConfig config = Cluster().MakeConfig();
        config.mode = RedisMode::SingleServer;
        config.port = Cluster().Ports().front();
        config.poolSize = kThreads;
        return std::make_shared<RedisConnectionPool>(config);
    }();
    return pool;
}

ExternalBytesPtr Value() {
    static const auto value = std::make_shared<ExternalBytes>(1024, 'v');
    return value;
}

TString KeyOf(const benchmark::State& state, std::int64_t i) {
    return TString::fromStdString("t" + std::to_string(state.thread_index()) + ":" +
                                  std::to_string(i % kKeysPerThread));
}

// Stores or loads from every thread through `pool`; counts loads that missed (a miss would mean
// the value was not where it was stored, or no connection was free).
void CacheCalls(benchmark::State& state, const std::shared_ptr<RedisConnectionPool>& pool,
                bool load) {
    AppConfig::GetInstance().SetExternalCacheEnabled(true);
    RedisExternalCache cache(TString("bench"), pool);
    for (int i = 0; i < kKeysPerThread; ++i) cache.TryStore(KeyOf(state, i), Value(), 0, -1).Get();
    std::int64_t i = 0, misses = 0;
    for (auto _ : state) {
        if (load)
            misses += cache.TryLoad(KeyOf(state, i++)).Get() == nullptr;
        else
            benchmark::DoNotOptimize(cache.TryStore(KeyOf(state, i++), Value(), 0, -1).Get());
    }
    state.counters["misses"] = benchmark::Counter(static_cast<double>(misses));
    state.SetItemsProcessed(state.iterations());
}

void ClusterCache_Store(benchmark::State& state) {
    CacheCalls(state, ClusterPool(), false);
}
void ClusterCache_Store_Baseline(benchmark::State& state) {
    CacheCalls(state, SinglePool(), false);
}
void ClusterCache_Load(benchmark::State& state) {
    CacheCalls(state, ClusterPool(), true);
}
void ClusterCache_Load_Baseline(benchmark::State& state) {
    CacheCalls(state, SinglePool(), true);
}

// One pooled GET per iteration on one thread: guard, command, guard released.
void PooledGet(benchmark::State& state, const std::shared_ptr<RedisConnectionPool>& pool) {
    const std::vector<std::string>& keys = FirstNodeKeys();
    for (const std::string& key : keys)
        pool->FindAndLockConnection(key)->GetConnection().Set(key, Value());
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& key = keys[i++ % keys.size()];
        auto guard = pool->FindAndLockConnection(key);
        benchmark::DoNotOptimize(guard->GetConnection().Get(key));
    }
}

void ClusterRouting_Get(benchmark::State& state) {
    PooledGet(state, ClusterPool());
}
void ClusterRouting_Get_Baseline(benchmark::State& state) {
    PooledGet(state, FirstNodePool());
}

// Pool-level GET and SET of 1 KiB from every thread over keys of all masters, counting
// successful replies only ("failed" counts the others).
void PoolCalls(benchmark::State& state, const std::shared_ptr<RedisConnectionPool>& pool) {
    const auto value = std::make_shared<std::vector<unsigned char>>(1024, 'v');
    long long failed = 0;
    std::int64_t i = 0;
    for (auto _ : state) {
        const std::string key = KeyOf(state, i++).toStdString();
        try {
            auto guard = pool->FindAndLockConnection(key);
            if (!guard || !guard->GetConnection().Set(key, value) ||
                !guard->GetConnection().Get(key))
                ++failed;
        } catch (const RedisException&) {
            ++failed;
        }
    }
    state.counters["failed"] = static_cast<double>(failed);
    state.SetItemsProcessed(state.iterations() - failed);
}

void ClusterPipelined_SetGet(benchmark::State& state) {
    PoolCalls(state, ClusterPool());
}
void ClusterPipelined_SetGet_Baseline(benchmark::State& state) {
    PoolCalls(state, UnsharedClusterPool());
}

void ClusterRouting_KeySlot(benchmark::State& state) {
    const std::string key = "bench:t3:some-cache-key-of-usual-length";
    for (auto _ : state) benchmark::DoNotOptimize(RedisKeySlot(key));
}

BENCHMARK(ClusterCache_Store)->Threads(kThreads)->UseRealTime();
BENCHMARK(ClusterCache_Store_Baseline)->Threads(kThreads)->UseRealTime();
BENCHMARK(ClusterCache_Load)->Threads(kThreads)->UseRealTime();
BENCHMARK(ClusterCache_Load_Baseline)->Threads(kThreads)->UseRealTime();
BENCHMARK(ClusterRouting_Get)->UseRealTime();
BENCHMARK(ClusterRouting_Get_Baseline)->UseRealTime();
BENCHMARK(ClusterRouting_KeySlot);
BENCHMARK(ClusterPipelined_SetGet)->Threads(kThreads)->UseRealTime();
BENCHMARK(ClusterPipelined_SetGet_Baseline)->Threads(kThreads)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
