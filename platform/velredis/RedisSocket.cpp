#include "velredis/RedisSocket.h"

#include "velredis/RedisReply.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

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

RedisSocket::RedisSocket(RedisEndpointConfig config) : m_config(std::move(config)) {}

RedisSocket::~RedisSocket() {
    if (m_context) redisFree(m_context);
}

int RedisSocket::Fd() const {
    return m_context ? m_context->fd : -1;
}

void RedisSocket::Connect() {
    const auto deadline = Clock::now() + m_config.connectTimeout;
    m_connected = false;
    if (m_context) {
        // Reuses the context: closes the old socket and connects a new one with the connect
        // time-out stored in the context, but without the read/write time-outs or keepalive.
        if (redisReconnect(m_context) != REDIS_OK) {
            const std::string error = m_context->errstr;
            redisFree(m_context);
            m_context = nullptr;
            throw RedisException("Cannot reconnect to Redis: " + error);
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
            throw RedisException("Cannot connect to Redis: " + error);
        }
    }
    ApplySocketOptions();
    LimitReplyArrays(m_context->reader);
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
    m_connected = false;
}

void RedisSocket::Fail(const std::string& what, bool timeout) {
    Disconnect();
    if (timeout) throw RedisTimeoutException(what);
    throw RedisException(what);
}

bool RedisSocket::IsIdleHealthy() {
    if (!m_connected) return false;
    pollfd p{m_context->fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, 0);
    if (rc == 0) return true;
    if (rc < 0) return errno == EINTR;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
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
    long long sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(m_context->fd, raw + sent, static_cast<size_t>(length - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Fail(std::string("Cannot send to Redis: ") + std::strerror(errno));
        if (Clock::now() >= deadline) Fail("Timed out sending a command to Redis.", true);
        pollfd p{m_context->fd, POLLOUT, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) < 0 && errno != EINTR)
            Fail(std::string("Cannot poll the Redis connection: ") + std::strerror(errno));
    }
}

bool RedisSocket::ReceiveOnce() {
    char buffer[16 * 1024];
    const ssize_t n = ::recv(m_context->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        if (redisReaderFeed(m_context->reader, buffer, static_cast<size_t>(n)) != REDIS_OK)
            Fail("Cannot buffer a Redis reply.");
        return true;
    }
    if (n == 0) Fail("Redis closed the connection.");
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
    Fail(std::string("Cannot read from Redis: ") + std::strerror(errno));
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
    // Poll before reading: the reply has rarely arrived yet when this is called, and a read
    // that finds nothing costs a system call.
    for (;;) {
        if (ReplyPtr reply = TryParse()) return reply;
        if (Clock::now() >= deadline) Fail("Timed out waiting for a reply from Redis.", true);
        pollfd p{m_context->fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, RemainingMs(deadline));
        if (ready < 0 && errno != EINTR)
            Fail(std::string("Cannot poll the Redis connection: ") + std::strerror(errno));
        if (ready > 0) {
            if (ReplyPtr reply = ReadAvailable()) return reply;
        }
    }
}

}  // namespace detail
}  // namespace velmora::caching
