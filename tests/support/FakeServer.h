// Stands in for a server that misbehaves on purpose: a loopback listener on a free port (in
// `config`) that hands its first accepted connection to `handler` on a thread of its own and
// closes it when the handler returns. The destructor stops listening and joins the thread. One
// test thread owns it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "velredis/RedisConfig.h"

namespace veltest {

class FakeServer {
public:
    explicit FakeServer(std::function<void(int)> handler) {
        sockaddr_in addr = Loopback(0);
        socklen_t len = sizeof addr;
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), len);
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        config.port = ntohs(addr.sin_port);
        ::listen(m_listen, 8);
        m_thread = std::thread([this, handler] {
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client >= 0) handler(client), ::close(client);
        });
    }
    ~FakeServer() {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    static sockaddr_in Loopback(int port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        return addr;
    }

    velmora::caching::RedisEndpointConfig config;

private:
    int m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    std::thread m_thread;
};

}  // namespace veltest
