#include "velsys/Hash.h"

#include <xxhash.h>

unsigned int THash32(const void* data, std::size_t length, unsigned int seed) {
    return XXH32(data, length, seed);
}

std::pair<unsigned long long, unsigned long long> THash128(const void* data, std::size_t length,
                                                           unsigned long long seed) {
    const XXH128_hash_t h = XXH3_128bits_withSeed(data, length, seed);
    return {h.low64, h.high64};
}
