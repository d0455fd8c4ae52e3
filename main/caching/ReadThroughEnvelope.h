// The envelope of a read-through cache's value in an external layer:
//   magic | data hash (2 x u64) | production time (u64, raw DateTime) | key length (u32) |
//   key | the codec's bytes [| tag]
// integers little-endian. A value stored with a lifetime of its own (Set with a lifetime) has
// magic "VRT2"/"VRS2" and its lifetime in seconds (u32, not 0) after the production time.
// A value with cache tags (caching/CacheTags.h) has magic "VRT3"/"VRS3": after the production
// time come its lifetime (u32, 0: the reader's), the stamp it was loaded under (2 x u64), the
// number of its tags (u16, not 0) and each tag (u16 length, 1 to 256 bytes; sorted, each once);
// values without tags keep the forms
// above, so that what was stored before tags existed reads as untagged.
// Magic "VRT1": no tag. Magic "VRS1": a 32-byte HMAC-SHA256 tag
// follows, under one of the host's signing keys, over "<cache name>\n" and every byte before
// the tag. The layers store the envelope's bytes as they are given; the signing keys are never
// written anywhere. Pure functions, safe for concurrent use.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "caching/CacheCoherence.h"
#include "caching/CacheTags.h"
#include "caching/GuardedExecution.h"

namespace velmora::caching {

struct Envelope {
    HashPair hash;
    unsigned long long producedAt = 0;
    unsigned int lifetimeSec = 0;  // 0: the reader's own lifetime of values
    std::string key;
    const unsigned char* payload = nullptr;  // into the bytes opened
    std::size_t payloadSize = 0;
    bool isSigned = false;
    CacheTagSet tags;  // empty names: untagged
};

// Signs with `signingKey` when it is not null; `lifetimeSec` 0 writes the form without one.
ExternalBytes SealEnvelope(const std::string& name, const std::string& key, const HashPair& hash,
                           unsigned long long producedAt, const unsigned char* payload,
                           std::size_t size, const std::string* signingKey,
                           unsigned int lifetimeSec = 0, const CacheTagSet* tags = nullptr);

enum class EnvelopeVerdict { Good, Malformed, Unsigned, BadTag };
// Opens `bytes`. With signing keys, only a signed envelope whose tag one of them made is Good
// (an unsigned one is Unsigned, a wrong tag BadTag); without, a signed envelope is read as an
// unsigned one. `envelope` is filled when the verdict is Good.
EnvelopeVerdict OpenEnvelope(const ExternalBytes& bytes, const std::string& name,
                             const std::vector<std::string>& signingKeys, Envelope& envelope);

}  // namespace velmora::caching
