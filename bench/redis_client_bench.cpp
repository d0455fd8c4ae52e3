// The Redis client beside raw hiredis on the same private server, in the same run:
// pooled SET/GET against one blocking hiredis connection per thread, and publish-to-callback
// latency through the subscription manager against a raw PUBLISH to a raw PSUBSCRIBE connection.
// The pool's figures count successful replies only: "ok" is their rate, "failed" their number.
// The *NoPipelining figures are the pool with pipelining off (every pooled connection its own
// socket), for comparison. SetEightAtOnceOnOneThread and SetHandedToOneReader are reference
// points in raw hiredis, not our code: what pipelining reaches with no thread waiting for
// another, and with the least possible hand-off between threads.
#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/RedisServer.h"

using namespace velmora::caching;
using Clock = std::chrono::steady_clock;

namespace {

// Stopped by its destructor when the program exits.
velsupport::RedisServer& Server() {
    static velsupport::RedisServer server;
    static const bool started = [] {
        const std::string error = server.Start();
        if (!error.empty()) {
            std::fprintf(stderr, "redis-server: %s\n", error.c_str());
            std::exit(1);
        }
        return true;
    }();
    (void)started;
    return server;
}

constexpr int kMaxThreads = 32;

RedisEndpointConfig Config(bool pipelining = true) {
    RedisEndpointConfig config = Server().MakeConfig();
    config.poolSize = kMaxThreads;  // a guard for every thread
    config.pipelining = pipelining;
    return config;
}

std::shared_ptr<RedisConnectionPool> Pool(bool pipelining = true) {
    static auto pipelined = std::make_shared<RedisConnectionPool>(Config(true));
    static auto own = std::make_shared<RedisConnectionPool>(Config(false));
    return pipelining ? pipelined : own;
}

void CountReplies(benchmark::State& state, long long ok, long long failed) {
    state.counters["ok"] = benchmark::Counter(static_cast<double>(ok), benchmark::Counter::kIsRate);
    state.counters["failed"] = static_cast<double>(failed);
}

RedisConnection::Bytes Value(std::size_t size) {
    return std::make_shared<std::vector<unsigned char>>(size, 'v');
}

std::string Key(const benchmark::State& state) {
    return "bench:" + std::to_string(state.range(0)) + ":" + std::to_string(state.thread_index());
}

void PoolSetWith(benchmark::State& state, bool pipelining) {
    auto pool = Pool(pipelining);
    const auto value = Value(static_cast<std::size_t>(state.range(0)));
    const std::string key = Key(state);
    long long ok = 0, failed = 0;
    for (auto _ : state) {
        try {
            auto guard = pool->FindAndLockConnection(key);
            if (guard && guard->GetConnection().Set(key, value))
                ++ok;
            else
                ++failed;
        } catch (const RedisException&) {
            ++failed;
        }
    }
    CountReplies(state, ok, failed);
}

void PoolGetWith(benchmark::State& state, bool pipelining) {
    auto pool = Pool(pipelining);
    const std::string key = Key(state);
    pool->FindAndLockConnection(key)->GetConnection().Set(
        key, Value(static_cast<std::size_t>(state.range(0))));
    long long ok = 0, failed = 0;
    for (auto _ : state) {
        try {
            auto guard = pool->FindAndLockConnection(key);
            if (guard && guard->GetConnection().Get(key))
                ++ok;
            else
                ++failed;
        } catch (const RedisException&) {
            ++failed;
        }
    }
    CountReplies(state, ok, failed);
}

void PoolSet(benchmark::State& state) {
    PoolSetWith(state, true);
}
void PoolGet(benchmark::State& state) {
    PoolGetWith(state, true);
}
void PoolSetNoPipelining(benchmark::State& state) {
    PoolSetWith(state, false);
}
void PoolGetNoPipelining(benchmark::State& state) {
    PoolGetWith(state, false);
}

redisContext* RawConnect() {
    redisContext* c = redisConnect("127.0.0.1", Server().Port());
    if (!c || c->err) {
        std::fprintf(stderr, "raw connect failed\n");
        std::exit(1);
    }
    return c;
}

void PoolSet_Baseline(benchmark::State& state) {
    redisContext* c = RawConnect();
    const std::string value(static_cast<std::size_t>(state.range(0)), 'v');
    const std::string key = Key(state);
    const char* argv[] = {"SET", key.c_str(), value.data()};
    const size_t lens[] = {3, key.size(), value.size()};
    for (auto _ : state) freeReplyObject(redisCommandArgv(c, 3, argv, lens));
    redisFree(c);
}

void PoolGet_Baseline(benchmark::State& state) {
    redisContext* c = RawConnect();
    const std::string value(static_cast<std::size_t>(state.range(0)), 'v');
    const std::string key = Key(state);
    freeReplyObject(
        redisCommand(c, "SET %b %b", key.data(), key.size(), value.data(), value.size()));
    const char* argv[] = {"GET", key.c_str()};
    const size_t lens[] = {3, key.size()};
    for (auto _ : state) freeReplyObject(redisCommandArgv(c, 2, argv, lens));
    redisFree(c);
}

// One message in flight at a time: the publishing thread waits for the receiving side.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable cv;
    long long received = 0;
    void Arrived() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++received;
        }
        cv.notify_one();
    }
    void WaitFor(long long n) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return received >= n; });
    }
};

void Report(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

void PublishToCallback(benchmark::State& state) {
    RedisSubscriptionManager manager(Config());
    Arrivals arrivals;
    manager.Subscribe("lat.*", [&](const TString&, const void*, int) { arrivals.Arrived(); });
    manager.WaitUntilSubscribed("lat.*", std::chrono::seconds(5));
    const TString channel("lat.1");
    const TString message("12-1@100");
    std::vector<double> micros;
    long long sent = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        manager.TryPublish(channel, message, {});
        arrivals.WaitFor(++sent);
        const auto elapsed = std::chrono::duration<double>(Clock::now() - start);
        state.SetIterationTime(elapsed.count());
        micros.push_back(elapsed.count() * 1e6);
    }
    Report(state, micros);
    manager.Unsubscribe("lat.*");
}

void PublishToCallback_Baseline(benchmark::State& state) {
    redisContext* subscriber = RawConnect();
    freeReplyObject(redisCommand(subscriber, "PSUBSCRIBE lat.*"));
    Arrivals arrivals;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            void* reply = nullptr;
            if (redisGetReply(subscriber, &reply) != REDIS_OK) break;
            freeReplyObject(reply);
            arrivals.Arrived();
        }
    });
    redisContext* publisher = RawConnect();
    std::vector<double> micros;
    long long sent = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        freeReplyObject(redisCommand(publisher, "PUBLISH lat.1 12-1@100"));
        arrivals.WaitFor(++sent);
        const auto elapsed = std::chrono::duration<double>(Clock::now() - start);
        state.SetIterationTime(elapsed.count());
        micros.push_back(elapsed.count() * 1e6);
    }
    Report(state, micros);
    stop = true;
    freeReplyObject(redisCommand(publisher, "PUBLISH lat.1 bye"));  // wakes the reader
    reader.join();
    redisFree(publisher);
    redisFree(subscriber);
}

// ---- Reference points for the pooled figures, not of our code ------------------------------
// What pipelining can reach on this machine at best: one thread writes eight SETs at once and
// reads their eight replies (no thread waits for another); the time is per command.
void SetEightAtOnceOnOneThread(benchmark::State& state) {
    redisContext* c = RawConnect();
    const std::string value(static_cast<std::size_t>(state.range(0)), 'v');
    constexpr int kBatch = 8;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            const std::string key = "bench:batch:" + std::to_string(i);
            redisAppendCommand(c, "SET %b %b", key.data(), key.size(), value.data(), value.size());
        }
        for (int i = 0; i < kBatch; ++i) {
            void* reply = nullptr;
            if (redisGetReply(c, &reply) != REDIS_OK) state.SkipWithError("connection lost");
            freeReplyObject(reply);
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count() /
                               kBatch);
    }
    redisFree(c);
}

// The least any design costs in which each thread waits for its own reply: threads queue their
// commands for one thread that writes whatever is queued in one write and reads the replies,
// waking each waiter; no time-outs, no reconnects, no pool.
class HandOffToOneReader {
public:
    static HandOffToOneReader& Get() {
        static auto* s_reader = new HandOffToOneReader();  // lives until the program exits
        return *s_reader;
    }
    void Run(const std::string& command) {
        Request request{command, false, {}};
        std::unique_lock<std::mutex> lock(m_mutex);
        m_queued.push_back(&request);
        m_work.notify_one();
        request.answered.wait(lock, [&] { return request.done; });
    }

private:
    struct Request {
        const std::string& bytes;
        bool done = false;
        std::condition_variable answered;
    };
    HandOffToOneReader() : m_context(RawConnect()), m_thread([this] { Loop(); }) {
        m_thread.detach();
    }
    void Loop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_work.wait(lock, [&] { return !m_queued.empty() || !m_written.empty(); });
            std::string bytes;
            for (Request* r : m_queued) bytes += r->bytes;
            m_written.insert(m_written.end(), m_queued.begin(), m_queued.end());
            m_queued.clear();
            lock.unlock();
            if (!bytes.empty()) redisAppendFormattedCommand(m_context, bytes.data(), bytes.size());
            void* reply = nullptr;
            if (redisGetReply(m_context, &reply) != REDIS_OK) std::abort();  // a benchmark's server
            std::vector<void*> replies{reply};
            while (redisGetReplyFromReader(m_context, &reply) == REDIS_OK && reply)
                replies.push_back(reply);
            lock.lock();
            for (void* r : replies) {
                freeReplyObject(r);
                m_written.front()->done = true;
                m_written.front()->answered.notify_one();
                m_written.pop_front();
            }
        }
    }
    redisContext* m_context;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::deque<Request*> m_queued, m_written;
    std::thread m_thread;
};

void SetHandedToOneReader(benchmark::State& state) {
    const std::string value(static_cast<std::size_t>(state.range(0)), 'v');
    const std::string key = Key(state);
    const char* argv[] = {"SET", key.c_str(), value.data()};
    const size_t lens[] = {3, key.size(), value.size()};
    char* raw = nullptr;
    const long long length = redisFormatCommandArgv(&raw, 3, argv, lens);
    const std::string command(raw, static_cast<std::size_t>(length));
    redisFreeCommand(raw);
    for (auto _ : state) HandOffToOneReader::Get().Run(command);
}

}  // namespace

#define POOL_RUNS Arg(100)->Arg(4096)->Threads(1)->Threads(8)->Threads(kMaxThreads)->UseRealTime()
BENCHMARK(PoolSet)->POOL_RUNS;
BENCHMARK(PoolSet_Baseline)->POOL_RUNS;
BENCHMARK(PoolGet)->POOL_RUNS;
BENCHMARK(PoolGet_Baseline)->POOL_RUNS;
BENCHMARK(PoolSetNoPipelining)->Arg(4096)->Threads(8)->Threads(kMaxThreads)->UseRealTime();
BENCHMARK(PoolGetNoPipelining)->Arg(4096)->Threads(8)->Threads(kMaxThreads)->UseRealTime();
BENCHMARK(SetEightAtOnceOnOneThread)->Arg(4096)->UseManualTime();
BENCHMARK(SetHandedToOneReader)->Arg(4096)->Threads(8)->Threads(kMaxThreads)->UseRealTime();
BENCHMARK(PublishToCallback)->UseManualTime();
BENCHMARK(PublishToCallback_Baseline)->UseManualTime();

BENCHMARK_MAIN();
