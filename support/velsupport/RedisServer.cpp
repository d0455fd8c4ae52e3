#include "velsupport/RedisServer.h"

#include "velsupport/ExitCleanup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <vector>

#include "velsupport/Process.h"

namespace velsupport {

using velmora::caching::RedisReplyValue;

namespace {

// Nothing of a private server's data is kept, so nothing is lost by killing it outright at exit
// (a frozen one too, which SIGTERM would not end).
void KillAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

void AddRunning(pid_t pid, const std::string& dir) {
    StopAtExit(pid, dir, KillAndReap);
}

void RemoveRunning(pid_t pid) {
    ForgetAtExit(pid);
}

}  // namespace

// From 10000 to 19999: a cluster node's bus port (port + 10000) is then never another node's
// port, and stays below the kernel's range of ephemeral ports (from 32768), so that a client's
// connection cannot take the bus port of a killed node before it starts again.
int FreeLoopbackPort() {
    static std::mt19937 random(std::random_device{}());
    for (int i = 0; i < 1000; ++i) {
        const int port = std::uniform_int_distribution<int>(10000, 19999)(random);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

RedisServer::~RedisServer() {
    Stop();
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
}

bool RedisServer::IsInstalled() {
    return IsOnPath("redis-server");
}

std::string RedisServer::Start() {
    if (m_pid > 0) return "";
    if (!IsInstalled()) return kRedisServerMissing;
    if (m_port == 0) m_port = FreeLoopbackPort();
    if (m_port == 0) return "no free loopback port for redis-server";
    if (m_dir.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velcache-redis-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) return "cannot make a temporary directory for redis-server";
        m_dir = pattern;
    }
    const std::string port = std::to_string(m_port);
    std::string conf = m_dir + "/redis.conf";
    std::string listen = "port " + port + "\n";
    if (m_tls)
        listen = "port 0\ntls-port " + port + "\ntls-cert-file " + m_tls->certFile +
                 "\ntls-key-file " + m_tls->keyFile + "\ntls-ca-cert-file " + m_tls->caFile +
                 "\ntls-auth-clients " + (m_tls->requireClientCert ? "yes" : "no") + "\n";
    // What the server presents when it is the client: to the other nodes of a cluster, to its
    // master, to the target of a MIGRATE.
    if (m_tls && !m_tls->clientCertFile.empty())
        listen += "tls-client-cert-file " + m_tls->clientCertFile + "\ntls-client-key-file " +
                  m_tls->clientKeyFile + "\n";
    std::ofstream(conf) << listen << "bind 127.0.0.1\nsave \"\"\nappendonly no\ndir " << m_dir
                        << "\nlogfile \"\"\nloglevel warning\nprotected-mode no\n"
                        << m_extraConfig;
    // Standard streams on /dev/null: a server outliving a crashed test or demo holds no pipe of
    // whoever ran it.
    std::vector<std::string> command = {"redis-server", conf};
    // A server the main thread started dies with the process even when a signal ends it (a test
    // killed for taking too long, say). The parent-death signal belongs to the thread that
    // started the child, so a server another thread started (which may end before the process
    // does) gets none.
    if (::gettid() == ::getpid() && IsOnPath("setpriv"))
        command.insert(command.begin(), {"setpriv", "--pdeathsig", "KILL"});
    m_pid = SpawnProcess(command);
    if (m_pid <= 0) return "cannot start redis-server";
    AddRunning(m_pid, m_dir);
    for (int i = 0; i < 1000; ++i) {
        if (Command({"PING"}).text == "PONG") return "";
        if (WaitProcess(m_pid, std::chrono::milliseconds(10)) != -2) {
            RemoveRunning(m_pid);
            m_pid = -1;
            return "redis-server exited at start on port " + port;
        }
    }
    Stop();
    return "redis-server did not answer PING within 10 s on port " + port;
}

void RedisServer::Stop(int signal) {
    if (m_pid <= 0) return;
    RemoveRunning(m_pid);
    Thaw();
    ::kill(m_pid, signal);
    if (WaitProcess(m_pid, std::chrono::seconds(5)) == -2 && ::kill(m_pid, SIGKILL) == 0)
        ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

void RedisServer::Freeze() {
    if (m_pid > 0 && !m_frozen && ::kill(m_pid, SIGSTOP) == 0) m_frozen = true;
}

void RedisServer::Thaw() {
    if (m_pid > 0 && m_frozen && ::kill(m_pid, SIGCONT) == 0) m_frozen = false;
}

RedisServerTls ServerTlsFrom(const TlsCertificates& certificates, bool requireClientCert) {
    RedisServerTls tls;
    tls.caFile = certificates.CaFile();
    tls.certFile = certificates.ServerCertFile();
    tls.keyFile = certificates.ServerKeyFile();
    tls.requireClientCert = requireClientCert;
    tls.clientCertFile = certificates.ClientCertFile();
    tls.clientKeyFile = certificates.ClientKeyFile();
    return tls;
}

void RedisServer::ApplyTls(velmora::caching::RedisEndpointConfig& config) const {
    if (!m_tls) return;
    config.tls = true;
    config.tlsCaFile = m_tls->caFile;
    config.tlsCertFile = m_tls->clientCertFile;
    config.tlsKeyFile = m_tls->clientKeyFile;
    config.tlsServerName = m_tls->serverName;
}

velmora::caching::RedisEndpointConfig RedisServer::MakeConfig() const {
    velmora::caching::RedisEndpointConfig config;
    config.port = m_port;
    ApplyTls(config);
    config.poolSize = 4;
    config.heartbeatInterval = std::chrono::milliseconds(300);
    config.reconnectBackoffMin = std::chrono::milliseconds(20);
    config.reconnectBackoffMax = std::chrono::milliseconds(300);
    return config;
}

RedisReplyValue RedisServer::Command(const std::vector<std::string>& args) const {
    velmora::caching::RedisEndpointConfig config;
    config.port = m_port;
    config.connectTimeout = std::chrono::milliseconds(500);
    config.commandTimeout = std::chrono::milliseconds(3000);
    ApplyTls(config);
    try {
        velmora::caching::RedisConnection connection(config);
        return connection.Command(args);
    } catch (const velmora::caching::RedisException& e) {
        return {RedisReplyValue::Type::Error, 0, e.what(), {}};
    }
}

}  // namespace velsupport
