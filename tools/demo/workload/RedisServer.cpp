#include "RedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "velredis/RedisConnectionPool.h"

extern char** environ;

namespace demo {

namespace {

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// One command's reply; nothing when the server could not be reached.
std::optional<velmora::caching::RedisReplyValue> Ask(const std::string& host, int port,
                                                     const std::vector<std::string>& args) {
    try {
        velmora::caching::RedisEndpointConfig endpoint;
        endpoint.host = host;
        endpoint.port = port;
        endpoint.connectTimeout = std::chrono::milliseconds(500);
        return velmora::caching::RedisConnection(endpoint).Command(args);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

bool RedisCommand(const std::string& host, int port, const std::vector<std::string>& args,
                  std::string* reply) {
    const auto value = Ask(host, port, args);
    if (value && reply) *reply = value->text;
    return value && value->type != velmora::caching::RedisReplyValue::Type::Error;
}

std::vector<velmora::caching::RedisNodeAddress> ClusterNodes(const std::string& list,
                                                             int& masters) {
    for (const auto& node : velmora::caching::RedisNodeAddress::ParseList(list)) {
        const auto slots = Ask(node.host, node.port, {"CLUSTER", "SLOTS"});
        if (!slots || slots->type != velmora::caching::RedisReplyValue::Type::Array) continue;
        try {
            const auto map = velmora::caching::RedisSlotMap::FromClusterSlots(*slots, node.host);
            masters = static_cast<int>(map.Masters().size());
            if (masters > 0) return map.KnownNodes();
        } catch (const std::exception&) {
            // not a cluster's answer: ask the next node
        }
    }
    return {};
}

bool RedisServer::Start() {
    m_port = FreeLoopbackPort();
    m_dir = (std::filesystem::temp_directory_path() /
             ("velcache-demo-redis-" + std::to_string(::getpid())))
                .string();
    std::filesystem::create_directories(m_dir);
    return Launch();
}

bool RedisServer::Launch() {
    const std::string port = std::to_string(m_port);
    std::vector<std::string> args{
        "redis-server", "--port", port,    "--bind", "127.0.0.1", "--save", "",
        "--appendonly", "no",     "--dir", m_dir,    "--logfile", ""};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawnp(&m_pid, "redis-server", &actions, nullptr, argv.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; m_pid > 0 && i < 200; ++i) {
        if (RedisCommand("127.0.0.1", m_port, {"PING"})) return true;
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

void RedisServer::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

bool RedisServer::Restart() {
    Stop();
    return Launch();
}

RedisServer::~RedisServer() {
    Stop();
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
}

}  // namespace demo
