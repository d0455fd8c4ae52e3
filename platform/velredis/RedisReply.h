// Internal to velredis: what the client library's reader may build from a server's bytes, and a
// reply copied out of its reply object, so that the object can be freed at once and callers see
// plain values (RedisReplyValue).
#pragma once

#include "velredis/RedisConnectionPool.h"

struct redisReply;
struct redisReader;

namespace velmora::caching::detail {

// The most elements an array reply may announce. The reader reserves room for every element an
// array announces before any of them arrives, so a header alone ("*400000000") would take
// gigabytes; no reply the pool asks for comes near this (a SCAN page, a stream page, a cluster's
// slot ranges).
inline constexpr int kMaxReplyArrayElements = 1 << 20;

// Makes `reader` refuse an array announcing more than kMaxReplyArrayElements elements: it then
// fails as on an allocation failure ("Out of memory"), and its connection is dropped like one
// that sent bytes that are not the protocol. Call again after every (re)connect, which makes a
// new reader.
void LimitReplyArrays(redisReader* reader);

// The reply and, for an array, its elements. Types the pool does not use read as Nil.
RedisReplyValue CopyReply(const redisReply* reply);

}  // namespace velmora::caching::detail
