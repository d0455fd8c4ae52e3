// The main job's plain talk with the Redis nodes of a run, whoever started them: one command to a
// node, and the nodes of a cluster. (A run's private server is a velsupport::RedisServer.)
// Safe for concurrent use: each call opens and closes its own connection.
#pragma once

#include <string>
#include <vector>

#include "velredis/RedisSlotMap.h"

namespace demo {

// The nodes of the cluster that a node of `list` ("HOST:PORT[,HOST:PORT...]") belongs to, as the
// first node that answers CLUSTER SLOTS names them; empty when none answers as a cluster node.
// `masters` receives how many of them serve slots.
std::vector<velmora::caching::RedisNodeAddress> ClusterNodes(const std::string& list, int& masters);

// Sends one command; false when the server could not be reached or answered with an error.
bool RedisCommand(const std::string& host, int port, const std::vector<std::string>& args,
                  std::string* reply = nullptr);

}  // namespace demo
