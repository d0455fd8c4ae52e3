// The Redis endpoint the host configures, and the errors of the Redis client.
//
// The library reads no environment: the host states where Redis is (host and port, or a unix
// socket, or the nodes of a cluster), how to log in, how many pooled connections to keep and how
// long to wait, through ConfigureRedis. The process's shared pool and subscription manager are made
// from the configuration in force when they are first used, and ConfigureRedis points them at a new
// endpoint later (connections are replaced on their next use; the subscriber reconnects at once).
// Thread contract: safe for concurrent use.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "velsys/Exceptions.h"
#include "velsys/Export.h"

namespace velmora::caching {

/// How the endpoint is reached: one server, or a cluster whose nodes each serve part of the key
/// space; Detect asks the first node (INFO) on first use and keeps its answer.
enum class RedisMode { SingleServer, Cluster, Detect };

/// Where Redis is and how to reach it; the defaults are one server on 127.0.0.1:6379.
struct RedisEndpointConfig {
    RedisMode mode = RedisMode::SingleServer;  ///< one server, a cluster, or ask the first node
    /// The nodes a cluster's layout is learned from, "host:port" each (any node will do; more
    /// than one in case some are down). Empty means host and port below. Unused for a single
    /// server.
    std::vector<std::string> clusterNodes;
    std::string host = "127.0.0.1";  ///< a single server
    /// The port of that server.
    int port = 6379;
    /// When not empty, the path of a unix socket used instead of host and port.
    std::string unixSocket;
    /// Sent with AUTH after every connect when not empty: "AUTH <user> <password>" when `user`
    /// is set (a server's ACL user, confined to the keys and channels it is allowed), else
    /// "AUTH <password>" (the default user). Neither ever goes into a log line or an exception.
    std::string user;
    /// See `user`.
    std::string password;
    /// Chosen with SELECT after every connect when not 0.
    int database = 0;
    /// TLS (through OpenSSL) on every connection: the pool's, the subscriber's and those to every
    /// cluster node, the nodes learned from CLUSTER SLOTS, MOVED and ASK included. The handshake
    /// follows the TCP connect and counts against connectTimeout; a reconnect makes a new TLS
    /// session. Not available over a unix socket (a connect raises RedisException).
    /// The server's certificate chain is verified against `tlsCaFile` (PEM, one or more CA
    /// certificates), or the system's default store when it is empty, and must name the server:
    /// `tlsServerName` when set, else the host the connection was made to. A name is checked
    /// against the certificate's DNS names and sent as SNI; an IP address (such as the nodes a
    /// cluster names, which it names by address) is checked against the certificate's IP
    /// addresses and no SNI is sent. Setting `tlsServerName` makes every node of a cluster, seeds
    /// and learned nodes alike, answer to that one name.
    /// `tlsCertFile` and `tlsKeyFile` (PEM, both or neither) are the client's certificate and
    /// private key, presented to a server that asks for one (tls-auth-clients). The files are
    /// read at each connection's first connect. A refused handshake raises RedisException saying
    /// why (the verification error, a server that does not speak TLS, a time-out).
    bool tls = false;
    /// See `tls`.
    std::string tlsCaFile;
    /// See `tls`.
    std::string tlsCertFile;
    /// See `tls`.
    std::string tlsKeyFile;
    /// See `tls`.
    std::string tlsServerName;
    /// Connections of a pool; 0 (the default) sizes it for the external caches: the option
    /// ExternalCacheConcurrencyLimit (read when the pool is made) plus two for the coherence
    /// publisher, so that every backend call the limit admits finds a connection.
    int poolSize = 0;
    /// When true (the default), the GET, SET, SETEX and DEL of all a single server's pooled
    /// connections, and other stateless commands sent through RedisConnection::Command, go
    /// over one connection that the pool's threads share: commands issued at the same time are
    /// written together and their replies read in order, each command bounded by its own
    /// time-out. Values over 64 KiB, stateful or blocking commands and Pipeline/PipelineEach use
    /// the connection's own socket. False gives every pooled connection its own socket for
    /// everything (one round trip per command). On a cluster (mode Cluster, or Detect once it
    /// found one) each node has such a shared connection, and a command that a redirect sends
    /// elsewhere goes over the new node's, ASKING right before it. Commands written on a shared
    /// connection that is lost fail and are never sent again.
    bool pipelining = true;
    /// Commands a single server's shared connection may hold unanswered: FindAndLockConnection
    /// waits up to connectionWait while more are outstanding, then answers "none free".
    int pipelineQueueBound = 1024;
    /// How long FindAndLockConnection waits for a connection to come free before it answers
    /// "none free".
    std::chrono::milliseconds connectionWait{100};
    /// When true (the default), a pool bounds its commands by the smaller of commandTimeout and
    /// the option ExternalCacheStoreTimeoutMs (read when the pool is made, at least 100 ms), so
    /// that a store the external cache gave up on gives its connection back about as soon.
    bool commandTimeoutFollowsStoreTimeout = true;
    /// Bound on establishing a connection (including AUTH and SELECT).
    std::chrono::milliseconds connectTimeout{1000};
    /// Bound on one whole command, from the first byte sent to the last byte of the reply.
    std::chrono::milliseconds commandTimeout{1000};
    /// A subscriber that has heard nothing for this long sends PING; no answer within
    /// commandTimeout counts as a lost connection.
    std::chrono::milliseconds heartbeatInterval{1000};
    /// The subscriber's reconnection delay starts at the minimum and doubles up to the maximum
    /// while attempts keep failing; it returns to the minimum once the server confirms a
    /// subscription again.
    std::chrono::milliseconds reconnectBackoffMin{50};
    /// See reconnectBackoffMin.
    std::chrono::milliseconds reconnectBackoffMax{2000};
};

/// Makes `config` the process's endpoint and re-points the shared pool and the subscription
/// manager if they exist already.
VELPLATFORM_EXPORT void ConfigureRedis(const RedisEndpointConfig& config);
/// The endpoint in force (the defaults above until ConfigureRedis is called).
VELPLATFORM_EXPORT RedisEndpointConfig GetRedisConfiguration();

/// A command or connection that failed: the server is unreachable, closed the connection, sent
/// something unreadable, or answered with an error where a value was required.
class VELPLATFORM_EXPORT RedisException : public VelmoraException {
public:
    /// An exception saying `message` (never a password).
    explicit RedisException(const std::string& message);
    ~RedisException() override;
};

/// A command that did not complete within its time-out. The connection is reset.
class VELPLATFORM_EXPORT RedisTimeoutException : public RedisException {
public:
    /// A time-out saying `message`.
    explicit RedisTimeoutException(const std::string& message);
    ~RedisTimeoutException() override;
};

}  // namespace velmora::caching
