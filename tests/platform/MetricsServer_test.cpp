// The metrics endpoint as a scraper and a misbehaving client see it, over real sockets on the
// loopback: answers and their fields, keep-alive and pipelining, refusals, the connection limit,
// idle and stalled connections closed, a failing render, busy addresses, Stop. A few request
// heads are read by the parser directly (tests/fuzz/http_request.cpp holds the rest).
#include "metrics2/MetricsServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "metrics2/HttpRequest.h"
#include "metrics2/OpenMetrics.h"
#include "velcoreplatform/TLog.h"

namespace {

using Metrics::HttpParse;
using Metrics::HttpRequestHead;
using Metrics::MetricsHttpServer;
using Metrics::MetricsHttpServerOptions;
using testing::AllOf;
using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

// A blocking client; a read gives up after 10 s, so that a fault fails the test, not hangs it.
class Client {
public:
    explicit Client(int port, int receiveBuffer = 0) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        const timeval limit{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (receiveBuffer) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(int));
        sockaddr_in to{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Client() { ::close(m_fd); }
    void Send(const std::string& bytes) { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // The next answer, status line to body (none after a HEAD); empty if the stream ended first.
    std::string Read(bool head = false) {
        std::size_t end;
        while ((end = m_in.find("\r\n\r\n")) == std::string::npos)
            if (!Receive()) return {};
        const std::size_t size =
            end + 4 + (head ? 0 : std::stoul(m_in.substr(m_in.find("Content-Length: ") + 16)));
        while (m_in.size() < size)
            if (!Receive()) return {};
        const std::string answer = m_in.substr(0, size);
        m_in.erase(0, size);
        return answer;
    }
    // The next answer's status; 0 if the stream ended first.
    int Status(bool head = false) {
        const std::string answer = Read(head);
        return answer.size() > 12 ? std::atoi(&answer[9]) : 0;
    }
    // Reads to the end of the stream; true when the server closed (or reset) it.
    bool Closed(std::size_t* received = nullptr) {
        while (Receive()) {
        }
        if (received) *received = m_in.size();
        return m_ended;
    }
    bool connected = false;

private:
    bool Receive() {
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        m_ended = n == 0 || (n < 0 && errno == ECONNRESET);
        if (n > 0) m_in.append(buffer, std::size_t(n));
        return n > 0;
    }
    const int m_fd;
    bool m_ended = false;
    std::string m_in;
};

std::string Get(const std::string& target, const std::string& fields = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: test\r\n" + fields + "\r\n";
}

// Renders "scrape N" at the Nth call.
std::function<std::string()> Counting(std::atomic<int>& calls) {
    return [&calls] { return "scrape " + std::to_string(++calls) + "\n"; };
}

TEST(HttpRequest, ReadsOneHeadAtATimeAndRefusesWhatItCannotServe) {
    HttpRequestHead head;
    const std::string first = Get("/metrics?x=1");
    ASSERT_EQ(Metrics::ParseHttpRequest(first + "GET", 8192, head), HttpParse::Complete);
    EXPECT_EQ(head.path, "/metrics");
    EXPECT_EQ(head.consumed, first.size());
    ASSERT_EQ(Metrics::ParseHttpRequest("GET / HTTP/1.0\nConnection: Keep-Alive\n\n", 99, head),
              HttpParse::Complete);
    EXPECT_TRUE(head.keepAlive);
    for (const char* bad :
         {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n", "GET / HTTP/2.0\r\n",
          "GET / HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\rX", "\x16\x03\x01"})
        EXPECT_EQ(Metrics::ParseHttpRequest(bad, 8192, head), HttpParse::Bad) << bad;
    // The limit counts the blank line.
    EXPECT_EQ(Metrics::ParseHttpRequest(first, first.size(), head), HttpParse::Complete);
    EXPECT_EQ(Metrics::ParseHttpRequest(first, first.size() - 1, head), HttpParse::TooLarge);
    EXPECT_EQ(Metrics::ParseHttpRequest(first.substr(0, first.size() - 1), 8192, head),
              HttpParse::Incomplete);
}

TEST(MetricsServer, AnswersInOrderOnKeptConnections) {
    std::atomic<int> scrapes{0};
    MetricsHttpServer server("localhost:0", Counting(scrapes));
    EXPECT_EQ(server.Address(), "127.0.0.1:" + std::to_string(server.Port()));
    Client client(server.Port());
    client.Send("HEAD /metrics HTTP/1.1\r\nHost: test\r\n\r\n");
    EXPECT_THAT(client.Read(true), HasSubstr("\r\nContent-Length: 9\r\n"));
    client.Send(Get("/metrics") + Get("/other") + "POST /metrics HTTP/1.1\r\nHost: t\r\n\r\n" +
                Get("/metrics?page=2", "Connection: close\r\n"));
    EXPECT_THAT(client.Read(), AllOf(HasSubstr(Metrics::OpenMetricsSink::ContentType()),
                                     EndsWith("\r\n\r\nscrape 2\n")));
    EXPECT_EQ(client.Status(), 404);
    EXPECT_THAT(client.Read(),
                AllOf(StartsWith("HTTP/1.1 405 "), HasSubstr("\r\nAllow: GET, HEAD\r\n")));
    EXPECT_THAT(client.Read(),
                AllOf(HasSubstr("\r\nConnection: close\r\n"), EndsWith("scrape 3\n")));
    Client old(server.Port());
    old.Send("GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(old.Status(), 200);
    EXPECT_TRUE(client.Closed() && old.Closed());
}

TEST(MetricsServer, RefusesMalformedOversizedAndSurplusConnections) {
    std::atomic<int> scrapes{0};
    MetricsHttpServerOptions options;
    options.maxConnections = 5;  // the two refused first stay open until their clients close
    options.maxRequestBytes = 512;
    MetricsHttpServer server("127.0.0.1:0", Counting(scrapes), options);
    Client garbage(server.Port()), large(server.Port());
    garbage.Send("GARBAGE\r\n\r\n" + Get("/metrics"));
    large.Send(Get("/metrics", "X-Filler: " + std::string(4000, 'x') + "\r\n"));
    EXPECT_EQ(garbage.Status(), 400);
    EXPECT_EQ(large.Status(), 431);
    EXPECT_TRUE(garbage.Closed() && large.Closed());
    EXPECT_EQ(scrapes, 0);

    auto kept = std::make_unique<Client>(server.Port());
    Client second(server.Port()), third(server.Port()), surplus(server.Port());
    EXPECT_EQ(surplus.Status(), 503);
    EXPECT_TRUE(surplus.Closed());
    kept.reset();  // its place is free once the server has seen the close
    int status = 0;
    for (int attempt = 0; attempt < 100 && status != 200; ++attempt) {
        Client next(server.Port());
        next.Send(Get("/metrics"));
        status = next.Status();
    }
    EXPECT_EQ(status, 200);
}

TEST(MetricsServer, ClosesIdleAndStalledConnections) {
    const std::string big(16 << 20, 'm');
    MetricsHttpServerOptions options;
    options.idleTimeout = std::chrono::milliseconds(50);
    MetricsHttpServer server(
        "127.0.0.1:0", [&] { return big; }, options);
    Client silent(server.Port()), partial(server.Port()), done(server.Port());
    partial.Send("GET /metr");
    done.Send("HEAD /metrics HTTP/1.1\r\nHost: t\r\n\r\n");
    EXPECT_EQ(done.Status(true), 200);
    for (Client* c : {&silent, &partial, &done}) EXPECT_TRUE(c->Closed());

    // A client that asks for the text and takes none of it: once its answer stops moving, the
    // connection goes with the rest of the answer.
    Client stalled(server.Port(), 4096);
    stalled.Send(Get("/metrics"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::size_t received = 0;
    EXPECT_TRUE(stalled.Closed(&received));
    EXPECT_LT(received, big.size());
}

TEST(MetricsServer, AThrowingRenderGets500AndServingGoesOn) {
    auto warnings = std::make_shared<velmora::CapturingLogSink>(TLog::Warn);
    velmora::ScopedLogSink scope(warnings);
    std::atomic<int> calls{0};
    MetricsHttpServer server("127.0.0.1:0", [&]() -> std::string {
        if (++calls == 1) throw std::runtime_error("secret detail");
        return "ok\n";
    });
    Client client(server.Port());
    client.Send(Get("/metrics") + Get("/metrics"));
    EXPECT_THAT(client.Read(), AllOf(StartsWith("HTTP/1.1 500 "), Not(HasSubstr("secret"))));
    EXPECT_THAT(client.Read(), EndsWith("\r\n\r\nok\n"));
    ASSERT_EQ(warnings->Records().size(), 1u);
    EXPECT_EQ(warnings->Records()[0].attributes.at(TString("exception")), TString("secret detail"));
}

TEST(MetricsServer, AnAddressThatCannotBeListenedOnThrowsNamingIt) {
    std::atomic<int> scrapes{0};
    MetricsHttpServer busy("127.0.0.1:0", Counting(scrapes));
    for (const std::string& address :
         {busy.Address(), std::string("127.0.0.1"), std::string("metrics.example:80"),
          std::string("[::1:80"), std::string("127.0.0.1:65536")}) {
        try {
            MetricsHttpServer server(address, Counting(scrapes));
            ADD_FAILURE() << address << " was listened on";
        } catch (const VelmoraException& e) {
            EXPECT_THAT(e.what(), StartsWith("cannot listen on " + address + ": "));
        }
    }
}

TEST(MetricsServer, StopClosesHeldConnectionsAndFreesThePort) {
    std::atomic<int> scrapes{0};
    auto server = std::make_unique<MetricsHttpServer>("127.0.0.1:0", Counting(scrapes));
    const std::string address = server->Address();
    Client held(server->Port());
    held.Send(Get("/metrics"));
    EXPECT_EQ(held.Status(), 200);
    server->Stop();
    EXPECT_TRUE(held.Closed());
    EXPECT_FALSE(Client(server->Port()).connected);
    server->Stop();
    server.reset();
    EXPECT_EQ(MetricsHttpServer(address, Counting(scrapes)).Address(), address);
}

}  // namespace
