// MetricsHttpServer: a small HTTP/1.1 server that answers `GET /metrics` (and HEAD) with the
// text a render function returns, typically OpenMetricsSink::Render, so that a monitoring
// system can scrape a process. The host creates it with the address to listen on and owns it;
// the server owns its listening socket, its connections and the one thread that serves them
// all (non-blocking sockets and poll), which it stops and joins in Stop or its destructor.
//
// Answers: 200 with the rendered text (OpenMetricsSink::ContentType()); 404 for another path
// (a query string is ignored); 405 for another method; 500 when render throws (the exception is
// logged at Warn, not sent); 400 for a malformed request and 431 for a head longer than
// maxRequestBytes, both closing the connection; 503 and a close at once to a connection beyond
// maxConnections. Keep-alive and pipelined requests are honoured, answered in order. A
// connection is closed once it has gone idleTimeout without completing a request, or without
// taking any of a pending answer (a client that stops reading); request bodies are refused.
// render is called on the server's thread with no lock held, once per GET or HEAD of
// /metrics; while it runs no other connection is served.
// Thread contract: safe for concurrent use.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "velsys/Export.h"

namespace Metrics {

/// Limits of a MetricsHttpServer; the defaults suit a scraper polling every few seconds.
struct VELPLATFORM_EXPORT MetricsHttpServerOptions {
    /// Connections served at once; one more is answered 503 and closed. At least 1.
    int maxConnections = 16;
    /// The longest request head accepted (request line, fields, blank line); a longer one is
    /// answered 431. At least 1.
    std::size_t maxRequestBytes = 8192;
    /// How long a connection may go without completing a request, or with an answer pending
    /// that the client does not read, before it is closed. Positive.
    std::chrono::milliseconds idleTimeout{10000};
};

/// Serves `GET /metrics` over HTTP/1.1 from one thread (see the file's opening comment). Safe
/// for concurrent use.
class VELPLATFORM_EXPORT MetricsHttpServer {
public:
    /// Listens on `address` and starts serving. `address` is "host:port", the host an IPv4
    /// address, "localhost" (127.0.0.1) or an IPv6 address in brackets ("[::1]:9464"); port 0
    /// takes any free port (see Port()). Throws VelmoraException naming the address and the
    /// cause when the address cannot be read or listened on ("cannot listen on
    /// 127.0.0.1:9464: Address already in use").
    /// REQUIRES: render is callable; options within the limits their comments state.
    MetricsHttpServer(const std::string& address, std::function<std::string()> render,
                      MetricsHttpServerOptions options = {});
    /// Stops the server (see Stop).
    ~MetricsHttpServer();
    MetricsHttpServer(const MetricsHttpServer&) = delete;
    MetricsHttpServer& operator=(const MetricsHttpServer&) = delete;

    /// The port listened on (the one chosen when the address said 0).
    int Port() const;
    /// The address listened on as "host:port" ("[host]:port" for IPv6), with the port bound.
    std::string Address() const;
    /// Closes the listening socket and every connection, answers pending or not, and joins the
    /// server's thread; waits for a render call under way. Once it returns, render is not
    /// called again and the port is free. Does nothing when already stopped.
    /// REQUIRES: not called from render.
    void Stop();

private:
    class Server;
    const std::unique_ptr<Server> m_server;
};

}  // namespace Metrics
