// A host process for the multi-process lease tests: a read-through cache of name "herd"
// without memory, whose only layer is a Redis external cache on the given loopback port.
//
// lease_peer <port> <lease|flight> <threads> <keys> <load ms> [hang]
//   Prints "ready <pid>", waits (at most 30 s) until the Redis key "herd:go" exists, then every
//   thread asks for keys 0..<keys>-1 in order. The loader sleeps <load ms>, counts itself in
//   the Redis key "herd:loads:<key>" and returns "value <key>". With "lease", loads take a lease
//   first (a second, so a dead holder's lapses soon); with "flight", only the process's own
//   single flight joins them. With "hang", the loader prints "loading" and never returns (for a
//   test that kills the process). Finally prints "done loads=<n> taken=<leases taken>
//   waits=<misses answered by another process> unavailable=<...> wrong=<answers that were
//   not the key's value>".
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "caching/LoadLeases.h"
#include "caching/ReadThroughCache.h"
#include "caching/RedisExternalCache.h"
#include "velcore/AppOptions.h"
#include "velredis/RedisConnectionPool.h"

using namespace velmora::caching;

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: lease_peer <port> <lease|flight> <threads> <keys> <load ms> [hang]\n");
        return 2;
    }
    // Every thread's store and poll finds a backend slot: none is refused for the limit.
    velmora::appoptions::Set("ExternalCacheConcurrencyLimit", 64);
    RedisEndpointConfig config;
    config.port = std::atoi(argv[1]);
    config.poolSize = 80;
    // Generous: on a loaded machine (sanitizers, other tests) a command or a load may take long,
    // and a lease that lapses or a command that times out lets a second load through.
    config.commandTimeout = std::chrono::milliseconds(3000);
    const bool leased = std::string(argv[2]) == "lease";
    const int threads = std::atoi(argv[3]);
    const int keys = std::atoi(argv[4]);
    const int loadMs = std::atoi(argv[5]);
    const bool hang = argc > 6 && std::string(argv[6]) == "hang";
    auto pool = std::make_shared<RedisConnectionPool>(config);

    ReadThroughOptions options;
    options.name = "herd";
    options.memoryEntries = 0;
    options.layers = {std::make_shared<RedisExternalCache>(TString("herd"), pool)};
    options.loadWaitMs = 10000;
    if (leased) {
        options.leases = std::make_shared<RedisLoadLeases>(pool, "herd:lease:");
        options.leaseMs = hang ? 1000 : 5000;  // a killed holder's lease lapses quickly
    }
    ReadThroughCache<std::string> cache(
        options,
        {[](const std::string& v) { return ExternalBytes(v.begin(), v.end()); },
         [](const unsigned char* data, std::size_t size) {
             return std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
         }},
        nullptr);

    std::printf("ready %d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        const auto guard = pool->FindAndLockConnection("herd:go");
        if (guard && guard->GetConnection().Command({"EXISTS", "herd:go"}).integer == 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int k = 0; k < keys; ++k) {
                const std::string key = std::to_string(k);
                const auto result = cache.Get(key, [&]() -> std::string {
                    if (hang) {
                        std::printf("loading\n");
                        std::fflush(stdout);
                        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(loadMs));
                    const auto guard = pool->FindAndLockConnection("herd:loads:" + key);
                    if (guard) guard->GetConnection().Command({"INCR", "herd:loads:" + key});
                    return "value " + key;
                });
                if (*result.value != "value " + key) ++wrong;
            }
        });
    }
    for (auto& w : workers) w.join();
    const ReadThroughCounters c = cache.GetCounters();
    std::printf("done loads=%lld taken=%lld waits=%lld unavailable=%lld wrong=%d\n", c.loads,
                c.leasesTaken, c.leaseWaits, c.leaseUnavailable, wrong.load());
    std::fflush(stdout);
    return 0;
}
