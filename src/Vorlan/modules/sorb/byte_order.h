// Little-endian loads and stores at any alignment: the wire form is
// little-endian whatever the host is.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace sorb {

inline uint32_t load_u32_le(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline uint64_t load_u64_le(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Through memcpy rather than std::bit_cast, which GCC 10 (the wheels' tool
// chain) lacks; both compile to one register move.
inline double load_f64_le(const uint8_t* p) {
    uint64_t bits = load_u64_le(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline void store_u32_le(uint8_t* p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, sizeof v);
}

inline void store_u64_le(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
}

inline void store_f64_le(uint8_t* p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    store_u64_le(p, bits);
}

}  // namespace sorb
