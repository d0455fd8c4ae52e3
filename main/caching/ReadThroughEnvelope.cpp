#include "ReadThroughEnvelope.h"

#include <cstdint>

namespace velmora::caching {

namespace {

constexpr unsigned char kMagic[4] = {'V', 'R', 'T', '1'};
constexpr std::size_t kFixed = 4 + 8 + 8 + 8 + 4;

void Put(ExternalBytes& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint64_t Take(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

}  // namespace

ExternalBytes SealEnvelope(const std::string& key, const HashPair& hash,
                           unsigned long long producedAt, const unsigned char* payload,
                           std::size_t size) {
    ExternalBytes out;
    out.reserve(kFixed + key.size() + size);
    out.insert(out.end(), kMagic, kMagic + 4);
    Put(out, hash.first, 8);
    Put(out, hash.second, 8);
    Put(out, producedAt, 8);
    Put(out, key.size(), 4);
    out.insert(out.end(), key.begin(), key.end());
    out.insert(out.end(), payload, payload + size);
    return out;
}

std::optional<Envelope> OpenEnvelope(const ExternalBytes& bytes) {
    if (bytes.size() < kFixed || !std::equal(kMagic, kMagic + 4, bytes.begin()))
        return std::nullopt;
    const unsigned char* p = bytes.data();
    Envelope e;
    e.hash = {Take(p + 4, 8), Take(p + 12, 8)};
    e.producedAt = Take(p + 20, 8);
    const std::uint64_t keySize = Take(p + 28, 4);
    if (keySize > bytes.size() - kFixed) return std::nullopt;
    e.key.assign(reinterpret_cast<const char*>(p + kFixed), keySize);
    e.payload = p + kFixed + keySize;
    e.payloadSize = bytes.size() - kFixed - keySize;
    return e;
}

}  // namespace velmora::caching
