// expect: the codec must be encode(const V&) -> ExternalBytes
#include <memory>
#include <string>

#include "caching/ReadThroughCache.h"

using velmora::caching::ReadThroughCache;

std::unique_ptr<ReadThroughCache<std::string>> Make(velmora::caching::ReadThroughOptions options) {
    return std::make_unique<ReadThroughCache<std::string>>(
        options, [](const std::string& v) { return v; },
        [](const unsigned char* data, std::size_t size) {
            return std::make_shared<const std::string>(data, data + size);
        });
}
