// The coherence wire format, for hosts and tools that announce or read coherence traffic
// without running the coherence service (caching/RedisPubsub.h), which uses these same
// functions.
//
// An announcement says only that, under one key hash, content with one data hash exists as of
// one time: it is published on channel "<namespace><k1>-<k2>" with the text
// "<h1>-<h2>@<timestamp>", every number in lower-case hexadecimal without prefix or padding
// (the timestamp is a raw DateTime value, velcoredata/DateTime.h). The service subscribes to
// "<namespace>*". The parsers raise LogicException ("parts.size() == 2", "split.size() == 2")
// for text with the wrong number of separators; digits that are not hexadecimal are not
// detected and read as 0.
// Thread contract: safe for concurrent use (pure functions).
#pragma once

#include <utility>

#include "VelcacheExport.h"
#include "caching/CacheCoherence.h"
#include "velcoreplatform/TString.h"

namespace velmora::caching {

/// "<first in hex>-<second in hex>".
VELCACHE_EXPORT TString FormatHashPair(const HashPair& pair);
/// The inverse of FormatHashPair. Raises LogicException "parts.size() == 2" unless the text has
/// exactly one "-".
VELCACHE_EXPORT HashPair ParseHashPair(const TString& text);
/// The channel of an announcement under `keyhash` in namespace `ns` (for example "defaultns.").
VELCACHE_EXPORT TString FormatCoherenceChannel(const TString& ns, const HashPair& keyhash);
/// The text of an announcement: "<data hash pair>@<timestamp in hex>".
VELCACHE_EXPORT TString FormatCoherenceMessage(const HashPair& hash, unsigned long long timestamp);
/// The data hash and timestamp of an announcement's text. Raises LogicException
/// "split.size() == 2" unless the text has exactly one "@".
VELCACHE_EXPORT std::pair<HashPair, unsigned long long> ParseMessage(const TString& message);

}  // namespace velmora::caching
