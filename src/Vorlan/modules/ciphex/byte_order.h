// Explicit byte order for loads and stores of caller memory.
//
// Every multi-byte value that crosses between bytes and machine words goes
// through these helpers, so no code depends on the host's byte order or on
// the alignment of a buffer (memcpy compiles to one plain load or store).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vorlan::ciphex {

inline std::uint32_t load_u32_le(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline void store_u32_le(std::uint8_t* p, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, sizeof v);
}

inline std::uint64_t load_u64_be(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

inline void store_u64_be(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
}

// A 16-byte block as four column words, byte 4j of the block in the least
// significant position of word j.
inline void load_block_words(const std::uint8_t* p, std::uint32_t w[4]) {
    for (int j = 0; j < 4; ++j) w[j] = load_u32_le(p + 4 * j);
}

inline void store_block_words(std::uint8_t* p, const std::uint32_t w[4]) {
    for (int j = 0; j < 4; ++j) store_u32_le(p + 4 * j, w[j]);
}

}  // namespace vorlan::ciphex
