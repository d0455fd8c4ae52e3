// expect: return a V or something convertible to std::shared_ptr<const V>
#include <vector>

#include "caching/ReadThroughCache.h"

void Use(velmora::caching::ReadThroughCache<std::string>& cache) {
    cache.Get("k", [](const std::string&) { return std::vector<int>{1}; });
}
