// AES-NI building blocks shared by the AES-NI sources only.
//
// Everything here is compiled for AES-NI through target attributes rather
// than a translation-unit-wide -maes, so the compiler cannot let AES
// instructions leak into code that runs before the CPU has been probed.
// Include this header only from *_aesni.cpp files.
#pragma once

#include <emmintrin.h>
#include <wmmintrin.h>

#include <cstdint>

#include "aes_core.h"

#define CIPHEX_AESNI_FN __attribute__((target("aes,sse2")))
#define CIPHEX_AESNI_INLINE __attribute__((target("aes,sse2"), always_inline)) inline

namespace vorlan::ciphex::aesni {

CIPHEX_AESNI_INLINE __m128i load128(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

CIPHEX_AESNI_INLINE void store128(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// The 15 round keys of one direction, copied into locals once per call so
// the compiler can keep them in registers (or aligned spill slots) across
// the block loop.
struct RoundKeys {
    __m128i k[15];
};

CIPHEX_AESNI_INLINE RoundKeys load_round_keys(const std::uint8_t keys[15][16]) {
    RoundKeys rk;
    for (int r = 0; r < 15; ++r) rk.k[r] = load128(keys[r]);
    return rk;
}

// Rounds 1..13 of encryption: the state after the initial whitening in,
// the input of the last round out.
CIPHEX_AESNI_INLINE __m128i encrypt_middle_rounds(const RoundKeys& rk, __m128i x) {
    for (int r = 1; r < 14; ++r) x = _mm_aesenc_si128(x, rk.k[r]);
    return x;
}

CIPHEX_AESNI_INLINE __m128i decrypt_middle_rounds(const RoundKeys& rk, __m128i x) {
    for (int r = 1; r < 14; ++r) x = _mm_aesdec_si128(x, rk.k[r]);
    return x;
}

CIPHEX_AESNI_INLINE __m128i encrypt_block(const RoundKeys& rk, __m128i x) {
    return _mm_aesenclast_si128(encrypt_middle_rounds(rk, _mm_xor_si128(x, rk.k[0])), rk.k[14]);
}

CIPHEX_AESNI_INLINE __m128i decrypt_block(const RoundKeys& rk, __m128i x) {
    return _mm_aesdeclast_si128(decrypt_middle_rounds(rk, _mm_xor_si128(x, rk.k[0])), rk.k[14]);
}

}  // namespace vorlan::ciphex::aesni
