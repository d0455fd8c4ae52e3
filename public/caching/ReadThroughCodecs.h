// ReadThroughCodec<V>: the codec a ReadThroughCache<V> uses when the host passes none, chosen by
// the type of the value.
//
// std::string, std::vector<unsigned char> and std::vector<std::byte> are stored as their bytes.
// A trivially copyable type whose every byte belongs to its value
// (std::has_unique_object_representations_v: no padding, no float) is stored as its object
// representation, in this machine's byte order; bytes of another size decode to null. Padding
// is left out on purpose: equal values with different padding bytes would hash differently, and
// every fill would announce a change that is not one. Pointers are left out too: an address
// means nothing in another process, and so are arrays (wrap one in a struct). Any other V has no
// codec here (ReadThroughCodec<V>::kExists is false) and the host passes its own. Pure functions,
// safe for concurrent use.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "caching/GuardedExecution.h"

namespace velmora::caching {

/// The codec of V when the host passes none; kExists is false for a V without one.
template <class V, class Enable = void>
struct ReadThroughCodec {
    /// No codec for this V.
    static constexpr bool kExists = false;
};

/// Strings are stored as their bytes.
template <>
struct ReadThroughCodec<std::string> {
    /// There is a codec.
    static constexpr bool kExists = true;
    /// The string's bytes.
    static ExternalBytes Encode(const std::string& value) {
        return ExternalBytes(value.begin(), value.end());
    }
    /// A string of the bytes.
    static std::shared_ptr<const std::string> Decode(const unsigned char* data, std::size_t size) {
        return std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
    }
};

/// Byte vectors are stored as they are.
template <>
struct ReadThroughCodec<std::vector<unsigned char>> {
    /// There is a codec.
    static constexpr bool kExists = true;
    /// The bytes.
    static ExternalBytes Encode(const std::vector<unsigned char>& value) { return value; }
    /// The bytes.
    static std::shared_ptr<const std::vector<unsigned char>> Decode(const unsigned char* data,
                                                                    std::size_t size) {
        return std::make_shared<const std::vector<unsigned char>>(data, data + size);
    }
};

/// Byte vectors are stored as they are.
template <>
struct ReadThroughCodec<std::vector<std::byte>> {
    /// There is a codec.
    static constexpr bool kExists = true;
    /// The bytes.
    static ExternalBytes Encode(const std::vector<std::byte>& value) {
        const auto* first = reinterpret_cast<const unsigned char*>(value.data());
        return ExternalBytes(first, first + value.size());
    }
    /// The bytes.
    static std::shared_ptr<const std::vector<std::byte>> Decode(const unsigned char* data,
                                                                std::size_t size) {
        const auto* first = reinterpret_cast<const std::byte*>(data);
        return std::make_shared<const std::vector<std::byte>>(first, first + size);
    }
};

/// Whether V is stored as its object representation.
template <class V>
inline constexpr bool kReadThroughPlainBytes =
    std::is_trivially_copyable_v<V>&& std::has_unique_object_representations_v<V> &&
    !std::is_pointer_v<V> && !std::is_member_pointer_v<V> && !std::is_array_v<V> &&
    !std::is_const_v<V> && !std::is_volatile_v<V>;

/// Trivially copyable types without padding are stored as their object representation.
template <class V>
struct ReadThroughCodec<V, std::enable_if_t<kReadThroughPlainBytes<V>>> {
    /// There is a codec.
    static constexpr bool kExists = true;
    /// The value's object representation.
    static ExternalBytes Encode(const V& value) {
        const auto* first = reinterpret_cast<const unsigned char*>(&value);
        return ExternalBytes(first, first + sizeof(V));
    }
    /// Null for bytes of another size than V's.
    static std::shared_ptr<const V> Decode(const unsigned char* data, std::size_t size) {
        if (size != sizeof(V)) return nullptr;
        struct Raw {
            unsigned char bytes[sizeof(V)];
        };
        Raw raw;
        std::memcpy(raw.bytes, data, sizeof(V));
        return std::make_shared<const V>(std::bit_cast<V>(raw));
    }
};

}  // namespace velmora::caching
