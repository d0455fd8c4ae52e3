#include "velsupport/RedisCluster.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "velsupport/Process.h"

namespace velsupport {

using Clock = std::chrono::steady_clock;

RedisCluster& RedisCluster::Shared(std::string& error) {
    static auto* cluster = new std::unique_ptr<RedisCluster>();
    static std::string failure;
    if (!*cluster) {
        *cluster = std::make_unique<RedisCluster>();
        failure = (*cluster)->Start(3, 1, std::chrono::milliseconds(1500));
        // Stops the nodes when the process exits normally.
        std::atexit([] { cluster->reset(); });
    }
    error = failure;
    return **cluster;
}

std::string RedisCluster::Start(int masters, int replicasPerMaster,
                                std::chrono::milliseconds nodeTimeout,
                                const std::optional<RedisServerTls>& tls) {
    if (!IsOnPath("redis-cli"))
        return "redis-cli is not installed (the redis-tools package provides it)";
    std::string create = "timeout 60 redis-cli";
    if (tls) {
        create += " --tls --cacert '" + tls->caFile + "'";
        if (!tls->clientCertFile.empty())
            create += " --cert '" + tls->clientCertFile + "' --key '" + tls->clientKeyFile + "'";
    }
    create += " --cluster create";
    for (int i = 0; i < masters * (1 + replicasPerMaster); ++i) {
        const std::string config =
            "cluster-enabled yes\ncluster-config-file nodes.conf\ncluster-port " +
            std::to_string(FreeLoopbackPort()) + "\ncluster-node-timeout " +
            std::to_string(nodeTimeout.count()) +
            "\ncluster-replica-validity-factor 0\nrepl-diskless-sync-delay 0\n";
        m_nodes.push_back(tls ? std::make_unique<RedisServer>(
                                    *tls, config + "tls-cluster yes\ntls-replication yes\n")
                              : std::make_unique<RedisServer>(config));
        if (std::string error = m_nodes.back()->Start(); !error.empty()) return error;
        m_ports.push_back(m_nodes.back()->Port());
        create += " 127.0.0.1:" + std::to_string(m_ports.back());
    }
    create += " --cluster-replicas " + std::to_string(replicasPerMaster) +
              " --cluster-yes >/dev/null 2>&1";
    if (std::system(create.c_str()) != 0) return "redis-cli --cluster create failed";
    if (!WaitUntilOk(std::chrono::seconds(20))) return "the cluster did not reach cluster_state:ok";
    // Replicas in sync, so that a killed master can be failed over at once. (CLUSTER SLOTS may
    // list them only seconds later.)
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (int port : m_ports)
        while (Info(port, "role") == "slave" && Info(port, "master_link_status") != "up") {
            if (Clock::now() > deadline) return "a replica did not sync with its master";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    return "";
}

RedisServer& RedisCluster::Node(int port) const {
    for (std::size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i] == port) return *m_nodes[i];
    throw std::out_of_range("no cluster node on port " + std::to_string(port));
}

std::string RedisCluster::Info(int port, const std::string& field) const {
    const auto reply =
        Command(port, field.starts_with("cluster_") ? std::vector<std::string>{"CLUSTER", "INFO"}
                                                    : std::vector<std::string>{"INFO"});
    const std::string needle = field + ":";
    std::istringstream lines(reply.text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with(needle)) return line.substr(needle.size());
    }
    return "";
}

bool RedisCluster::WaitUntilOk(std::chrono::milliseconds wait) const {
    const auto deadline = Clock::now() + wait;
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        bool ok = true;
        for (std::size_t i = 0; i < m_ports.size() && ok; ++i)
            ok = !m_nodes[i]->IsRunning() || Info(m_ports[i], "cluster_state") == "ok";
        if (ok) return true;
        if (Clock::now() > deadline) return false;
    }
}

std::vector<int> RedisCluster::MasterPorts(int askPort) const {
    // CLUSTER NODES: "<id> <ip:port@bus> <flags> <master> <ping> <pong> <epoch> <link> <slots>..."
    std::vector<int> ports;
    std::istringstream lines(Command(askPort, {"CLUSTER", "NODES"}).text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string word; fields >> word;) f.push_back(word);
        if (f.size() < 9 || f[2].find("master") == std::string::npos ||
            f[2].find("fail") != std::string::npos)
            continue;
        const auto colon = f[1].find(':'), at = f[1].find('@');
        ports.push_back(std::stoi(f[1].substr(colon + 1, at - colon - 1)));
    }
    return ports;
}

}  // namespace velsupport
