// Load leases: one loader per key across processes.
//
// A read-through cache that misses a key everywhere asks its leases for the key before it runs
// the loader. The process that takes the lease loads, stores the value in the shared layer,
// and releases the lease once that store has succeeded; the others poll the shared layer with
// back-off until the value is there or the lease lapses (then one of them takes it). A lease
// that cannot be asked for (the server down, slow or refusing) never holds a caller up: the
// cache falls back to its single flight within the process.
//
// RedisLoadLeases keeps each lease as one Redis key "<prefix>{<lease name>}" set with
// "SET ... NX PX <ttl>" to a random token, and releases it with a script that deletes the key
// only while it still holds that token (a holder whose lease lapsed never deletes the next
// holder's). Each call is bounded by its own command budget (not the pool's command time-out)
// and by the pool's connection wait; after a failure the leases answer Unavailable for
// `downFor` without asking, so a stopped server costs one budget per interval, not one per
// miss. Safe for concurrent use; takes a pooled connection per call and no lock of its own
// while it waits.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "VelcacheExport.h"

namespace velmora::caching {

class RedisConnectionPool;

/// One loader per key across processes (see the file's opening comment).
class VELCACHE_EXPORT ILoadLeases {
public:
    /// Taken: load; HeldElsewhere: wait for the holder's value; Unavailable: the leases cannot be
    /// asked (load within the process's single flight).
    enum class Outcome { Taken, HeldElsewhere, Unavailable };
    virtual ~ILoadLeases();
    /// Takes the lease `name` for `ttl` under `token` unless someone holds it.
    virtual Outcome TryTake(const std::string& name, const std::string& token,
                            std::chrono::milliseconds ttl) = 0;
    /// Gives the lease back if `token` still holds it.
    virtual void Release(const std::string& name, const std::string& token) = 0;
};

/// Leases as Redis keys, taken with SET NX PX and released by a script that deletes only the
/// holder's own. Safe for concurrent use.
class VELCACHE_EXPORT RedisLoadLeases final : public ILoadLeases {
public:
    /// REQUIRES: pool is not null.
    explicit RedisLoadLeases(
        std::shared_ptr<RedisConnectionPool> pool, std::string prefix = "velcache:lease:",
        std::chrono::milliseconds commandBudget = std::chrono::milliseconds(100),
        std::chrono::milliseconds downFor = std::chrono::milliseconds(1000));
    Outcome TryTake(const std::string& name, const std::string& token,
                    std::chrono::milliseconds ttl) override;
    void Release(const std::string& name, const std::string& token) override;

    /// The Redis key of lease `name`.
    std::string KeyOf(const std::string& name) const;

private:
    bool KnownDown() const;
    void MarkDown();

    const std::shared_ptr<RedisConnectionPool> m_pool;
    const std::string m_prefix;
    const std::chrono::milliseconds m_budget;
    const std::chrono::milliseconds m_downFor;
    std::atomic<long long> m_downUntilNs{0};  ///< steady clock
};

}  // namespace velmora::caching
