// A TCP proxy on a free loopback port that forwards every connection to a fixed server and can
// hold back what the server sends: while a drip interval is set, bytes from the server reach the
// client one at a time, one per interval, so that replies arrive slowly but intact. Bytes from
// the client always go through at once. Either side closing closes the other at once (bytes
// held back are lost, as if the server had gone mid-reply). While cut, every connection is
// closed and new ones are closed as soon as accepted: the server is unreachable through the
// proxy alone, and reachable as before to everyone else.
// Each connection runs on a thread of its own; the destructor closes every connection and joins
// the threads. Thread contract: SetDrip and SetCut are safe for concurrent use; anything else needs
// external synchronization.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace veltest {

class DelayingProxy {
public:
    DelayingProxy() = default;
    ~DelayingProxy();
    DelayingProxy(const DelayingProxy&) = delete;
    DelayingProxy& operator=(const DelayingProxy&) = delete;

    // Listens on a free loopback port and forwards to 127.0.0.1:`serverPort`. Returns an empty
    // string on success, else what went wrong.
    std::string Start(int serverPort);
    int Port() const { return m_port; }

    // One byte from the server per `interval` from now on, on every connection; zero forwards
    // at once again (and sends what was held back).
    void SetDrip(std::chrono::milliseconds interval) { m_dripMs = interval.count(); }
    // Cuts every connection through the proxy (returning once all are closed), and lets new
    // ones through again (false).
    void SetCut(bool cut);

private:
    void AcceptLoop();
    void Pump(int client, int server);

    int m_serverPort = 0;
    int m_port = 0;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_dripMs{0};
    std::atomic<bool> m_cut{false};
    std::atomic<int> m_open{0};  // connections whose pump has not closed them yet
    std::thread m_acceptor;
    std::vector<std::thread> m_pumps;  // Touched by the acceptor only, until it is joined.
};

}  // namespace veltest
