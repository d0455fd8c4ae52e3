// A memory hit as a host sees it, beside the least a thread-safe in-process cache must do.
//
// Each "X" figure has an "X_Baseline" measured in the same run, the floor: a std::shared_mutex
// over a std::unordered_map<std::string, std::shared_ptr<const std::string>>, a lookup under the
// shared lock and a copy of the shared_ptr. Both sides hold the same 10,000 keys
// ("customer:N", 100-byte values) and visit them in the same fixed stride.
//  - Hit_Alone: host.ReadThrough<std::string>(...)->Get(key, loader) on a host without Redis
//    (Host::Create({}): memory and disk layers, no coherence service).
//  - Hit_Coherent: the same on a host with a private redis-server and the coherence service on:
//    still a memory hit, with the freshness checks on its path.
//  - Hit_Audited: Hit_Alone with the auditor on at its default sampling rate.
//  - Hit_Lent: Hit_Alone through Visit, which lends the value to a callback (here: its size)
//    instead of copying its shared_ptr, whose reference count readers of a key share.
//  - Hit_CoherentLent: Hit_Coherent through Visit.
// Every figure runs on 1 and 2 threads (real time, items per second summed over the threads):
// the 2-thread row's items_per_second against the 1-thread row's is how hits scale.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "caching/Host.h"
#include "velsupport/RedisServer.h"

using namespace velmora::caching;

namespace {

constexpr std::size_t kKeys = 10000;
constexpr std::size_t kStride = 7;  // coprime with kKeys: every key in turn

const std::vector<std::string>& Keys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        for (std::size_t i = 0; i < kKeys; ++i) k.push_back("customer:" + std::to_string(i));
        return k;
    }();
    return keys;
}

std::string ValueOf(const std::string& key) {
    std::string value = "value of " + key + " ";
    value.resize(100, '.');
    return value;
}

// The floor.
class Floor {
public:
    Floor() {
        for (const std::string& key : Keys())
            m_map.emplace(key, std::make_shared<const std::string>(ValueOf(key)));
    }
    std::shared_ptr<const std::string> Get(const std::string& key) const {
        std::shared_lock lock(m_mutex);
        const auto it = m_map.find(key);
        return it == m_map.end() ? nullptr : it->second;
    }

private:
    mutable std::shared_mutex m_mutex;
    std::unordered_map<std::string, std::shared_ptr<const std::string>> m_map;
};

// A host, one cache on it, every key loaded.
struct HostFixture {
    HostFixture(const std::string& redis, bool audit) {
        HostOptions options;
        options.redis = redis;
        options.coherenceNamespace = "hitbench.";
        host = Host::Create(options);
        HostCacheOptions cacheOptions;
        cacheOptions.memoryEntries = 2 * kKeys;  // every key in memory
        cacheOptions.audit = audit;              // at its default rate and cap
        cache = host->ReadThrough<std::string>("customers", cacheOptions);
        for (const std::string& key : Keys()) cache->Get(key, [&key] { return ValueOf(key); });
    }
    ~HostFixture() {
        cache.reset();
        host->Stop();
    }
    std::unique_ptr<Host> host;
    std::shared_ptr<ReadThroughCache<std::string>> cache;
};

velsupport::RedisServer* Server() {
    static velsupport::RedisServer s_server;
    static const std::string s_error = s_server.Start();
    return s_error.empty() ? &s_server : nullptr;
}

// Made by the first thread, shared by both, let go when the first thread's loop ends (the
// loop's start and end are barriers).
template <class Fixture>
struct Shared {
    std::unique_ptr<Fixture> fixture;
};

template <class Fixture, class Make, class Ask>
void Run(benchmark::State& state, Shared<Fixture>& shared, Make make, Ask ask) {
    if (state.thread_index() == 0) shared.fixture = make();
    const std::vector<std::string>& keys = Keys();
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * (kKeys / 2);
    for (auto _ : state) {
        ask(*shared.fixture, keys[i % kKeys]);
        i += kStride;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    if (state.thread_index() == 0) shared.fixture.reset();
}

void AskHost(HostFixture& f, const std::string& key) {
    benchmark::DoNotOptimize(f.cache->Get(key, [] { return std::string("never"); }));
}

void AskLent(HostFixture& f, const std::string& key) {
    benchmark::DoNotOptimize(f.cache->Visit(
        key, [] { return std::string("never"); }, [](const std::string& v) { return v.size(); }));
}

void AskFloor(Floor& f, const std::string& key) {
    benchmark::DoNotOptimize(f.Get(key));
}

Shared<HostFixture> g_host;
Shared<Floor> g_floor;

void Hit_Alone(benchmark::State& state) {
    Run(
        state, g_host, [] { return std::make_unique<HostFixture>("", false); }, AskHost);
}

// On a host with the coherence service over a private redis-server: `ask`'s hits.
template <class Ask>
void CoherentHit(benchmark::State& state, Ask ask) {
    velsupport::RedisServer* server = Server();
    if (!server) {
        state.SkipWithError("no redis-server");
        return;
    }
    const std::string endpoint = "127.0.0.1:" + std::to_string(server->Port());
    Run(
        state, g_host, [&] { return std::make_unique<HostFixture>(endpoint, false); }, ask);
}

void Hit_Coherent(benchmark::State& state) {
    CoherentHit(state, AskHost);
}

void Hit_CoherentLent(benchmark::State& state) {
    CoherentHit(state, AskLent);
}

void Hit_Audited(benchmark::State& state) {
    Run(
        state, g_host, [] { return std::make_unique<HostFixture>("", true); }, AskHost);
}

void Hit_Lent(benchmark::State& state) {
    Run(
        state, g_host, [] { return std::make_unique<HostFixture>("", false); }, AskLent);
}

void FloorHit(benchmark::State& state) {
    Run(
        state, g_floor, [] { return std::make_unique<Floor>(); }, AskFloor);
}

void Hit_Alone_Baseline(benchmark::State& state) {
    FloorHit(state);
}
void Hit_Coherent_Baseline(benchmark::State& state) {
    FloorHit(state);
}
void Hit_Audited_Baseline(benchmark::State& state) {
    FloorHit(state);
}
void Hit_Lent_Baseline(benchmark::State& state) {
    FloorHit(state);
}
void Hit_CoherentLent_Baseline(benchmark::State& state) {
    FloorHit(state);
}

}  // namespace

#define VELBENCH_HIT(name) BENCHMARK(name)->Threads(1)->Threads(2)->UseRealTime()
VELBENCH_HIT(Hit_Alone);
VELBENCH_HIT(Hit_Alone_Baseline);
VELBENCH_HIT(Hit_Coherent);
VELBENCH_HIT(Hit_Coherent_Baseline);
VELBENCH_HIT(Hit_Audited);
VELBENCH_HIT(Hit_Audited_Baseline);
VELBENCH_HIT(Hit_Lent);
VELBENCH_HIT(Hit_Lent_Baseline);
VELBENCH_HIT(Hit_CoherentLent);
VELBENCH_HIT(Hit_CoherentLent_Baseline);

int main(int argc, char** argv) {
    // A second thread alive for the whole run, as in every host: glibc's locks are cheaper in a
    // process that has only ever had one thread.
    // Its lock and condition are never destroyed: the exit must not wait for the thread.
    auto* m = new std::mutex;
    auto* cv = new std::condition_variable;
    std::thread idle([m, cv] {
        std::unique_lock lock(*m);
        cv->wait(lock, [] { return false; });
    });
    idle.detach();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
