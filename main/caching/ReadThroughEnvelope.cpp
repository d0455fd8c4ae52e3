#include "caching/ReadThroughEnvelope.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace velmora::caching {

namespace {

constexpr unsigned char kPlain[4] = {'V', 'R', 'T', '1'};
constexpr unsigned char kSigned[4] = {'V', 'R', 'S', '1'};
constexpr unsigned char kPlainTimed[4] = {'V', 'R', 'T', '2'};
constexpr unsigned char kSignedTimed[4] = {'V', 'R', 'S', '2'};
constexpr unsigned char kPlainTagged[4] = {'V', 'R', 'T', '3'};
constexpr unsigned char kSignedTagged[4] = {'V', 'R', 'S', '3'};
constexpr std::size_t kFixed = 4 + 8 + 8 + 8 + 4;
constexpr std::size_t kLifetimeSize = 4;
constexpr std::size_t kTagSize = 32;
using Tag = std::array<unsigned char, kTagSize>;

void Put(ExternalBytes& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint64_t Take(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

Tag Sign(const std::string& signingKey, const std::string& name, const unsigned char* data,
         std::size_t size) {
    Tag tag{};
    // Fetched once and shared: a fetched algorithm is safe to use from every thread.
    static EVP_MAC* const s_mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* ctx = s_mac ? EVP_MAC_CTX_new(s_mac) : nullptr;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0),
                                 OSSL_PARAM_construct_end()};
    std::size_t length = 0;
    const bool ok = ctx &&
                    EVP_MAC_init(ctx, reinterpret_cast<const unsigned char*>(signingKey.data()),
                                 signingKey.size(), params) == 1 &&
                    EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(name.data()),
                                   name.size()) == 1 &&
                    EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>("\n"), 1) == 1 &&
                    EVP_MAC_update(ctx, data, size) == 1 &&
                    EVP_MAC_final(ctx, tag.data(), &length, tag.size()) == 1 && length == kTagSize;
    EVP_MAC_CTX_free(ctx);
    // A failure leaves a tag of zeros, which no verification accepts (every key's tag of the
    // same bytes is computed the same way and compared in full).
    if (!ok) tag.fill(0);
    return tag;
}

}  // namespace

ExternalBytes SealEnvelope(const std::string& name, const std::string& key, const HashPair& hash,
                           unsigned long long producedAt, const unsigned char* payload,
                           std::size_t size, const std::string* signingKey,
                           unsigned int lifetimeSec, const CacheTagSet* tags) {
    const bool tagged = tags && !tags->names.empty();
    std::size_t tagBytes = 0;
    if (tagged)
        for (const std::string& t : tags->names) tagBytes += 2 + t.size();
    ExternalBytes out;
    out.reserve(kFixed + kLifetimeSize + 18 + tagBytes + key.size() + size +
                (signingKey ? kTagSize : 0));
    const unsigned char* magic = tagged        ? (signingKey ? kSignedTagged : kPlainTagged)
                                 : lifetimeSec ? (signingKey ? kSignedTimed : kPlainTimed)
                                               : (signingKey ? kSigned : kPlain);
    out.insert(out.end(), magic, magic + 4);
    Put(out, hash.first, 8);
    Put(out, hash.second, 8);
    Put(out, producedAt, 8);
    if (tagged || lifetimeSec) Put(out, lifetimeSec, 4);
    if (tagged) {
        Put(out, tags->loadedUnder.ms, 8);
        Put(out, tags->loadedUnder.seq, 8);
        Put(out, tags->names.size(), 2);
        for (const std::string& t : tags->names) {
            Put(out, t.size(), 2);
            out.insert(out.end(), t.begin(), t.end());
        }
    }
    Put(out, key.size(), 4);
    out.insert(out.end(), key.begin(), key.end());
    out.insert(out.end(), payload, payload + size);
    if (signingKey) {
        const Tag tag = Sign(*signingKey, name, out.data(), out.size());
        out.insert(out.end(), tag.begin(), tag.end());
    }
    return out;
}

namespace {

// Reads the tags of a tagged envelope from `p` (at most `end`); the position after them, or
// null when they do not fit.
const unsigned char* ReadTags(const unsigned char* p, const unsigned char* end, CacheTagSet& tags) {
    if (end - p < 18) return nullptr;
    tags.loadedUnder = {Take(p, 8), Take(p + 8, 8)};
    const std::uint64_t count = Take(p + 16, 2);
    p += 18;
    tags.names.clear();
    tags.names.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        if (end - p < 2) return nullptr;
        const std::uint64_t size = Take(p, 2);
        p += 2;
        if (size == 0 || size > kMaxTagBytes || static_cast<std::uint64_t>(end - p) < size)
            return nullptr;
        tags.names.emplace_back(reinterpret_cast<const char*>(p), size);
        p += size;
        // Written sorted, each once: any other order is not an envelope this library made.
        if (i > 0 && !(tags.names[i - 1] < tags.names[i])) return nullptr;
    }
    return count == 0 ? nullptr : p;
}

bool Is(const ExternalBytes& bytes, const unsigned char (&magic)[4]) {
    return std::equal(magic, magic + 4, bytes.begin());
}

}  // namespace

EnvelopeVerdict OpenEnvelope(const ExternalBytes& bytes, const std::string& name,
                             const std::vector<std::string>& signingKeys, Envelope& envelope) {
    if (bytes.size() < kFixed) return EnvelopeVerdict::Malformed;
    const bool tagged = Is(bytes, kSignedTagged) || Is(bytes, kPlainTagged);
    const bool timed = tagged || Is(bytes, kSignedTimed) || Is(bytes, kPlainTimed);
    const bool isSigned = Is(bytes, kSigned) || Is(bytes, kSignedTimed) || Is(bytes, kSignedTagged);
    if (!isSigned && !timed && !Is(bytes, kPlain)) return EnvelopeVerdict::Malformed;
    std::size_t fixed = kFixed + (timed ? kLifetimeSize : 0);
    if (bytes.size() < fixed + (isSigned ? kTagSize : 0)) return EnvelopeVerdict::Malformed;
    const std::size_t body = bytes.size() - (isSigned ? kTagSize : 0);
    const unsigned char* p = bytes.data();
    const auto lifetimeSec = static_cast<unsigned int>(timed ? Take(p + 28, 4) : 0);
    // A timed envelope without a lifetime is not one this library writes.
    if (timed && !tagged && lifetimeSec == 0) return EnvelopeVerdict::Malformed;
    CacheTagSet tags;
    if (tagged) {
        // The key's length follows the tags.
        const unsigned char* after = ReadTags(p + fixed - 4, p + body, tags);
        if (!after || p + body - after < 4) return EnvelopeVerdict::Malformed;
        fixed = static_cast<std::size_t>(after - p) + 4;
    }
    const std::uint64_t keySize = Take(p + fixed - 4, 4);
    if (keySize > body - fixed) return EnvelopeVerdict::Malformed;
    if (!signingKeys.empty()) {
        if (!isSigned) return EnvelopeVerdict::Unsigned;
        const bool matches =
            std::any_of(signingKeys.begin(), signingKeys.end(), [&](const std::string& signingKey) {
                const Tag tag = Sign(signingKey, name, p, body);
                return CRYPTO_memcmp(tag.data(), p + body, kTagSize) == 0;
            });
        if (!matches) return EnvelopeVerdict::BadTag;
    }
    envelope.hash = {Take(p + 4, 8), Take(p + 12, 8)};
    envelope.producedAt = Take(p + 20, 8);
    envelope.lifetimeSec = lifetimeSec;
    envelope.key.assign(reinterpret_cast<const char*>(p + fixed), keySize);
    envelope.payload = p + fixed + keySize;
    envelope.payloadSize = body - fixed - keySize;
    envelope.isSigned = isSigned;
    envelope.tags = std::move(tags);
    return EnvelopeVerdict::Good;
}

}  // namespace velmora::caching
