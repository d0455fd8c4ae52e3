// Pooled, blocking connections to Redis for key/value commands.
//
// A RedisConnectionPool owns a fixed number of connection slots; FindAndLockConnection reserves
// one for the caller until the returned guard dies, and answers with an empty guard when every
// slot stays held for the configured connection wait (a short, bounded time). Each guard keeps its
// pool alive. A connection connects on first use and, when the server closed it or a command
// failed, reconnects on its next use. Every command is bounded by the configured command time-out
// as a whole; a failure raises RedisException (RedisTimeoutException for a time-out) and resets the
// connection. Thread contract: the pool is safe for concurrent use; a RedisConnection is not
// thread-safe: use it from one thread at a time (which holding its guard ensures).
// On a cluster a connection holds one socket per node and sends each command to the master of
// its key's slot; the pool's connections share one slot map, corrected by MOVED redirects and
// fetched again when a node stops answering, so a caller sees no difference (see
// RedisClusterRouter.h).
// With pipelining on (the default) a guard still reserves one of the slots, but the short
// stateless commands of all slots travel over one shared connection per server (per node on a
// cluster), written together when threads issue them at once and answered in order (see
// RedisPipeline.h); each command keeps its own time-out, and a command lost after it was
// written is never sent again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velredis/RedisConfig.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"

struct redisContext;
struct redisReply;

namespace velmora::caching {

namespace detail {
class RedisSocket;
class RedisClusterRouter;
class RedisClusterConnection;
class RedisPipeline;
}  // namespace detail

// A reply, copied out of the client library's reply object.
struct VELPLATFORM_EXPORT RedisReplyValue {
    enum class Type { Nil, Status, Error, Integer, String, Array };
    Type type = Type::Nil;
    long long integer = 0;
    std::string text;  // String, Status and Error replies (binary-safe)
    std::vector<RedisReplyValue> elements;
};

// What a pool's connections met on a cluster (all 0 for a single server).
struct RedisClusterStats {
    long long mapRefreshes = 0;  // slot maps fetched (CLUSTER SLOTS)
    long long moved = 0;         // MOVED redirects followed
    long long asked = 0;         // ASK redirects followed
};

class VELPLATFORM_EXPORT RedisConnection {
public:
    using Bytes = std::shared_ptr<std::vector<unsigned char>>;

    // In cluster mode every command goes to the node serving its key (its second argument, for
    // Command), following the cluster's redirects, and a PUBLISH to any node that answers; `router`
    // is the pool's shared knowledge of the cluster (a connection made without one keeps its own).
    // With `pipeline` (a single server's pool with pipelining on) the stateless commands of
    // small values go over that shared connection (see RedisEndpointConfig::pipelining).
    explicit RedisConnection(RedisEndpointConfig config,
                             std::shared_ptr<detail::RedisClusterRouter> router = nullptr,
                             std::shared_ptr<detail::RedisPipeline> pipeline = nullptr);
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    // The value's bytes; null when the key does not exist.
    Bytes Get(const std::string& key);
    // Stores without expiry (a null value stores zero bytes). False when the server refused.
    bool Set(const std::string& key, const Bytes& value);
    // Stores, expiring after `ttl`. False when the server refused (a ttl below 1 s, for one).
    bool SetEx(const std::string& key, std::chrono::seconds ttl, const Bytes& value);
    // Number of keys removed (0 when there was none).
    long long Del(const std::string& key);
    // Any command, arguments sent as they are. An error reply is returned, not raised.
    RedisReplyValue Command(const std::vector<std::string>& args);
    // As Command, finishing by `deadline` at the latest, and handing the client library's
    // context and reply to `inspect` (on this thread, before the reply is freed).
    RedisReplyValue Command(const std::vector<std::string>& args,
                            std::chrono::steady_clock::time_point deadline,
                            const std::function<void(redisContext*, redisReply*)>& inspect);

    // Several commands sent together and their replies read after (one round trip), all by
    // `deadline`. Error replies are returned, not raised. On a cluster the commands go one after
    // the other, each to the node serving its key.
    std::vector<RedisReplyValue> Pipeline(const std::vector<std::vector<std::string>>& commands,
                                          std::chrono::steady_clock::time_point deadline);
    // Several commands that stand alone, each bounded by `timeout`: on a single server sent
    // together (one round trip, all within one time-out); on a cluster one after the other,
    // each to the node serving its key (its second argument), a PUBLISH to any node that
    // answers. A reply is empty when its command failed or timed out, and the others still run
    // (on a single server a lost connection fails them all). Error replies are returned.
    std::vector<std::optional<RedisReplyValue>> PipelineEach(
        const std::vector<std::vector<std::string>>& commands, std::chrono::milliseconds timeout);
    // As Command, but on a cluster run on the node serving `routingKey` whatever the arguments
    // (INFO of the node that holds a key, for one). Raises as Command does.
    RedisReplyValue CommandOnNodeOf(std::string_view routingKey,
                                    const std::vector<std::string>& args,
                                    std::chrono::steady_clock::time_point deadline);

    // Connections made so far (the first one included), the shared one's included.
    long long GetConnectCount() const;
    // The socket descriptor, -1 when there is none; for diagnostics.
    int GetSocketForDiagnostics() const;

private:
    std::unique_ptr<detail::RedisSocket> m_socket;
    std::shared_ptr<detail::RedisClusterRouter> m_router;       // null for a single server
    std::unique_ptr<detail::RedisClusterConnection> m_cluster;  // made on first cluster command
    std::shared_ptr<detail::RedisPipeline> m_pipeline;          // null when not pipelining
};

class RedisConnectionPool;

// A connection reserved for its holder; destroying the guard gives it back.
class VELPLATFORM_EXPORT RedisConnectionGuard {
public:
    RedisConnectionGuard(std::shared_ptr<RedisConnectionPool> pool, std::size_t slot,
                         RedisConnection& connection);
    ~RedisConnectionGuard();
    RedisConnectionGuard(const RedisConnectionGuard&) = delete;
    RedisConnectionGuard& operator=(const RedisConnectionGuard&) = delete;

    RedisConnection& GetConnection() { return m_connection; }

private:
    const std::shared_ptr<RedisConnectionPool> m_pool;
    const std::size_t m_slot;
    RedisConnection& m_connection;
};

class VELPLATFORM_EXPORT RedisConnectionPool
    : public std::enable_shared_from_this<RedisConnectionPool> {
public:
    // REQUIRES: owned by a std::shared_ptr (guards share it).
    explicit RedisConnectionPool(RedisEndpointConfig config);
    ~RedisConnectionPool();

    // The process's pool, made from GetRedisConfiguration on first use; never empty.
    static std::shared_ptr<RedisConnectionPool> GetSharedInstance();

    // Reserves a free connection, trying first the slot that `key` maps to. Returns an empty
    // pointer when every connection stays held for the configured connectionWait, or when the
    // shared connection's queue stays over its bound that long (pipelining).
    std::unique_ptr<RedisConnectionGuard> FindAndLockConnection(const std::string& key);
    // Reserves a free connection, waiting at most `wait` for one; empty when none came free.
    std::unique_ptr<RedisConnectionGuard> LockConnection(std::chrono::milliseconds wait);

    // Points the pool at another endpoint: idle connections are replaced now, held ones when
    // their guard gives them back. The pool grows to the new size but never shrinks.
    void Reconfigure(const RedisEndpointConfig& config);
    // Closes the pool for good: idle connections close now, held ones when their guard gives
    // them back, and every later FindAndLockConnection or LockConnection answers with an empty
    // guard at once. Returns false, changing nothing, when it was closed already.
    bool Close();
    int GetSize() const;
    // The configuration in force, with the pool size and command time-out as resolved (see
    // RedisEndpointConfig).
    RedisEndpointConfig GetConfig() const;
    RedisClusterStats GetClusterStats() const;
    // The cluster's nodes as "host:port": the seeds, then every other node the cluster named;
    // empty for a single server.
    std::vector<std::string> GetClusterNodes() const;
    // As GetClusterNodes, after asking the cluster for its layout when none is known yet
    // (waiting at most `wait`; the seeds alone when no node answered).
    std::vector<std::string> DiscoverClusterNodes(std::chrono::milliseconds wait) const;

private:
    friend class RedisConnectionGuard;
    void Unlock(std::size_t slot);
    // Marks `slot` held and makes its guard. REQUIRES: m_mutex held; the slot is free.
    std::unique_ptr<RedisConnectionGuard> LockSlotLocked(std::size_t slot) VEL_REQUIRES(m_mutex);

    struct Slot {
        std::unique_ptr<RedisConnection> connection;
        bool locked = false;
        bool stale = false;  // replace when given back
    };

    mutable TMutex m_mutex;
    std::condition_variable m_freed;
    RedisEndpointConfig m_config VEL_GUARDED_BY(m_mutex);
    // null for a single server
    std::shared_ptr<detail::RedisClusterRouter> m_router VEL_GUARDED_BY(m_mutex);
    // The connection the slots share; null for a cluster or with pipelining off.
    std::shared_ptr<detail::RedisPipeline> m_pipeline VEL_GUARDED_BY(m_mutex);
    std::vector<Slot> m_slots VEL_GUARDED_BY(m_mutex);
    bool m_closed VEL_GUARDED_BY(m_mutex) = false;
};

}  // namespace velmora::caching
