#pragma once

// A fast 64-bit hash of bytes, for the keys and checksums of the compile
// cache and of snapshots. Not cryptographic: it tells a damaged or changed
// file from the one that was written, which is all these files need. It
// reads eight bytes a step, so that a snapshot of tens of megabytes is
// checked in a few milliseconds at every start.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qor::format::engine::javascript {

inline std::uint64_t hashBytes(const void* data, std::size_t size, std::uint64_t seed = 0)
{
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    constexpr std::uint64_t kMix = 0xBF58476D1CE4E5B9ull;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint64_t hash = seed ^ (size * kMultiplier);
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        word *= kMix;
        word ^= word >> 31;
        hash = (hash ^ word) * kMultiplier;
        hash = (hash << 29) | (hash >> 35);
    }
    std::uint64_t tail = 0;
    // Not even an empty copy from no bytes: an empty text's view may point
    // nowhere, and memcpy from a null pointer is undefined whatever the size.
    if (size > at)
        std::memcpy(&tail, bytes + at, size - at);
    hash ^= tail * kMix;
    // The finishing steps of splitmix64: every input bit reaches every output bit.
    hash ^= hash >> 30;
    hash *= kMix;
    hash ^= hash >> 27;
    hash *= 0x94D049BB133111EBull;
    hash ^= hash >> 31;
    return hash;
}

inline std::uint64_t hashText(std::string_view text, std::uint64_t seed = 0)
{
    return hashBytes(text.data(), text.size(), seed);
}

}  // namespace qor::format::engine::javascript
