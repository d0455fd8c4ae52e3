// expect: SetLoader: the loader must be callable as loader(const std::string& key)
#include "caching/ReadThroughCache.h"

void Use(velmora::caching::ReadThroughCache<std::string>& cache) {
    cache.SetLoader([] { return std::string("v"); });
}
