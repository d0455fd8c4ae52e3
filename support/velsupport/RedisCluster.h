// A private Redis cluster for the tests and benchmarks: masters with replicas, every node a
// RedisServer in cluster mode, joined by `redis-cli --cluster create`, stopped when the object
// goes. Creating one takes a few seconds, so a test binary shares one (Shared); tests that kill
// or reshape it put it back (a node started again rejoins, a failed-over master as a replica) or
// leave it serving every slot.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velsupport/RedisServer.h"

namespace velsupport {

class RedisCluster {
public:
    // The process's cluster (3 masters, one replica each), created on first call; `error`
    // receives why it could not be made (empty on success). Stopped when the process exits.
    static RedisCluster& Shared(std::string& error);

    // Starts `masters` masters with `replicasPerMaster` replicas each, with the given cluster
    // node time-out (how long until a silent master is failed over), and waits until every node
    // reports cluster_state:ok and every replica is in sync. Empty on success, else what failed.
    // With `tls`, every node speaks TLS only, on its client port, its cluster bus and its
    // replication link.
    std::string Start(int masters, int replicasPerMaster, std::chrono::milliseconds nodeTimeout,
                      const std::optional<RedisServerTls>& tls = std::nullopt);

    // Every node's port, masters first as created.
    const std::vector<int>& Ports() const { return m_ports; }
    // The node on `port`, to stop, freeze or start again.
    RedisServer& Node(int port) const;
    // Ports of the nodes that currently serve slots, as the node at `askPort` sees them.
    std::vector<int> MasterPorts(int askPort) const;
    velmora::caching::RedisReplyValue Command(int port,
                                              const std::vector<std::string>& args) const {
        return Node(port).Command(args);
    }
    // A field of INFO (for example "cluster_state"), empty when missing or unreachable.
    std::string Info(int port, const std::string& field) const;
    // Waits until every running node reports cluster_state:ok; false after `wait`.
    bool WaitUntilOk(std::chrono::milliseconds wait) const;
    // An endpoint configuration with short time-outs suited to tests, naming the first node.
    velmora::caching::RedisEndpointConfig MakeConfig() const { return m_nodes.at(0)->MakeConfig(); }

private:
    std::vector<std::unique_ptr<RedisServer>> m_nodes;
    std::vector<int> m_ports;
};

}  // namespace velsupport
