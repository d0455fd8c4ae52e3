#include "velredis/RedisTls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace velmora::caching::detail {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The reason of the newest error on this thread's OpenSSL queue ("certificate verify failed",
// "tlsv13 alert certificate required"), or empty.
std::string LastOpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    if (code == 0) return "";
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(ERR_GET_REASON(code));
}

// ---- The socket underneath: a BIO of our own, so that no read or write blocks and no write
// raises SIGPIPE (OpenSSL's socket BIO uses write(2)). --------------------------------------

struct BioIo {
    int fd;
    std::size_t* received;
    int* lastErrno;
};

bool Retryable(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int BioWrite(BIO* bio, const char* data, int size) {
    auto* io = static_cast<BioIo*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n =
        ::send(io->fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    *io->lastErrno = errno;
    if (Retryable(errno)) BIO_set_retry_write(bio);
    return -1;
}

int BioRead(BIO* bio, char* buffer, int size) {
    auto* io = static_cast<BioIo*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(io->fd, buffer, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (n > 0) {
        *io->received += static_cast<std::size_t>(n);
        return static_cast<int>(n);
    }
    if (n == 0) return 0;  // the server closed the connection
    *io->lastErrno = errno;
    if (Retryable(errno)) BIO_set_retry_read(bio);
    return -1;
}

long BioCtrl(BIO*, int command, long, void*) {
    // Nothing is buffered in the BIO: a flush has nothing to do; every other request is
    // declined.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioDestroy(BIO* bio) {
    delete static_cast<BioIo*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

const BIO_METHOD* SocketMethod() {
    // Made once and never freed: sessions of every thread share it.
    static const BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velredis socket");
        if (!m) return static_cast<BIO_METHOD*>(nullptr);
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        BIO_meth_set_destroy(m, BioDestroy);
        return m;
    }();
    return method;
}

void RequireReadable(const std::string& file, const char* what) {
    if (::access(file.c_str(), R_OK) != 0)
        throw RedisException(std::string("Cannot read the TLS ") + what + " " + file + ": " +
                             std::strerror(errno));
}

}  // namespace

bool IsIpAddress(const std::string& host) {
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    unsigned char address[16];
    return ::inet_pton(AF_INET, bare.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, bare.c_str(), address) == 1;
}

// ---- TlsContext ----------------------------------------------------------------------------

TlsContext::TlsContext(const RedisEndpointConfig& config) {
    if (config.tlsCertFile.empty() != config.tlsKeyFile.empty())
        throw RedisException(
            "TLS client certificate and key go together: set both tlsCertFile and tlsKeyFile, "
            "or neither.");
    // Checked before the context exists: a constructor that throws frees nothing.
    if (!config.tlsCaFile.empty()) RequireReadable(config.tlsCaFile, "CA file");
    if (!config.tlsCertFile.empty()) {
        RequireReadable(config.tlsCertFile, "client certificate");
        RequireReadable(config.tlsKeyFile, "client key");
    }
    ERR_clear_error();
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx) throw RedisException("Cannot make a TLS context: " + LastOpenSslReason());
    const auto fail = [this](const std::string& what) {
        const std::string reason = LastOpenSslReason();
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
        throw RedisException(what + (reason.empty() ? "" : ": " + reason));
    };
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, nullptr);
    // Partial writes let a large command go out record by record as the socket takes it; the
    // caller may retry a write from a buffer that has moved (the same bytes). A connection the
    // server drops without a closing alert counts as closed, like a plain one: replies carry
    // their own lengths, so a cut-off reply is seen as incomplete anyway.
    SSL_CTX_set_mode(m_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Read ahead: one read of the socket takes in every record that has arrived, instead of a
    // read for each record's header and another for its body.
    SSL_CTX_set_read_ahead(m_ctx, 1);
    SSL_CTX_set_options(m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (config.tlsCaFile.empty()) {
        if (SSL_CTX_set_default_verify_paths(m_ctx) != 1)
            fail("Cannot load the system's default TLS certificate store");
    } else {
        if (SSL_CTX_load_verify_locations(m_ctx, config.tlsCaFile.c_str(), nullptr) != 1)
            fail("Cannot load the TLS CA file " + config.tlsCaFile);
    }
    if (!config.tlsCertFile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(m_ctx, config.tlsCertFile.c_str()) != 1)
            fail("Cannot load the TLS client certificate " + config.tlsCertFile);
        if (SSL_CTX_use_PrivateKey_file(m_ctx, config.tlsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            fail("Cannot load the TLS client key " + config.tlsKeyFile);
        if (SSL_CTX_check_private_key(m_ctx) != 1)
            fail("The TLS client key " + config.tlsKeyFile + " does not match the certificate " +
                 config.tlsCertFile);
    }
}

TlsContext::~TlsContext() {
    SSL_CTX_free(m_ctx);
}

// ---- TlsSession ----------------------------------------------------------------------------

TlsSession::TlsSession(std::shared_ptr<const TlsContext> context, int fd,
                       const std::string& peerName)
    : m_context(std::move(context)) {
    m_io.fd = fd;
    ERR_clear_error();
    const BIO_METHOD* method = SocketMethod();
    m_ssl = method ? SSL_new(m_context->Native()) : nullptr;
    BIO* bio = m_ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
        throw RedisException("Cannot make a TLS session: " + LastOpenSslReason());
    }
    BIO_set_data(bio, new BioIo{m_io.fd, &m_io.received, &m_io.lastErrno});
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl, bio, bio);  // the session owns the BIO from here
    bool named;
    if (IsIpAddress(peerName)) {
        std::string bare = peerName;
        if (bare.front() == '[') bare = bare.substr(1, bare.size() - 2);
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), bare.c_str()) == 1;
    } else {
        SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = !peerName.empty() && SSL_set1_host(m_ssl, peerName.c_str()) == 1 &&
                SSL_set_tlsext_host_name(m_ssl, peerName.c_str()) == 1;
    }
    if (!named) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
        throw RedisException("Cannot check a TLS certificate against the name '" + peerName + "'");
    }
    SSL_set_connect_state(m_ssl);
}

TlsSession::~TlsSession() {
    // No closing alert: the caller shuts the socket down, and a server drops the session with it.
    SSL_free(m_ssl);
}

void TlsSession::Handshake(Clock::time_point deadline, const std::string& where) {
    for (;;) {
        ERR_clear_error();
        m_io.lastErrno = 0;
        const int rc = SSL_do_handshake(m_ssl);
        if (rc == 1) return;
        const int error = SSL_get_error(m_ssl, rc);
        short events;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        else
            throw RedisException(where + ": " + Describe(error, "handshake"));
        if (Clock::now() >= deadline) {
            const std::string why =
                m_io.received == 0
                    ? "the server sent nothing back (does it speak TLS on this port?)"
                    : "the server stopped answering";
            throw RedisTimeoutException(where +
                                        ": the TLS handshake did not complete within the "
                                        "connect time-out; " +
                                        why);
        }
        pollfd p{m_io.fd, events, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) < 0 && errno != EINTR)
            throw RedisException(where + ": cannot poll the connection: " + std::strerror(errno));
    }
}

std::string TlsSession::Describe(int sslError, const char* action) const {
    const unsigned long code = ERR_peek_last_error();
    const int reason = code ? ERR_GET_REASON(code) : 0;
    if (code && ERR_GET_LIB(code) == ERR_LIB_SSL) {
        if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
            const long verify = SSL_get_verify_result(m_ssl);
            return std::string("certificate verify failed: ") +
                   X509_verify_cert_error_string(verify);
        }
        if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
            reason == SSL_R_UNKNOWN_PROTOCOL || reason == SSL_R_HTTP_REQUEST)
            return "the server does not speak TLS (" + LastOpenSslReason() + ")";
    }
    if (sslError == SSL_ERROR_ZERO_RETURN ||
        (sslError == SSL_ERROR_SYSCALL && m_io.lastErrno == 0 && code == 0))
        return m_io.received == 0 && std::strcmp(action, "handshake") == 0
                   ? "the server closed the connection without a TLS answer (does it speak TLS "
                     "on this port?)"
                   : std::string("the server closed the connection during the TLS ") + action;
    if (sslError == SSL_ERROR_SYSCALL && m_io.lastErrno != 0)
        return std::string("TLS ") + action + " failed: " + std::strerror(m_io.lastErrno);
    const std::string why = LastOpenSslReason();
    return std::string("TLS ") + action + " failed" + (why.empty() ? "" : ": " + why);
}

TlsSession::Result TlsSession::Finish(int rc, const char* action) {
    if (rc > 0) return {Status::Ok, static_cast<std::size_t>(rc)};
    const int error = SSL_get_error(m_ssl, rc);
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return {Status::WantRead, 0};
        case SSL_ERROR_WANT_WRITE:
            return {Status::WantWrite, 0};
        default:
            break;
    }
    m_error = Describe(error, action);
    const bool closed =
        error == SSL_ERROR_ZERO_RETURN ||
        (error == SSL_ERROR_SYSCALL && m_io.lastErrno == 0 && ERR_peek_last_error() == 0);
    return {closed ? Status::Closed : Status::Failed, 0};
}

TlsSession::Result TlsSession::Read(char* buffer, std::size_t size) {
    ERR_clear_error();
    m_io.lastErrno = 0;
    const int n = SSL_read(m_ssl, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    const Result result = Finish(n, "read");
    m_drained = result.status != Status::Ok;
    return result;
}

TlsSession::Result TlsSession::Write(const char* data, std::size_t size) {
    ERR_clear_error();
    m_io.lastErrno = 0;
    const int n = SSL_write(m_ssl, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    return Finish(n, "write");
}

bool TlsSession::HasBuffered() const {
    // Once a read found nothing to return, what the session still holds is the start of a
    // record whose rest has not arrived: the socket must be waited for.
    return !m_drained && SSL_has_pending(m_ssl) == 1;
}

}  // namespace velmora::caching::detail
