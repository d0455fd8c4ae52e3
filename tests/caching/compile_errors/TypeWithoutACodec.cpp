// expect: no codec for this V; pass a Codec
#include <memory>

#include "caching/ReadThroughCache.h"

struct Padded {
    char tag;
    long long value;
};

std::unique_ptr<velmora::caching::ReadThroughCache<Padded>> Make(
    velmora::caching::ReadThroughOptions options) {
    return std::make_unique<velmora::caching::ReadThroughCache<Padded>>(options);
}
