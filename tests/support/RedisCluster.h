// A private Redis cluster for tests and benchmarks: 3 masters with one replica each, every node
// a redis-server started with cluster mode on free loopback ports (the cluster bus takes the
// port + 10000), joined by `redis-cli --cluster create`, and stopped when the object goes.
// Creating one takes a few seconds, so a test binary shares one (Shared); tests that kill or
// reshape it put it back (RestartNode) or leave it serving every slot.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"

namespace veltest {

class RedisCluster {
public:
    RedisCluster() = default;
    ~RedisCluster();
    RedisCluster(const RedisCluster&) = delete;
    RedisCluster& operator=(const RedisCluster&) = delete;

    // The process's cluster, created on first call; `error` receives why it could not be made
    // (empty on success). Stopped when the process exits.
    static RedisCluster& Shared(std::string& error);

    // Starts `masters` masters with `replicasPerMaster` replicas each, with the given cluster
    // node time-out (how long until a silent master is failed over), and waits until every node
    // reports cluster_state:ok and every replica is in sync. Empty on success, else what failed.
    std::string Start(int masters, int replicasPerMaster, std::chrono::milliseconds nodeTimeout);
    void Stop();

    // Every node's port, masters first as created.
    const std::vector<int>& Ports() const { return m_ports; }
    // Ports of the nodes that currently serve slots, as the node at `askPort` sees them.
    std::vector<int> MasterPorts(int askPort) const;

    // One command on a fresh connection to the node at `port`; an Error reply with the
    // exception text when the node cannot be reached.
    velmora::caching::RedisReplyValue Command(int port, const std::vector<std::string>& args) const;
    // A field of INFO (for example "cluster_state"), empty when missing or unreachable.
    std::string Info(int port, const std::string& field) const;

    // SIGKILL, and reaps the process.
    void KillNode(int port);
    // Sends `signal` to the node (SIGSTOP to freeze it, SIGCONT to thaw it).
    void SignalNode(int port, int signal);
    // Starts a killed node again with its cluster state; it rejoins (a failed-over master as a
    // replica). Empty on success.
    std::string RestartNode(int port);
    // Waits until every live node reports cluster_state:ok; false after `wait`.
    bool WaitUntilOk(std::chrono::milliseconds wait) const;

    // An endpoint configuration with short time-outs suited to tests. Its host and port name the
    // first node.
    velmora::caching::RedisEndpointConfig MakeConfig() const;

private:
    std::string Spawn(std::size_t node);

    std::chrono::milliseconds m_nodeTimeout{2000};
    std::vector<int> m_ports;
    std::vector<pid_t> m_pids;
    std::string m_dir;
};

}  // namespace veltest
