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

// Failing callbacks logged per interval before the rest are only counted.
constexpr int kFailuresLoggedPerInterval = 5;
constexpr auto kFailureInterval = std::chrono::seconds(10);
// Longest channel name written whole into a log line.
constexpr std::size_t kLoggedChannelChars = 120;

std::string Shortened(const std::string& text) {
    if (text.size() <= kLoggedChannelChars) return text;
    return text.substr(0, kLoggedChannelChars) + "...(" + std::to_string(text.size()) + " bytes)";
}

std::string_view Text(const redisReply* r) {
    if (!r || (r->type != REDIS_REPLY_STRING && r->type != REDIS_REPLY_STATUS)) return {};
    return {r->str, r->len};
}

}  // namespace

RedisSubscriptionManager::RedisSubscriptionManager(RedisEndpointConfig config)
    : m_config(std::move(config)),
      m_node(std::random_device()()),
      m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_publishers(std::make_shared<RedisConnectionPool>(m_config)) {
    if (m_wakeFd < 0) throw RedisException("Cannot create the subscriber's wake-up descriptor.");
    m_thread = std::thread([this] { Run(); });
    m_threadId = m_thread.get_id();
}

RedisSubscriptionManager::~RedisSubscriptionManager() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    Wake();
    m_thread.join();
    ::close(m_wakeFd);
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

bool RedisSubscriptionManager::TryPublish(const TString& channel, const TString& message,
                                          const ReplyCallback& onReply) {
    std::function<void(redisContext*, redisReply*)> inspect;
    if (onReply) inspect = [&](redisContext* c, redisReply* r) { onReply(c, r, nullptr); };
    return Publish(channel.toStdString(), message.toStdString(), inspect);
}

bool RedisSubscriptionManager::TryPublishBytes(const std::string& channel, const void* data,
                                               std::size_t length) {
    return Publish(channel, std::string(static_cast<const char*>(data), length), nullptr);
}

bool RedisSubscriptionManager::Publish(
    const std::string& channel, const std::string& payload,
    const std::function<void(redisContext*, redisReply*)>& inspect) {
    try {
        Clock::time_point deadline;
        auto guard = LockPublisher(deadline);
        if (!guard) return false;
        const RedisReplyValue reply =
            guard->GetConnection().Command({"PUBLISH", channel, payload}, deadline, inspect);
        return reply.type == RedisReplyValue::Type::Integer;
    } catch (...) {
        TLog::LogCurrentException(TLog::Debug, "Redis publish failed.");
        return false;
    }
}

std::unique_ptr<RedisConnectionGuard> RedisSubscriptionManager::LockPublisher(
    Clock::time_point& deadline) {
    std::chrono::milliseconds timeout;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        timeout = m_config.commandTimeout;
    }
    deadline = Clock::now() + timeout;
    return m_publishers->LockConnection(timeout);
}

std::optional<RedisReplyValue> RedisSubscriptionManager::TryCommand(
    const std::vector<std::string>& args) {
    return TryCommandOnNodeOf(args.size() > 1 ? args[1] : std::string(), args);
}

std::optional<RedisReplyValue> RedisSubscriptionManager::TryCommandOnNodeOf(
    const std::string& routingKey, const std::vector<std::string>& args) {
    try {
        Clock::time_point deadline;
        auto guard = LockPublisher(deadline);
        if (!guard) return std::nullopt;
        return guard->GetConnection().CommandOnNodeOf(routingKey, args, deadline);
    } catch (...) {
        TLog::LogCurrentException(TLog::Debug, "Redis command failed.");
        return std::nullopt;
    }
}

std::vector<std::optional<RedisReplyValue>> RedisSubscriptionManager::TryEach(
    const std::vector<std::vector<std::string>>& commands) {
    try {
        Clock::time_point deadline;
        auto guard = LockPublisher(deadline);
        if (!guard) return std::vector<std::optional<RedisReplyValue>>(commands.size());
        return guard->GetConnection().PipelineEach(
            commands, std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::max(deadline - Clock::now(), Clock::duration::zero())));
    } catch (...) {
        TLog::LogCurrentException(TLog::Debug, "Redis commands failed.");
        return std::vector<std::optional<RedisReplyValue>>(commands.size());
    }
}

void RedisSubscriptionManager::Subscribe(const TString& channelPattern, const Callback& callback) {
    const std::string pattern = channelPattern.toStdString();
    std::unique_lock<std::mutex> lock(m_mutex);
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
    if (std::this_thread::get_id() == m_threadId) return;
    m_changed.wait_for(lock, m_config.commandTimeout, [&] { return subscription->confirmed; });
}

void RedisSubscriptionManager::Unsubscribe(const TString& channelPattern) {
    const std::string pattern = channelPattern.toStdString();
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_subscriptions.find(pattern);
    if (it == m_subscriptions.end()) return;
    const std::shared_ptr<Subscription> subscription = it->second;
    m_subscriptions.erase(it);
    m_ops.push_back({false, pattern});
    Wake();
    if (std::this_thread::get_id() == m_threadId) return;
    // Deliver looks the pattern up under m_mutex, so once it is erased no new call can start;
    // wait for the one that may be running.
    m_changed.wait(lock, [&] { return m_delivering != subscription; });
}

bool RedisSubscriptionManager::IsSubscribed(const TString& channelPattern) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscriptions.count(channelPattern.toStdString()) != 0;
}

bool RedisSubscriptionManager::WaitUntilSubscribed(const TString& channelPattern,
                                                   std::chrono::milliseconds wait) {
    const std::string pattern = channelPattern.toStdString();
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, wait, [&] {
        auto it = m_subscriptions.find(pattern);
        return it != m_subscriptions.end() && it->second->confirmed;
    });
}

void RedisSubscriptionManager::SetResubscribedCallback(ResubscribedCallback callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onResubscribed = std::move(callback);
}

void RedisSubscriptionManager::SetCatchUp(const TString& channelPattern, CatchUp catchUp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (catchUp)
        m_catchUps[channelPattern.toStdString()] = std::move(catchUp);
    else
        m_catchUps.erase(channelPattern.toStdString());
}

std::string RedisSubscriptionManager::RunCatchUp(const std::string& pattern) {
    std::shared_ptr<Subscription> subscription;
    CatchUp catchUp;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_subscriptions.find(pattern);
        auto hook = m_catchUps.find(pattern);
        if (it == m_subscriptions.end() || hook == m_catchUps.end()) return "";
        subscription = it->second;
        catchUp = hook->second;
        m_delivering = subscription;  // Unsubscribe waits for the hook as for a callback
    }
    std::string missed;
    try {
        missed = catchUp(m_resubscribing);
    } catch (...) {
        TLog::LogCurrentException(
            TLog::Warn, TFormatString("Redis catch-up failed for %1.", Shortened(pattern)));
        missed = "the catch-up of " + pattern + " failed";
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_delivering.reset();
    }
    m_changed.notify_all();
    return missed;
}

void RedisSubscriptionManager::ReportSuppressedFailures(Clock::time_point now) {
    if (now - m_failureWindowStart < kFailureInterval) return;
    if (m_failuresSuppressed > 0) {
        TLog::LogMessage(TLog::Warn,
                         TFormatString("Redis subscription callback failed %1 more times in the "
                                       "last %2 s (not logged one by one).",
                                       m_failuresSuppressed,
                                       std::chrono::duration_cast<std::chrono::seconds>(
                                           now - m_failureWindowStart)
                                           .count()));
    }
    m_failureWindowStart = now;
    m_failuresLogged = 0;
    m_failuresSuppressed = 0;
}

void RedisSubscriptionManager::LogCallbackFailure(const std::string& channel) {
    ReportSuppressedFailures(Clock::now());
    if (m_failuresLogged >= kFailuresLoggedPerInterval) {
        ++m_failuresSuppressed;
        return;
    }
    ++m_failuresLogged;
    TLog::LogCurrentException(
        TLog::Warn,
        TFormatString("Redis subscription callback failed on channel %1.", Shortened(channel)));
}

RedisSubscriptionManager::Stats RedisSubscriptionManager::GetStats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void RedisSubscriptionManager::Reconfigure(const RedisEndpointConfig& config) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_config = config;
        m_reconfigured = true;
    }
    m_publishers->Reconfigure(config);
    Wake();
}

void RedisSubscriptionManager::Deliver(const std::string& pattern, const std::string& channel,
                                       const char* data, std::size_t length) {
    std::shared_ptr<Subscription> subscription;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
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
        LogCallbackFailure(channel);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_delivering.reset();
        ++m_stats.delivered;
        if (failed) ++m_stats.failed;
    }
    m_changed.notify_all();
}

// Returns true when the reply completed a re-subscription.
bool RedisSubscriptionManager::ProcessReply(redisReply* reply) {
    if (reply->type == REDIS_REPLY_ERROR) {
        TLog::LogMessage(TLog::Warn, TFormatString("Redis subscriber received an error: %1",
                                                   std::string(reply->str, reply->len)));
        return false;
    }
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements < 1) return false;
    const std::string_view kind = Text(reply->element[0]);
    if (kind == "pmessage" && reply->elements == 4) {
        const redisReply* data = reply->element[3];
        Deliver(std::string(Text(reply->element[1])), std::string(Text(reply->element[2])),
                data->str, data->type == REDIS_REPLY_STRING ? data->len : 0);
    } else if (kind == "psubscribe" && reply->elements >= 2) {
        // The server answers again: the next loss starts over from the shortest delay.
        m_backoff = std::chrono::milliseconds(0);
        const std::string pattern(Text(reply->element[1]));
        const std::string missed = RunCatchUp(pattern);
        if (!missed.empty()) m_missed += (m_missed.empty() ? "" : "; ") + missed;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_subscriptions.find(pattern);
            if (it != m_subscriptions.end()) it->second->confirmed = true;
        }
        m_changed.notify_all();
        if (m_awaitingConfirmations > 0 && --m_awaitingConfirmations == 0 && m_resubscribing) {
            m_resubscribing = false;
            return true;
        }
    }
    return false;  // "pong", "punsubscribe" and anything else need nothing
}

RedisEndpointConfig RedisSubscriptionManager::SubscriberEndpoint(
    const RedisEndpointConfig& config) const {
    if (config.mode == RedisMode::SingleServer) return config;
    const std::vector<std::string> nodes =
        m_publishers->DiscoverClusterNodes(config.commandTimeout);
    if (nodes.empty()) return config;
    const auto node = RedisNodeAddress::Parse(nodes[m_node % nodes.size()]);
    RedisEndpointConfig single = config;
    single.mode = RedisMode::SingleServer;
    single.clusterNodes.clear();
    single.unixSocket.clear();
    if (node) {
        single.host = node->host;
        single.port = node->port;
    }
    return single;
}

void RedisSubscriptionManager::Run() {
    std::unique_ptr<detail::RedisSocket> socket;
    Clock::time_point nextAttempt = Clock::now();
    Clock::time_point lastHeard = Clock::now();
    bool pingOutstanding = false;
    Clock::time_point pingSentAt = Clock::now();
    bool lost = false;         // a connection was lost since the last complete subscription
    bool established = false;  // the current socket connected (and is not yet known lost)

    const auto resubscribed = [this] {
        ResubscribedCallback callback;
        std::string missed;
        missed.swap(m_missed);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_stats.resubscriptions;
            callback = m_onResubscribed;
        }
        m_changed.notify_all();
        if (callback) {
            try {
                callback(missed);
            } catch (...) {
                TLog::LogCurrentException(TLog::Warn, "Redis re-subscription callback failed.");
            }
        }
    };

    for (;;) {
        RedisEndpointConfig config;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) break;
            if (m_reconfigured) {
                m_reconfigured = false;
                socket.reset();
                established = false;
                for (auto& entry : m_subscriptions) entry.second->confirmed = false;
                m_backoff = std::chrono::milliseconds(0);
                nextAttempt = Clock::now();
            }
            config = m_config;
        }
        try {
            if (!socket || !socket->IsConnected()) {
                if (Clock::now() < nextAttempt) {
                    WaitForWake(nextAttempt);
                    continue;
                }
                if (!socket)
                    socket = std::make_unique<detail::RedisSocket>(SubscriberEndpoint(config));
                socket->Connect();
                established = true;
                std::vector<std::string> patterns;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    ++m_stats.connects;
                    m_ops.clear();  // the full pattern list below supersedes queued changes
                    for (auto& entry : m_subscriptions) {
                        entry.second->confirmed = false;
                        patterns.push_back(entry.first);
                    }
                }
                m_awaitingConfirmations = static_cast<int>(patterns.size());
                m_resubscribing = lost;
                m_missed.clear();
                lost = false;
                if (!patterns.empty()) {
                    std::vector<std::string_view> args{"PSUBSCRIBE"};
                    args.insert(args.end(), patterns.begin(), patterns.end());
                    socket->Send(args, Clock::now() + config.commandTimeout);
                } else if (m_resubscribing) {
                    m_resubscribing = false;
                    resubscribed();
                }
                lastHeard = Clock::now();
                pingOutstanding = false;
            }

            std::deque<Op> ops;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ops.swap(m_ops);
            }
            for (const Op& op : ops) {
                if (op.subscribe) ++m_awaitingConfirmations;
                socket->Send({op.subscribe ? "PSUBSCRIBE" : "PUNSUBSCRIBE", op.pattern},
                             Clock::now() + config.commandTimeout);
            }

            const Clock::time_point heartbeatDue = pingOutstanding
                                                       ? pingSentAt + config.commandTimeout
                                                       : lastHeard + config.heartbeatInterval;
            pollfd fds[2] = {{socket->Fd(), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            if (::poll(fds, 2, PollMs(heartbeatDue)) < 0 && errno != EINTR)
                throw RedisException("Cannot poll the subscriber connection.");
            if (fds[1].revents & POLLIN) {
                std::uint64_t value;
                [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &value, sizeof value);
            }
            if (fds[0].revents) {
                // Drain everything that has arrived, so that a PING answer waiting behind slow
                // callbacks is seen before the heartbeat is judged.
                while (detail::ReplyPtr reply = socket->ReadAvailable()) {
                    lastHeard = Clock::now();
                    pingOutstanding = false;
                    if (ProcessReply(reply.get())) resubscribed();
                }
            }
            const auto now = Clock::now();
            ReportSuppressedFailures(now);
            if (pingOutstanding && now >= pingSentAt + config.commandTimeout)
                throw RedisTimeoutException("The Redis server did not answer the heartbeat.");
            if (!pingOutstanding && now >= lastHeard + config.heartbeatInterval) {
                socket->Send({"PING"}, now + config.commandTimeout);
                pingSentAt = now;
                pingOutstanding = true;
            }
        } catch (...) {
            if (socket) socket->Disconnect();
            TLog::LogCurrentException(TLog::Debug, "Redis subscriber connection failed.");
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (established) ++m_stats.disconnects;
                for (auto& entry : m_subscriptions) entry.second->confirmed = false;
            }
            m_changed.notify_all();
            established = false;
            lost = true;
            m_awaitingConfirmations = 0;
            if (config.mode != RedisMode::SingleServer) {
                // On a cluster any node delivers every message: try the next one.
                socket.reset();
                ++m_node;
            }
            m_backoff =
                std::clamp(m_backoff * 2, config.reconnectBackoffMin, config.reconnectBackoffMax);
            nextAttempt = Clock::now() + m_backoff;
        }
    }
}

}  // namespace velmora::caching
