// Deterministic test bytes: the same (size, seed) always gives the same
// bytes, on every build; different seeds give different bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pelbrook::testing {

inline std::string TestBytes(std::size_t size, std::uint32_t seed = 1) {
    std::string bytes(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull ^ (static_cast<std::uint64_t>(seed) * 0xBF58476D1CE4E5B9ull);
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes[i] = static_cast<char>(static_cast<unsigned char>(state >> 24));
    }
    return bytes;
}

}  // namespace pelbrook::testing
