#include "velredis/RedisProbe.h"

#include <hiredis/hiredis.h>

#include <exception>

#include "velredis/RedisSlotMap.h"
#include "velredis/RedisSocket.h"

namespace velmora::caching {

namespace {

// The servers a probe tries: the one server, or a cluster's seeds (host and port when none).
std::vector<RedisEndpointConfig> ProbeTargets(const RedisEndpointConfig& config) {
    RedisEndpointConfig single = config;
    single.mode = RedisMode::SingleServer;
    single.clusterNodes.clear();
    if (config.mode == RedisMode::SingleServer || config.clusterNodes.empty()) return {single};
    std::vector<RedisEndpointConfig> targets;
    for (const std::string& text : config.clusterNodes) {
        const std::optional<RedisNodeAddress> node = RedisNodeAddress::Parse(text);
        if (!node) continue;  // named in the cause below when nothing else answers
        single.host = node->host;
        single.port = node->port;
        single.unixSocket.clear();
        targets.push_back(single);
    }
    return targets;
}

std::string Ms(std::chrono::milliseconds ms) {
    return std::to_string(ms.count()) + " ms";
}

// Why one server does not answer; "" when it does.
std::string ProbeOne(const RedisEndpointConfig& config) {
    const std::string connectFailure =
        "Cannot connect to Redis at " + DescribeRedisEndpoint(config);
    detail::RedisSocket socket(config);
    bool connected = false;
    try {
        socket.Connect();
        connected = true;
        const auto deadline = detail::Clock::now() + config.commandTimeout;
        socket.Send({"PING"}, deadline);
        const detail::ReplyPtr reply = socket.Read(deadline);
        const std::string text = reply->str ? std::string(reply->str, reply->len) : std::string();
        if (reply->type == REDIS_REPLY_STATUS && text == "PONG") return "";
        return "PING answered \"" + text.substr(0, 200) + "\"";
    } catch (const RedisTimeoutException& e) {
        const std::string what = e.what();
        if (what.starts_with(connectFailure + " over TLS: "))
            return "TLS: " + what.substr(connectFailure.size() + 11);
        return connected
                   ? "no answer to PING within " + Ms(config.commandTimeout)
                   : "no answer within the connect time-out (" + Ms(config.connectTimeout) + ")";
    } catch (const std::exception& e) {
        // The socket's words, without the address the caller names anyway.
        const std::string what = e.what();
        if (what.starts_with(connectFailure + ": ")) return what.substr(connectFailure.size() + 2);
        if (what.starts_with(connectFailure + " over TLS: "))
            return "TLS: " + what.substr(connectFailure.size() + 11);
        return what;
    }
}

}  // namespace

std::string DescribeRedisEndpoint(const RedisEndpointConfig& config) {
    if (config.mode != RedisMode::SingleServer && !config.clusterNodes.empty()) {
        std::string seeds;
        for (const std::string& node : config.clusterNodes)
            seeds += (seeds.empty() ? "" : ",") + node;
        return seeds;
    }
    if (!config.unixSocket.empty()) return config.unixSocket;
    return config.host + ":" + std::to_string(config.port);
}

std::string ProbeRedis(const RedisEndpointConfig& config) {
    try {
        const std::vector<RedisEndpointConfig> targets = ProbeTargets(config);
        if (targets.empty()) return "no seed is a host:port";
        std::string causes;
        for (const RedisEndpointConfig& target : targets) {
            const std::string cause = ProbeOne(target);
            if (cause.empty()) return "";
            if (targets.size() == 1) return cause;
            causes += (causes.empty() ? "" : "; ") + DescribeRedisEndpoint(target) + ": " + cause;
        }
        return causes;
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace velmora::caching
