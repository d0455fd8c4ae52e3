#include "metrics2/MetricsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <thread>
#include <utility>
#include <vector>

#include "metrics2/HttpRequest.h"
#include "metrics2/OpenMetrics.h"
#include "velcoreplatform/TLog.h"
#include "velsys/Exceptions.h"
#include "velsys/Locks.h"

using velmora::TMutexLock;

namespace Metrics {
namespace {

using Clock = std::chrono::steady_clock;

// Accepting is paused this long when the process is out of descriptors or memory, instead of
// finding the listening socket readable again at once.
constexpr std::chrono::milliseconds kAcceptPause{100};

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~Fd() { Close(); }
    int Get() const { return m_fd; }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

[[noreturn]] void FailListen(const std::string& address, const std::string& cause) {
    throw VelmoraException("cannot listen on " + address + ": " + cause);
}

// Reads "host:port" (see the constructor's comment) into `out`; false if it is not one.
bool ReadAddress(const std::string& address, sockaddr_storage& out, socklen_t& length) {
    std::string host;
    std::string port;
    if (address.starts_with('[')) {
        const std::size_t close = address.find("]:");
        if (close == std::string::npos) return false;
        host = address.substr(1, close - 1);
        port = address.substr(close + 2);
    } else {
        const std::size_t colon = address.find(':');
        if (colon == std::string::npos || address.find(':', colon + 1) != std::string::npos)
            return false;
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int number = std::stoi(port);
    if (number > 65535) return false;

    out = {};
    if (!address.starts_with('[')) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(number));
        length = sizeof(sockaddr_in);
        return host == "localhost" ? (v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK), true)
                                   : inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(number));
    length = sizeof(sockaddr_in6);
    return inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1;
}

// "host:port" of a bound socket.
std::string AddressText(const sockaddr_storage& address, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
        return "[" + std::string(text) + "]:" + std::to_string(port);
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
    return std::string(text) + ":" + std::to_string(port);
}

// The Date field's value (RFC 9110's IMF-fixdate), without the locale's names.
std::string HttpDate() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                  utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    return text;
}

struct Answer {
    int status = 200;
    const char* reason = "OK";
    std::string body;
    const char* contentType = "text/plain; charset=utf-8";
    const char* extraField = nullptr;  // a whole field line without its CRLF
};

Answer Plain(int status, const char* reason, std::string body) {
    Answer answer;
    answer.status = status;
    answer.reason = reason;
    answer.body = std::move(body);
    return answer;
}

// The bytes of an answer; `head` is null for a request that could not be read.
std::string Response(const Answer& answer, const HttpRequestHead* head, bool keepAlive) {
    std::string text = "HTTP/1.1 " + std::to_string(answer.status) + " " + answer.reason + "\r\n";
    text += "Date: " + HttpDate() + "\r\n";
    text += std::string("Content-Type: ") + answer.contentType + "\r\n";
    text += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    if (answer.extraField) text += std::string(answer.extraField) + "\r\n";
    if (!keepAlive)
        text += "Connection: close\r\n";
    else if (head->version == "HTTP/1.0")
        text += "Connection: keep-alive\r\n";
    text += "\r\n";
    if (!head || head->method != "HEAD") text += answer.body;
    return text;
}

struct Connection {
    Fd fd;
    std::string in;        // received, not yet answered
    std::string out;       // answered, not yet sent
    std::size_t sent = 0;  // of out
    // Accepted, last request read or last byte of an answer sent: the idle time-out counts
    // from here.
    Clock::time_point since;
    bool closeWhenSent = false;  // the last answer ends the connection
    bool peerDone = false;       // the client sent its end
    bool draining = false;       // our end is shut: what still comes is read and dropped until the
                                 // client closes, so that the last answer is not lost to a reset
    bool open = true;
};

}  // namespace

class MetricsHttpServer::Server {
public:
    Server(const std::string& address, std::function<std::string()> render,
           MetricsHttpServerOptions options);

    void Start();
    void Stop();

    // Constant after construction.
    const std::function<std::string()> m_render;
    const MetricsHttpServerOptions m_options;
    std::string m_address;
    int m_port = 0;

private:
    void Run();
    int PollSet(std::vector<pollfd>& polled, Clock::time_point now) const;
    void ServeReady(const std::vector<pollfd>& polled, Clock::time_point now);
    void Accept(Clock::time_point now);
    void Reject(Fd fd);
    void Read(Connection& connection, Clock::time_point now);
    void Serve(Connection& connection, Clock::time_point now);
    void Flush(Connection& connection, Clock::time_point now);
    Answer AnswerTo(const HttpRequestHead& head);

    // The listening socket and the wake-up pipe: opened by the constructor, used by the
    // server's thread while it runs, closed by Stop after joining it.
    Fd m_listen;
    Fd m_wakeRead;
    Fd m_wakeWrite;
    std::atomic<bool> m_stopping{false};

    // Used by the server's thread only.
    std::list<Connection> m_connections;
    Clock::time_point m_acceptPausedUntil;

    velmora::TMutex m_stopMutex;
    std::thread m_thread VEL_GUARDED_BY(m_stopMutex);
};

MetricsHttpServer::Server::Server(const std::string& address, std::function<std::string()> render,
                                  MetricsHttpServerOptions options)
    : m_render(std::move(render)), m_options(options) {
    VEL_ASSERT(m_render);
    VEL_ASSERT(m_options.maxConnections >= 1);
    VEL_ASSERT(m_options.maxRequestBytes >= 1);
    VEL_ASSERT(m_options.idleTimeout.count() > 0);

    sockaddr_storage bind{};
    socklen_t length = 0;
    if (!ReadAddress(address, bind, length))
        FailListen(address, "not host:port (an IPv4 address, localhost or [IPv6 address])");
    m_listen = Fd(::socket(bind.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (m_listen.Get() < 0) FailListen(address, std::strerror(errno));
    const int on = 1;
    if (::setsockopt(m_listen.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(m_listen.Get(), reinterpret_cast<const sockaddr*>(&bind), length) != 0 ||
        ::listen(m_listen.Get(), SOMAXCONN) != 0)
        FailListen(address, std::strerror(errno));
    sockaddr_storage bound{};
    length = sizeof bound;
    if (::getsockname(m_listen.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        FailListen(address, std::strerror(errno));
    m_address = AddressText(bound, m_port);
    int pipe[2];
    if (::pipe2(pipe, O_NONBLOCK | O_CLOEXEC) != 0) FailListen(address, std::strerror(errno));
    m_wakeRead = Fd(pipe[0]);
    m_wakeWrite = Fd(pipe[1]);
}

void MetricsHttpServer::Server::Start() {
    TMutexLock lock(m_stopMutex);
    m_thread = std::thread([this] { Run(); });
}

void MetricsHttpServer::Server::Stop() {
    TMutexLock lock(m_stopMutex);
    if (!m_thread.joinable()) return;
    m_stopping.store(true);
    const char byte = 0;
    const ssize_t written = ::write(m_wakeWrite.Get(), &byte, 1);  // full: a wake-up is pending
    (void)written;
    m_thread.join();
    m_listen.Close();
    m_wakeRead.Close();
    m_wakeWrite.Close();
}

void MetricsHttpServer::Server::Run() {
    std::vector<pollfd> polled;
    while (!m_stopping.load()) {
        Clock::time_point now = Clock::now();
        std::erase_if(m_connections, [&](const Connection& c) {
            return !c.open || now - c.since >= m_options.idleTimeout;
        });
        const int timeout = PollSet(polled, now);
        if (::poll(polled.data(), polled.size(), timeout) < 0) {
            if (errno == EINTR || errno == ENOMEM) continue;
            TLog::LogMessage(
                TLog::Error,
                TString::fromStdString("The metrics endpoint at " + m_address +
                                       " stops serving: poll failed: " + std::strerror(errno)));
            break;
        }
        if (m_stopping.load()) break;
        now = Clock::now();
        ServeReady(polled, now);
        if (polled.back().revents & POLLIN) {  // the listening socket
            try {
                Accept(now);
            } catch (...) {
                TLog::LogCurrentException(TLog::Error,
                                          TString("Accepting a metrics connection failed."));
            }
        }
    }
    m_connections.clear();
}

// What the next poll waits for: the connections first, then the wake-up pipe and the listening
// socket (while accepting is not paused). Returns poll's time-out in milliseconds: until the
// first idle time-out or the end of the pause, -1 for none.
int MetricsHttpServer::Server::PollSet(std::vector<pollfd>& polled, Clock::time_point now) const {
    polled.clear();
    Clock::time_point wake = Clock::time_point::max();
    for (const Connection& c : m_connections) {
        const short events = !c.out.empty() ? POLLOUT : c.peerDone ? 0 : POLLIN;
        polled.push_back({c.fd.Get(), events, 0});
        wake = std::min(wake, c.since + m_options.idleTimeout);
    }
    polled.push_back({m_wakeRead.Get(), POLLIN, 0});
    const bool accepting = now >= m_acceptPausedUntil;
    polled.push_back({m_listen.Get(), static_cast<short>(accepting ? POLLIN : 0), 0});
    if (!accepting) wake = std::min(wake, m_acceptPausedUntil);
    if (wake == Clock::time_point::max()) return -1;
    return static_cast<int>(std::min<std::int64_t>(
        std::chrono::ceil<std::chrono::milliseconds>(wake - now).count(), 1 << 30));
}

// Sends and reads on the connections poll found ready (`polled` starts with them, in order).
void MetricsHttpServer::Server::ServeReady(const std::vector<pollfd>& polled,
                                           Clock::time_point now) {
    std::size_t i = 0;
    for (Connection& c : m_connections) {
        const short events = polled[i++].revents;
        try {
            if (events & POLLNVAL) c.open = false;
            if (c.open && (events & POLLOUT)) {
                Flush(c, now);
                Serve(c, now);  // the requests that waited for the answer before them
            }
            if (c.open && (events & (POLLIN | POLLHUP | POLLERR))) Read(c, now);
        } catch (...) {  // out of memory building an answer: this connection goes
            TLog::LogCurrentException(TLog::Error, TString("A metrics connection failed."));
            c.open = false;
        }
    }
}

void MetricsHttpServer::Server::Accept(Clock::time_point now) {
    for (;;) {
        Fd fd(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.Get() < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                m_acceptPausedUntil = now + kAcceptPause;
            return;  // EAGAIN: none left; a connection that failed before accept: skipped
        }
        const int on = 1;  // each answer is sent whole: no need to wait for more
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const auto served = std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const Connection& c) { return c.open; });
        if (served >= m_options.maxConnections) {
            Reject(std::move(fd));
            continue;
        }
        Connection& c = m_connections.emplace_back();
        c.fd = std::move(fd);
        c.since = now;
    }
}

// Answers 503 and closes, without holding a place for the connection: whatever the answer's
// send does not take at once is dropped.
void MetricsHttpServer::Server::Reject(Fd fd) {
    const std::string text =
        Response(Plain(503, "Service Unavailable", "too many connections\n"), nullptr, false);
    const ssize_t n = ::send(fd.Get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;
    ::shutdown(fd.Get(), SHUT_WR);
    char drop[512];
    while (::recv(fd.Get(), drop, sizeof drop, MSG_DONTWAIT) > 0) {
    }
}

void MetricsHttpServer::Server::Read(Connection& c, Clock::time_point now) {
    char buffer[16384];
    const ssize_t n = ::recv(c.fd.Get(), buffer, sizeof buffer, 0);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.open = false;
        return;
    }
    if (n == 0) {
        c.peerDone = true;
        if (c.draining) c.open = false;
    }
    if (c.draining) return;
    c.in.append(buffer, static_cast<std::size_t>(n));
    Serve(c, now);
}

// Answers the complete requests received, in order, as long as each answer is sent whole.
void MetricsHttpServer::Server::Serve(Connection& c, Clock::time_point now) {
    while (c.open && !c.draining && c.out.empty()) {
        if (c.closeWhenSent) {
            // Our end is done; a client still sending must not see its last answer reset away.
            ::shutdown(c.fd.Get(), SHUT_WR);
            c.draining = true;
            c.since = now;
            if (c.peerDone) c.open = false;
            return;
        }
        HttpRequestHead head;
        switch (ParseHttpRequest(c.in, m_options.maxRequestBytes, head)) {
            case HttpParse::Incomplete:
                if (c.peerDone) c.open = false;  // nothing more will come
                return;
            case HttpParse::Bad:
                c.out = Response(Plain(400, "Bad Request", "malformed request\n"), nullptr, false);
                c.closeWhenSent = true;
                break;
            case HttpParse::TooLarge:
                c.out = Response(Plain(431, "Request Header Fields Too Large",
                                       "request head over " +
                                           std::to_string(m_options.maxRequestBytes) + " bytes\n"),
                                 nullptr, false);
                c.closeWhenSent = true;
                break;
            case HttpParse::Complete:
                c.in.erase(0, head.consumed);
                c.since = now;
                c.out = Response(AnswerTo(head), &head, head.keepAlive);
                c.closeWhenSent = !head.keepAlive;
                break;
        }
        Flush(c, Clock::now());
    }
}

void MetricsHttpServer::Server::Flush(Connection& c, Clock::time_point now) {
    while (c.sent < c.out.size()) {
        const ssize_t n =
            ::send(c.fd.Get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) c.open = false;
            return;
        }
        c.sent += static_cast<std::size_t>(n);
        c.since = now;
    }
    c.out = std::string();
    c.sent = 0;
}

Answer MetricsHttpServer::Server::AnswerTo(const HttpRequestHead& head) {
    if (head.path != "/metrics")
        return Plain(404, "Not Found", "not found; metrics are at /metrics\n");
    if (head.method != "GET" && head.method != "HEAD") {
        Answer answer = Plain(405, "Method Not Allowed", "method not allowed\n");
        answer.extraField = "Allow: GET, HEAD";
        return answer;
    }
    try {
        Answer answer = Plain(200, "OK", m_render());
        answer.contentType = OpenMetricsSink::ContentType();
        return answer;
    } catch (...) {
        // The exception's text may say more than a scraper should see: it goes to the log only.
        TLog::LogCurrentException(TLog::Warn,
                                  TString::fromStdString("Rendering the metrics for " + m_address +
                                                         " failed; the scrape got 500."));
        return Plain(500, "Internal Server Error", "metrics rendering failed\n");
    }
}

MetricsHttpServer::MetricsHttpServer(const std::string& address,
                                     std::function<std::string()> render,
                                     MetricsHttpServerOptions options)
    : m_server(std::make_unique<Server>(address, std::move(render), options)) {
    m_server->Start();
}

MetricsHttpServer::~MetricsHttpServer() {
    Stop();
}

int MetricsHttpServer::Port() const {
    return m_server->m_port;
}

std::string MetricsHttpServer::Address() const {
    return m_server->m_address;
}

void MetricsHttpServer::Stop() {
    m_server->Stop();
}

}  // namespace Metrics
