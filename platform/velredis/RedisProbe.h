// Whether a Redis endpoint answers, and why not: what a host checks before it relies on it.
//
// ProbeRedis makes a connection of its own for each server it tries (nothing of the process's
// pool or subscriber is touched), logs in as every connection does (TLS handshake, AUTH, SELECT)
// and sends PING. Thread contract: safe for concurrent use.
#pragma once

#include <string>

#include "velredis/RedisConfig.h"
#include "velsys/Export.h"

namespace velmora::caching {

/// Where `config` points, as operators write it: "host:port", the unix socket's path, or for a
/// cluster its seeds joined by commas.
VELPLATFORM_EXPORT std::string DescribeRedisEndpoint(const RedisEndpointConfig& config);

/// "" when PING was answered PONG after the connect, the TLS handshake, AUTH and SELECT; else
/// why not, in a few words ("Connection refused", "AUTH failed: WRONGPASS ...", "no answer to
/// PING within 1000 ms", a TLS error). Takes at most the connect time-out plus one command
/// time-out per server tried. A cluster (or Detect with seeds) counts as reachable when any seed
/// answers; the seeds are tried in order and the cause names each one that did not. Never
/// raises.
VELPLATFORM_EXPORT std::string ProbeRedis(const RedisEndpointConfig& config);

}  // namespace velmora::caching
