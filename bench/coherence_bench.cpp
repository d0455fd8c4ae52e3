// Coherence propagation beside raw publish/subscribe latency, both through one private
// redis-server started for the run.
//
// BM_CoherencePropagation: service A's OnAdded of a newer, differing entry until service B's cache
// is told OnDirty for its own older entry under the same key hash. Each service has its own
// subscription manager (its own subscriber connection and delivery thread), as two processes
// would. The path: A files nothing (its cache is gone), formats and publishes; B's delivery
// thread parses, takes B's lock, applies the dirty rule and calls OnDirty.
// BM_CoherencePropagation/durable:1 is the same through services like the process's own, whose
// announcement also goes to the namespace's capped stream (XADD and PUBLISH pipelined: one
// round trip); /durable:0 publishes alone, as a service made with a publish
// function does.
// BM_CoherencePropagation_Baseline: a bare hiredis PUBLISH until a thread blocked on a bare
// hiredis PSUBSCRIBE connection has read the message.
// BM_RawPublishHeardAlsoByThePublisher: the same, with the publishing side subscribed to the
// pattern too, as every process of the protocol is (the server has no way to leave a publisher
// out of its own pattern): the raw cost of the traffic the propagation figure carries.
// Both wake the measuring thread through the same condition variable; times are per message.
// BM_ReplayAfterGap: B holds N older entries and is cut off from the server while A announces N
// newer ones; the time from B's reconnection until all N are dirty, i.e. the replay of the
// stream through the dirty rule (items per second = entries applied per second).
#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "caching/RedisPubsub.h"
#include "velcore/AppConfig.h"
#include "velcore/AppOptions.h"
#include "velredis/RedisSubscriptionManager.h"
#include "velsupport/RedisServer.h"

using namespace velmora::caching;

namespace {

using Clock = std::chrono::steady_clock;

// Counts events and wakes whoever waits for a count.
class Signal {
public:
    void Raise() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
        }
        m_cv.notify_all();
    }
    bool WaitFor(long long count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return m_count >= count; });
    }
    long long Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long long m_count = 0;
};

class SignallingCache : public ICoherentCache {
public:
    void OnDirty(const std::vector<unsigned int>&) override { signal.Raise(); }
    Signal signal;
};

// The private server, started on first use and stopped when the program exits.
velsupport::RedisServer* Server(benchmark::State& state) {
    static velsupport::RedisServer s_server;
    static const std::string s_error = s_server.Start();
    if (!s_error.empty()) state.SkipWithError(s_error.c_str());
    return s_error.empty() ? &s_server : nullptr;
}

// Whether `manager` has run `count` callbacks within five seconds.
bool Heard(const RedisSubscriptionManager& manager, long long count) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(5);
    while (manager.GetStats().delivered < count)
        if (Clock::now() >= end)
            return false;
        else
            std::this_thread::yield();
    return true;
}

void BM_CoherencePropagation(benchmark::State& state) {
    velsupport::RedisServer* server = Server(state);
    if (!server) return;
    AppConfig::GetInstance().SetUnitTestFlag(true);  // two services in one process
    velmora::appoptions::ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", 0);
    RedisSubscriptionManager managerA(server->MakeConfig()), managerB(server->MakeConfig());
    auto publishA = [&](const TString& c, const TString& m) { managerA.TryPublish(c, m, {}); };
    auto publishB = [&](const TString& c, const TString& m) { managerB.TryPublish(c, m, {}); };
    const bool durable = state.range(0) != 0;
    RedisSubscriptionAdapter transportA(managerA), transportB(managerB);
    auto serviceA = durable ? RedisPubsub::CreateTestInstance("bench.", managerA)
                            : RedisPubsub::CreateTestInstance("bench.", transportA, publishA);
    auto serviceB = durable ? RedisPubsub::CreateTestInstance("bench.", managerB)
                            : RedisPubsub::CreateTestInstance("bench.", transportB, publishB);
    if (!managerA.WaitUntilSubscribed("bench.*", std::chrono::seconds(5)) ||
        !managerB.WaitUntilSubscribed("bench.*", std::chrono::seconds(5))) {
        state.SkipWithError("subscription not confirmed");
        return;
    }
    auto cacheB = std::make_shared<SignallingCache>();
    std::weak_ptr<ICoherentCache> gone = std::make_shared<SignallingCache>();

    unsigned long long i = 0;
    for (auto _ : state) {
        ++i;
        // B's older entry under a key hash of its own; its message reaches both services and
        // makes nothing dirty.
        const long long heardA = managerA.GetStats().delivered;
        const long long heardB = managerB.GetStats().delivered;
        serviceB->OnAdded({i, 7}, {1, 1}, 2 * i, static_cast<unsigned>(i), cacheB);
        // Both services have heard that announcement before the clock starts, so that its
        // delivery does not share the machine with the one measured.
        if (!Heard(managerA, heardA + 1) || !Heard(managerB, heardB + 1)) {
            state.SkipWithError("B's own announcement did not arrive");
            break;
        }
        const long long before = cacheB->signal.Count();
        const Clock::time_point start = Clock::now();
        serviceA->OnAdded({i, 7}, {2, 2}, 2 * i + 1, static_cast<unsigned>(i), gone);
        if (!cacheB->signal.WaitFor(before + 1)) {
            state.SkipWithError("OnDirty did not arrive");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    serviceB->OnRemoved(*cacheB);
    serviceA.reset();
    serviceB.reset();
}
BENCHMARK(BM_CoherencePropagation)->ArgName("durable")->Arg(0)->Arg(1)->UseManualTime();

void BM_ReplayAfterGap(benchmark::State& state) {
    velsupport::RedisServer* server = Server(state);
    if (!server) return;
    AppConfig::GetInstance().SetUnitTestFlag(true);
    velmora::appoptions::ScopedOverride margin("CacheSynchronizationMinimumDeltaSeconds", 0);
    const auto entries = static_cast<unsigned long long>(state.range(0));
    RedisSubscriptionManager managerA(server->MakeConfig()), managerB(server->MakeConfig());
    auto serviceA = RedisPubsub::CreateTestInstance("gap.", managerA);
    auto serviceB = RedisPubsub::CreateTestInstance("gap.", managerB);
    if (!managerB.WaitUntilSubscribed("gap.*", std::chrono::seconds(5))) {
        state.SkipWithError("subscription not confirmed");
        return;
    }
    auto cacheB = std::make_shared<SignallingCache>();
    std::weak_ptr<ICoherentCache> gone = std::make_shared<SignallingCache>();
    auto nowhere = server->MakeConfig();
    nowhere.port = 1;  // nothing listens there
    unsigned long long round = 0;
    for (auto _ : state) {
        ++round;
        for (unsigned long long k = 1; k <= entries; ++k)
            serviceB->OnAdded({k, round}, {1, 1}, 2 * round, static_cast<unsigned>(k), cacheB);
        managerB.Reconfigure(nowhere);
        const long long before = cacheB->signal.Count();
        for (unsigned long long k = 1; k <= entries; ++k)
            serviceA->OnAdded({k, round}, {2, 2}, 2 * round + 1, static_cast<unsigned>(k), gone);
        const Clock::time_point start = Clock::now();
        managerB.Reconfigure(server->MakeConfig());
        if (!cacheB->signal.WaitFor(before + static_cast<long long>(entries))) {
            state.SkipWithError("the replay did not arrive");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.SetItemsProcessed(static_cast<long long>(round * entries));
    serviceB->OnRemoved(*cacheB);
    serviceA.reset();
    serviceB.reset();
}
BENCHMARK(BM_ReplayAfterGap)->Arg(10000)->Iterations(3)->UseManualTime();

// A bare hiredis connection subscribed to "raw.*" and a thread reading it until the message
// "stop"; every other message raises `heard`.
class RawSubscriber {
public:
    explicit RawSubscriber(int port) : m_context(redisConnect("127.0.0.1", port)) {
        if (!Ok()) return;
        freeReplyObject(redisCommand(m_context, "PSUBSCRIBE raw.*"));  // the confirmation
        m_reader = std::thread([this] {
            void* reply = nullptr;
            while (redisGetReply(m_context, &reply) == REDIS_OK) {
                auto* r = static_cast<redisReply*>(reply);
                const bool stop = r->type == REDIS_REPLY_ARRAY && r->elements == 4 &&
                                  std::string(r->element[3]->str, r->element[3]->len) == "stop";
                freeReplyObject(reply);
                if (stop) return;
                heard.Raise();
            }
        });
    }
    // Call after "stop" was published.
    ~RawSubscriber() {
        if (m_reader.joinable()) m_reader.join();
        if (m_context) redisFree(m_context);
    }
    bool Ok() const { return m_context && !m_context->err; }

    Signal heard;

private:
    redisContext* m_context;
    std::thread m_reader;
};

// A bare hiredis PUBLISH until the measuring subscriber's thread has read the message. With
// `publisherListens`, the publishing process is subscribed to the pattern as well, as every
// process of the coherence protocol is, so the server writes each message twice and two
// reading threads wake, as they do for the propagation figure.
void RawPropagation(benchmark::State& state, bool publisherListens) {
    velsupport::RedisServer* server = Server(state);
    if (!server) return;
    redisContext* publisher = redisConnect("127.0.0.1", server->Port());
    {
        RawSubscriber subscriber(server->Port());
        std::unique_ptr<RawSubscriber> own;
        if (publisherListens) own = std::make_unique<RawSubscriber>(server->Port());
        if (!publisher || publisher->err || !subscriber.Ok() || (own && !own->Ok())) {
            state.SkipWithError("cannot connect");
        } else {
            long long count = 0;
            unsigned long long i = 0;
            for (auto _ : state) {
                ++i;
                const std::string channel = "raw." + std::to_string(i) + "-7";
                const Clock::time_point start = Clock::now();
                freeReplyObject(redisCommand(publisher, "PUBLISH %s %s", channel.c_str(), "2-2@3"));
                const bool heard = subscriber.heard.WaitFor(++count);
                const Clock::time_point end = Clock::now();
                // The publisher's own copy is read before the next message, untimed.
                if (!heard || (own && !own->heard.WaitFor(count))) {
                    state.SkipWithError("message did not arrive");
                    break;
                }
                state.SetIterationTime(std::chrono::duration<double>(end - start).count());
            }
        }
        if (publisher && !publisher->err)
            freeReplyObject(redisCommand(publisher, "PUBLISH raw.end stop"));
    }
    if (publisher) redisFree(publisher);
}

void BM_CoherencePropagation_Baseline(benchmark::State& state) {
    RawPropagation(state, false);
}
// The argument only pairs each propagation figure with a baseline run of its own in the table.
BENCHMARK(BM_CoherencePropagation_Baseline)->ArgName("durable")->Arg(0)->Arg(1)->UseManualTime();

// A reference point, not a baseline: the same bare publish heard by two subscribers.
void BM_RawPublishHeardAlsoByThePublisher(benchmark::State& state) {
    RawPropagation(state, true);
}
BENCHMARK(BM_RawPublishHeardAlsoByThePublisher)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
