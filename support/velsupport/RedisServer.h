// A private redis-server for a test, a benchmark or a demo run: started on a free loopback port
// without persistence, in a temporary directory of its own, and stopped (the directory removed)
// when the object goes. It also goes when the process ends through exit() with the object still
// there (killed with SIGKILL then: a death test's child never destroys what its test made), and,
// when the main thread started it, when a signal kills the process. It can be stopped, with a
// signal of the caller's choice, and started again on the same port in the same directory, and
// frozen (SIGSTOP) and thawed, to stage server faults. Extra configuration lines make it, for
// example, a cluster node. A TLS server listens on its TLS port only (no plain port), with
// certificates the caller made (TlsCertificates.h). Not thread-safe: use from one thread at a
// time.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "velredis/RedisConfig.h"
#include "velredis/RedisConnectionPool.h"
#include "velsupport/TlsCertificates.h"

namespace velsupport {

// What Start answers when no redis-server executable is on PATH.
inline constexpr const char* kRedisServerMissing =
    "redis-server is not installed (or not on PATH); install the redis-server package "
    "(scripts/setup does)";

// A loopback port nobody listens on now, below the ephemeral range (so that no outgoing
// connection takes it while a stopped server is down); 0 when none was found.
int FreeLoopbackPort();

// How a server speaks TLS: its own certificate and key, the CA it trusts for client
// certificates, whether a client must present one, and the client certificate that MakeConfig
// and Command present (none when empty).
struct RedisServerTls {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool requireClientCert = false;
    std::string clientCertFile;
    std::string clientKeyFile;
    // The name MakeConfig and Command check the certificate against (tlsServerName); empty: the
    // address connected to, 127.0.0.1.
    std::string serverName;
};

// The TLS settings of a server with the certificates of `certificates`, presenting the client
// certificate in MakeConfig and Command.
RedisServerTls ServerTlsFrom(const TlsCertificates& certificates, bool requireClientCert = false);

class RedisServer {
public:
    // `extraConfig`: configuration lines added to the defaults (those of a cluster node, say).
    explicit RedisServer(std::string extraConfig = "") : m_extraConfig(std::move(extraConfig)) {}
    // A server that speaks TLS only.
    explicit RedisServer(RedisServerTls tls, std::string extraConfig = "")
        : m_extraConfig(std::move(extraConfig)), m_tls(std::move(tls)) {}
    // Stops the server (SIGTERM) and removes its directory.
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // Whether a redis-server executable is on PATH.
    static bool IsInstalled();

    // Starts the server (on the port and in the directory of the previous start, if any) and
    // waits until it answers PING. Returns an empty string on success (also when it is running
    // already), else what went wrong: kRedisServerMissing when redis-server is not on PATH.
    std::string Start();
    // Thaws the server if frozen, sends `signal` (SIGKILL for a crash), SIGKILL after 5 s, and
    // reaps it. Does nothing when it is not running.
    void Stop(int signal = SIGTERM);
    // Stops the process where it stands (SIGSTOP): connections are accepted but not answered.
    void Freeze();
    void Thaw();
    bool IsRunning() const { return m_pid > 0; }

    // The port, chosen at the first start; 0 before.
    int Port() const { return m_port; }
    bool IsTls() const { return m_tls.has_value(); }
    // An endpoint configuration for this server with short time-outs suited to tests (TLS, with
    // the CA and any client certificate, for a TLS server).
    velmora::caching::RedisEndpointConfig MakeConfig() const;
    // One command on a fresh connection; an Error reply with the exception text when the server
    // cannot be reached.
    velmora::caching::RedisReplyValue Command(const std::vector<std::string>& args) const;

private:
    // The TLS fields of MakeConfig and Command.
    void ApplyTls(velmora::caching::RedisEndpointConfig& config) const;

    std::string m_extraConfig;
    std::optional<RedisServerTls> m_tls;
    int m_port = 0;
    pid_t m_pid = -1;
    bool m_frozen = false;
    std::string m_dir;
};

}  // namespace velsupport
