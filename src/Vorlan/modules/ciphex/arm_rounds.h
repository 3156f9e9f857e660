// ARMv8 Cryptography Extension building blocks shared by the *_arm.cpp
// sources only.
//
// The AES instructions are enabled per function through target attributes,
// not for the whole translation unit, so the compiler cannot place them in
// code that runs before the kernel's hardware capabilities have been read.
// Plain NEON is part of the aarch64 baseline and needs no attribute.
//
// AESE(x, k) is SubBytes(ShiftRows(x ^ k)) and AESMC is MixColumns, so the
// round key is applied before its round rather than after: a round of the
// standard cipher with key r + 1 is AESMC(AESE(x, k[r])), and the last round
// key is a plain xor. AESD and AESIMC mirror this for the equivalent
// inverse cipher, which is why dec_keys needs no other layout here.
#pragma once

#include <arm_neon.h>

#include <bit>
#include <cstdint>

#include "aes_core.h"

static_assert(std::endian::native == std::endian::little,
              "the arm-crypto backend assumes little-endian lanes");

#define CIPHEX_ARM_FN __attribute__((target("+crypto")))
#define CIPHEX_ARM_INLINE __attribute__((target("+crypto"), always_inline)) inline

namespace vorlan::ciphex::arm {

inline uint8x16_t load128(const std::uint8_t* p) { return vld1q_u8(p); }

inline void store128(std::uint8_t* p, uint8x16_t v) { vst1q_u8(p, v); }

// The 15 round keys of one direction in registers; aarch64 has 32 vector
// registers, so they stay there alongside eight block states.
struct RoundKeys {
    uint8x16_t k[15];
};

inline RoundKeys load_round_keys(const std::uint8_t keys[15][16]) {
    RoundKeys rk;
    for (int r = 0; r < 15; ++r) rk.k[r] = load128(keys[r]);
    return rk;
}

// Thirteen AESE/AESMC pairs and the final AESE: everything but the xor with
// the last round key, which callers fold with whatever else they xor.
CIPHEX_ARM_INLINE uint8x16_t encrypt_rounds(const RoundKeys& rk, uint8x16_t x) {
    for (int r = 0; r < 13; ++r) x = vaesmcq_u8(vaeseq_u8(x, rk.k[r]));
    return vaeseq_u8(x, rk.k[13]);
}

CIPHEX_ARM_INLINE uint8x16_t decrypt_rounds(const RoundKeys& rk, uint8x16_t x) {
    for (int r = 0; r < 13; ++r) x = vaesimcq_u8(vaesdq_u8(x, rk.k[r]));
    return vaesdq_u8(x, rk.k[13]);
}

// The same on N independent blocks, round by round, so the instructions of
// one block fill the pipeline gaps of the others.
template <int N>
CIPHEX_ARM_INLINE void encrypt_rounds(const RoundKeys& rk, uint8x16_t (&x)[N]) {
    for (int r = 0; r < 13; ++r) {
        for (int b = 0; b < N; ++b) x[b] = vaesmcq_u8(vaeseq_u8(x[b], rk.k[r]));
    }
    for (int b = 0; b < N; ++b) x[b] = vaeseq_u8(x[b], rk.k[13]);
}

template <int N>
CIPHEX_ARM_INLINE void decrypt_rounds(const RoundKeys& rk, uint8x16_t (&x)[N]) {
    for (int r = 0; r < 13; ++r) {
        for (int b = 0; b < N; ++b) x[b] = vaesimcq_u8(vaesdq_u8(x[b], rk.k[r]));
    }
    for (int b = 0; b < N; ++b) x[b] = vaesdq_u8(x[b], rk.k[13]);
}

CIPHEX_ARM_INLINE uint8x16_t encrypt_block(const RoundKeys& rk, uint8x16_t x) {
    return veorq_u8(encrypt_rounds(rk, x), rk.k[14]);
}

CIPHEX_ARM_INLINE uint8x16_t decrypt_block(const RoundKeys& rk, uint8x16_t x) {
    return veorq_u8(decrypt_rounds(rk, x), rk.k[14]);
}

}  // namespace vorlan::ciphex::arm
