#include "velredis/RedisClusterRouter.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <thread>

#include "velredis/RedisClusterSlot.h"
#include "velredis/RedisConnectionPool.h"

namespace velmora::caching::detail {

namespace {

// How long a command waits before it tries again while a node is unreachable or the cluster is
// down (a failover in progress): long enough not to flood the surviving nodes, short against
// the time a failover takes.
constexpr auto kRetryPause = std::chrono::milliseconds(50);

// How often a command tries a node that is known to be down (see MayTry).
constexpr auto kDownProbeInterval = std::chrono::milliseconds(200);

void Pause(Clock::time_point deadline) {
    const auto until = std::min(deadline, Clock::now() + kRetryPause);
    std::this_thread::sleep_until(until);
}

// Answers that mean "not now" rather than "no": the slot has no master for the moment (the
// cluster is down while a failover runs), or the node is still loading its data.
bool IsTransient(std::string_view error) {
    return error.starts_with("CLUSTERDOWN") || error.starts_with("TRYAGAIN") ||
           error.starts_with("LOADING") || error.starts_with("MASTERDOWN");
}

}  // namespace

// ---- RedisClusterRouter --------------------------------------------------------------------

std::shared_ptr<RedisClusterRouter> RedisClusterRouter::Make(const RedisEndpointConfig& config) {
    if (config.mode == RedisMode::SingleServer) return nullptr;
    std::vector<RedisNodeAddress> seeds;
    for (const std::string& text : config.clusterNodes) {
        auto node = RedisNodeAddress::Parse(text);
        if (!node) throw RedisException("Not a Redis node address (host:port): " + text);
        seeds.push_back(std::move(*node));
    }
    if (seeds.empty()) seeds.push_back({config.host, config.port});
    return std::make_shared<RedisClusterRouter>(config, std::move(seeds));
}

RedisClusterRouter::RedisClusterRouter(RedisEndpointConfig config,
                                       std::vector<RedisNodeAddress> seeds)
    : m_config(std::move(config)), m_seeds(std::move(seeds)) {
    if (m_config.mode == RedisMode::Cluster) m_isCluster = 1;
}

RedisEndpointConfig RedisClusterRouter::ConfigFor(const RedisNodeAddress& node) const {
    RedisEndpointConfig config = m_config;
    config.mode = RedisMode::SingleServer;
    config.clusterNodes.clear();
    config.host = node.host;
    config.port = node.port;
    config.unixSocket.clear();
    return config;
}

bool RedisClusterRouter::IsCluster(Clock::time_point deadline) {
    const int known = m_isCluster.load(std::memory_order_acquire);
    if (known >= 0) return known == 1;
    // Concurrent first callers may each ask; they all get the same answer.
    std::string lastError;
    for (const RedisNodeAddress& node : m_seeds) {
        if (Clock::now() >= deadline) break;
        try {
            RedisConnection connection(ConfigFor(node));
            const RedisReplyValue info = connection.Command({"INFO", "cluster"}, deadline, nullptr);
            if (info.type != RedisReplyValue::Type::String) continue;
            const bool cluster = info.text.find("cluster_enabled:1") != std::string::npos;
            m_isCluster.store(cluster ? 1 : 0, std::memory_order_release);
            return cluster;
        } catch (const RedisException& e) {
            lastError = node.ToString() + ": " + e.what();  // ask the next seed
        }
    }
    throw RedisException("Cannot reach a Redis node to learn whether it is a cluster" +
                         (lastError.empty() ? std::string(".") : " (" + lastError + ")"));
}

std::optional<RedisNodeAddress> RedisClusterRouter::MasterOf(int slot, Clock::time_point deadline) {
    // One caller fetches the map that a time-out asked for; the others go on with the old one.
    // Read first: a write on every call would bounce the flag's cache line between threads.
    if (m_refreshWanted.load(std::memory_order_relaxed) && m_refreshWanted.exchange(false))
        Refresh(Version(), deadline);
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::uint64_t seen;
        {
            TSharedMutexReadLock lock(m_mapMutex);
            if (m_haveMap) {
                const RedisNodeAddress* node = m_map.MasterOf(slot);
                return node ? std::optional<RedisNodeAddress>(*node) : std::nullopt;
            }
            seen = Version();
        }
        if (!Refresh(seen, deadline)) break;
    }
    return std::nullopt;
}

std::vector<RedisNodeAddress> RedisClusterRouter::Nodes() const {
    std::vector<RedisNodeAddress> nodes = m_seeds;
    TSharedMutexReadLock lock(m_mapMutex);
    for (const RedisNodeAddress& node : m_map.KnownNodes())
        if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) nodes.push_back(node);
    return nodes;
}

RedisClusterStats RedisClusterRouter::GetStats() const {
    return {m_refreshes.load(), m_moved.load(), m_asked.load()};
}

void RedisClusterRouter::CountRedirect(RedisRedirect::Kind kind) {
    (kind == RedisRedirect::Kind::Moved ? m_moved : m_asked).fetch_add(1);
}

void RedisClusterRouter::OnTimeout(const RedisNodeAddress& node) {
    {
        TSharedMutexLock lock(m_mapMutex);
        m_lastFailed = node;
    }
    m_refreshWanted = true;
}

bool RedisClusterRouter::MayTry(const RedisNodeAddress& node) {
    if (!m_anyDown.load(std::memory_order_acquire)) return true;
    TMutexLock lock(m_downMutex);
    const auto it = m_down.find(node);
    if (it == m_down.end()) return true;
    const auto now = Clock::now();
    if (now < it->second) return false;
    // This caller probes; the others keep failing at once until it is through.
    it->second = now + m_config.commandTimeout + kDownProbeInterval;
    return true;
}

bool RedisClusterRouter::DownRefreshDue() {
    const Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep last = m_lastDownRefresh.load(std::memory_order_relaxed);
    const Clock::rep interval =
        std::chrono::duration_cast<Clock::duration>(kDownProbeInterval / 2).count();
    return now - last >= interval &&
           m_lastDownRefresh.compare_exchange_strong(last, now, std::memory_order_relaxed);
}

void RedisClusterRouter::MarkDown(const RedisNodeAddress& node) {
    TMutexLock lock(m_downMutex);
    m_down[node] = Clock::now() + kDownProbeInterval;
    m_anyDown.store(true, std::memory_order_release);
}

void RedisClusterRouter::MarkUp(const RedisNodeAddress& node) {
    if (!m_anyDown.load(std::memory_order_acquire)) return;
    TMutexLock lock(m_downMutex);
    m_down.erase(node);
    m_anyDown.store(!m_down.empty(), std::memory_order_release);
}

void RedisClusterRouter::OnMoved(int slot, const RedisNodeAddress& node) {
    TSharedMutexLock lock(m_mapMutex);
    m_map.Assign(slot, node);
}

bool RedisClusterRouter::Refresh(std::uint64_t seenVersion, Clock::time_point deadline,
                                 const RedisNodeAddress* failed) {
    {
        // Another caller may be fetching already: wait for it, but not past the deadline.
        TMutexLock lock(m_refreshMutex);
        if (!m_refreshDone.wait_until(lock.Native(), deadline,
                                      [this]()
                                          VEL_REQUIRES(m_refreshMutex) { return !m_refreshing; }))
            return false;
        if (Version() != seenVersion) return true;  // fetched while this caller waited
        m_refreshing = true;
    }
    const bool fetched = Fetch(deadline, failed);
    {
        TMutexLock lock(m_refreshMutex);
        m_refreshing = false;
    }
    m_refreshDone.notify_all();
    return fetched;
}

bool RedisClusterRouter::Fetch(Clock::time_point deadline, const RedisNodeAddress* failed) {
    std::vector<RedisNodeAddress> candidates = Nodes();
    RedisNodeAddress lastFailed;
    {
        TSharedMutexLock lock(m_mapMutex);
        if (failed) m_lastFailed = *failed;
        lastFailed = m_lastFailed;
    }
    const auto askLast = [&candidates](const RedisNodeAddress& node) {
        const auto it = std::find(candidates.begin(), candidates.end(), node);
        if (it != candidates.end()) std::rotate(it, it + 1, candidates.end());
    };
    if (lastFailed.port != 0) askLast(lastFailed);
    if (failed) askLast(*failed);
    for (const RedisNodeAddress& node : candidates) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        // A frozen node must not use up the whole deadline: each gets half a command time-out.
        const auto nodeDeadline = std::min(deadline, now + m_config.commandTimeout / 2);
        try {
            RedisConnection connection(ConfigFor(node));
            RedisSlotMap map = RedisSlotMap::FromClusterSlots(
                connection.Command({"CLUSTER", "SLOTS"}, nodeDeadline, nullptr), node.host);
            if (map.AssignedSlots() == 0) continue;  // a node that has not joined yet
            const std::vector<RedisNodeAddress> masters = map.Masters();
            {
                TSharedMutexLock lock(m_mapMutex);
                m_map = std::move(map);
                m_haveMap = true;
            }
            if (m_anyDown.load(std::memory_order_acquire)) {
                // A node that serves no slot any more is not asked: forget that it was down.
                TMutexLock lock(m_downMutex);
                std::erase_if(m_down, [&](const auto& entry) {
                    return std::find(masters.begin(), masters.end(), entry.first) == masters.end();
                });
                m_anyDown.store(!m_down.empty(), std::memory_order_release);
            }
            m_version.fetch_add(1, std::memory_order_acq_rel);
            m_refreshes.fetch_add(1);
            return true;
        } catch (...) {
            // Unreachable or not a cluster node: ask the next one.
        }
    }
    return false;
}

std::shared_ptr<RedisPipeline> RedisClusterRouter::PipelineFor(const RedisNodeAddress& node) {
    if (!m_config.pipelining) return nullptr;
    TMutexLock lock(m_pipelinesMutex);
    std::shared_ptr<RedisPipeline>& pipeline = m_pipelines[node];
    if (!pipeline) pipeline = std::make_shared<RedisPipeline>(ConfigFor(node));
    return pipeline;
}

// ---- RedisClusterConnection ----------------------------------------------------------------

RedisClusterConnection::RedisClusterConnection(std::shared_ptr<RedisClusterRouter> router)
    : m_router(std::move(router)) {}

RedisClusterConnection::~RedisClusterConnection() = default;

long long RedisClusterConnection::ConnectCount() const {
    long long count = 0;
    for (const auto& [node, socket] : m_sockets) count += socket->ConnectCount();
    return count;
}

RedisSocket& RedisClusterConnection::SocketFor(const RedisNodeAddress& node) {
    auto& socket = m_sockets[node];
    if (!socket) socket = std::make_unique<RedisSocket>(m_router->ConfigFor(node));
    return *socket;
}

ReplyPtr RedisClusterConnection::Run(std::string_view key,
                                     const std::vector<std::string_view>& args,
                                     Clock::time_point deadline, bool shared) {
    const int slot = RedisKeySlot(key);
    std::optional<RedisNodeAddress> ask;  // the importing node of an ASK redirect
    int redirects = 0;
    std::string lastError;  // built only on the way to a failure
    const auto giveUp = [&] {
        if (lastError.empty()) lastError = "no node serves slot " + std::to_string(slot);
        throw RedisTimeoutException("Redis cluster command timed out: " + lastError);
    };
    for (;;) {
        if (Clock::now() >= deadline) giveUp();
        const std::uint64_t version = m_router->Version();
        const std::optional<RedisNodeAddress> node = ask ? ask : m_router->MasterOf(slot, deadline);
        if (!node) {
            Pause(deadline);
            m_router->Refresh(version, deadline);
            continue;
        }
        if (!ask && !m_router->MayTry(*node)) {
            if (m_router->DownRefreshDue() && m_router->Refresh(version, deadline, &*node) &&
                m_router->Version() != version)
                continue;  // a fresh map: the slot may have a new master
            if (lastError.empty()) lastError = node->ToString() + " is down";
            throw RedisException("Redis cluster node unavailable for slot " + std::to_string(slot) +
                                 ": " + lastError);
        }
        ReplyPtr reply;
        try {
            reply = RunOn(*node, args, deadline, ask.has_value(), shared);
            m_router->MarkUp(*node);
        } catch (const RedisTimeoutException&) {
            m_router->OnTimeout(*node);
            m_router->MarkDown(*node);
            throw;  // the deadline has passed
        } catch (const RedisLostAfterWriteException&) {
            // The node may have run it: never sent twice. Later commands find a fresh map.
            m_router->OnTimeout(*node);
            throw;
        } catch (const RedisException& e) {
            // The node went away (killed, restarted, failed over): ask for the layout again.
            lastError = node->ToString() + ": " + e.what();
            ask.reset();
            Pause(deadline);
            m_router->Refresh(version, deadline, &*node);
            continue;
        }
        if (reply->type != REDIS_REPLY_ERROR) return reply;
        const std::string_view text(reply->str, reply->len);
        if (FollowRedirect(text, node->host, slot, redirects, ask)) continue;
        if (!IsTransient(text)) return reply;
        lastError = node->ToString() + ": " + std::string(text);
        ask.reset();
        Pause(deadline);
        m_router->Refresh(version, deadline, &*node);
    }
}

bool RedisClusterConnection::FollowRedirect(std::string_view text, const std::string& host,
                                            int slot, int& redirects,
                                            std::optional<RedisNodeAddress>& ask) {
    const RedisRedirect redirect = RedisRedirect::Parse(text, host);
    if (redirect.kind == RedisRedirect::Kind::None) return false;
    m_router->CountRedirect(redirect.kind);
    if (++redirects > m_router->MaxRedirects())
        throw RedisException("Too many Redis cluster redirects for slot " + std::to_string(slot) +
                             ", the last: " + std::string(text));
    if (redirect.kind == RedisRedirect::Kind::Moved) {
        m_router->OnMoved(redirect.slot, redirect.node);
        ask.reset();
    } else {
        ask = redirect.node;
    }
    return true;
}

ReplyPtr RedisClusterConnection::RunOn(const RedisNodeAddress& node,
                                       const std::vector<std::string_view>& args,
                                       Clock::time_point deadline, bool asking, bool shared) {
    if (shared) {
        if (const std::shared_ptr<RedisPipeline> pipeline = m_router->PipelineFor(node)) {
            try {
                return pipeline->Run(args, deadline, asking);
            } catch (const RedisLostAfterWriteException&) {
                throw;
            } catch (const RedisTimeoutException&) {
                throw;
            } catch (const RedisException&) {
                m_router->MarkDown(node);  // refused: dead, or not listening yet
                throw;
            }
        }
    }
    RedisSocket& socket = SocketFor(node);
    m_last = &socket;
    if (!socket.IsIdleHealthy()) {
        socket.Disconnect();
        try {
            socket.Connect();
        } catch (const RedisException&) {
            m_router->MarkDown(node);  // refused: dead, or not listening yet
            throw;
        }
    }
    if (asking) {
        socket.Send({"ASKING"}, deadline);
        socket.Read(deadline);
    }
    socket.Send(args, deadline);
    return socket.Read(deadline);
}

ReplyPtr RedisClusterConnection::RunOnAnyNode(const std::vector<std::string_view>& args,
                                              Clock::time_point deadline) {
    const std::vector<RedisNodeAddress> nodes = m_router->Nodes();
    const std::size_t start = m_router->AnyNode();
    std::string lastError = "no node known";
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        const std::size_t index = (start + i) % nodes.size();
        const RedisNodeAddress& node = nodes[index];
        const auto nodeDeadline = std::min(deadline, now + m_router->NodeTimeout());
        try {
            RedisSocket& socket = SocketFor(node);
            m_last = &socket;
            if (!socket.IsIdleHealthy()) {
                socket.Disconnect();
                socket.Connect();
            }
            socket.Send(args, nodeDeadline);
            ReplyPtr reply = socket.Read(nodeDeadline);
            if (reply->type != REDIS_REPLY_ERROR || !IsTransient({reply->str, reply->len}))
                return reply;
            lastError = node.ToString() + ": " + std::string(reply->str, reply->len);
        } catch (const RedisException& e) {
            lastError = node.ToString() + ": " + e.what();
        }
        m_router->SkipAnyNode(index);
    }
    throw RedisTimeoutException("No Redis cluster node answered: " + lastError);
}

}  // namespace velmora::caching::detail
