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
        if (m_cut) {
            ::close(client);
            continue;
        }
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
        ++m_open;
        m_pumps.emplace_back([this, client, server] { Pump(client, server); });
    }
}

void DelayingProxy::Pump(int client, int server) {
    std::string held;  // from the server, not yet passed on
    Clock::time_point nextByte = Clock::now();
    char buffer[16 * 1024];
    for (bool open = true; open && !m_stop && !m_cut;) {
        const auto drip = std::chrono::milliseconds(m_dripMs.load());
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextByte - Clock::now());
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        ::poll(fds, 2,
               held.empty() ? kPollMs : int(std::clamp<long long>(left.count(), 0, kPollMs)));
        for (int i = 0; i < 2 && open; ++i) {
            if (!fds[i].revents) continue;
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                open = false;
            else if (i == 0)
                open = SendAll(server, buffer, std::size_t(n));
            else
                held.append(buffer, std::size_t(n));
        }
        // Everything at once without a drip, else one byte when its time has come.
        const std::size_t due = drip.count() <= 0          ? held.size()
                                : Clock::now() >= nextByte ? std::min<std::size_t>(1, held.size())
                                                           : 0;
        if (due > 0) {
            open = open && SendAll(client, held.data(), due);
            held.erase(0, due);
            nextByte = Clock::now() + drip;
        }
    }
    ::close(client);
    ::close(server);
    --m_open;
}

void DelayingProxy::SetCut(bool cut) {
    m_cut = cut;
    while (cut && m_open > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace veltest
