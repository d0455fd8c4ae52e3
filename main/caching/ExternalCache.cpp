#include "caching/ExternalCache.h"

namespace velmora::caching {

// The one instantiation the library ships; its vtables and type information live here.
template class IExternalCache<TString, ExternalBytes>;
template class ExternalCache<TString, ExternalBytes>;

}  // namespace velmora::caching
