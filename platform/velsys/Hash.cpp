#include "velsys/Hash.h"

#include <xxhash.h>

unsigned int THash32(const void* data, std::size_t length, unsigned int seed) {
    return XXH32(data, length, seed);
}
