// THash32: the foundation's 32-bit hash of a byte range.
//
// The algorithm is XXH32 (libxxhash). It is fixed for good: hashes are written into stores (the
// directory names of the disk cache, for one) that a later build must find again, so the same
// bytes and seed must give the same value in every build. Thread contract: safe for concurrent
// use (a pure function).
#pragma once

#include <cstddef>

#include "velsys/Export.h"

VELPLATFORM_EXPORT unsigned int THash32(const void* data, std::size_t length, unsigned int seed);
