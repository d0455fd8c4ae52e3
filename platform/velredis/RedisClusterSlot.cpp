#include "velredis/RedisClusterSlot.h"

#include <array>

namespace velmora::caching {

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrc16Table = MakeCrc16Table();

}  // namespace

std::uint16_t RedisCrc16(std::string_view data) {
    std::uint16_t crc = 0;
    for (const char c : data)
        crc = static_cast<std::uint16_t>(
            (crc << 8) ^ kCrc16Table[((crc >> 8) ^ static_cast<unsigned char>(c)) & 0xFF]);
    return crc;
}

std::string_view RedisHashTagOf(std::string_view key) {
    const auto open = key.find('{');
    if (open == std::string_view::npos) return key;
    const auto close = key.find('}', open + 1);
    if (close == std::string_view::npos || close == open + 1) return key;
    return key.substr(open + 1, close - open - 1);
}

int RedisKeySlot(std::string_view key) {
    return RedisCrc16(RedisHashTagOf(key)) % kRedisClusterSlots;
}

}  // namespace velmora::caching
