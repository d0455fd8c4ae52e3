// The envelope of a read-through cache's value in an external layer:
//   "VRT1" | data hash (2 x u64) | production time (u64, raw DateTime) | key length (u32) |
//   key | the codec's bytes
// integers little-endian. The layers store the envelope's bytes as they are given. Pure
// functions, safe for concurrent use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "caching/CacheCoherence.h"
#include "caching/GuardedExecution.h"

namespace velmora::caching {

struct Envelope {
    HashPair hash;
    unsigned long long producedAt = 0;
    std::string key;
    const unsigned char* payload = nullptr;  // into the bytes opened
    std::size_t payloadSize = 0;
};

ExternalBytes SealEnvelope(const std::string& key, const HashPair& hash,
                           unsigned long long producedAt, const unsigned char* payload,
                           std::size_t size);
// Empty for bytes that are no envelope (too short, wrong magic, lengths that overrun).
std::optional<Envelope> OpenEnvelope(const ExternalBytes& bytes);

}  // namespace velmora::caching
