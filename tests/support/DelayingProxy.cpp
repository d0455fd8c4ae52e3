#include "support/DelayingProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace veltest {

namespace {

using Clock = std::chrono::steady_clock;

// How often an idle connection or the acceptor looks at the stop flag.
constexpr int kPollMs = 20;

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    return address;
}

}  // namespace

DelayingProxy::~DelayingProxy() {
    m_stop = true;
    if (m_acceptor.joinable()) m_acceptor.join();
    for (auto& pump : m_pumps) pump.join();  // the acceptor, the only other user, is gone
    if (m_listen >= 0) ::close(m_listen);
}

std::string DelayingProxy::Start(int serverPort) {
    m_serverPort = serverPort;
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listen, 64) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return std::string("cannot listen: ") + std::strerror(errno);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
    return "";
}

void DelayingProxy::AcceptLoop() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) continue;
        const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = Loopback(m_serverPort);
        if (server < 0 ||
            ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            // No server: the client sees its connection closed, as it would without the proxy.
            if (server >= 0) ::close(server);
            ::close(client);
            continue;
        }
        // Small writes (one byte, when dripping) leave at once.
        const int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_pumps.emplace_back([this, client, server] { Pump(client, server); });
    }
}

void DelayingProxy::Pump(int client, int server) {
    std::string held;  // from the server, not yet passed on
    bool serverOpen = true;
    Clock::time_point nextByte = Clock::now();
    char buffer[16 * 1024];
    while (!m_stop) {
        const auto drip = std::chrono::milliseconds(m_dripMs.load());
        int waitMs = kPollMs;
        if (!held.empty()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(nextByte - Clock::now()).count();
            waitMs = drip.count() > 0 ? int(std::clamp<long long>(left, 0, kPollMs)) : 0;
        }
        pollfd fds[2] = {{client, POLLIN, 0}, {serverOpen ? server : -1, POLLIN, 0}};
        if (::poll(fds, 2, waitMs) < 0 && errno != EINTR) break;
        if (fds[0].revents) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0 || !SendAll(server, buffer, std::size_t(n))) break;
        }
        if (fds[1].revents) {
            const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
            if (n > 0)
                held.append(buffer, std::size_t(n));
            else
                serverOpen = false;
        }
        if (!held.empty() && drip.count() <= 0) {
            if (!SendAll(client, held.data(), held.size())) break;
            held.clear();
        } else if (!held.empty() && Clock::now() >= nextByte) {
            if (!SendAll(client, held.data(), 1)) break;
            held.erase(0, 1);
            nextByte = Clock::now() + drip;
        }
        if (!serverOpen && held.empty()) break;
    }
    ::close(client);
    ::close(server);
}

}  // namespace veltest
