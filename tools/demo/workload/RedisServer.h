// RedisServer: a private redis-server on a loopback port, without persistence, for the length of
// a run; it can be restarted on the same port. Also sends single commands to any server and
// finds the nodes of a cluster.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "velredis/RedisSlotMap.h"

namespace demo {

class RedisServer {
public:
    // Starts on a free port; false when redis-server is missing or does not answer.
    bool Start();
    bool Restart();
    void Stop();
    ~RedisServer();
    int Port() const { return m_port; }

private:
    bool Launch();
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_dir;
};

// The nodes of the cluster that a node of `list` ("HOST:PORT[,HOST:PORT...]") belongs to, as the
// first node that answers CLUSTER SLOTS names them; empty when none answers as a cluster node.
// `masters` receives how many of them serve slots.
std::vector<velmora::caching::RedisNodeAddress> ClusterNodes(const std::string& list, int& masters);

// Sends one command; false when the server could not be reached or answered with an error.
bool RedisCommand(const std::string& host, int port, const std::vector<std::string>& args,
                  std::string* reply = nullptr);

}  // namespace demo
