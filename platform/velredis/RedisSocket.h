// Internal to velredis: one connection to Redis with whole-command deadlines.
//
// hiredis makes the connection and parses replies; the bytes are moved here, so that every
// write uses MSG_NOSIGNAL (a write to a connection the server closed reports EPIPE instead of
// raising SIGPIPE) and every command is bounded by one deadline rather than by a time-out per
// read (a reply that trickles in a byte at a time would otherwise take many time-outs).
// After every (re)connect the socket time-outs and TCP keepalive are set again, because
// redisReconnect makes a new socket without them.
// With TLS (RedisEndpointConfig::tls) hiredis still makes the TCP connection; the handshake then
// runs on its socket within what is left of the connect time-out, and every byte of the
// connection goes through the TLS session (RedisTls.h) under the same deadlines, waiting in poll
// for whichever of readable or writable the session asks for. Each connect makes a new session.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velredis/RedisConfig.h"

struct redisContext;
struct redisReply;

namespace velmora::caching::detail {

class TlsContext;
class TlsSession;

using Clock = std::chrono::steady_clock;

struct ReplyDeleter {
    void operator()(redisReply* reply) const;
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyDeleter>;

class RedisSocket {
public:
    explicit RedisSocket(RedisEndpointConfig config);
    ~RedisSocket();
    RedisSocket(const RedisSocket&) = delete;
    RedisSocket& operator=(const RedisSocket&) = delete;

    // Connects (the first time) or reconnects the same context, then restores time-outs and
    // keepalive and sends AUTH/SELECT. Raises RedisException or RedisTimeoutException.
    void Connect();
    // Drops the connection; the next Connect makes a new one.
    void Disconnect();
    // Whether a connected, idle socket still looks usable: false when the server has closed it
    // or sent something nobody asked for.
    bool IsIdleHealthy();

    // Sends one command. Raises on error or when `deadline` passes; the connection is then
    // dropped.
    void Send(const std::vector<std::string_view>& args, Clock::time_point deadline);
    // Sends bytes already in the wire format (several commands, say), as Send does.
    void SendRaw(std::string_view bytes, Clock::time_point deadline);
    // Reads one reply, waiting until `deadline`; raises (and drops the connection) when it
    // passes.
    ReplyPtr Read(Clock::time_point deadline);
    // As Read, but null when `deadline` passes: the connection stays as it is, and the reply
    // can still be read later.
    ReplyPtr TryRead(Clock::time_point deadline);
    // Reads whatever has arrived without waiting and returns one reply if complete, else null.
    // Raises when the server closed the connection.
    ReplyPtr ReadAvailable();
    // A reply already parsed from bytes read earlier, else null.
    ReplyPtr TryParse();

    // Whether bytes that arrived wait decrypted inside the TLS session: a poll of Fd() does not
    // see them, so a caller about to wait for traffic reads them first.
    bool HasBufferedInput() const;
    // What to poll Fd() for before the next read: POLLIN, or POLLOUT when TLS must first write
    // (a key update).
    short ReadEvents() const { return m_readEvents; }

    int Fd() const;
    redisContext* Context() const { return m_context; }
    long long ConnectCount() const { return m_connectCount; }
    const RedisEndpointConfig& Config() const { return m_config; }

private:
    [[noreturn]] void Fail(const std::string& what, bool timeout = false);
    void ApplySocketOptions();
    // Reads once; false when nothing was available. Raises on EOF or error.
    bool ReceiveOnce();
    // Makes a TLS session on the connected socket and completes its handshake by `deadline`.
    void StartTls(Clock::time_point deadline);
    // Fail for a connection that broke; on one that has not answered anything yet, the message
    // adds the likely cause (a port that expects TLS, a client certificate the server wants).
    [[noreturn]] void FailLost(const std::string& what);

    const RedisEndpointConfig m_config;  // Constant after construction.
    redisContext* m_context = nullptr;
    bool m_connected = false;
    long long m_connectCount = 0;
    // Made at the first TLS connect and kept for reconnects; null without TLS.
    std::shared_ptr<const TlsContext> m_tlsContext;
    std::unique_ptr<TlsSession> m_tls;  // of the current connection; null without TLS
    short m_readEvents;                 // see ReadEvents
    std::size_t m_receivedSinceConnect = 0;
};

}  // namespace velmora::caching::detail
