// Internal to velredis: what one pool (or subscriber) knows of a Redis cluster's layout, and the
// connections that route each command to the node serving its key.
//
// A RedisClusterRouter keeps the slot map of one cluster, shared by every connection of a pool.
// It learns the map from CLUSTER SLOTS of any node it knows (the seed nodes first, then every
// node the last map named), corrects single slots as MOVED redirects arrive, and asks again when
// a node stops answering. Concurrent requests for a fresh map are folded into one.
//
// A RedisClusterConnection belongs to one pooled connection: it keeps one socket per node,
// opened on first use, and runs each command on the master of its key's slot, following MOVED
// (the map is corrected) and ASK (ASKING, then the command, on the importing node) up to a bound,
// and retrying through a fresh map while a node is unreachable or the cluster is down, until the
// command's deadline.
// Thread contract: the router is safe for concurrent use (it takes m_mapMutex briefly for every
// look-up, and m_refreshMutex briefly to claim or wait for the one fetch that may run at a time;
// no lock is held while a node is asked); a
// RedisClusterConnection is not thread-safe: use it from one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velredis/RedisPipeline.h"
#include "velredis/RedisSlotMap.h"
#include "velredis/RedisSocket.h"
#include "velsys/Locks.h"

namespace velmora::caching::detail {

class RedisClusterRouter {
public:
    // The router for `config`: null for a single server. The seeds are config.clusterNodes, or
    // host and port when that is empty. Raises RedisException for a seed that is not
    // "host:port".
    static std::shared_ptr<RedisClusterRouter> Make(const RedisEndpointConfig& config);
    // `config` gives the mode, time-outs and login for every node; `seeds` are the nodes asked
    // first. REQUIRES: `seeds` is not empty.
    RedisClusterRouter(RedisEndpointConfig config, std::vector<RedisNodeAddress> seeds);

    // Whether the endpoint is a cluster: as configured, or, in Detect mode, as the first seed
    // that answers INFO says (asked once). Raises RedisException when Detect finds no seed
    // answering by `deadline`.
    bool IsCluster(Clock::time_point deadline);
    const RedisNodeAddress& FirstSeed() const { return m_seeds.front(); }
    // The seeds, then every other node the last map named.
    std::vector<RedisNodeAddress> Nodes() const;

    // The master of `slot`, fetching a map first when none is known yet; empty when no node
    // answered by `deadline`.
    std::optional<RedisNodeAddress> MasterOf(int slot, Clock::time_point deadline);
    // The version of the map in use; it changes with every fetched map.
    std::uint64_t Version() const { return m_version.load(std::memory_order_acquire); }
    // A MOVED redirect: `node` serves `slot` from now on.
    void OnMoved(int slot, const RedisNodeAddress& node);
    // Asks the cluster for a fresh map, unless one newer than `seenVersion` was fetched
    // meanwhile. `failed` (when set) and the node that failed last are asked last. False when no
    // node answered by `deadline`.
    bool Refresh(std::uint64_t seenVersion, Clock::time_point deadline,
                 const RedisNodeAddress* failed = nullptr);
    // `node` did not answer in time (frozen, or cut off): the next look-up fetches a fresh map
    // first, asking `node` last, since the cluster may be failing it over.
    void OnTimeout(const RedisNodeAddress& node);

    // Whether a command may go to `node` now. A node that refused a connection or let a command
    // time out counts as down: commands for it fail at once instead of each waiting out its
    // time-out, except one every kDownProbeInterval that tries it again (and, failing, fetches
    // a fresh map, which names the promoted replica once the cluster has failed the node
    // over). True for every node while none is down (one atomic read).
    bool MayTry(const RedisNodeAddress& node);
    // Whether a command that found its node down should fetch a fresh map (the cluster may
    // have promoted a replica meanwhile): true for one caller every kDownProbeInterval / 2.
    bool DownRefreshDue();
    // `node` refused a connection or let a command time out.
    void MarkDown(const RedisNodeAddress& node);
    // `node` answered.
    void MarkUp(const RedisNodeAddress& node);
    // The connection settings for one node: the pool's, pointed at `node`.
    RedisEndpointConfig ConfigFor(const RedisNodeAddress& node) const;
    int MaxRedirects() const { return 5; }
    // Where a command that any node can run (PUBLISH) starts looking: an index into Nodes().
    std::size_t AnyNode() const { return m_anyNode.load(std::memory_order_relaxed); }
    // The node at `index` of Nodes() did not answer such a command: later ones start after it.
    void SkipAnyNode(std::size_t index) { m_anyNode.store(index + 1, std::memory_order_relaxed); }
    // How long one node may take over a command that another node could run instead: half a
    // command time-out, so that a frozen node leaves time to try the next one.
    std::chrono::milliseconds NodeTimeout() const { return m_config.commandTimeout / 2; }
    // The connection to `node` that the pool's connections share for short stateless commands
    // (see RedisPipeline.h), made on first use; null with pipelining off.
    std::shared_ptr<RedisPipeline> PipelineFor(const RedisNodeAddress& node);
    // What the pool's connections met so far.
    RedisClusterStats GetStats() const;
    void CountRedirect(RedisRedirect::Kind kind);

private:
    // Asks the candidates in turn for CLUSTER SLOTS and installs the first complete answer.
    bool Fetch(Clock::time_point deadline, const RedisNodeAddress* failed);

    const RedisEndpointConfig m_config;           // Constant after construction.
    const std::vector<RedisNodeAddress> m_seeds;  // Constant after construction.

    mutable TSharedMutex m_mapMutex;
    RedisSlotMap m_map VEL_GUARDED_BY(m_mapMutex);
    bool m_haveMap VEL_GUARDED_BY(m_mapMutex) = false;
    // asked last for a map; port 0 for none
    RedisNodeAddress m_lastFailed VEL_GUARDED_BY(m_mapMutex);

    // One caller at a time fetches a map (m_refreshing); the others wait for it on
    // m_refreshDone, each until its deadline.
    TMutex m_refreshMutex;
    std::condition_variable m_refreshDone;
    bool m_refreshing VEL_GUARDED_BY(m_refreshMutex) = false;
    std::atomic<bool> m_refreshWanted{false};
    std::atomic<std::uint64_t> m_version{0};
    std::atomic<int> m_isCluster{-1};  // -1 until known, then 0 or 1
    std::atomic<std::size_t> m_anyNode{0};
    // Nodes known to be down, each with the time a command may next try it. Fetch drops the
    // nodes that no longer serve a slot.
    TMutex m_downMutex;
    std::map<RedisNodeAddress, Clock::time_point> m_down VEL_GUARDED_BY(m_downMutex);
    std::atomic<bool> m_anyDown{false};            // !m_down.empty()
    std::atomic<Clock::rep> m_lastDownRefresh{0};  // steady-clock ticks
    TMutex m_pipelinesMutex;
    std::map<RedisNodeAddress, std::shared_ptr<RedisPipeline>> m_pipelines
        VEL_GUARDED_BY(m_pipelinesMutex);
    std::atomic<long long> m_refreshes{0};
    std::atomic<long long> m_moved{0};
    std::atomic<long long> m_asked{0};
};

class RedisClusterConnection {
public:
    explicit RedisClusterConnection(std::shared_ptr<RedisClusterRouter> router);
    ~RedisClusterConnection();
    RedisClusterConnection(const RedisClusterConnection&) = delete;
    RedisClusterConnection& operator=(const RedisClusterConnection&) = delete;

    // Runs `args` on the node serving `key`. Returns the reply (an error reply other than a
    // redirect or a cluster-down answer is returned as it is). Raises RedisTimeoutException when
    // `deadline` passes, RedisException when redirects exceed the bound or no node can be
    // reached by the deadline. With `shared` (a short stateless command) it goes over the
    // node's shared connection when the router has one; a command lost after it was written
    // there fails and is not sent again.
    ReplyPtr Run(std::string_view key, const std::vector<std::string_view>& args,
                 Clock::time_point deadline, bool shared = false);
    // Runs `args`, a command every node answers alike (PUBLISH: the cluster passes the message
    // on to every node), on the first node that answers, starting at the router's AnyNode. A
    // node gets at most the router's NodeTimeout; one that fails or is busy failing over is
    // skipped, for later commands too. Raises RedisTimeoutException when no node answered by
    // `deadline`.
    ReplyPtr RunOnAnyNode(const std::vector<std::string_view>& args, Clock::time_point deadline);
    // Connections made so far over every node.
    long long ConnectCount() const;
    // The client library's context of the node that answered the last command; null before.
    redisContext* LastContext() const { return m_last ? m_last->Context() : nullptr; }

private:
    RedisSocket& SocketFor(const RedisNodeAddress& node);
    // Sends `args` (after ASKING when `asking`) to `node` and reads the reply, by `deadline`.
    ReplyPtr RunOn(const RedisNodeAddress& node, const std::vector<std::string_view>& args,
                   Clock::time_point deadline, bool asking, bool shared);
    // When error reply `text` (from `host`) is a MOVED or ASK redirect for `slot`: counts it,
    // corrects the map (MOVED) or sets `ask` (ASK), and returns true; raises RedisException past
    // the redirect limit. False for any other error.
    bool FollowRedirect(std::string_view text, const std::string& host, int slot, int& redirects,
                        std::optional<RedisNodeAddress>& ask);

    const std::shared_ptr<RedisClusterRouter> m_router;
    std::map<RedisNodeAddress, std::unique_ptr<RedisSocket>> m_sockets;
    RedisSocket* m_last = nullptr;
};

}  // namespace velmora::caching::detail
