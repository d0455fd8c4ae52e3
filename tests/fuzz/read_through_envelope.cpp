// Fuzz target: the envelope of a read-through cache's stored value (caching/ReadThroughEnvelope),
// compiled into this target from the library's sources since it is private to the library.
// The first byte chooses what the rest is:
//  0: bytes as an external layer returns them, opened without and with signing keys. An
//     envelope that opens is exactly what sealing its fields gives again, and opens under a key
//     only when that key sealed it;
//  1: fields (name, key, hashes, time, lifetime, cache tags, payload) sealed and opened again,
//  unsigned and signed:
//     the fields come back, a signed envelope opens under its key and no other, and an envelope
//     with one byte changed or cut short does not open under the key.
// HMAC-SHA256 itself is OpenSSL's; inputs are capped at 64 KiB.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "caching/ReadThroughEnvelope.h"

using namespace velmora::caching;

namespace {

const std::vector<std::string> kKeys{"first signing key", std::string(80, 'k')};
const std::vector<std::string> kOtherKeys{"another key"};

bool SameFields(const Envelope& a, const Envelope& b) {
    return a.hash == b.hash && a.producedAt == b.producedAt && a.lifetimeSec == b.lifetimeSec &&
           a.key == b.key && a.payloadSize == b.payloadSize && a.tags.names == b.tags.names &&
           a.tags.loadedUnder == b.tags.loadedUnder &&
           std::equal(a.payload, a.payload + a.payloadSize, b.payload);
}

void OpenArbitrary(FuzzedDataProvider& in) {
    const std::string name = in.ConsumeRandomLengthString(32);
    const std::vector<unsigned char> bytes = in.ConsumeRemainingBytes<unsigned char>();
    Envelope plain, keyed;
    const EnvelopeVerdict withoutKeys = OpenEnvelope(bytes, name, {}, plain);
    VELFUZZ_CHECK(withoutKeys == EnvelopeVerdict::Good ||
                  withoutKeys == EnvelopeVerdict::Malformed);
    const EnvelopeVerdict withKeys = OpenEnvelope(bytes, name, kKeys, keyed);
    if (withoutKeys == EnvelopeVerdict::Malformed) {
        VELFUZZ_CHECK(withKeys == EnvelopeVerdict::Malformed);
        return;
    }
    VELFUZZ_CHECK(withKeys != EnvelopeVerdict::Malformed);
    VELFUZZ_CHECK(plain.payload >= bytes.data() &&
                  plain.payload + plain.payloadSize <= bytes.data() + bytes.size());
    // Sealing the fields again gives the same bytes: the tag under whichever key made it.
    const CacheTagSet* tags = plain.tags.names.empty() ? nullptr : &plain.tags;
    const std::string* madeBy = nullptr;
    for (const std::string& key : kKeys) {
        const ExternalBytes sealed =
            SealEnvelope(name, plain.key, plain.hash, plain.producedAt, plain.payload,
                         plain.payloadSize, &key, plain.lifetimeSec, tags);
        if (sealed == bytes) madeBy = &key;
    }
    const ExternalBytes unsigned_ =
        SealEnvelope(name, plain.key, plain.hash, plain.producedAt, plain.payload,
                     plain.payloadSize, nullptr, plain.lifetimeSec, tags);
    if (plain.isSigned) {
        VELFUZZ_CHECK(unsigned_.size() + 32 == bytes.size());
        VELFUZZ_CHECK(std::equal(unsigned_.begin() + 4, unsigned_.end(), bytes.begin() + 4));
        VELFUZZ_CHECK((withKeys == EnvelopeVerdict::Good) == (madeBy != nullptr));
    } else {
        VELFUZZ_CHECK(unsigned_ == bytes);
        VELFUZZ_CHECK(withKeys == EnvelopeVerdict::Unsigned);
    }
    if (withKeys == EnvelopeVerdict::Good) {
        VELFUZZ_CHECK(keyed.isSigned && SameFields(plain, keyed));
    }
}

void SealAndOpen(FuzzedDataProvider& in) {
    const std::string name = in.ConsumeRandomLengthString(32);
    const std::string key = in.ConsumeRandomLengthString(256);
    const HashPair hash{in.ConsumeIntegral<unsigned long long>(),
                        in.ConsumeIntegral<unsigned long long>()};
    const unsigned long long producedAt = in.ConsumeIntegral<unsigned long long>();
    const std::size_t signWith = in.ConsumeIntegralInRange<std::size_t>(0, kKeys.size());
    const std::size_t change = in.ConsumeIntegral<std::size_t>();
    const auto lifetimeSec = in.ConsumeIntegral<unsigned int>();
    // Cache tags as the cache writes them: sorted, each once, 1 to 256 bytes.
    CacheTagSet tags;
    tags.loadedUnder = {in.ConsumeIntegral<std::uint64_t>(), in.ConsumeIntegral<std::uint64_t>()};
    for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n)
        if (std::string tag = in.ConsumeRandomLengthString(24); !tag.empty())
            tags.names.push_back(std::move(tag));
    std::sort(tags.names.begin(), tags.names.end());
    tags.names.erase(std::unique(tags.names.begin(), tags.names.end()), tags.names.end());
    const std::vector<unsigned char> payload = in.ConsumeRemainingBytes<unsigned char>();
    const std::string* signingKey = signWith < kKeys.size() ? &kKeys[signWith] : nullptr;

    const ExternalBytes sealed = SealEnvelope(name, key, hash, producedAt, payload.data(),
                                              payload.size(), signingKey, lifetimeSec, &tags);
    Envelope opened;
    VELFUZZ_CHECK(OpenEnvelope(sealed, name, {}, opened) == EnvelopeVerdict::Good);
    VELFUZZ_CHECK(opened.hash == hash && opened.producedAt == producedAt && opened.key == key &&
                  opened.lifetimeSec == lifetimeSec);
    VELFUZZ_CHECK(opened.payloadSize == payload.size() &&
                  std::equal(payload.begin(), payload.end(), opened.payload));
    VELFUZZ_CHECK(opened.isSigned == (signingKey != nullptr));
    VELFUZZ_CHECK(opened.tags.names == tags.names);
    VELFUZZ_CHECK(tags.names.empty() || opened.tags.loadedUnder == tags.loadedUnder);

    Envelope keyed;
    const EnvelopeVerdict underKeys = OpenEnvelope(sealed, name, kKeys, keyed);
    const EnvelopeVerdict underOthers = OpenEnvelope(sealed, name, kOtherKeys, keyed);
    if (!signingKey) {
        VELFUZZ_CHECK(underKeys == EnvelopeVerdict::Unsigned);
        VELFUZZ_CHECK(underOthers == EnvelopeVerdict::Unsigned);
        return;
    }
    VELFUZZ_CHECK(underKeys == EnvelopeVerdict::Good);
    VELFUZZ_CHECK(underOthers == EnvelopeVerdict::BadTag);
    // The tag covers the cache's name.
    VELFUZZ_CHECK(OpenEnvelope(sealed, name + "x", kKeys, keyed) == EnvelopeVerdict::BadTag);

    ExternalBytes changed = sealed;
    changed[change % changed.size()] ^=
        static_cast<unsigned char>(1 + change / changed.size() % 255);
    VELFUZZ_CHECK(OpenEnvelope(changed, name, kKeys, keyed) != EnvelopeVerdict::Good);
    ExternalBytes cut(sealed.begin(), sealed.end() - 1);
    VELFUZZ_CHECK(OpenEnvelope(cut, name, kKeys, keyed) != EnvelopeVerdict::Good);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 64 * 1024) return -1;
    FuzzedDataProvider in(data + 1, size - 1);
    if (data[0] % 2 == 0)
        OpenArbitrary(in);
    else
        SealAndOpen(in);
    return 0;
}
