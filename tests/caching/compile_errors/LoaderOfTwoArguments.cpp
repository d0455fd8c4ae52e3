// expect: the loader must be callable as loader() or loader(const std::string& key)
#include "caching/ReadThroughCache.h"

void Use(velmora::caching::ReadThroughCache<std::string>& cache) {
    cache.Get("k", [](const std::string& key, int n) { return key + std::to_string(n); });
}
