// The hash slot of a key on a Redis cluster.
//
// A cluster splits its key space into 16384 slots; the slot of a key is the CRC16 (XMODEM
// variant: polynomial 0x1021, initial value 0, no reflection) of the key modulo 16384. When the
// key holds a hash tag, that is a "{" followed later by a "}" with at least one byte between
// them, only the bytes between the first "{" and the first "}" after it are hashed, so that keys
// sharing a tag ("{user1}.a", "{user1}.b") live in one slot.
// Thread contract: safe for concurrent use (pure functions).
#pragma once

#include <cstdint>
#include <string_view>

#include "velsys/Export.h"

namespace velmora::caching {

inline constexpr int kRedisClusterSlots = 16384;

// CRC16/XMODEM of `data`.
VELPLATFORM_EXPORT std::uint16_t RedisCrc16(std::string_view data);
// The part of `key` that is hashed: the hash tag when there is one, else the whole key.
VELPLATFORM_EXPORT std::string_view RedisHashTagOf(std::string_view key);
// The slot of `key`, in [0, kRedisClusterSlots).
VELPLATFORM_EXPORT int RedisKeySlot(std::string_view key);

}  // namespace velmora::caching
