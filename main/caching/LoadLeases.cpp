#include "caching/LoadLeases.h"

#include "velredis/RedisConnectionPool.h"
#include "velsys/Exceptions.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching {

namespace {

// Deletes the lease only while it still holds the caller's token.
constexpr const char* kReleaseScript =
    "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) "
    "else return 0 end";

}  // namespace

ILoadLeases::~ILoadLeases() = default;

RedisLoadLeases::RedisLoadLeases(std::shared_ptr<RedisConnectionPool> pool, std::string prefix,
                                 std::chrono::milliseconds commandBudget,
                                 std::chrono::milliseconds downFor)
    : m_pool(std::move(pool)),
      m_prefix(std::move(prefix)),
      m_budget(commandBudget),
      m_downFor(downFor) {
    VEL_ASSERT(m_pool);
}

std::string RedisLoadLeases::KeyOf(const std::string& name) const {
    return m_prefix + "{" + name + "}";
}

bool RedisLoadLeases::KnownDown() const {
    return SteadyNowNs() < m_downUntilNs.load();
}

void RedisLoadLeases::MarkDown() {
    m_downUntilNs = SteadyNowNs() + std::chrono::nanoseconds(m_downFor).count();
}

ILoadLeases::Outcome RedisLoadLeases::TryTake(const std::string& name, const std::string& token,
                                              std::chrono::milliseconds ttl) {
    if (KnownDown()) return Outcome::Unavailable;
    const std::string key = KeyOf(name);
    try {
        const auto guard = m_pool->FindAndLockConnection(key);
        if (!guard) return Outcome::Unavailable;
        const RedisReplyValue reply = guard->GetConnection().CommandOnNodeOf(
            key,
            {"SET", key, token, "NX", "PX", std::to_string(std::max<long long>(1, ttl.count()))},
            std::chrono::steady_clock::now() + m_budget);
        if (reply.type == RedisReplyValue::Type::Status) return Outcome::Taken;
        if (reply.type == RedisReplyValue::Type::Nil) return Outcome::HeldElsewhere;
        // An error reply (a refused command, say): no lease to be had from this server.
        MarkDown();
        return Outcome::Unavailable;
    } catch (const std::exception&) {
        MarkDown();
        return Outcome::Unavailable;
    }
}

void RedisLoadLeases::Release(const std::string& name, const std::string& token) {
    if (KnownDown()) return;  // the lease lapses by itself
    const std::string key = KeyOf(name);
    try {
        const auto guard = m_pool->FindAndLockConnection(key);
        if (!guard) return;
        guard->GetConnection().CommandOnNodeOf(key, {"EVAL", kReleaseScript, "1", key, token},
                                               std::chrono::steady_clock::now() + m_budget);
    } catch (const std::exception&) {
        MarkDown();
    }
}

}  // namespace velmora::caching
