// Redis publish/subscribe for the process: pattern subscriptions delivered on one thread, and
// publishing through a small pool of its own.
//
// The manager owns one subscriber connection and the thread that reads it. Every message on a
// channel matching a subscribed pattern is handed to that pattern's callback with the full
// channel name and the raw bytes, the process's own messages included. A lost subscriber
// connection (server gone, restarted or frozen, or the server dropping a subscriber that fell
// behind its output-buffer limit) is noticed by a read error or an unanswered PING heartbeat and
// re-established with exponential backoff, subscribing again to every pattern; messages published
// meanwhile are lost, which the host learns through the re-subscription counter and callback.
// Thread contract: safe for concurrent use.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "caching/CacheCoherence.h"
#include "velredis/RedisConfig.h"
#include "velsys/Export.h"

struct redisContext;
struct redisReply;

namespace velmora::caching {

class RedisConnectionPool;

class VELPLATFORM_EXPORT RedisSubscriptionManager : public IRedisSubscriptionManager {
public:
    using ReplyCallback = std::function<void(redisContext*, redisReply*, void*)>;

    struct Stats {
        long long connects = 0;         // subscriber connections established
        long long disconnects = 0;      // subscriber connections lost
        long long resubscriptions = 0;  // re-established after a loss, every pattern renewed
        long long delivered = 0;        // callbacks run
    };

    // Starts the delivery thread, which connects to `config` at once.
    explicit RedisSubscriptionManager(RedisEndpointConfig config);
    // Stops the delivery thread. REQUIRES: not called from a callback.
    ~RedisSubscriptionManager() override;
    RedisSubscriptionManager(const RedisSubscriptionManager&) = delete;
    RedisSubscriptionManager& operator=(const RedisSubscriptionManager&) = delete;

    // The process's manager, made from GetRedisConfiguration on first use and never destroyed.
    static RedisSubscriptionManager& GetInstance();

    // Publishes the UTF-8 bytes of `message` on `channel`. Returns false, never throwing, when
    // no connection came free or the server did not take the message within the command
    // time-out (the wait for a connection included). A non-empty `onReply` runs on this thread
    // with the client library's context and reply (and a null third argument) before the reply
    // is freed; it does not run when nothing was sent.
    bool TryPublish(const TString& channel, const TString& message, const ReplyCallback& onReply);
    // The same for raw bytes.
    bool TryPublishBytes(const std::string& channel, const void* data, std::size_t length);

    // Subscribes to `channelPattern` (a Redis glob pattern). The callback runs on the delivery
    // thread, with no lock of the manager held, one message at a time, for every later message on
    // a matching channel. Subscribing again to the same pattern replaces its callback. Waits at
    // most the command time-out for the server to confirm (when the server is unreachable the
    // subscription is made when it comes back). An exception from the callback is logged at Warn
    // and delivery goes on.
    void Subscribe(const TString& channelPattern, const Callback& callback) override;
    // Removes the pattern's callback. On return the callback is not running and will not start,
    // unless this is called from that callback itself (then it returns at once and the current
    // call is the last). Nothing happens for a pattern that is not subscribed.
    void Unsubscribe(const TString& channelPattern) override;

    // Whether the server has confirmed the pattern's subscription on the current connection,
    // waiting at most `wait` for it.
    bool WaitUntilSubscribed(const TString& channelPattern, std::chrono::milliseconds wait);

    // Runs on the delivery thread after every re-established subscription (with no lock held).
    void SetResubscribedCallback(std::function<void()> callback);
    Stats GetStats() const;

    // Points the manager at another endpoint: reconnects and subscribes again at once.
    void Reconfigure(const RedisEndpointConfig& config);

private:
    // Both publish forms: one PUBLISH within the command time-out; false on any failure.
    bool Publish(const std::string& channel, const std::string& payload,
                 const std::function<void(redisContext*, redisReply*)>& inspect);
    struct Subscription {
        Callback callback;
        bool confirmed = false;  // by the server, on the current connection
    };
    struct Op {
        bool subscribe;
        std::string pattern;
    };

    void Run();
    bool ProcessReply(redisReply* reply);
    void Deliver(const std::string& pattern, const std::string& channel, const char* data,
                 std::size_t length);
    void Wake();
    // Sleeps until `until` or until woken.
    void WaitForWake(std::chrono::steady_clock::time_point until);

    // Guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    RedisEndpointConfig m_config;
    bool m_reconfigured = false;
    bool m_stop = false;
    std::map<std::string, std::shared_ptr<Subscription>> m_subscriptions;
    std::deque<Op> m_ops;                        // commands for the delivery thread to send
    std::shared_ptr<Subscription> m_delivering;  // whose callback runs now
    std::function<void()> m_onResubscribed;
    Stats m_stats;
    // Delivery thread only.
    int m_awaitingConfirmations = 0;
    bool m_resubscribing = false;

    // Constant after construction.
    int m_wakeFd = -1;  // eventfd the delivery thread polls beside its socket
    std::shared_ptr<RedisConnectionPool> m_publishers;
    std::thread m_thread;
    std::thread::id m_threadId;
};

}  // namespace velmora::caching
