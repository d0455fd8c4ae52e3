// Internal to velredis: TLS, through OpenSSL, over a socket that hiredis has already connected.
//
// RedisSocket makes a TlsSession after every (re)connect when its endpoint asks for TLS, performs
// the handshake within what is left of the connect time-out, and then moves every byte of the
// connection through the session. The session never blocks: it reads and writes the socket with
// MSG_DONTWAIT (writes with MSG_NOSIGNAL too, so that a write to a connection the server closed
// reports EPIPE instead of raising SIGPIPE) and answers WantRead or WantWrite when it must wait
// for the socket; the caller polls with its own deadline and calls again with the same arguments.
// A TlsContext holds what every session of a connection shares: the trusted CA certificates and
// the client's certificate and key, loaded once.
// TlsContext: safe for concurrent use (OpenSSL's context is reference-counted and read-only once
// made). TlsSession: not thread-safe: use from one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "velredis/RedisConfig.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace velmora::caching::detail {

class TlsContext {
public:
    // Loads `config.tlsCaFile` (or the system's default store when it is empty) and, when set,
    // the client certificate and key. Raises RedisException naming the file that could not be
    // used and why.
    explicit TlsContext(const RedisEndpointConfig& config);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* Native() const { return m_ctx; }

private:
    SSL_CTX* m_ctx = nullptr;  // Constant after construction.
};

// Whether `host` is an IP address (IPv4, or IPv6 with or without brackets) rather than a name.
bool IsIpAddress(const std::string& host);

class TlsSession {
public:
    enum class Status { Ok, WantRead, WantWrite, Closed, Failed };
    struct Result {
        Status status;
        std::size_t bytes;  // moved, when Ok
    };

    // A client session on the connected socket `fd` (which stays owned by the caller), expecting
    // a certificate that names `peerName`: a DNS name (also sent as SNI) or an IP address
    // (checked against the certificate's IP addresses; no SNI).
    TlsSession(std::shared_ptr<const TlsContext> context, int fd, const std::string& peerName);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Runs the handshake until it completes or `deadline` passes. Raises RedisTimeoutException
    // on the deadline and RedisException for a refused handshake; both messages begin with
    // `where` and say why (the certificate verification error, a server that does not speak
    // TLS, a connection closed or reset).
    void Handshake(std::chrono::steady_clock::time_point deadline, const std::string& where);

    // Moves up to `size` bytes. Ok with the count (never 0), WantRead/WantWrite when the socket
    // must become readable/writable first, Closed when the server closed the connection, Failed
    // otherwise (Error says why). REQUIRES: the handshake completed; `size` > 0; after WantRead
    // or WantWrite, a Write is repeated with the same bytes.
    Result Read(char* buffer, std::size_t size);
    Result Write(const char* data, std::size_t size);
    // Whether bytes wait inside the session that a Read would return (decrypted, or whole
    // records read ahead from the socket): a poll of the socket does not see them.
    bool HasBuffered() const;
    // Why the last call answered Failed or Closed.
    const std::string& Error() const { return m_error; }

private:
    Result Finish(int rc, const char* action);
    std::string Describe(int sslError, const char* action) const;

    // What the socket did underneath the session; the BIO writes it.
    struct Io {
        int fd = -1;
        std::size_t received = 0;  // bytes read from the socket since the session began
        int lastErrno = 0;
    };

    const std::shared_ptr<const TlsContext> m_context;
    Io m_io;
    SSL* m_ssl = nullptr;
    std::string m_error;
    bool m_drained = false;  // the last Read returned no bytes
};

}  // namespace velmora::caching::detail
