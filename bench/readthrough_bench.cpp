// The read-through cache's hits beside what a caller would write by hand. Each "X" figure has
// an "X_Baseline" measured in the same run:
//  - ReadThrough_MemoryHit: a Get answered from memory, beside a lookup of the same entry in a
//    SynchronizedIndexedCache through an indexed predicate on the key (what the memory layer is
//    built on), the value taken out of the payload.
//  - ReadThrough_DiskHit: a Get answered by the disk layer (memory off, the layer read on the
//    calling thread), beside reading the same two files of the same entry by hand (the key file,
//    checked, and the value file) and making the value from the bytes.
//  - ReadThrough_MemoryFill/N: a Get that misses, loads and fills a memory layer already full
//    with N entries (the layer evicts to make room), beside the same Get with no memory layer:
//    the difference is what holding the value costs a miss, and it should not grow with N.
//  - ReadThrough_HitsFromTwoThreads: Gets answered from memory by two threads at once over one
//    cache (the default policy, which records each hit in its own structure when it is free),
//    beside the same with the built-in most-recently-used policy (memory entries only).
//  - ReadThrough_SignedHit: a 4 KiB Get answered by a layer in memory whose values carry an
//    HMAC-SHA256 tag (checked on every read), beside the same Get of unsigned values: the
//    difference is what signing costs a read.
//  - ReadThrough_AuditedHit: a memory hit with the auditor on at its default sampling rate,
//    beside the same hit with it off: what checking answers against the source costs a caller.
//  - ReadThrough_TaggedHit: a memory hit on an entry that carries three tags, beside the same hit
//    on untagged entries: what tags cost a hit (nothing is looked up for them on a hit).
//  - ReadThrough_DiskHitOnCallerThread: the same Get, beside the disk cache's own TryLoad and a
//    wait for its future (the task hop the inline load saves), the value made from the bytes.
// No coherence service: a hit announces nothing with one (a disk hit with memory off would
// publish its content) and the figures are of the cache's own work. A second thread stays
// alive (blocked) for the whole run, as in synchronized_cache_bench: glibc's locks are cheaper
// in a process that has only ever had one thread.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "caching/DiskExternalCache.h"
#include "caching/ReadThroughCache.h"
#include "utility/SynchronizedIndexedCache.h"

using namespace velmora::caching;
namespace fs = std::filesystem;
using Cache = ReadThroughCache<std::string>;

namespace {

fs::path ScratchRoot() {
    static const fs::path root = [] {
        fs::path p = fs::temp_directory_path() / ("velcache-rt-bench-" + std::to_string(getpid()));
        fs::remove_all(p);
        fs::create_directories(p);
        return p;
    }();
    return root;
}

Cache::Codec StringCodec() {
    return {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
            [](const unsigned char* data, std::size_t size) {
                return std::make_shared<const std::string>(reinterpret_cast<const char*>(data),
                                                           size);
            }};
}

std::string KeyOf(int i) {
    return "row:" + std::to_string(i);
}

// ---- Memory hits -------------------------------------------------------------------------

constexpr int kKeys = 10000;

struct MemoryFixture {
    explicit MemoryFixture(bool audit = false, bool frequencyPolicy = true, bool tagged = false) {
        ReadThroughOptions options;
        options.name = "bench";
        options.memoryEntries = 2 * kKeys;
        options.audit = audit;  // at the default sampling rate and cap
        options.frequencyPolicy = frequencyPolicy;
        cache = std::make_unique<Cache>(options, StringCodec(), nullptr);
        for (int i = 0; i < kKeys; ++i) {
            keys.push_back(KeyOf(i));
            cache->Get(keys.back(), [&] {
                if (tagged) {
                    TagLoad("table:rows");
                    TagLoad(keys.back());
                    TagLoad("shard:" + std::to_string(i % 16));
                }
                return "value of " + keys.back();
            });
        }
    }
    std::unique_ptr<Cache> cache;
    std::vector<std::string> keys;
};

void ReadThrough_MemoryHit(benchmark::State& state) {
    static MemoryFixture f;
    const auto before = f.cache->GetCounters();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            f.cache->Get(f.keys[i % kKeys], [] { return std::string("never"); }));
        i += 7;
    }
    state.counters["loads"] = double(f.cache->GetCounters().loads - before.loads);
}

// A memory hit with the auditor on (its default rate: a sampled hit queues a check), beside the
// same hit with it off. The loader answers what memory holds, so every check finds it equal.
void AuditedHit(benchmark::State& state, MemoryFixture& f) {
    const auto before = f.cache->GetCounters();
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& key = f.keys[i % kKeys];
        benchmark::DoNotOptimize(f.cache->Get(key, [&key] { return "value of " + key; }));
        i += 7;
    }
    const auto after = f.cache->GetCounters();
    state.counters["loads"] = double(after.loads - before.loads);
    state.counters["sampled"] = double(after.audit.samples - before.audit.samples);
}

void ReadThrough_AuditedHit(benchmark::State& state) {
    static MemoryFixture f(true);
    AuditedHit(state, f);
}

void ReadThrough_AuditedHit_Baseline(benchmark::State& state) {
    static MemoryFixture f(false);
    AuditedHit(state, f);
}

void TaggedHit(benchmark::State& state, MemoryFixture& f) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            f.cache->Get(f.keys[i % kKeys], [] { return std::string("never"); }));
        i += 7;
    }
}

void ReadThrough_TaggedHit(benchmark::State& state) {
    static MemoryFixture f(false, true, true);
    TaggedHit(state, f);
}

void ReadThrough_TaggedHit_Baseline(benchmark::State& state) {
    static MemoryFixture f(false, true, false);
    TaggedHit(state, f);
}

// One row of the baseline's cache.
class Row : public VelCacheData {
public:
    Row(std::string k, std::shared_ptr<const std::string> v) : key(std::move(k)), value(v) {}
    const std::string key;
    const std::shared_ptr<const std::string> value;
};

class RowKeyIs : public CacheHelpers::EntryPredicate {
public:
    explicit RowKeyIs(const std::string& key) : m_key(key), m_index(TString::fromStdString(key)) {}
    bool Matches(const CacheHelpers::Entry& e) override {
        const auto* row = dynamic_cast<const Row*>(e.GetData().Get());
        return row && row->key == m_key;
    }
    TString GetIndexName() const override { return "key"; }
    TString GetKeyForIndexing() const override { return m_index; }
    bool HasIndex() const override { return true; }

private:
    const std::string& m_key;
    const TString m_index;
};

struct IndexedFixture {
    IndexedFixture()
        : cache(std::make_shared<CacheHelpers::MRUPolicy>(2 * kKeys),
                CacheHelpers::CreateSystemClock()) {
        cache.AddIndex("key", [](const CacheHelpers::Entry& e) {
            const auto* row = dynamic_cast<const Row*>(e.GetData().Get());
            return row ? TString::fromStdString(row->key) : TString();
        });
        for (int i = 0; i < kKeys; ++i) {
            keys.push_back(KeyOf(i));
            cache.AddEntry(CacheHelpers::Payload(new Row(
                keys.back(), std::make_shared<const std::string>("value of " + keys.back()))));
        }
    }
    SynchronizedIndexedCache cache;
    std::vector<std::string> keys;
};

void ReadThrough_MemoryHit_Baseline(benchmark::State& state) {
    static IndexedFixture f;
    std::size_t i = 0;
    for (auto _ : state) {
        unsigned int hint = 0;
        const CacheHelpers::Payload payload =
            f.cache.TryGetEntryAndHint(std::make_shared<RowKeyIs>(f.keys[i % kKeys]), hint);
        const auto* row = dynamic_cast<const Row*>(payload.Get());
        benchmark::DoNotOptimize(row ? row->value : nullptr);
        i += 7;
    }
}

// ---- Hits from two threads ---------------------------------------------------------------

std::unique_ptr<MemoryFixture> g_shared;

void HitsFromTwoThreads(benchmark::State& state, bool frequencyPolicy) {
    if (state.thread_index() == 0)
        g_shared = std::make_unique<MemoryFixture>(false, frequencyPolicy);
    // Every thread starts once the fixture is made (the loop's start is a barrier).
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 4999;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            g_shared->cache->Get(g_shared->keys[i % kKeys], [] { return std::string("never"); }));
        i += 7;
    }
    if (state.thread_index() == 0) {
        state.counters["loads"] = double(g_shared->cache->GetCounters().loads - kKeys);
        g_shared.reset();
    }
}

void ReadThrough_HitsFromTwoThreads(benchmark::State& state) {
    HitsFromTwoThreads(state, true);
}

void ReadThrough_HitsFromTwoThreads_Baseline(benchmark::State& state) {
    HitsFromTwoThreads(state, false);
}

// ---- Fills of a full memory layer ----------------------------------------------------------

void RunFills(benchmark::State& state, int memoryEntries) {
    ReadThroughOptions options;
    options.name = "bench-fill";
    options.memoryEntries = memoryEntries;
    Cache cache(options, StringCodec(), nullptr);
    const int full = static_cast<int>(state.range(0));
    for (int i = 0; i < full; ++i) cache.Get(KeyOf(i), [] { return std::string("value"); });
    int next = full;
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.Get(KeyOf(next++), [] { return std::string("value"); }));
}

void ReadThrough_MemoryFill(benchmark::State& state) {
    RunFills(state, static_cast<int>(state.range(0)));
}

void ReadThrough_MemoryFill_Baseline(benchmark::State& state) {
    RunFills(state, 0);
}

// ---- Disk hits ---------------------------------------------------------------------------

struct DiskFixture {
    explicit DiskFixture(std::size_t size) {
        const fs::path dir = ScratchRoot() / ("disk-" + std::to_string(size));
        layer =
            std::make_shared<DiskExternalCache>(TString("bench"), TPath(dir / "cache"), nullptr);
        ReadThroughOptions options;
        options.name = "bench";
        options.memoryEntries = 0;
        options.layers = {layer};
        cache = std::make_unique<Cache>(options, StringCodec(), nullptr);
        const std::string value(size, 'v');
        cache->Get(key, [&] { return value; });
        externalKey = cache->Core().ExternalKey(key);
        // The store goes out in the background: wait for it.
        for (int i = 0; i < 5000 && !stored; ++i) {
            stored = layer->LoadOnThisThread(externalKey);
            if (!stored) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The same bytes in the same layout, for the raw reads.
        raw = dir / "raw" / "12345";
        fs::create_directories(raw);
        const std::string keyText = externalKey.toStdString();
        std::ofstream(raw / ".key", std::ios::binary) << keyText;
        if (stored)
            std::ofstream(raw / ".bin", std::ios::binary)
                .write(reinterpret_cast<const char*>(stored->data()),
                       std::streamsize(stored->size()));
    }
    const std::string key = "row";
    std::shared_ptr<DiskExternalCache> layer;
    std::unique_ptr<Cache> cache;
    TString externalKey;
    ExternalBytesPtr stored;
    fs::path raw;
};

DiskFixture& Disk(std::size_t size) {
    static std::map<std::size_t, std::unique_ptr<DiskFixture>> fixtures;
    auto& f = fixtures[size];
    if (!f) f = std::make_unique<DiskFixture>(size);
    return *f;
}

void DiskHit(benchmark::State& state) {
    DiskFixture& f = Disk(std::size_t(state.range(0)));
    if (!f.stored) return state.SkipWithError("the disk layer kept nothing");
    const auto before = f.cache->GetCounters();
    for (auto _ : state)
        benchmark::DoNotOptimize(f.cache->Get(f.key, [] { return std::string("never"); }));
    const auto after = f.cache->GetCounters();
    state.counters["loads"] = double(after.loads - before.loads);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void ReadThrough_DiskHit(benchmark::State& state) {
    DiskHit(state);
}

// By hand: read the key file and check it, read the value file, make the value.
void ReadThrough_DiskHit_Baseline(benchmark::State& state) {
    DiskFixture& f = Disk(std::size_t(state.range(0)));
    if (!f.stored) return state.SkipWithError("the disk layer kept nothing");
    const auto readAll = [](const fs::path& path) {
        auto bytes = std::make_shared<ExternalBytes>(fs::file_size(path));
        std::FILE* file = std::fopen(path.c_str(), "rb");
        benchmark::DoNotOptimize(std::fread(bytes->data(), 1, bytes->size(), file));
        std::fclose(file);
        return bytes;
    };
    const std::string key = f.externalKey.toStdString();
    for (auto _ : state) {
        const auto stored = readAll(f.raw / ".key");
        if (!std::equal(stored->begin(), stored->end(), key.begin(), key.end())) continue;
        const auto bytes = readAll(f.raw / ".bin");
        benchmark::DoNotOptimize(std::make_shared<const std::string>(
            reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void ReadThrough_DiskHitOnCallerThread(benchmark::State& state) {
    DiskHit(state);
}

// The disk cache's own load through its task and future, the value made from the bytes.
void ReadThrough_DiskHitOnCallerThread_Baseline(benchmark::State& state) {
    DiskFixture& f = Disk(std::size_t(state.range(0)));
    if (!f.stored) return state.SkipWithError("the disk layer kept nothing");
    for (auto _ : state) {
        const ExternalBytesPtr bytes = f.layer->TryLoad(f.externalKey).Get();
        benchmark::DoNotOptimize(std::make_shared<const std::string>(
            reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// A layer that keeps values in a map and is read on the caller's thread.
class MapLayer : public ExternalCache<TString, ExternalBytes> {
public:
    MapLayer() : ExternalCache(TString("map"), 0, false) {}
    std::shared_ptr<std::map<std::string, ExternalBytesPtr>> values =
        std::make_shared<std::map<std::string, ExternalBytesPtr>>();

protected:
    StoreFunc GetStoreFunc() const override {
        return [v = values](TString key, TString, ExternalBytesPtr value, long long) {
            (*v)[key.toStdString()] = std::move(value);
        };
    }
    LoadFunc GetLoadFunc() const override {
        return [v = values](TString key, TString) -> ExternalBytesPtr {
            const auto it = v->find(key.toStdString());
            return it == v->end() ? nullptr : it->second;
        };
    }
    DropFunc GetDropFunc() const override {
        return [v = values](TString key, TString) { v->erase(key.toStdString()); };
    }
};

void LayerHit(benchmark::State& state, bool sign) {
    auto layer = std::make_shared<MapLayer>();
    ReadThroughOptions options;
    options.name = "signed";
    options.memoryEntries = 0;
    options.layers = {layer};
    if (sign) options.signingKeys = {"a key of the host's, 32 bytes long"};
    Cache cache(options, StringCodec(), nullptr);
    const std::string value(4096, 'v');
    cache.Get("row", [&] { return value; });  // deferred store: done when this returns
    for (auto _ : state)
        benchmark::DoNotOptimize(cache.Get("row", [] { return std::string("never"); }));
    state.counters["loads"] = double(cache.GetCounters().loads);
    state.SetBytesProcessed(state.iterations() * 4096);
}

void ReadThrough_SignedHit(benchmark::State& state) {
    LayerHit(state, true);
}

void ReadThrough_SignedHit_Baseline(benchmark::State& state) {
    LayerHit(state, false);
}

}  // namespace

BENCHMARK(ReadThrough_SignedHit);
BENCHMARK(ReadThrough_SignedHit_Baseline);
BENCHMARK(ReadThrough_MemoryHit);
BENCHMARK(ReadThrough_MemoryHit_Baseline);
BENCHMARK(ReadThrough_HitsFromTwoThreads)->Threads(2)->UseRealTime();
BENCHMARK(ReadThrough_HitsFromTwoThreads_Baseline)->Threads(2)->UseRealTime();
BENCHMARK(ReadThrough_AuditedHit);
BENCHMARK(ReadThrough_AuditedHit_Baseline);
BENCHMARK(ReadThrough_TaggedHit);
BENCHMARK(ReadThrough_TaggedHit_Baseline);
BENCHMARK(ReadThrough_MemoryFill)->Arg(1000)->Arg(10000);
BENCHMARK(ReadThrough_MemoryFill_Baseline)->Arg(1000)->Arg(10000);
#define SIZES Arg(64)->Arg(4096)->Arg(262144)->UseRealTime()
BENCHMARK(ReadThrough_DiskHit)->SIZES;
BENCHMARK(ReadThrough_DiskHit_Baseline)->SIZES;
BENCHMARK(ReadThrough_DiskHitOnCallerThread)->SIZES;
BENCHMARK(ReadThrough_DiskHitOnCallerThread_Baseline)->SIZES;

int main(int argc, char** argv) {
    // The idle second thread: alive and blocked until every benchmark has run.
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread idle([&] {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return done; });
    });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    wake.notify_one();
    idle.join();
    fs::remove_all(ScratchRoot());
    return 0;
}
