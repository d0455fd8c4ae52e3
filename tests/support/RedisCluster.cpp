#include "support/RedisCluster.h"

#include "support/RedisServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

namespace veltest {

using velmora::caching::RedisConnection;
using velmora::caching::RedisEndpointConfig;
using velmora::caching::RedisException;
using velmora::caching::RedisReplyValue;
using Clock = std::chrono::steady_clock;

namespace {

bool Bindable(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// A free port whose cluster-bus port (+10000) is free too, both below the ephemeral range.
int FreeClusterPort(std::mt19937& random) {
    std::uniform_int_distribution<int> pick(10000, 21999);
    for (int i = 0; i < 1000; ++i) {
        const int port = pick(random);
        if (Bindable(port) && Bindable(port + 10000)) return port;
    }
    return 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

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

RedisCluster::~RedisCluster() {
    Stop();
}

std::string RedisCluster::Spawn(std::size_t node) {
    const std::string port = std::to_string(m_ports[node]);
    const std::string dir = m_dir + "/" + port;
    std::filesystem::create_directories(dir);
    // Paths are under a mkdtemp directory, without blanks: the command line is split on them.
    std::istringstream line("redis-server --port " + port + " --bind 127.0.0.1 --dir " + dir +
                            " --logfile " + dir + "/log --cluster-enabled yes " +
                            "--cluster-config-file " + dir + "/nodes.conf " +
                            "--cluster-node-timeout " + std::to_string(m_nodeTimeout.count()) +
                            " --cluster-replica-validity-factor 0 --repl-diskless-sync-delay 0 "
                            "--appendonly no --protected-mode no");
    std::vector<std::string> args;
    for (std::string word; line >> word;) args.push_back(word);
    args.insert(args.end(), {"--save", ""});
    if (std::string error = SpawnRedisServer(args, &m_pids[node]); !error.empty()) return error;
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (Command(m_ports[node], {"PING"}).text == "PONG") return "";
        if (::waitpid(m_pids[node], nullptr, WNOHANG) == m_pids[node]) {
            m_pids[node] = -1;
            return "redis-server exited at start on port " + port + ": " + ReadFile(dir + "/log");
        }
    }
    return "redis-server did not answer PING on port " + port;
}

std::string RedisCluster::Start(int masters, int replicasPerMaster,
                                std::chrono::milliseconds nodeTimeout) {
    if (std::system("command -v redis-cli >/dev/null 2>&1") != 0)
        return "redis-cli is not installed (the redis-tools package provides it)";
    char pattern[] = "/tmp/velredis-cluster-XXXXXX";
    if (!::mkdtemp(pattern)) return "cannot make a temporary directory";
    m_dir = pattern;
    m_nodeTimeout = nodeTimeout;
    std::mt19937 random(std::random_device{}());
    const int nodes = masters * (1 + replicasPerMaster);
    std::string addresses;
    for (int i = 0; i < nodes; ++i) {
        // Distinct ports even when a chosen port is not yet bound by its server.
        int port;
        do port = FreeClusterPort(random);
        while (std::find(m_ports.begin(), m_ports.end(), port) != m_ports.end());
        if (port == 0) return "no free pair of loopback ports for a cluster node";
        m_ports.push_back(port);
        m_pids.push_back(-1);
        if (std::string error = Spawn(m_ports.size() - 1); !error.empty()) return error;
        addresses += " 127.0.0.1:" + std::to_string(port);
    }
    const std::string log = m_dir + "/create.log";
    const std::string create = "timeout 60 redis-cli --cluster create" + addresses +
                               " --cluster-replicas " + std::to_string(replicasPerMaster) +
                               " --cluster-yes >" + log + " 2>&1";
    if (std::system(create.c_str()) != 0)
        return "redis-cli --cluster create failed: " + ReadFile(log);
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

void RedisCluster::Stop() {
    for (int port : m_ports) KillNode(port);
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
    m_dir.clear();
    m_ports.clear();
    m_pids.clear();
}

void RedisCluster::KillNode(int port) {
    for (std::size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i] == port && m_pids[i] > 0) {
            ::kill(m_pids[i], SIGKILL);
            ::waitpid(m_pids[i], nullptr, 0);
            m_pids[i] = -1;
        }
}

void RedisCluster::SignalNode(int port, int signal) {
    for (std::size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i] == port && m_pids[i] > 0) ::kill(m_pids[i], signal);
}

std::string RedisCluster::RestartNode(int port) {
    for (std::size_t i = 0; i < m_ports.size(); ++i)
        if (m_ports[i] == port && m_pids[i] <= 0) return Spawn(i);
    return "no stopped node on port " + std::to_string(port);
}

RedisReplyValue RedisCluster::Command(int port, const std::vector<std::string>& args) const {
    RedisEndpointConfig config;
    config.port = port;
    config.connectTimeout = std::chrono::milliseconds(500);
    config.commandTimeout = std::chrono::milliseconds(3000);
    try {
        RedisConnection connection(config);
        return connection.Command(args);
    } catch (const RedisException& e) {
        RedisReplyValue failed;
        failed.type = RedisReplyValue::Type::Error;
        failed.text = e.what();
        return failed;
    }
}

std::string RedisCluster::Info(int port, const std::string& field) const {
    const RedisReplyValue reply = field.starts_with("cluster_") ? Command(port, {"CLUSTER", "INFO"})
                                                                : Command(port, {"INFO"});
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
            ok = m_pids[i] <= 0 || Info(m_ports[i], "cluster_state") == "ok";
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

RedisEndpointConfig RedisCluster::MakeConfig() const {
    RedisEndpointConfig config;
    config.port = m_ports.empty() ? 0 : m_ports.front();
    config.poolSize = 4;
    config.heartbeatInterval = std::chrono::milliseconds(300);
    config.reconnectBackoffMin = std::chrono::milliseconds(20);
    config.reconnectBackoffMax = std::chrono::milliseconds(300);
    return config;
}

}  // namespace veltest
