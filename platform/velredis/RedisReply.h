// Internal to velredis: a reply copied out of the client library's reply object, so that the
// object can be freed at once and callers see plain values (RedisReplyValue).
#pragma once

#include "velredis/RedisConnectionPool.h"

struct redisReply;

namespace velmora::caching::detail {

// The reply and, for an array, its elements. Types the pool does not use read as Nil.
RedisReplyValue CopyReply(const redisReply* reply);

}  // namespace velmora::caching::detail
