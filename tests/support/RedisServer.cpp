#include "support/RedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace veltest {

namespace {

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

RedisServer::RedisServer() = default;

RedisServer::~RedisServer() {
    Stop();
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

bool RedisServer::IsInstalled() {
    const char* path = std::getenv("PATH");
    std::string paths = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= paths.size()) {
        std::size_t end = paths.find(':', start);
        if (end == std::string::npos) end = paths.size();
        const std::string candidate = paths.substr(start, end - start) + "/redis-server";
        if (::access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::string RedisServer::Start() {
    if (m_pid > 0) return "";
    if (!IsInstalled()) return "redis-server is not installed";
    if (m_port == 0) m_port = FreeLoopbackPort();
    if (m_dir.empty()) {
        char pattern[] = "/tmp/velredis-test-XXXXXX";
        if (!::mkdtemp(pattern)) return "cannot make a temporary directory";
        m_dir = pattern;
    }
    const std::string port = std::to_string(m_port);
    std::vector<std::string> args = {"redis-server",
                                     "--port",
                                     port,
                                     "--bind",
                                     "127.0.0.1",
                                     "--save",
                                     "",
                                     "--appendonly",
                                     "no",
                                     "--dir",
                                     m_dir,
                                     "--daemonize",
                                     "no",
                                     "--logfile",
                                     "",
                                     "--loglevel",
                                     "warning",
                                     "--protected-mode",
                                     "no"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // Standard streams go to /dev/null so that a server outliving a crashed test holds no pipe
    // of the test runner. The server starts with default signal handling, whatever the test process
    // ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "redis-server", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return std::string("cannot start redis-server: ") + std::strerror(rc);
    m_pid = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Ping()) return "";
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return "redis-server exited at start on port " + port;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    return "redis-server did not answer PING within 10 s on port " + port;
}

void RedisServer::Stop() {
    if (m_pid <= 0) return;
    if (m_frozen) Thaw();
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

void RedisServer::Freeze() {
    if (m_pid > 0 && !m_frozen && ::kill(m_pid, SIGSTOP) == 0) m_frozen = true;
}

void RedisServer::Thaw() {
    if (m_pid > 0 && m_frozen && ::kill(m_pid, SIGCONT) == 0) m_frozen = false;
}

velmora::caching::RedisEndpointConfig RedisServer::MakeConfig() const {
    velmora::caching::RedisEndpointConfig config;
    config.host = "127.0.0.1";
    config.port = m_port;
    config.poolSize = 4;
    config.connectTimeout = std::chrono::milliseconds(1000);
    config.commandTimeout = std::chrono::milliseconds(1000);
    config.heartbeatInterval = std::chrono::milliseconds(300);
    config.reconnectBackoffMin = std::chrono::milliseconds(20);
    config.reconnectBackoffMax = std::chrono::milliseconds(300);
    return config;
}

std::string RedisServer::Command(const std::string& inlineCommand) const {
    const int fd = ConnectLoopback(m_port);
    if (fd < 0) return "";
    const std::string line = inlineCommand + "\r\n";
    std::string reply;
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
        char buffer[512];
        while (reply.find("\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const auto end = reply.find("\r\n");
    return end == std::string::npos ? "" : reply.substr(0, end);
}

bool RedisServer::Ping() const {
    return Command("PING") == "+PONG";
}

}  // namespace veltest
