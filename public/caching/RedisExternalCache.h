// RedisExternalCache: the external cache that keeps byte buffers on a Redis server.
//
// A value lives under the Redis key namespace + ":" + key (narrowed by TString::toStdString,
// nothing escaped, so namespace "a" with key "b:c" and namespace "a:b" with key "c" meet). Each
// backend call borrows one pooled connection for one command; when none is free the store and
// drop do nothing and count as done, and the load counts as a miss. Expiry: without option
// ExternalCacheRedisAlwaysSetEx values never expire; with it they expire after the caller's
// positive ttlSec when feature flag 0x94AA12A3 is on, else after ExternalCacheRedisAlwaysSetExSec
// (both read on every store). Redis errors leave the backend call and become "fail" in the
// guarded procedure; a value Redis refuses is not detected. The cache shares its pool with
// every other user of it; the backend callables hold a reference, so they outlive the cache.
// Thread contract: safe for concurrent use.
#pragma once

#include <memory>
#include <string>

#include "VelcacheExport.h"
#include "caching/ExternalCache.h"

namespace velmora::caching {

class RedisConnectionPool;

/// Feature flag that lets a caller's positive time-to-live win over the option's expiry.
inline constexpr std::uint32_t kRedisCallerTtlFlag = 0x94AA12A3;

/// The most GETs one pipelined batch of LoadManyOnThisThread carries.
inline constexpr std::size_t kRedisLoadBatchSize = 64;

/// The external cache on a Redis server or cluster: values under "NS:KEY" (see the file's opening
/// comment).
class VELCACHE_EXPORT RedisExternalCache : public ExternalCache<TString, ExternalBytes> {
public:
    /// Uses the process's shared pool (RedisConnectionPool::GetSharedInstance).
    explicit RedisExternalCache(const TString& ns);
    /// REQUIRES: pool is not null.
    RedisExternalCache(const TString& ns, std::shared_ptr<RedisConnectionPool> pool);
    /// Shares the pool.
    RedisExternalCache(const RedisExternalCache&) = default;
    ~RedisExternalCache() override;

    /// The Redis key of `key` in namespace `ns`: ns + ":" + key, as narrow text.
    static std::string MakePhysicalCacheKey(const TString& ns, const TString& key);

    /// Why its server cannot serve it, "cannot reach Redis at <host:port>: <cause>"; "" when a
    /// PING is answered. Takes a connection of its own, at most the connect time-out plus one
    /// command time-out. Any thread.
    std::string Unreachable() const;
    /// The pool the cache's commands go through.
    const std::shared_ptr<RedisConnectionPool>& GetPool() const { return m_connectionPool; }

protected:
    StoreFunc GetStoreFunc() const override;
    LoadFunc GetLoadFunc() const override;
    DropFunc GetDropFunc() const override;
    /// Several loads go out as one pipelined batch of GETs on one pooled connection (one round
    /// trip on a single server; on a cluster each to its node, one after the other).
    std::size_t LoadBatchSize() const override;
    LoadManyFunc GetLoadManyFunc() const override;

private:
    std::shared_ptr<RedisConnectionPool> m_connectionPool;  ///< Constant after construction.
};

}  // namespace velmora::caching
