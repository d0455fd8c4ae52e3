#include "support/RedisServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace veltest {

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// Polls every 10 ms, up to `tries` times, whether `pid` has exited (and reaps it).
bool Exited(pid_t pid, int tries) {
    for (int i = 0; i < tries; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
    return false;
}

}  // namespace

std::string SpawnRedisServer(const std::vector<std::string>& args, pid_t* pid) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int rc = ::posix_spawnp(pid, "redis-server", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc == 0) return "";
    *pid = -1;
    return std::string("cannot start redis-server: ") + std::strerror(rc);
}

RedisServer::RedisServer() = default;

RedisServer::~RedisServer() {
    Stop();
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
}

bool RedisServer::IsInstalled() {
    return std::system("command -v redis-server >/dev/null 2>&1") == 0;
}

std::string RedisServer::Start() {
    if (m_pid > 0) return "";
    if (m_port == 0) m_port = FreeLoopbackPort();
    if (m_dir.empty()) {
        char pattern[] = "/tmp/velredis-test-XXXXXX";
        if (!::mkdtemp(pattern)) return "cannot make a temporary directory";
        m_dir = pattern;
    }
    const std::string port = std::to_string(m_port);
    std::string conf = m_dir + "/redis.conf";
    std::ofstream(conf) << "port " << port << "\nbind 127.0.0.1\nsave \"\"\nappendonly no\ndir "
                        << m_dir << "\nlogfile \"\"\nloglevel warning\nprotected-mode no\n";
    if (std::string error = SpawnRedisServer({"redis-server", conf}, &m_pid); !error.empty())
        return error;
    for (int i = 0; i < 1000; ++i) {
        if (Ping()) return "";
        if (Exited(m_pid, 1)) {
            m_pid = -1;
            return "redis-server exited at start on port " + port;
        }
    }
    Stop();
    return "redis-server did not answer PING within 10 s on port " + port;
}

void RedisServer::Stop() {
    if (m_pid <= 0) return;
    Thaw();
    ::kill(m_pid, SIGTERM);
    if (!Exited(m_pid, 500) && ::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
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
    config.port = m_port;
    config.poolSize = 4;
    config.heartbeatInterval = std::chrono::milliseconds(300);
    config.reconnectBackoffMin = std::chrono::milliseconds(20);
    config.reconnectBackoffMax = std::chrono::milliseconds(300);
    return config;
}

std::string RedisServer::Command(const std::string& inlineCommand) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const sockaddr_in addr = Loopback(m_port);
    const std::string line = inlineCommand + "\r\n";
    std::string reply;
    char buffer[512];
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size()))
        for (ssize_t n; reply.find("\r\n") == std::string::npos &&
                        (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    const auto end = reply.find("\r\n");
    return end == std::string::npos ? "" : reply.substr(0, end);
}

bool RedisServer::Ping() const {
    return Command("PING") == "+PONG";
}

}  // namespace veltest
