#include "velredis/RedisSocket.h"

#include "velredis/RedisReply.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "velredis/RedisProbe.h"
#include "velredis/RedisTls.h"

namespace velmora::caching {

RedisException::RedisException(const std::string& message) : VelmoraException(message) {}
RedisException::~RedisException() = default;
RedisTimeoutException::RedisTimeoutException(const std::string& message)
    : RedisException(message) {}
RedisTimeoutException::~RedisTimeoutException() = default;

namespace detail {

namespace {

timeval ToTimeval(std::chrono::milliseconds ms) {
    if (ms.count() < 1) ms = std::chrono::milliseconds(1);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
    return tv;
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends early.
int RemainingMs(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

struct CommandDeleter {
    void operator()(char* command) const { redisFreeCommand(command); }
};

}  // namespace

void ReplyDeleter::operator()(redisReply* reply) const {
    if (reply) freeReplyObject(reply);
}

RedisSocket::RedisSocket(RedisEndpointConfig config)
    : m_config(std::move(config)), m_readEvents(POLLIN) {}

RedisSocket::~RedisSocket() {
    m_tls.reset();  // before the socket underneath it closes
    if (m_context) redisFree(m_context);
}

int RedisSocket::Fd() const {
    return m_context ? m_context->fd : -1;
}

void RedisSocket::Connect() {
    const auto deadline = Clock::now() + m_config.connectTimeout;
    m_connected = false;
    m_tls.reset();
    if (m_config.tls && !m_config.unixSocket.empty())
        throw RedisException("TLS to Redis is not available over a unix socket.");
    if (m_context) {
        // Reuses the context: closes the old socket and connects a new one with the connect
        // time-out stored in the context, but without the read/write time-outs or keepalive.
        if (redisReconnect(m_context) != REDIS_OK) {
            const std::string error = m_context->errstr;
            redisFree(m_context);
            m_context = nullptr;
            throw RedisException("Cannot reconnect to Redis at " + DescribeRedisEndpoint(m_config) +
                                 ": " + error);
        }
    } else {
        const timeval tv = ToTimeval(m_config.connectTimeout);
        m_context = m_config.unixSocket.empty()
                        ? redisConnectWithTimeout(m_config.host.c_str(), m_config.port, tv)
                        : redisConnectUnixWithTimeout(m_config.unixSocket.c_str(), tv);
        if (!m_context) throw RedisException("Cannot allocate a Redis connection.");
        if (m_context->err) {
            const std::string error = m_context->errstr;
            redisFree(m_context);
            m_context = nullptr;
            throw RedisException("Cannot connect to Redis at " + DescribeRedisEndpoint(m_config) +
                                 ": " + error);
        }
    }
    ApplySocketOptions();
    LimitReplyArrays(m_context->reader);
    m_readEvents = POLLIN;
    m_receivedSinceConnect = 0;
    if (m_config.tls) StartTls(deadline);
    m_connected = true;
    ++m_connectCount;
    const auto login = [&](const std::vector<std::string_view>& args) {
        Send(args, deadline);
        ReplyPtr reply = Read(deadline);
        if (reply->type == REDIS_REPLY_ERROR) {
            const std::string error(reply->str, reply->len);
            Disconnect();
            throw RedisException(std::string(args[0]) + " failed: " + error);
        }
    };
    if (!m_config.password.empty()) {
        if (m_config.user.empty())
            login({"AUTH", m_config.password});
        else
            login({"AUTH", m_config.user, m_config.password});
    }
    if (m_config.database != 0) {
        const std::string db = std::to_string(m_config.database);
        login({"SELECT", db});
    }
}

void RedisSocket::StartTls(Clock::time_point deadline) {
    const std::string where = "Cannot connect to Redis at " + m_config.host + ":" +
                              std::to_string(m_config.port) + " over TLS";
    try {
        if (!m_tlsContext) m_tlsContext = std::make_shared<const TlsContext>(m_config);
        m_tls = std::make_unique<TlsSession>(
            m_tlsContext, m_context->fd,
            m_config.tlsServerName.empty() ? m_config.host : m_config.tlsServerName);
        m_tls->Handshake(deadline, where);
    } catch (...) {
        m_tls.reset();
        ::shutdown(m_context->fd, SHUT_RDWR);
        throw;
    }
}

bool RedisSocket::HasBufferedInput() const {
    return m_connected && m_tls && m_tls->HasBuffered();
}

void RedisSocket::ApplySocketOptions() {
    // A backstop only: commands are bounded by their own deadline.
    redisSetTimeout(m_context, ToTimeval(m_config.commandTimeout));
    if (m_config.unixSocket.empty()) redisEnableKeepAlive(m_context);
}

void RedisSocket::Disconnect() {
    if (m_connected && m_context && m_context->fd >= 0) {
        // The descriptor stays with the context (redisReconnect or redisFree closes it); shutting
        // it down tells the server at once.
        ::shutdown(m_context->fd, SHUT_RDWR);
    }
    m_tls.reset();
    m_connected = false;
}

void RedisSocket::Fail(const std::string& what, bool timeout) {
    Disconnect();
    if (timeout) throw RedisTimeoutException(what);
    throw RedisException(what);
}

bool RedisSocket::IsIdleHealthy() {
    if (!m_connected) return false;
    if (HasBufferedInput()) return false;  // bytes nobody asked for
    pollfd p{m_context->fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, 0);
    if (rc == 0) return true;
    if (rc < 0) return errno == EINTR;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    if (m_tls) {
        // A TLS 1.3 server sends its session tickets after the handshake, records that carry no
        // data: reading takes them in and finds nothing. Data, a close or an error count against
        // the connection.
        char byte;
        const TlsSession::Status status = m_tls->Read(&byte, 1).status;
        return status == TlsSession::Status::WantRead || status == TlsSession::Status::WantWrite;
    }
    char byte;
    const ssize_t n = ::recv(m_context->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    return false;  // closed by the server, or bytes nobody asked for
}

void RedisSocket::Send(const std::vector<std::string_view>& args, Clock::time_point deadline) {
    if (!m_connected) throw RedisException("Not connected to Redis.");
    std::vector<const char*> argv;
    std::vector<size_t> argvlen;
    argv.reserve(args.size());
    argvlen.reserve(args.size());
    for (const auto& a : args) {
        argv.push_back(a.data());
        argvlen.push_back(a.size());
    }
    char* raw = nullptr;
    const long long length =
        redisFormatCommandArgv(&raw, static_cast<int>(args.size()), argv.data(), argvlen.data());
    if (length < 0 || !raw) throw RedisException("Cannot format a Redis command.");
    std::unique_ptr<char, CommandDeleter> command(raw);
    SendRaw(std::string_view(raw, static_cast<std::size_t>(length)), deadline);
}

void RedisSocket::SendRaw(std::string_view bytes, Clock::time_point deadline) {
    if (!m_connected) throw RedisException("Not connected to Redis.");
    const char* raw = bytes.data();
    const auto length = static_cast<long long>(bytes.size());
    long long sent = 0;
    while (sent < length) {
        short wait = POLLOUT;
        if (m_tls) {
            // After WantRead/WantWrite the same bytes are offered again.
            const TlsSession::Result r =
                m_tls->Write(raw + sent, static_cast<size_t>(length - sent));
            if (r.status == TlsSession::Status::Ok) {
                sent += static_cast<long long>(r.bytes);
                continue;
            }
            if (r.status == TlsSession::Status::Closed) FailLost("Redis closed the connection.");
            if (r.status == TlsSession::Status::Failed)
                FailLost("Cannot send to Redis: " + m_tls->Error() + ".");
            if (r.status == TlsSession::Status::WantRead) wait = POLLIN;
        } else {
            const ssize_t n = ::send(m_context->fd, raw + sent, static_cast<size_t>(length - sent),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                FailLost(std::string("Cannot send to Redis: ") + std::strerror(errno) + ".");
        }
        if (Clock::now() >= deadline) Fail("Timed out sending a command to Redis.", true);
        pollfd p{m_context->fd, wait, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) < 0 && errno != EINTR)
            Fail(std::string("Cannot poll the Redis connection: ") + std::strerror(errno));
    }
}

void RedisSocket::FailLost(const std::string& what) {
    if (m_receivedSinceConnect > 0) Fail(what);
    if (!m_config.tls) {
        // A server that expects TLS drops a plain connection at its first bytes.
        Fail(what + " Nothing was answered: if the server expects TLS on this port, turn tls on.");
    }
    // A TLS 1.3 server judges the client's certificate after the client's side of the handshake
    // is over: its alert ("certificate required", "unknown ca") comes with the first reply, or
    // is lost in the reset that follows it.
    if (what.find("certificate") != std::string::npos)
        Fail(what + " The server wants a client certificate it trusts (tlsCertFile, tlsKeyFile).");
    Fail(what +
         " The server dropped the TLS connection before answering anything: it may "
         "require a client certificate (tlsCertFile, tlsKeyFile) or refuse the one given.");
}

bool RedisSocket::ReceiveOnce() {
    char buffer[16 * 1024];
    std::size_t received = 0;
    if (m_tls) {
        const TlsSession::Result r = m_tls->Read(buffer, sizeof buffer);
        m_readEvents = r.status == TlsSession::Status::WantWrite ? POLLOUT : POLLIN;
        switch (r.status) {
            case TlsSession::Status::Ok:
                received = r.bytes;
                break;
            case TlsSession::Status::WantRead:
            case TlsSession::Status::WantWrite:
                return false;
            case TlsSession::Status::Closed:
                FailLost("Redis closed the connection.");
            case TlsSession::Status::Failed:
                FailLost("Cannot read from Redis: " + m_tls->Error() + ".");
        }
    } else {
        const ssize_t n = ::recv(m_context->fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) FailLost("Redis closed the connection.");
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
            FailLost(std::string("Cannot read from Redis: ") + std::strerror(errno) + ".");
        }
        received = static_cast<std::size_t>(n);
    }
    m_receivedSinceConnect += received;
    if (redisReaderFeed(m_context->reader, buffer, received) != REDIS_OK)
        Fail("Cannot buffer a Redis reply.");
    return true;
}

ReplyPtr RedisSocket::TryParse() {
    if (!m_connected) throw RedisException("Not connected to Redis.");
    void* reply = nullptr;
    if (redisReaderGetReply(m_context->reader, &reply) != REDIS_OK)
        Fail(std::string("Unreadable reply from Redis: ") + m_context->reader->errstr);
    return ReplyPtr(static_cast<redisReply*>(reply));
}

ReplyPtr RedisSocket::ReadAvailable() {
    if (ReplyPtr reply = TryParse()) return reply;
    while (ReceiveOnce())
        if (ReplyPtr reply = TryParse()) return reply;
    return nullptr;
}

ReplyPtr RedisSocket::Read(Clock::time_point deadline) {
    ReplyPtr reply = TryRead(deadline);
    if (!reply) Fail("Timed out waiting for a reply from Redis.", true);
    return reply;
}

ReplyPtr RedisSocket::TryRead(Clock::time_point deadline) {
    // Poll before reading: the reply has rarely arrived yet when this is called, and a read
    // that finds nothing costs a system call. The socket is polled at least once, so that a
    // reply that is already there is found even after `deadline`.
    for (bool polled = false;;) {
        if (ReplyPtr reply = TryParse()) return reply;
        if (HasBufferedInput()) {
            if (ReplyPtr reply = ReadAvailable()) return reply;
            continue;  // the session is drained now
        }
        if (polled && Clock::now() >= deadline) return nullptr;
        pollfd p{m_context->fd, m_readEvents, 0};
        const int ready = ::poll(&p, 1, RemainingMs(deadline));
        polled = true;
        if (ready < 0 && errno != EINTR)
            Fail(std::string("Cannot poll the Redis connection: ") + std::strerror(errno));
        if (ready > 0) {
            if (ReplyPtr reply = ReadAvailable()) return reply;
        }
    }
}

}  // namespace detail
}  // namespace velmora::caching
