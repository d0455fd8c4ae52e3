// THash32 and THash128: the foundation's 32-bit and 128-bit hashes of a byte range.
//
// The algorithms are XXH32 and XXH3's 128-bit variant (libxxhash). It is fixed for good: hashes are
// written into stores (the directory names of the disk cache, for one) that a later build must find
// again, so the same bytes and seed must give the same value in every build. Thread contract: safe
// for concurrent use (a pure function).
#pragma once

#include <cstddef>
#include <utility>

#include "velsys/Export.h"

VELPLATFORM_EXPORT unsigned int THash32(const void* data, std::size_t length, unsigned int seed);

// The 128-bit hash of a byte range as (low 64 bits, high 64 bits).
VELPLATFORM_EXPORT std::pair<unsigned long long, unsigned long long> THash128(
    const void* data, std::size_t length, unsigned long long seed);
