// Redis publish/subscribe for the process: pattern subscriptions delivered on one thread, and
// publishing through a small pool of its own.
//
// The manager owns one subscriber connection and the thread that reads it. Every message on a
// channel matching a subscribed pattern is handed to that pattern's callback with the full
// channel name and the raw bytes, the process's own messages included. A lost subscriber
// connection (server gone, restarted or frozen, or the server dropping a subscriber that fell
// behind its output-buffer limit) is noticed by a read error or an unanswered PING heartbeat and
// re-established with exponential backoff (back to its minimum once the server confirms a
// subscription), subscribing again to every pattern. Messages published meanwhile are not
// delivered; a pattern's catch-up hook (SetCatchUp) may fetch them from elsewhere before the
// subscription counts as confirmed, and the host learns of every re-subscription, with what the
// hooks report as missed, through the re-subscription callback.
// The delivery thread moves through five states: connecting (to the server, or on a cluster to
// one node, the next one after each loss); subscribing (every pattern sent in one PSUBSCRIBE,
// confirmations awaited while messages of confirmed patterns are delivered); replaying (a
// confirmed pattern's catch-up hook runs, before the pattern counts as confirmed); live (every
// pattern confirmed, heartbeats sent when the connection is quiet); backing off (after a loss,
// waiting before the next connection attempt). Reconfigure sends it back to connecting at once.
// Failing callbacks are logged rate-limited: the first few per interval, then one line with the
// number suppressed; channel names in those lines are shortened.
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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "velcoreplatform/TString.h"
#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"
#include "velsys/ThreadAnnotations.h"

struct redisContext;
struct redisReply;

namespace velmora::caching {

class VELPLATFORM_EXPORT RedisSubscriptionManager {
public:
    // Runs for each message of a subscribed pattern: the full channel name and the raw bytes
    // (`data` points at `length` bytes, not terminated).
    using Callback = std::function<void(const TString& channel, const void* data, int length)>;
    using ReplyCallback = std::function<void(redisContext*, redisReply*, void*)>;

    struct Stats {
        long long connects = 0;         // subscriber connections established
        long long disconnects = 0;      // subscriber connections lost
        long long resubscriptions = 0;  // re-established after a loss, every pattern renewed
        long long delivered = 0;        // callbacks run
        long long failed = 0;           // callbacks that raised (every one, logged or not)
    };
    // Runs when the server has confirmed a pattern's subscription on a new connection; argument:
    // whether a connection was lost before. Returns what was missed ("" when nothing).
    using CatchUp = std::function<std::string(bool resubscription)>;
    using SilenceHook = std::function<void(std::chrono::nanoseconds silence)>;
    // Told after every re-established subscription; `cause` joins what the catch-up hooks
    // reported as missed ("" when nothing).
    using ResubscribedCallback = std::function<void(const std::string& cause)>;

    // Starts the delivery thread, which connects to `config` at once.
    explicit RedisSubscriptionManager(RedisEndpointConfig config);
    // Stops (see Stop). REQUIRES: not called from a callback.
    ~RedisSubscriptionManager();
    // Stops for good: joins the delivery thread, which closes the subscription's connection,
    // and closes the publishing connections. Afterwards no callback or hook runs, publishes and
    // commands fail at once (false, nothing), and subscriptions are kept but never made.
    // Returns false, changing nothing, when it was stopped already.
    // REQUIRES: not called from a callback or hook (it would wait for itself).
    bool Stop();
    // The first half of Stop, which returns at once: the delivery thread leaves after what it
    // is doing (a connection attempt or a command, each within its time-out) and no callback or
    // hook starts afterwards; publishes and commands still go out until Stop.
    void StopDelivery();
    RedisSubscriptionManager(const RedisSubscriptionManager&) = delete;
    RedisSubscriptionManager& operator=(const RedisSubscriptionManager&) = delete;

    // The process's manager, made from GetRedisConfiguration on first use and never destroyed.
    static RedisSubscriptionManager& GetInstance();

    // Publishes the UTF-8 bytes of `message` on `channel` (on a cluster through any node that
    // answers: the cluster passes the message on to every node). Returns false, never throwing,
    // when no connection came free or the server did not take the message within the command
    // time-out (the wait for a connection included). A non-empty `onReply` runs on this thread
    // with the client library's context and reply (and a null third argument) before the reply
    // is freed; it does not run when nothing was sent.
    bool TryPublish(const TString& channel, const TString& message, const ReplyCallback& onReply);
    // The same for raw bytes.
    bool TryPublishBytes(const std::string& channel, const void* data, std::size_t length);
    // Sends one command on a publishing connection within the command time-out and returns its
    // reply (an error reply included); nothing, never throwing, when no connection came free or
    // the server did not answer in time.
    std::optional<RedisReplyValue> TryCommand(const std::vector<std::string>& args);
    // As TryCommand, but on a cluster the command runs on the node that serves `routingKey`.
    std::optional<RedisReplyValue> TryCommandOnNodeOf(const std::string& routingKey,
                                                      const std::vector<std::string>& args);
    // Several commands that stand alone, on one connection: on a single server sent together
    // (one round trip); on a cluster one after the other, each within its own command time-out,
    // each to the node serving its key and a PUBLISH to any node that answers. The replies in
    // order; a reply is empty when its command failed or timed out (all are when no connection
    // came free).
    std::vector<std::optional<RedisReplyValue>> TryEach(
        const std::vector<std::vector<std::string>>& commands);

    // Subscribes to `channelPattern` (a Redis glob pattern). The callback runs on the delivery
    // thread, with no lock of the manager held, one message at a time, for every later message on
    // a matching channel. Subscribing again to the same pattern replaces its callback. Waits at
    // most the command time-out for the server to confirm (when the server is unreachable the
    // subscription is made when it comes back). An exception from the callback is logged at Warn
    // and delivery goes on.
    void Subscribe(const TString& channelPattern, const Callback& callback);
    // As Subscribe, waiting at most `wait` for the confirmation (0: returns at once).
    void Subscribe(const TString& channelPattern, const Callback& callback,
                   std::chrono::milliseconds wait);
    // Removes the pattern's callback. On return the callback is not running and will not start,
    // unless this is called from that callback itself (then it returns at once and the current
    // call is the last). Nothing happens for a pattern that is not subscribed.
    void Unsubscribe(const TString& channelPattern);

    // Whether `channelPattern` has a callback (confirmed by the server or not).
    bool IsSubscribed(const TString& channelPattern) const;
    // Whether the server has confirmed the pattern's subscription on the current connection,
    // waiting at most `wait` for it.
    bool WaitUntilSubscribed(const TString& channelPattern, std::chrono::milliseconds wait);

    // Runs on the delivery thread after every re-established subscription (with no lock held),
    // after the catch-up hooks.
    void SetResubscribedCallback(ResubscribedCallback callback);
    // Sets (or, with an empty function, removes) the catch-up hook of `channelPattern`. It runs
    // on the delivery thread with no lock of the manager held, each time the server confirms the
    // pattern on a new connection (the first one included), before the subscription counts as
    // confirmed (WaitUntilSubscribed) and before any later message of that connection is
    // delivered. Set it before Subscribe so that the first confirmation runs it too. Unsubscribe
    // waits for a running hook as for a running callback. An exception from it counts as "the
    // catch-up failed" in the cause.
    void SetCatchUp(const TString& channelPattern, CatchUp catchUp);
    // Sets (or, with an empty function, removes) the silence hook of `channelPattern`. It runs on
    // the delivery thread with no lock of the manager held when the subscription is heard from
    // again, live, after a silence longer than the heartbeat interval (a frozen or lost
    // connection, or a delivery thread kept busy), and before that moment counts for
    // HeardLiveAtNs: `silence` runs from the last moment heard live to this one, re-subscription
    // and catch-up included. Unsubscribe waits for a running hook as for a running callback; an
    // exception from it is logged.
    void SetSilenceHook(const TString& channelPattern, SilenceHook hook);
    Stats GetStats() const;
    // When the subscriber last heard from the server (a message or a heartbeat's answer) while
    // every pattern was confirmed: steady-clock nanoseconds since the clock's epoch, or 0 while
    // it is not live (connecting, subscribing, replaying, backing off). Whoever compares it with
    // the time now knows for how long announcements may have been unable to reach this process;
    // a heard moment is at most the heartbeat interval in force (see LimitSilence) plus the
    // round trip old while all is well.
    // Any thread; lock-free.
    long long HeardLiveAtNs() const { return m_heardLiveNs.load(std::memory_order_acquire); }

    // Points the manager at another endpoint: reconnects and subscribes again at once.
    void Reconfigure(const RedisEndpointConfig& config);
    // The endpoint in force (as given to the constructor or the last Reconfigure).
    RedisEndpointConfig GetConfig() const;

    // For whoever counts a silence longer than `bound` as lost announcements: from now on a
    // heartbeat goes out after at most half of `bound` without a reply, whatever the endpoint's
    // heartbeatInterval, so that a quiet, healthy connection is heard from well within `bound`.
    // The shortest bound asked for holds for the manager's lifetime; zero or less asks nothing.
    // Any thread; lock-free.
    void LimitSilence(std::chrono::milliseconds bound);

private:
    // The command side (RedisSubscriptionCommands.cpp).
    // Both publish forms: one PUBLISH within the command time-out; false on any failure.
    bool Publish(const std::string& channel, const std::string& payload,
                 const std::function<void(redisContext*, redisReply*)>& inspect);
    // A publishing connection, waited for up to the command time-out (null when none frees up),
    // and the deadline of the command that runs on it.
    std::unique_ptr<RedisConnectionGuard> LockPublisher(
        std::chrono::steady_clock::time_point& deadline);
    struct Subscription {
        Callback callback;
        bool confirmed = false;  // by the server, on the current connection
    };
    struct Op {
        bool subscribe;
        std::string pattern;
    };

    // The states of the delivery thread (see the top of this file). Replaying lasts while one
    // catch-up hook runs and falls back to subscribing or live when it returns.
    enum class SubscriberState { Connecting, Subscribing, Replaying, Live, BackingOff };
    // The subscriber connection and everything the delivery thread keeps between the turns of
    // its loop. Owned by the delivery thread and used by it alone.
    struct Subscriber;

    // The delivery thread: takes changes, runs the current state, and backs off on any failure.
    // `firstNode` is where on a cluster it subscribes first.
    void Run(std::size_t firstNode);
    // Copies the endpoint and applies a Reconfigure; false once the manager stops.
    bool TakeChanges(Subscriber& subscriber);
    // One turn in the current state; each returns the state to go on in. Whatever fails in a
    // turn raises, and Run hands the exception to LoseConnection.
    SubscriberState Step(Subscriber& subscriber);
    SubscriberState BackOff(Subscriber& subscriber);         // waits out the delay
    SubscriberState Connect(Subscriber& subscriber);         // then SubscribeAll
    SubscriberState SubscribeAll(Subscriber& subscriber);    // every pattern in one PSUBSCRIBE
    SubscriberState Listen(Subscriber& subscriber);          // subscribing and live
    SubscriberState LoseConnection(Subscriber& subscriber);  // into backing off
    // Pieces of Listen.
    void SendQueuedOps(Subscriber& subscriber);
    // Polls the connection and the wake-up descriptor until the next heartbeat is due; true when
    // the connection has something to read.
    bool WaitForTraffic(const Subscriber& subscriber);
    void DrainReplies(Subscriber& subscriber);
    void Dispatch(Subscriber& subscriber, redisReply* reply);
    // The replaying state: the server confirmed `pattern` on this connection.
    void Confirm(Subscriber& subscriber, const std::string& pattern);
    void CheckHeartbeat(Subscriber& subscriber, std::chrono::steady_clock::time_point now);
    // The subscriber's heartbeatInterval, shortened to what LimitSilence asked.
    std::chrono::steady_clock::duration HeartbeatInterval(const Subscriber& subscriber) const;
    // Counts the re-subscription and tells the host what the hooks reported as missed.
    void AnnounceResubscription(Subscriber& subscriber);

    // Where the subscriber connects: the endpoint itself for a single server; on a cluster the
    // node `node` (modulo their number) of the pool's cluster nodes (seeds first, then every node
    // the cluster named).
    RedisEndpointConfig SubscriberEndpoint(const RedisEndpointConfig& config,
                                           std::size_t node) const;
    std::string RunCatchUp(const std::string& pattern, bool resubscription);
    // Records a moment heard live for HeardLiveAtNs, after the silence hooks when it ends one.
    void NoteHeardLive(Subscriber& subscriber);
    void RunSilenceHooks(std::chrono::nanoseconds silence);
    void Deliver(Subscriber& subscriber, const std::string& pattern, const std::string& channel,
                 const char* data, std::size_t length);
    void Wake();
    // Sleeps until `until` or until woken.
    void WaitForWake(std::chrono::steady_clock::time_point until);

    mutable TMutex m_mutex;
    std::condition_variable m_changed;  // waited on with m_mutex
    RedisEndpointConfig m_config VEL_GUARDED_BY(m_mutex);
    bool m_reconfigured VEL_GUARDED_BY(m_mutex) = false;
    bool m_stop VEL_GUARDED_BY(m_mutex) = false;
    std::map<std::string, std::shared_ptr<Subscription>> m_subscriptions VEL_GUARDED_BY(m_mutex);
    std::deque<Op> m_ops VEL_GUARDED_BY(m_mutex);  // commands for the delivery thread to send
    std::shared_ptr<Subscription> m_delivering VEL_GUARDED_BY(m_mutex);  // whose callback runs now
    ResubscribedCallback m_onResubscribed VEL_GUARDED_BY(m_mutex);
    std::map<std::string, CatchUp> m_catchUps VEL_GUARDED_BY(m_mutex);
    std::map<std::string, SilenceHook> m_silenceHooks VEL_GUARDED_BY(m_mutex);
    Stats m_stats VEL_GUARDED_BY(m_mutex);

    // Constant after construction.
    int m_wakeFd = -1;                        // eventfd the delivery thread polls beside its socket
    std::atomic<long long> m_heardLiveNs{0};  // see HeardLiveAtNs; written by the delivery thread
    std::shared_ptr<RedisConnectionPool> m_publishers;
    std::thread m_thread;
    std::thread::id m_threadId;
    std::atomic<long long> m_silenceLimitMs{0};  // see LimitSilence (0: none); any thread
};

}  // namespace velmora::caching
