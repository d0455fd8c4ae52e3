// Chapter: the read-through cache and derived results. One call per value: memory, then a disk
// cache, then the loader, loading each key once however many threads ask. A second instance of
// the same name stands for another process of this machine, and a third for the process that
// changes the data: its Set announces the new content through the coherence service, the first
// instance's copy goes, and so does the derived result built from it. Skipped, with a note,
// when redis-server is not installed.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Demos.h"
#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/DerivedResultCache.h"
#include "caching/ReadThroughCache.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/RedisServer.h"

using namespace velmora::caching;
namespace fs = std::filesystem;

namespace {

using Sales = ReadThroughCache<long long>;

// Numbers as decimal text: equal numbers, equal bytes.
Sales::Codec TextCodec() {
    return {[](const long long& v) {
                const std::string text = std::to_string(v);
                return ExternalBytes(text.begin(), text.end());
            },
            [](const unsigned char* data, std::size_t size) -> Sales::ValuePtr {
                try {
                    return std::make_shared<const long long>(
                        std::stoll(std::string(reinterpret_cast<const char*>(data), size)));
                } catch (const std::exception&) {
                    return nullptr;  // not ours: loaded anew
                }
            }};
}

const char* From(const Sales::Result& r) {
    switch (r.source) {
        case ReadThroughSource::Memory:
            return "memory";
        case ReadThroughSource::External:
            return r.layer == 0 ? "the disk cache" : "a lower layer";
        case ReadThroughSource::Loader:
            return "the loader";
        case ReadThroughSource::FailSafe:
            return "the last good value";
    }
    return "?";
}

}  // namespace

void RunReadThroughDemo() {
    std::printf("\n== Read-through cache and derived results\n");
    velsupport::RedisServer redis;
    if (const std::string error = redis.Start(); !error.empty()) {
        std::printf("  redis-server did not start (%s): this chapter is skipped.\n", error.c_str());
        return;
    }
    velmora::appoptions::ScopedOverride syncCaches(TString("SyncCaches"), true);
    ICascadeInvalidatorHolder& holder = CascadeInvalidatorHolderFactory::GetInstance();
    if (holder.GetInvalidators().empty())  // the host installs its invalidators once
        holder.Initialize(
            {CascadeInvalidatorAggregator::TryGetSingleton(), nullptr, nullptr, nullptr});
    RedisEndpointConfig endpoint;
    endpoint.port = redis.Port();
    ConfigureRedis(endpoint);
    const fs::path dir = fs::temp_directory_path() / ("velcache-tour-" + std::to_string(getpid()));
    AppConfig::GetInstance().SetExternalCacheEnabled(true);
    AppConfig::GetInstance().SetExternalCacheDir(TString::fromStdString(dir.string()));
    {
        const std::shared_ptr<RedisPubsub> service = RedisPubsub::Create(TString("VelTour."));
        RedisSubscriptionManager::GetInstance().WaitUntilSubscribed("VelTour.*",
                                                                    std::chrono::seconds(5));
        ReadThroughOptions options;
        options.name = "sales";
        options.layers = {
            ExternalCacheFactory::MakeDefaultCacheForDesktop()(TString("VelTour.disk"), 64, 0)};
        std::printf(
            "  coherence service \"VelTour.\" on a private redis-server (port %d); one\n"
            "  lower layer, a disk cache under %s\n",
            redis.Port(), dir.c_str());
        Sales cache(options, TextCodec(), service);
        // The data the loader reads; the chapter changes it once, as a writer would.
        std::map<std::string, long long> database{{"north", 120}, {"south", 80}, {"east", 40}};
        std::atomic<int> loads{0};
        const auto load = [&](const std::string& key) {
            return [&, key] {
                ++loads;
                if (key == "east") std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return database.at(key);
            };
        };
        const auto show = [](const char* key, const Sales::Result& r) {
            std::printf("  Get(\"%s\") -> %lld from %s\n", key, *r.value, From(r));
        };
        show("north", cache.Get("north", load("north")));
        show("north", cache.Get("north", load("north")));
        show("south", cache.Get("south", load("south")));

        // Stores go out in the background; the chapter waits for the disk to hold them.
        const auto stored = [&](const char* key) {
            return options.layers[0]->TryLoad(cache.Core().ExternalKey(key)).Get();
        };
        const auto waitUntil = [](const std::function<bool()>& done) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!done() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        };
        waitUntil([&] { return stored("north") != nullptr; });
        Sales other(options, TextCodec(), service);
        std::printf("another instance of the name (as another process of this machine would):\n");
        show("north", other.Get("north", load("north")));

        std::printf("four threads Get(\"east\") at once, with a loader that takes 100 ms:\n");
        loads = 0;
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back([&] { cache.Get("east", load("east")); });
        for (std::thread& t : threads) t.join();
        std::printf("  the loader ran %d time(s); coalesced waits %lld\n", loads.load(),
                    cache.GetCounters().coalescedWaits);

        DerivedResultCache<long long> shares(service);
        const auto share = [&] {
            const auto got = shares.Get("share:north", [&] {
                const long long north = *cache.Get("north", load("north")).value;
                const long long south = *cache.Get("south", load("south")).value;
                return 100 * north / (north + south);
            });
            std::printf("  derived \"share:north\" = north / (north + south) -> %lld%% (%s)\n",
                        *got.value,
                        got.held   ? "held"
                        : got.kept ? "computed, kept"
                                   : "computed, not kept");
        };
        share();
        share();

        std::printf("the process that changed the data: Set(\"south\", 120) announces it\n");
        database["south"] = 120;
        Sales writer(options, TextCodec(), service);
        writer.Set("south", std::make_shared<const long long>(database["south"]));
        const ExternalBytesPtr before = stored("south");
        waitUntil([&] {
            const ExternalBytesPtr now = stored("south");
            return shares.GetCounters().droppedDirty > 0 && now && (!before || *now != *before);
        });
        const ReadThroughCounters c = cache.GetCounters();
        std::printf(
            "  first instance: %lld entry dropped by the announcement; derived results "
            "dropped: %lld\n",
            c.invalidations, shares.GetCounters().droppedDirty);
        show("south", cache.Get("south", load("south")));
        share();
    }
    AppConfig::GetInstance().SetExternalCacheEnabled(false);
    AppConfig::GetInstance().SetExternalCacheDir(TString());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
