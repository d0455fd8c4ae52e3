#include "velredis/RedisSubscriptionManager.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "velcoreplatform/TLog.h"
#include "velredis/RedisCallbackFailureLog.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSlotMap.h"
#include "velredis/RedisSocket.h"

namespace velmora::caching {

using detail::Clock;

namespace {

int PollMs(Clock::time_point until) {
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 60'000));
}

std::string_view Text(const redisReply* r) {
    if (!r || (r->type != REDIS_REPLY_STRING && r->type != REDIS_REPLY_STATUS)) return {};
    return {r->str, r->len};
}

}  // namespace

struct RedisSubscriptionManager::Subscriber {
    SubscriberState state = SubscriberState::Connecting;
    RedisEndpointConfig config;  // m_config as of this turn of the loop
    // Kept across a loss on a single server (the next Connect reuses it); dropped on a cluster,
    // where the next attempt goes to another node, and on Reconfigure.
    std::unique_ptr<detail::RedisSocket> socket;
    bool established = false;       // the current socket connected (and is not yet known lost)
    bool lost = false;              // a connection was lost since the last complete subscription
    bool resubscribing = false;     // this connection's confirmations renew a lost subscription
    int awaitingConfirmations = 0;  // PSUBSCRIBEs sent on this connection and not yet confirmed
    std::string missed;             // what this round of confirmations' hooks reported
    std::chrono::milliseconds backoff{0};
    Clock::time_point nextAttempt = Clock::now();
    // Heartbeat: a PING goes out after heartbeatInterval without a reply, and must be answered
    // (by any reply) within the command time-out.
    Clock::time_point lastHeard = Clock::now();
    bool pingOutstanding = false;
    Clock::time_point pingSentAt = Clock::now();
    std::size_t node = 0;          // on a cluster, which node of GetClusterNodes to subscribe on
    Clock::time_point lastLive{};  // the last moment heard live (kept across losses); 0: none
    detail::CallbackFailureLog failures;
};

RedisSubscriptionManager::RedisSubscriptionManager(RedisEndpointConfig config)
    : m_config(std::move(config)),
      m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_publishers(std::make_shared<RedisConnectionPool>(m_config)) {
    if (m_wakeFd < 0) throw RedisException("Cannot create the subscriber's wake-up descriptor.");
    // Each manager starts at a cluster node of its own choosing, so that the processes of a
    // namespace spread over the cluster and one node's loss sends only its share of them to
    // re-subscribe.
    const std::size_t firstNode = std::random_device()();
    m_thread = std::thread([this, firstNode] { Run(firstNode); });
    m_threadId = m_thread.get_id();
}

RedisSubscriptionManager::~RedisSubscriptionManager() {
    Stop();
    ::close(m_wakeFd);
}

void RedisSubscriptionManager::StopDelivery() {
    {
        TMutexLock lock(m_mutex);
        m_stop = true;
    }
    Wake();
    // Nobody waits for a confirmation that cannot come now.
    m_changed.notify_all();
}

bool RedisSubscriptionManager::Stop() {
    StopDelivery();
    if (!m_publishers->Close()) return false;
    // The delivery thread closes the subscription's connection as it leaves.
    m_thread.join();
    return true;
}

void RedisSubscriptionManager::Wake() {
    const std::uint64_t one = 1;
    // A full counter still leaves the descriptor readable, so a failed write loses nothing.
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void RedisSubscriptionManager::WaitForWake(Clock::time_point until) {
    pollfd p{m_wakeFd, POLLIN, 0};
    if (::poll(&p, 1, PollMs(until)) > 0) {
        std::uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &value, sizeof value);
    }
}

void RedisSubscriptionManager::Subscribe(const TString& channelPattern, const Callback& callback) {
    Subscribe(channelPattern, callback,
              std::chrono::duration_cast<std::chrono::milliseconds>(GetConfig().commandTimeout));
}

void RedisSubscriptionManager::Subscribe(const TString& channelPattern, const Callback& callback,
                                         std::chrono::milliseconds wait) {
    const std::string pattern = channelPattern.toStdString();
    TMutexLock lock(m_mutex);
    auto& slot = m_subscriptions[pattern];
    auto subscription = std::make_shared<Subscription>();
    subscription->callback = callback;
    if (slot) {
        subscription->confirmed = slot->confirmed;
    } else {
        m_ops.push_back({true, pattern});
    }
    slot = subscription;
    Wake();
    if (std::this_thread::get_id() == m_threadId || wait.count() <= 0) return;
    m_changed.wait_for(lock.Native(), wait,
                       [&]() VEL_REQUIRES(m_mutex) { return subscription->confirmed || m_stop; });
}

void RedisSubscriptionManager::Unsubscribe(const TString& channelPattern) {
    const std::string pattern = channelPattern.toStdString();
    TMutexLock lock(m_mutex);
    auto it = m_subscriptions.find(pattern);
    if (it == m_subscriptions.end()) return;
    const std::shared_ptr<Subscription> subscription = it->second;
    m_subscriptions.erase(it);
    m_ops.push_back({false, pattern});
    Wake();
    if (std::this_thread::get_id() == m_threadId) return;
    // Deliver looks the pattern up under m_mutex, so once it is erased no new call can start;
    // wait for the one that may be running.
    m_changed.wait(lock.Native(),
                   [&]() VEL_REQUIRES(m_mutex) { return m_delivering != subscription; });
}

bool RedisSubscriptionManager::IsSubscribed(const TString& channelPattern) const {
    TMutexLock lock(m_mutex);
    return m_subscriptions.count(channelPattern.toStdString()) != 0;
}

bool RedisSubscriptionManager::WaitUntilSubscribed(const TString& channelPattern,
                                                   std::chrono::milliseconds wait) {
    const std::string pattern = channelPattern.toStdString();
    TMutexLock lock(m_mutex);
    return m_changed.wait_for(lock.Native(), wait, [&]() VEL_REQUIRES(m_mutex) {
        auto it = m_subscriptions.find(pattern);
        return it != m_subscriptions.end() && it->second->confirmed;
    });
}

void RedisSubscriptionManager::SetResubscribedCallback(ResubscribedCallback callback) {
    TMutexLock lock(m_mutex);
    m_onResubscribed = std::move(callback);
}

void RedisSubscriptionManager::SetCatchUp(const TString& channelPattern, CatchUp catchUp) {
    TMutexLock lock(m_mutex);
    if (catchUp)
        m_catchUps[channelPattern.toStdString()] = std::move(catchUp);
    else
        m_catchUps.erase(channelPattern.toStdString());
}

void RedisSubscriptionManager::SetSilenceHook(const TString& channelPattern, SilenceHook hook) {
    TMutexLock lock(m_mutex);
    if (hook)
        m_silenceHooks[channelPattern.toStdString()] = std::move(hook);
    else
        m_silenceHooks.erase(channelPattern.toStdString());
}

void RedisSubscriptionManager::RunSilenceHooks(std::chrono::nanoseconds silence) {
    std::vector<std::string> patterns;
    {
        TMutexLock lock(m_mutex);
        for (const auto& entry : m_silenceHooks) patterns.push_back(entry.first);
    }
    for (const std::string& pattern : patterns) {
        std::shared_ptr<Subscription> subscription;
        SilenceHook hook;
        {
            TMutexLock lock(m_mutex);
            auto it = m_subscriptions.find(pattern);
            auto found = m_silenceHooks.find(pattern);
            if (it == m_subscriptions.end() || found == m_silenceHooks.end()) continue;
            subscription = it->second;
            hook = found->second;
            m_delivering = subscription;  // Unsubscribe waits for the hook as for a callback
        }
        try {
            hook(silence);
        } catch (...) {
            TLog::LogCurrentException(TLog::Warn, TFormatString("Redis silence hook failed for %1.",
                                                                detail::ShortenedForLog(pattern)));
        }
        {
            TMutexLock lock(m_mutex);
            m_delivering.reset();
        }
        m_changed.notify_all();
    }
}

void RedisSubscriptionManager::NoteHeardLive(Subscriber& subscriber) {
    if (subscriber.lastHeard == subscriber.lastLive) return;
    const auto silence = subscriber.lastHeard - subscriber.lastLive;
    if (subscriber.lastLive != Clock::time_point{} && silence > HeartbeatInterval(subscriber))
        RunSilenceHooks(silence);
    subscriber.lastLive = subscriber.lastHeard;
    m_heardLiveNs.store(subscriber.lastHeard.time_since_epoch() / std::chrono::nanoseconds(1),
                        std::memory_order_release);
}

std::string RedisSubscriptionManager::RunCatchUp(const std::string& pattern, bool resubscription) {
    std::shared_ptr<Subscription> subscription;
    CatchUp catchUp;
    {
        TMutexLock lock(m_mutex);
        auto it = m_subscriptions.find(pattern);
        auto hook = m_catchUps.find(pattern);
        if (it == m_subscriptions.end() || hook == m_catchUps.end()) return "";
        subscription = it->second;
        catchUp = hook->second;
        m_delivering = subscription;  // Unsubscribe waits for the hook as for a callback
    }
    std::string missed;
    try {
        missed = catchUp(resubscription);
    } catch (...) {
        TLog::LogCurrentException(TLog::Warn, TFormatString("Redis catch-up failed for %1.",
                                                            detail::ShortenedForLog(pattern)));
        missed = "the catch-up of " + pattern + " failed";
    }
    {
        TMutexLock lock(m_mutex);
        m_delivering.reset();
    }
    m_changed.notify_all();
    return missed;
}

RedisSubscriptionManager::Stats RedisSubscriptionManager::GetStats() const {
    TMutexLock lock(m_mutex);
    return m_stats;
}

RedisEndpointConfig RedisSubscriptionManager::GetConfig() const {
    TMutexLock lock(m_mutex);
    return m_config;
}

void RedisSubscriptionManager::Reconfigure(const RedisEndpointConfig& config) {
    {
        TMutexLock lock(m_mutex);
        m_config = config;
        m_reconfigured = true;
    }
    m_publishers->Reconfigure(config);
    Wake();
}

void RedisSubscriptionManager::Deliver(Subscriber& subscriber, const std::string& pattern,
                                       const std::string& channel, const char* data,
                                       std::size_t length) {
    std::shared_ptr<Subscription> subscription;
    {
        TMutexLock lock(m_mutex);
        auto it = m_subscriptions.find(pattern);
        if (it == m_subscriptions.end()) return;  // unsubscribed while the message travelled
        subscription = it->second;
        m_delivering = subscription;
    }
    bool failed = false;
    try {
        subscription->callback(TString::fromStdString(channel), data, static_cast<int>(length));
    } catch (...) {
        failed = true;
        subscriber.failures.Record(channel);
    }
    {
        TMutexLock lock(m_mutex);
        m_delivering.reset();
        ++m_stats.delivered;
        if (failed) ++m_stats.failed;
    }
    m_changed.notify_all();
}

RedisEndpointConfig RedisSubscriptionManager::SubscriberEndpoint(const RedisEndpointConfig& config,
                                                                 std::size_t node) const {
    if (config.mode == RedisMode::SingleServer) return config;
    const std::vector<std::string> nodes =
        m_publishers->DiscoverClusterNodes(config.commandTimeout);
    if (nodes.empty()) return config;
    const auto address = RedisNodeAddress::Parse(nodes[node % nodes.size()]);
    RedisEndpointConfig single = config;
    single.mode = RedisMode::SingleServer;
    single.clusterNodes.clear();
    single.unixSocket.clear();
    if (address) {
        single.host = address->host;
        single.port = address->port;
    }
    return single;
}

void RedisSubscriptionManager::Run(std::size_t firstNode) {
    Subscriber subscriber;
    subscriber.node = firstNode;
    while (TakeChanges(subscriber)) {
        try {
            subscriber.state = Step(subscriber);
        } catch (...) {
            subscriber.state = LoseConnection(subscriber);
        }
    }
}

bool RedisSubscriptionManager::TakeChanges(Subscriber& subscriber) {
    TMutexLock lock(m_mutex);
    if (m_stop) return false;
    if (m_reconfigured) {
        m_reconfigured = false;
        m_heardLiveNs.store(0, std::memory_order_release);
        subscriber.socket.reset();
        subscriber.established = false;
        for (auto& entry : m_subscriptions) entry.second->confirmed = false;
        subscriber.backoff = std::chrono::milliseconds(0);
        subscriber.nextAttempt = Clock::now();
        subscriber.state = SubscriberState::Connecting;
    }
    subscriber.config = m_config;
    return true;
}

RedisSubscriptionManager::SubscriberState RedisSubscriptionManager::Step(Subscriber& subscriber) {
    switch (subscriber.state) {
        case SubscriberState::BackingOff:
            return BackOff(subscriber);
        case SubscriberState::Connecting:
            return Connect(subscriber);
        case SubscriberState::Subscribing:
        case SubscriberState::Replaying:  // only while Confirm runs, never between turns
        case SubscriberState::Live:
            return Listen(subscriber);
    }
    return subscriber.state;
}

RedisSubscriptionManager::SubscriberState RedisSubscriptionManager::BackOff(
    Subscriber& subscriber) {
    if (Clock::now() >= subscriber.nextAttempt) return SubscriberState::Connecting;
    WaitForWake(subscriber.nextAttempt);
    return SubscriberState::BackingOff;
}

RedisSubscriptionManager::SubscriberState RedisSubscriptionManager::Connect(
    Subscriber& subscriber) {
    if (!subscriber.socket) {
        subscriber.socket = std::make_unique<detail::RedisSocket>(
            SubscriberEndpoint(subscriber.config, subscriber.node));
    }
    subscriber.socket->Connect();
    subscriber.established = true;
    return SubscribeAll(subscriber);
}

RedisSubscriptionManager::SubscriberState RedisSubscriptionManager::SubscribeAll(
    Subscriber& subscriber) {
    std::vector<std::string> patterns;
    {
        TMutexLock lock(m_mutex);
        ++m_stats.connects;
        m_ops.clear();  // the full pattern list below supersedes queued changes
        for (auto& entry : m_subscriptions) {
            entry.second->confirmed = false;
            patterns.push_back(entry.first);
        }
    }
    subscriber.awaitingConfirmations = static_cast<int>(patterns.size());
    subscriber.resubscribing = subscriber.lost;
    subscriber.missed.clear();
    subscriber.lost = false;
    if (!patterns.empty()) {
        std::vector<std::string_view> args{"PSUBSCRIBE"};
        args.insert(args.end(), patterns.begin(), patterns.end());
        subscriber.socket->Send(args, Clock::now() + subscriber.config.commandTimeout);
    } else if (subscriber.resubscribing) {
        // Nothing to confirm: the subscription (of no pattern) is complete at once.
        subscriber.resubscribing = false;
        AnnounceResubscription(subscriber);
    }
    subscriber.lastHeard = Clock::now();
    subscriber.pingOutstanding = false;
    return patterns.empty() ? SubscriberState::Live : SubscriberState::Subscribing;
}

// Subscribing and live differ only in whether confirmations are outstanding: both send queued
// (un)subscriptions, deliver what arrives and keep the heartbeat.
RedisSubscriptionManager::SubscriberState RedisSubscriptionManager::Listen(Subscriber& subscriber) {
    SendQueuedOps(subscriber);
    if (WaitForTraffic(subscriber)) DrainReplies(subscriber);
    if (subscriber.awaitingConfirmations == 0 && !subscriber.resubscribing)
        NoteHeardLive(subscriber);
    const auto now = Clock::now();
    subscriber.failures.CloseIntervalIfDue(now);
    CheckHeartbeat(subscriber, now);
    return subscriber.awaitingConfirmations > 0 ? SubscriberState::Subscribing
                                                : SubscriberState::Live;
}

void RedisSubscriptionManager::SendQueuedOps(Subscriber& subscriber) {
    std::deque<Op> ops;
    {
        TMutexLock lock(m_mutex);
        ops.swap(m_ops);
    }
    for (const Op& op : ops) {
        if (op.subscribe) ++subscriber.awaitingConfirmations;
        subscriber.socket->Send({op.subscribe ? "PSUBSCRIBE" : "PUNSUBSCRIBE", op.pattern},
                                Clock::now() + subscriber.config.commandTimeout);
    }
}

bool RedisSubscriptionManager::WaitForTraffic(const Subscriber& subscriber) {
    const Clock::time_point heartbeatDue =
        subscriber.pingOutstanding ? subscriber.pingSentAt + subscriber.config.commandTimeout
                                   : subscriber.lastHeard + HeartbeatInterval(subscriber);
    // Messages a TLS session has decrypted already do not make the socket readable: with some
    // waiting, the poll only collects a wake-up.
    const bool buffered = subscriber.socket->HasBufferedInput();
    pollfd fds[2] = {{subscriber.socket->Fd(), subscriber.socket->ReadEvents(), 0},
                     {m_wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, buffered ? 0 : PollMs(heartbeatDue)) < 0 && errno != EINTR)
        throw RedisException("Cannot poll the subscriber connection.");
    if (fds[1].revents & POLLIN) {
        std::uint64_t value;
        [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &value, sizeof value);
    }
    return buffered || fds[0].revents != 0;
}

void RedisSubscriptionManager::DrainReplies(Subscriber& subscriber) {
    // Drain everything that has arrived, so that a PING answer waiting behind slow callbacks is
    // seen before the heartbeat is judged.
    while (detail::ReplyPtr reply = subscriber.socket->ReadAvailable()) {
        subscriber.lastHeard = Clock::now();
        subscriber.pingOutstanding = false;
        Dispatch(subscriber, reply.get());
    }
}

void RedisSubscriptionManager::Dispatch(Subscriber& subscriber, redisReply* reply) {
    if (reply->type == REDIS_REPLY_ERROR) {
        TLog::LogMessage(TLog::Warn, TFormatString("Redis subscriber received an error: %1",
                                                   std::string(reply->str, reply->len)));
        return;
    }
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements < 1) return;
    const std::string_view kind = Text(reply->element[0]);
    if (kind == "pmessage" && reply->elements == 4) {
        const redisReply* data = reply->element[3];
        Deliver(subscriber, std::string(Text(reply->element[1])),
                std::string(Text(reply->element[2])), data->str,
                data->type == REDIS_REPLY_STRING ? data->len : 0);
    } else if (kind == "psubscribe" && reply->elements >= 2) {
        Confirm(subscriber, std::string(Text(reply->element[1])));
    }
    // "pong", "punsubscribe" and anything else need nothing.
}

void RedisSubscriptionManager::Confirm(Subscriber& subscriber, const std::string& pattern) {
    // The server answers again: the next loss starts over from the shortest delay.
    subscriber.backoff = std::chrono::milliseconds(0);
    subscriber.state = SubscriberState::Replaying;
    const std::string missed = RunCatchUp(pattern, subscriber.resubscribing);
    if (!missed.empty()) subscriber.missed += (subscriber.missed.empty() ? "" : "; ") + missed;
    if (subscriber.awaitingConfirmations > 0 && --subscriber.awaitingConfirmations == 0 &&
        subscriber.resubscribing) {
        subscriber.resubscribing = false;
        AnnounceResubscription(subscriber);
    }
    // Live again before whoever waits for the confirmation wakes, so that it finds the server
    // heard (the rest of this turn may run callbacks for a while).
    if (subscriber.awaitingConfirmations == 0) NoteHeardLive(subscriber);
    {
        TMutexLock lock(m_mutex);
        auto it = m_subscriptions.find(pattern);
        if (it != m_subscriptions.end()) it->second->confirmed = true;
    }
    m_changed.notify_all();
    subscriber.state =
        subscriber.awaitingConfirmations > 0 ? SubscriberState::Subscribing : SubscriberState::Live;
}

void RedisSubscriptionManager::CheckHeartbeat(Subscriber& subscriber, Clock::time_point now) {
    const RedisEndpointConfig& config = subscriber.config;
    if (subscriber.pingOutstanding && now >= subscriber.pingSentAt + config.commandTimeout)
        throw RedisTimeoutException("The Redis server did not answer the heartbeat.");
    if (!subscriber.pingOutstanding &&
        now >= subscriber.lastHeard + HeartbeatInterval(subscriber)) {
        subscriber.socket->Send({"PING"}, now + config.commandTimeout);
        subscriber.pingSentAt = now;
        subscriber.pingOutstanding = true;
    }
}

std::chrono::steady_clock::duration RedisSubscriptionManager::HeartbeatInterval(
    const Subscriber& subscriber) const {
    const long long limitMs = m_silenceLimitMs.load(std::memory_order_relaxed);
    const Clock::duration configured = subscriber.config.heartbeatInterval;
    if (limitMs <= 0) return configured;
    return std::min(configured, Clock::duration(std::chrono::milliseconds(limitMs)) / 2);
}

void RedisSubscriptionManager::LimitSilence(std::chrono::milliseconds bound) {
    if (bound.count() <= 0) return;
    long long current = m_silenceLimitMs.load(std::memory_order_relaxed);
    while ((current == 0 || bound.count() < current) &&
           !m_silenceLimitMs.compare_exchange_weak(current, bound.count()))
        ;
    Wake();  // a delivery thread asleep until the old heartbeat is due
}

void RedisSubscriptionManager::AnnounceResubscription(Subscriber& subscriber) {
    ResubscribedCallback callback;
    std::string missed;
    missed.swap(subscriber.missed);
    {
        TMutexLock lock(m_mutex);
        ++m_stats.resubscriptions;
        callback = m_onResubscribed;
    }
    m_changed.notify_all();
    if (!callback) return;
    try {
        callback(missed);
    } catch (...) {
        TLog::LogCurrentException(TLog::Warn, "Redis re-subscription callback failed.");
    }
}

// Runs in the handler of whatever the other states raised.
RedisSubscriptionManager::SubscriberState RedisSubscriptionManager::LoseConnection(
    Subscriber& subscriber) {
    m_heardLiveNs.store(0, std::memory_order_release);
    if (subscriber.socket) subscriber.socket->Disconnect();
    TLog::LogCurrentException(TLog::Debug, "Redis subscriber connection failed.");
    {
        TMutexLock lock(m_mutex);
        if (subscriber.established) ++m_stats.disconnects;
        for (auto& entry : m_subscriptions) entry.second->confirmed = false;
    }
    m_changed.notify_all();
    subscriber.established = false;
    subscriber.lost = true;
    subscriber.awaitingConfirmations = 0;
    const RedisEndpointConfig& config = subscriber.config;
    if (config.mode != RedisMode::SingleServer) {
        // On a cluster any node delivers every message: try the next one.
        subscriber.socket.reset();
        ++subscriber.node;
    }
    subscriber.backoff =
        std::clamp(subscriber.backoff * 2, config.reconnectBackoffMin, config.reconnectBackoffMax);
    subscriber.nextAttempt = Clock::now() + subscriber.backoff;
    return SubscriberState::BackingOff;
}

}  // namespace velmora::caching
