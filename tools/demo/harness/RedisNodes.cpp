#include "harness/RedisNodes.h"

#include <chrono>
#include <optional>

#include "velredis/RedisConnectionPool.h"

namespace demo {

namespace {

// One command's reply; nothing when the server could not be reached.
std::optional<velmora::caching::RedisReplyValue> Ask(const std::string& host, int port,
                                                     const std::vector<std::string>& args) {
    try {
        velmora::caching::RedisEndpointConfig endpoint;
        endpoint.host = host;
        endpoint.port = port;
        endpoint.connectTimeout = std::chrono::milliseconds(500);
        return velmora::caching::RedisConnection(endpoint).Command(args);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

bool RedisCommand(const std::string& host, int port, const std::vector<std::string>& args,
                  std::string* reply) {
    const auto value = Ask(host, port, args);
    if (value && reply) *reply = value->text;
    return value && value->type != velmora::caching::RedisReplyValue::Type::Error;
}

std::vector<velmora::caching::RedisNodeAddress> ClusterNodes(const std::string& list,
                                                             int& masters) {
    for (const auto& node : velmora::caching::RedisNodeAddress::ParseList(list)) {
        const auto slots = Ask(node.host, node.port, {"CLUSTER", "SLOTS"});
        if (!slots || slots->type != velmora::caching::RedisReplyValue::Type::Array) continue;
        try {
            const auto map = velmora::caching::RedisSlotMap::FromClusterSlots(*slots, node.host);
            masters = static_cast<int>(map.Masters().size());
            if (masters > 0) return map.KnownNodes();
        } catch (const std::exception&) {
            // not a cluster's answer: ask the next node
        }
    }
    return {};
}

}  // namespace demo
