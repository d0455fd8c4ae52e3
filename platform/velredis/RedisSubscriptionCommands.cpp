// The manager's command side: publishing and single commands through its pool of publishing
// connections. Nothing here touches the subscriber connection or the delivery thread.
#include "velredis/RedisSubscriptionManager.h"

#include <algorithm>

#include "velcoreplatform/TLog.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisSocket.h"

namespace velmora::caching {

using detail::Clock;

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
        TMutexLock lock(m_mutex);
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

}  // namespace velmora::caching
