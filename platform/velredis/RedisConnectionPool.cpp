#include "velredis/RedisConnectionPool.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "velcore/AppOptions.h"
#include "velcoreplatform/TLog.h"
#include "velredis/RedisClusterRouter.h"
#include "velredis/RedisPipeline.h"
#include "velredis/RedisReply.h"
#include "velredis/RedisSocket.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching {

namespace {

using detail::CopyReply;

std::string_view View(const RedisConnection::Bytes& value) {
    if (!value || value->empty()) return {};
    return {reinterpret_cast<const char*>(value->data()), value->size()};
}

// The automatic pool size and command time-out (see RedisEndpointConfig).
RedisEndpointConfig Resolve(RedisEndpointConfig config) {
    constexpr int kPublisherConnections = 2;
    if (config.poolSize <= 0)
        config.poolSize = std::max(
            1, velmora::appoptions::ExternalCacheConcurrencyLimit() + kPublisherConnections);
    if (config.commandTimeoutFollowsStoreTimeout) {
        const std::chrono::milliseconds store(
            std::max(100, velmora::appoptions::ExternalCacheStoreTimeoutMs()));
        config.commandTimeout = std::min(config.commandTimeout, store);
    }
    return config;
}

}  // namespace

// ---- RedisConnection -----------------------------------------------------------------------

RedisConnection::RedisConnection(RedisEndpointConfig config,
                                 std::shared_ptr<detail::RedisClusterRouter> router,
                                 std::shared_ptr<detail::RedisPipeline> pipeline)
    : m_router(router ? std::move(router) : detail::RedisClusterRouter::Make(config)),
      m_pipeline(m_router ? nullptr : std::move(pipeline)) {
    // Without a cluster (or until Detect has asked) commands go to the one server: host and
    // port, or the first cluster node given.
    m_socket = std::make_unique<detail::RedisSocket>(
        m_router ? m_router->ConfigFor(m_router->FirstSeed()) : std::move(config));
}

RedisConnection::~RedisConnection() = default;

long long RedisConnection::GetConnectCount() const {
    return m_socket->ConnectCount() + (m_cluster ? m_cluster->ConnectCount() : 0) +
           (m_pipeline ? m_pipeline->ConnectCount() : 0);
}

int RedisConnection::GetSocketForDiagnostics() const {
    return m_socket->Fd();
}

namespace {

// Runs one command given as views (no copies of large values) by `deadline`: on the cluster
// node serving `key` when the connection has a router that finds a cluster, else on the one
// server. `context` receives the client library's context of the node that answered.
detail::ReplyPtr Run(detail::RedisSocket& socket,
                     const std::shared_ptr<detail::RedisClusterRouter>& router,
                     std::unique_ptr<detail::RedisClusterConnection>& cluster, std::string_view key,
                     const std::vector<std::string_view>& args, detail::Clock::time_point deadline,
                     redisContext** context = nullptr, bool shared = false) {
    deadline = std::min(deadline, detail::Clock::now() + socket.Config().commandTimeout);
    if (router && router->IsCluster(deadline)) {
        if (!cluster) cluster = std::make_unique<detail::RedisClusterConnection>(router);
        // The cluster passes a published message on to every node: any node that answers will
        // do, so that a failing node does not hold up the publishers.
        detail::ReplyPtr reply = args.front() == "PUBLISH"
                                     ? cluster->RunOnAnyNode(args, deadline)
                                     : cluster->Run(key, args, deadline, shared);
        if (context) *context = cluster->LastContext();
        return reply;
    }
    // A connection the server closed while it sat in the pool (restart, idle time-out, kill) is
    // replaced before the command is sent, so its next use succeeds.
    if (!socket.IsIdleHealthy()) {
        socket.Disconnect();
        socket.Connect();
    }
    socket.Send(args, deadline);
    if (context) *context = socket.Context();
    return socket.Read(deadline);
}

// The command time-out alone bounds the command.
constexpr auto kNoDeadline = detail::Clock::time_point::max();

// Values above this take the connection's own socket: they would hold up every command queued
// behind them on the shared one.
constexpr std::size_t kMaxPipelinedBytes = 64 * 1024;

// Commands that neither change the connection's state nor block, and so may share it.
bool IsStateless(std::string_view name) {
    static constexpr std::string_view kStateless[] = {
        "GET",  "SET", "SETEX", "PSETEX", "DEL",  "UNLINK", "EXISTS", "PUBLISH",
        "PING", "TTL", "PTTL",  "EXPIRE", "INCR", "INCRBY", "STRLEN", "XADD"};
    return std::any_of(std::begin(kStateless), std::end(kStateless), [&](std::string_view s) {
        return s.size() == name.size() &&
               std::equal(s.begin(), s.end(), name.begin(), [](char a, char b) {
                   return a == (b >= 'a' && b <= 'z' ? static_cast<char>(b - 'a' + 'A') : b);
               });
    });
}

std::size_t SizeOf(const std::vector<std::string_view>& args) {
    std::size_t size = 0;
    for (const auto& a : args) size += a.size();
    return size;
}

// Runs one command as Run does, over the shared connection when there is one and the command
// may go there.
detail::ReplyPtr Exec(detail::RedisPipeline* pipeline, detail::RedisSocket& socket,
                      const std::shared_ptr<detail::RedisClusterRouter>& router,
                      std::unique_ptr<detail::RedisClusterConnection>& cluster,
                      std::string_view key, const std::vector<std::string_view>& args,
                      detail::Clock::time_point deadline) {
    const bool small = SizeOf(args) <= kMaxPipelinedBytes;
    if (pipeline && small)
        return pipeline->Run(
            args, std::min(deadline, detail::Clock::now() + socket.Config().commandTimeout));
    return Run(socket, router, cluster, key, args, deadline, nullptr, small);
}

bool IsOk(const detail::ReplyPtr& reply) {
    return reply->type == REDIS_REPLY_STATUS && std::string_view(reply->str, reply->len) == "OK";
}

}  // namespace

RedisReplyValue RedisConnection::Command(
    const std::vector<std::string>& args, std::chrono::steady_clock::time_point deadline,
    const std::function<void(redisContext*, redisReply*)>& inspect) {
    std::vector<std::string_view> views(args.begin(), args.end());
    if (!inspect && !views.empty() && IsStateless(views.front()))
        return CopyReply(Exec(m_pipeline.get(), *m_socket, m_router, m_cluster,
                              views.size() > 1 ? views[1] : std::string_view(), views, deadline)
                             .get());
    redisContext* context = nullptr;
    detail::ReplyPtr reply =
        Run(*m_socket, m_router, m_cluster, views.size() > 1 ? views[1] : std::string_view(), views,
            deadline, &context);
    if (inspect) inspect(context, reply.get());
    return CopyReply(reply.get());
}

RedisReplyValue RedisConnection::Command(const std::vector<std::string>& args) {
    return Command(args, std::chrono::steady_clock::time_point::max(), nullptr);
}

std::vector<RedisReplyValue> RedisConnection::Pipeline(
    const std::vector<std::vector<std::string>>& commands,
    std::chrono::steady_clock::time_point deadline) {
    deadline = std::min(deadline, detail::Clock::now() + m_socket->Config().commandTimeout);
    std::vector<RedisReplyValue> replies;
    if (m_router && m_router->IsCluster(deadline)) {
        // On a cluster each command goes to the node serving its own key, one after the other.
        if (!m_cluster) m_cluster = std::make_unique<detail::RedisClusterConnection>(m_router);
        for (const auto& args : commands) {
            const std::vector<std::string_view> views(args.begin(), args.end());
            const std::string_view key = views.size() > 1 ? views[1] : std::string_view();
            replies.push_back(CopyReply(m_cluster->Run(key, views, deadline).get()));
        }
        return replies;
    }
    if (!m_socket->IsIdleHealthy()) {
        m_socket->Disconnect();
        m_socket->Connect();
    }
    for (const auto& args : commands)
        m_socket->Send(std::vector<std::string_view>(args.begin(), args.end()), deadline);
    for (std::size_t i = 0; i < commands.size(); ++i)
        replies.push_back(CopyReply(m_socket->Read(deadline).get()));
    return replies;
}

std::vector<std::optional<RedisReplyValue>> RedisConnection::PipelineEach(
    const std::vector<std::vector<std::string>>& commands, std::chrono::milliseconds timeout) {
    std::vector<std::optional<RedisReplyValue>> replies(commands.size());
    const auto cap = std::min(timeout, m_socket->Config().commandTimeout);
    if (m_router && m_router->IsCluster(detail::Clock::now() + cap)) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            const std::vector<std::string_view> views(commands[i].begin(), commands[i].end());
            try {
                replies[i] = CopyReply(Run(*m_socket, m_router, m_cluster,
                                           views.size() > 1 ? views[1] : std::string_view(), views,
                                           detail::Clock::now() + cap)
                                           .get());
            } catch (const RedisException&) {
                // This one failed; the next still runs.
            }
        }
        return replies;
    }
    try {
        std::vector<RedisReplyValue> all = Pipeline(commands, detail::Clock::now() + cap);
        for (std::size_t i = 0; i < all.size(); ++i) replies[i] = std::move(all[i]);
    } catch (const RedisException&) {
        // The connection is lost: every reply stays empty.
    }
    return replies;
}

RedisReplyValue RedisConnection::CommandOnNodeOf(std::string_view routingKey,
                                                 const std::vector<std::string>& args,
                                                 std::chrono::steady_clock::time_point deadline) {
    const std::vector<std::string_view> views(args.begin(), args.end());
    return CopyReply(Run(*m_socket, m_router, m_cluster, routingKey, views, deadline).get());
}

RedisConnection::Bytes RedisConnection::Get(const std::string& key) {
    detail::ReplyPtr reply =
        Exec(m_pipeline.get(), *m_socket, m_router, m_cluster, key, {"GET", key}, kNoDeadline);
    if (reply->type == REDIS_REPLY_NIL) return nullptr;
    if (reply->type != REDIS_REPLY_STRING)
        throw RedisException("GET failed: " +
                             std::string(reply->str ? reply->str : "", reply->len));
    const auto* begin = reinterpret_cast<const unsigned char*>(reply->str);
    return std::make_shared<std::vector<unsigned char>>(begin, begin + reply->len);
}

namespace {

// A command the server refused with an error reply (an ACL rule that forbids the key, say)
// changes nothing the caller can see but its result; an operator must hear of it. One Warn line
// per interval, with the count since the line before: a refused key is refused every time.
bool NoteIfRefused(const char* command, const detail::ReplyPtr& reply) {
    if (reply->type != REDIS_REPLY_ERROR) return false;
    static std::atomic<long long> s_lastNs{0};
    static std::atomic<long long> s_since{0};
    ++s_since;
    const long long now = SteadyNowNs();
    constexpr long long kIntervalNs = 60LL * 1000000000LL;
    long long last = s_lastNs.load();
    if ((last != 0 && now - last < kIntervalNs) || !s_lastNs.compare_exchange_strong(last, now))
        return true;
    TLog::LogMessage(
        TLog::Warn,
        TFormatString("Redis refused %1: %2 (%3 refused since the last such line)", command,
                      TString::fromStdString(std::string(reply->str ? reply->str : "", reply->len)),
                      s_since.exchange(0)));
    return true;
}

}  // namespace

bool RedisConnection::Set(const std::string& key, const Bytes& value) {
    detail::ReplyPtr reply = Exec(m_pipeline.get(), *m_socket, m_router, m_cluster, key,
                                  {"SET", key, View(value)}, kNoDeadline);
    NoteIfRefused("SET", reply);
    return IsOk(reply);
}

bool RedisConnection::SetEx(const std::string& key, std::chrono::seconds ttl, const Bytes& value) {
    const std::string seconds = std::to_string(ttl.count());
    detail::ReplyPtr reply = Exec(m_pipeline.get(), *m_socket, m_router, m_cluster, key,
                                  {"SETEX", key, seconds, View(value)}, kNoDeadline);
    NoteIfRefused("SETEX", reply);
    return IsOk(reply);
}

long long RedisConnection::Del(const std::string& key) {
    detail::ReplyPtr reply =
        Exec(m_pipeline.get(), *m_socket, m_router, m_cluster, key, {"DEL", key}, kNoDeadline);
    if (reply->type != REDIS_REPLY_INTEGER)
        throw RedisException("DEL failed: " +
                             std::string(reply->str ? reply->str : "", reply->len));
    return reply->integer;
}

// ---- RedisConnectionGuard ------------------------------------------------------------------

RedisConnectionGuard::RedisConnectionGuard(std::shared_ptr<RedisConnectionPool> pool,
                                           std::size_t slot, RedisConnection& connection)
    : m_pool(std::move(pool)), m_slot(slot), m_connection(connection) {}

RedisConnectionGuard::~RedisConnectionGuard() {
    m_pool->Unlock(m_slot);
}

// ---- RedisConnectionPool -------------------------------------------------------------------

namespace {

std::shared_ptr<detail::RedisPipeline> MakePipeline(
    const RedisEndpointConfig& config, const std::shared_ptr<detail::RedisClusterRouter>& router) {
    if (!config.pipelining || router) return nullptr;
    return std::make_shared<detail::RedisPipeline>(config);
}

}  // namespace

RedisConnectionPool::RedisConnectionPool(RedisEndpointConfig config)
    : m_config(Resolve(std::move(config))),
      m_router(detail::RedisClusterRouter::Make(m_config)),
      m_pipeline(MakePipeline(m_config, m_router)) {
    m_slots.resize(static_cast<std::size_t>(std::max(1, m_config.poolSize)));
    for (auto& slot : m_slots)
        slot.connection = std::make_unique<RedisConnection>(m_config, m_router, m_pipeline);
}

RedisConnectionPool::~RedisConnectionPool() = default;

int RedisConnectionPool::GetSize() const {
    TMutexLock lock(m_mutex);
    return static_cast<int>(m_slots.size());
}

RedisClusterStats RedisConnectionPool::GetClusterStats() const {
    TMutexLock lock(m_mutex);
    return m_router ? m_router->GetStats() : RedisClusterStats();
}

std::vector<std::string> RedisConnectionPool::GetClusterNodes() const {
    std::shared_ptr<detail::RedisClusterRouter> router;
    {
        TMutexLock lock(m_mutex);
        router = m_router;
    }
    std::vector<std::string> nodes;
    if (router)
        for (const RedisNodeAddress& node : router->Nodes()) nodes.push_back(node.ToString());
    return nodes;
}

std::vector<std::string> RedisConnectionPool::DiscoverClusterNodes(
    std::chrono::milliseconds wait) const {
    std::shared_ptr<detail::RedisClusterRouter> router;
    {
        TMutexLock lock(m_mutex);
        router = m_router;
    }
    if (router) {
        const auto deadline = detail::Clock::now() + wait;
        try {
            if (router->IsCluster(deadline)) router->MasterOf(0, deadline);  // fetches a map
        } catch (const RedisException&) {
            // No seed answered: the seeds alone.
        }
    }
    return GetClusterNodes();
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::LockSlotLocked(std::size_t slot) {
    m_slots[slot].locked = true;
    return std::make_unique<RedisConnectionGuard>(shared_from_this(), slot,
                                                  *m_slots[slot].connection);
}

RedisEndpointConfig RedisConnectionPool::GetConfig() const {
    TMutexLock lock(m_mutex);
    return m_config;
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::FindAndLockConnection(
    const std::string& key) {
    TMutexLock lock(m_mutex);
    const std::size_t first = std::hash<std::string>()(key);
    std::size_t found = 0;
    const auto free = [&]() VEL_REQUIRES(m_mutex) {
        const std::size_t n = m_slots.size();
        for (std::size_t i = 0; i < n; ++i) {
            found = (first + i) % n;
            if (!m_slots[found].locked) return true;
        }
        return false;
    };
    const auto crowded = [&]() VEL_REQUIRES(m_mutex) {
        return m_pipeline && m_pipeline->Pending() >=
                                 static_cast<std::size_t>(std::max(1, m_config.pipelineQueueBound));
    };
    if (m_closed) return nullptr;
    const auto until = detail::Clock::now() + m_config.connectionWait;
    while (!free() || crowded()) {
        const auto now = detail::Clock::now();
        if (now >= until) return nullptr;
        // The shared queue drains without telling the pool: look again every millisecond.
        const auto next = crowded() ? std::min(until, now + std::chrono::milliseconds(1)) : until;
        m_freed.wait_until(lock.Native(), next);
        if (m_closed) return nullptr;
    }
    return LockSlotLocked(found);
}

std::unique_ptr<RedisConnectionGuard> RedisConnectionPool::LockConnection(
    std::chrono::milliseconds wait) {
    TMutexLock lock(m_mutex);
    std::size_t found = m_slots.size();
    const auto free = [&]() VEL_REQUIRES(m_mutex) {
        for (std::size_t i = 0; i < m_slots.size(); ++i)
            if (!m_slots[i].locked) {
                found = i;
                return true;
            }
        return false;
    };
    if (m_closed ||
        !m_freed.wait_for(lock.Native(), std::max(wait, std::chrono::milliseconds(0)),
                          [&]() VEL_REQUIRES(m_mutex) { return m_closed || free(); }) ||
        m_closed)
        return nullptr;
    return LockSlotLocked(found);
}

void RedisConnectionPool::Unlock(std::size_t slot) {
    std::unique_ptr<RedisConnection> old;
    {
        TMutexLock lock(m_mutex);
        Slot& s = m_slots[slot];
        if (m_closed) {
            old = std::move(s.connection);
        } else if (s.stale) {
            old = std::move(s.connection);
            s.connection = std::make_unique<RedisConnection>(m_config, m_router, m_pipeline);
            s.stale = false;
        }
        s.locked = false;
    }
    m_freed.notify_one();
    // `old` closes its socket here, outside the lock.
}

bool RedisConnectionPool::Close() {
    std::vector<std::unique_ptr<RedisConnection>> idle;
    {
        TMutexLock lock(m_mutex);
        if (m_closed) return false;
        m_closed = true;
        for (Slot& slot : m_slots)
            if (!slot.locked) idle.push_back(std::move(slot.connection));
        // Each connection holds the shared connection too: it closes with the last of them.
        m_pipeline.reset();
    }
    // Waiters give up at once.
    m_freed.notify_all();
    // `idle` closes its sockets here, outside the lock.
    return true;
}

void RedisConnectionPool::Reconfigure(const RedisEndpointConfig& config) {
    std::vector<std::unique_ptr<RedisConnection>> old;
    {
        TMutexLock lock(m_mutex);
        if (m_closed) return;
        m_config = Resolve(config);
        m_router = detail::RedisClusterRouter::Make(m_config);
        m_pipeline = MakePipeline(m_config, m_router);
        if (static_cast<int>(m_slots.size()) < m_config.poolSize)
            m_slots.resize(static_cast<std::size_t>(m_config.poolSize));
        for (auto& slot : m_slots) {
            if (slot.locked) {
                slot.stale = true;
            } else {
                if (slot.connection) old.push_back(std::move(slot.connection));
                slot.connection = std::make_unique<RedisConnection>(m_config, m_router, m_pipeline);
            }
        }
    }
    m_freed.notify_all();
}

}  // namespace velmora::caching
