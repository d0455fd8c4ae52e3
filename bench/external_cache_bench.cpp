// The external caches beside what they are built on. Each "X" figure has an "X_Baseline"
// measured in the same run: the disk cache beside raw file writes and reads of the same bytes
// in the same layout, the Redis cache beside raw SET and GET on one blocking hiredis
// connection to the same private redis-server. The cache figures include everything a caller
// pays: the task launch, the guarded procedure (semaphore, time-out task for stores, log line,
// metrics scope) and the wait for the future. RedisCache_LoadMany/N reads N keys in pipelined
// batches (each key still a guarded load), beside the same N keys read one after the other.
#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "caching/DiskExternalCache.h"
#include "caching/GuardedExecution.h"
#include "caching/RedisExternalCache.h"
#include "velcore/AppConfig.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velsupport/RedisServer.h"

using namespace velmora::caching;
namespace fs = std::filesystem;

namespace {

fs::path ScratchRoot() {
    static const fs::path root = [] {
        fs::path p = fs::temp_directory_path() / ("velcache-bench-" + std::to_string(getpid()));
        fs::remove_all(p);
        fs::create_directories(p);
        return p;
    }();
    return root;
}

ExternalBytesPtr Value(std::int64_t size) {
    return std::make_shared<ExternalBytes>(std::size_t(size), 'v');
}

void DiskCache_TryStore(benchmark::State& state) {
    DiskExternalCache cache(TString("bench"), TPath(ScratchRoot() / "cache"), nullptr);
    const auto value = Value(state.range(0));
    const TString key("key");  // made once, as the baseline's
    for (auto _ : state) benchmark::DoNotOptimize(cache.TryStore(key, value, 0, -1).Get());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// What a user would do by hand to replace the value of a key held already, in the same layout
// and as safely (no reader ever sees half a value): read the key file, write the value to a
// temporary file beside the value file and rename it over that.
void DiskCache_TryStore_Baseline(benchmark::State& state) {
    const fs::path entry = ScratchRoot() / "raw" / "12345";
    fs::create_directories(entry);
    std::ofstream(entry / ".key", std::ios::binary | std::ios::trunc) << "key";
    const auto value = Value(state.range(0));
    char key[16];
    for (auto _ : state) {
        std::FILE* k = std::fopen((entry / ".key").c_str(), "rb");
        benchmark::DoNotOptimize(std::fread(key, 1, sizeof key, k));
        std::fclose(k);
        std::FILE* bin = std::fopen((entry / ".tmp").c_str(), "wb");
        std::fwrite(value->data(), 1, value->size(), bin);
        std::fclose(bin);
        std::rename((entry / ".tmp").c_str(), (entry / ".bin").c_str());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void DiskCache_TryLoad(benchmark::State& state) {
    DiskExternalCache cache(TString("bench"), TPath(ScratchRoot() / "cache"), nullptr);
    const TString key("key");  // made once, as the baseline's
    cache.TryStore(key, Value(state.range(0)), 0, -1).Get();
    const auto before = AsyncTask::GetPoolStatistics();
    for (auto _ : state) benchmark::DoNotOptimize(cache.TryLoad(key).Get());
    // Worker threads started while loading, and alive at the end: warm workers take every hop.
    const auto after = AsyncTask::GetPoolStatistics();
    state.counters["started"] = double(after.threadsStarted - before.threadsStarted);
    state.counters["threads"] = after.threads;
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Where a load's time goes beyond the raw reads, step by step on the calling thread: the disk
// backend's own function alone, then inside the guarded procedure (semaphore, scope, log check).
// TryLoad above adds the hop to a worker and back. No baselines of their own: they sit between
// TryLoad and its baseline.
struct ExposedDiskCache : DiskExternalCache {
    using DiskExternalCache::DiskExternalCache;
    using DiskExternalCache::GetLoadFunc;
};

void DiskCache_LoadSteps(benchmark::State& state) {
    ExposedDiskCache cache(TString("bench"), TPath(ScratchRoot() / "cache"), nullptr);
    cache.TryStore(TString("key"), Value(state.range(1)), 0, -1).Get();
    const auto load = cache.GetLoadFunc();
    const TString key("key"), keyHash = ExternalCacheKeyHash(key), ns("bench");
    for (auto _ : state) {
        if (state.range(0) == 0)
            benchmark::DoNotOptimize(load(key, keyHash));
        else
            benchmark::DoNotOptimize(GuardedLoad(load, key, ns));
    }
}

// What a user would do by hand to load a value in the same layout: read the key file, check
// that it holds this key (another key may share the hash that names the entry), and read the
// whole value file into a new buffer, each file in one call.
void DiskCache_TryLoad_Baseline(benchmark::State& state) {
    const fs::path entry = ScratchRoot() / "raw" / "12345";
    fs::create_directories(entry);
    std::ofstream(entry / ".bin", std::ios::binary | std::ios::trunc)
        << std::string(std::size_t(state.range(0)), 'v');
    std::ofstream(entry / ".key", std::ios::binary | std::ios::trunc) << "key";
    const auto readAll = [](const fs::path& path) {
        auto bytes = std::make_shared<ExternalBytes>(fs::file_size(path));
        std::FILE* f = std::fopen(path.c_str(), "rb");
        benchmark::DoNotOptimize(std::fread(bytes->data(), 1, bytes->size(), f));
        std::fclose(f);
        return bytes;
    };
    const std::string key = "key";
    for (auto _ : state) {
        const auto stored = readAll(entry / ".key");
        if (!std::equal(stored->begin(), stored->end(), key.begin(), key.end())) continue;
        benchmark::DoNotOptimize(readAll(entry / ".bin"));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// A private redis-server on a free loopback port, started on first use and stopped when the
// program exits.
class BenchRedis {
public:
    static BenchRedis& Get() {
        static BenchRedis s_redis;
        return s_redis;
    }
    // Empty when the server runs, else why it does not.
    const std::string& Error() const { return m_error; }
    bool Ok() const { return m_error.empty(); }
    int Port() const { return m_server.Port(); }

private:
    BenchRedis() : m_error(m_server.Start()) {}
    velsupport::RedisServer m_server;
    const std::string m_error;
};

std::shared_ptr<RedisConnectionPool> BenchPool() {
    static const auto s_pool = [] {
        RedisEndpointConfig config;
        config.port = BenchRedis::Get().Port();
        return std::make_shared<RedisConnectionPool>(config);
    }();
    return s_pool;
}

// One blocking hiredis connection to the bench server; null (and the benchmark skipped) when
// no redis-server could be started.
redisContext* RawConnection(benchmark::State& state) {
    if (!BenchRedis::Get().Ok()) {
        state.SkipWithError(BenchRedis::Get().Error().c_str());
        return nullptr;
    }
    redisContext* c = redisConnect("127.0.0.1", BenchRedis::Get().Port());
    if (!c || c->err) {
        state.SkipWithError("cannot connect to the bench redis-server");
        if (c) redisFree(c);
        return nullptr;
    }
    return c;
}

void RedisCache_TryStore(benchmark::State& state) {
    if (!BenchRedis::Get().Ok()) return state.SkipWithError(BenchRedis::Get().Error().c_str());
    RedisExternalCache cache(TString("bench"), BenchPool());
    const auto value = Value(state.range(0));
    const TString key("key");  // made once, as the baseline's
    for (auto _ : state) benchmark::DoNotOptimize(cache.TryStore(key, value, 0, -1).Get());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// What a user would do by hand: SET the namespaced key on one blocking connection.
void RedisCache_TryStore_Baseline(benchmark::State& state) {
    redisContext* c = RawConnection(state);
    if (!c) return;
    const auto value = Value(state.range(0));
    for (auto _ : state) {
        auto* reply = static_cast<redisReply*>(
            redisCommand(c, "SET %s %b", "bench:key", value->data(), value->size()));
        benchmark::DoNotOptimize(reply);
        freeReplyObject(reply);
    }
    redisFree(c);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void RedisCache_TryLoad(benchmark::State& state) {
    if (!BenchRedis::Get().Ok()) return state.SkipWithError(BenchRedis::Get().Error().c_str());
    RedisExternalCache cache(TString("bench"), BenchPool());
    const TString key("key");  // made once, as the baseline's
    cache.TryStore(key, Value(state.range(0)), 0, -1).Get();
    for (auto _ : state) benchmark::DoNotOptimize(cache.TryLoad(key).Get());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// What a user would do by hand: GET the namespaced key on one blocking connection and copy the
// reply into a new buffer.
void RedisCache_TryLoad_Baseline(benchmark::State& state) {
    redisContext* c = RawConnection(state);
    if (!c) return;
    const auto value = Value(state.range(0));
    freeReplyObject(redisCommand(c, "SET %s %b", "bench:key", value->data(), value->size()));
    for (auto _ : state) {
        auto* reply = static_cast<redisReply*>(redisCommand(c, "GET %s", "bench:key"));
        auto bytes = std::make_shared<ExternalBytes>(reply->str, reply->str + reply->len);
        benchmark::DoNotOptimize(bytes);
        freeReplyObject(reply);
    }
    redisFree(c);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// LoadManyOnThisThread of N keys (pipelined batches, each key still a guarded load), beside the
// same N keys read one LoadOnThisThread after the other (one round trip a key).
std::vector<TString> StoredKeys(RedisExternalCache& cache, int n) {
    std::vector<TString> keys;
    for (int i = 0; i < n; ++i) {
        keys.push_back(TString::fromStdString("many-" + std::to_string(i)));
        cache.TryStore(keys.back(), Value(64), 0, -1).Get();
    }
    return keys;
}

void RedisCache_LoadMany(benchmark::State& state) {
    if (!BenchRedis::Get().Ok()) return state.SkipWithError(BenchRedis::Get().Error().c_str());
    RedisExternalCache cache(TString("bench"), BenchPool());
    const std::vector<TString> keys = StoredKeys(cache, static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(cache.LoadManyOnThisThread(keys));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void RedisCache_LoadMany_Baseline(benchmark::State& state) {
    if (!BenchRedis::Get().Ok()) return state.SkipWithError(BenchRedis::Get().Error().c_str());
    RedisExternalCache cache(TString("bench"), BenchPool());
    const std::vector<TString> keys = StoredKeys(cache, static_cast<int>(state.range(0)));
    for (auto _ : state)
        for (const TString& key : keys) benchmark::DoNotOptimize(cache.LoadOnThisThread(key));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Wall time: the cache's work runs on task threads, which CPU time of this thread misses.
#define SIZES Arg(64)->Arg(4096)->Arg(262144)->UseRealTime()
BENCHMARK(DiskCache_TryStore)->SIZES;
BENCHMARK(DiskCache_TryStore_Baseline)->SIZES;
BENCHMARK(DiskCache_TryLoad)->SIZES;
BENCHMARK(DiskCache_TryLoad_Baseline)->SIZES;
BENCHMARK(DiskCache_LoadSteps)
    ->ArgNames({"guarded", "bytes"})
    ->ArgsProduct({{0, 1}, {64, 4096}})
    ->UseRealTime();
BENCHMARK(RedisCache_TryStore)->SIZES;
BENCHMARK(RedisCache_TryStore_Baseline)->SIZES;
BENCHMARK(RedisCache_TryLoad)->SIZES;
BENCHMARK(RedisCache_TryLoad_Baseline)->SIZES;
BENCHMARK(RedisCache_LoadMany)->Arg(1000)->UseRealTime();
BENCHMARK(RedisCache_LoadMany_Baseline)->Arg(1000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(ScratchRoot(), ignored);
    return 0;
}
