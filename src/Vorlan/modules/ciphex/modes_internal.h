// Per-backend mode routines and the counter arithmetic they share.
//
// The public routines in modes.h dispatch to these on the process-wide
// backend; tests and benchmarks call them directly to run both backends in
// one process. Each has the contract of its public namesake, minus the
// backend check. The soft_ routines need detect_backend() to have run (it
// builds their tables); the aesni_ routines need a CPU with AES-NI, the
// arm_ routines one with the ARMv8 AES instructions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "byte_order.h"
#include "modes.h"

namespace vorlan::ciphex {

void soft_ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out);
void soft_ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out);
void soft_cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out);
void soft_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out);
void soft_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr, const std::uint8_t* in,
                       std::size_t len, std::uint8_t* out);
// One block as bytes (16 at in, 16 at out, which may be the same).
void soft_aes256_encrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                               std::uint8_t* out);
void soft_aes256_decrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                               std::uint8_t* out);

#if CIPHEX_HAVE_AESNI
void aesni_ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                          const std::uint8_t* iv, std::uint8_t* out);
void aesni_ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                          const std::uint8_t* iv, std::uint8_t* out);
void aesni_cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                          const std::uint8_t* iv, std::uint8_t* out);
void aesni_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                          const std::uint8_t* iv, std::uint8_t* out);
void aesni_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr,
                        const std::uint8_t* in, std::size_t len, std::uint8_t* out);
void aesni_aes256_encrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                                std::uint8_t* out);
void aesni_aes256_decrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                                std::uint8_t* out);

// The same CBC decryption and CTR on VAES, two blocks per instruction with
// AVX2 (vaes256_) or four with AVX-512F (vaes512_); the rest of each mode
// needs no wider form. Byte-identical to the aesni_ routines, which they
// hand tails and inputs shorter than one batch (VAES*_BATCH bytes) to. They
// need a CPU and an OS with that width (CpuFeatures::aesni_width).
inline constexpr std::size_t VAES256_BATCH = 8 * 32;
inline constexpr std::size_t VAES512_BATCH = 8 * 64;
void vaes256_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                            std::size_t len, const std::uint8_t* iv, std::uint8_t* out);
void vaes256_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr,
                          const std::uint8_t* in, std::size_t len, std::uint8_t* out);
void vaes512_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                            std::size_t len, const std::uint8_t* iv, std::uint8_t* out);
void vaes512_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr,
                          const std::uint8_t* in, std::size_t len, std::uint8_t* out);
#endif

#if CIPHEX_HAVE_ARM_CRYPTO
void arm_ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                        const std::uint8_t* iv, std::uint8_t* out);
void arm_ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                        const std::uint8_t* iv, std::uint8_t* out);
void arm_cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                        const std::uint8_t* iv, std::uint8_t* out);
void arm_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                        const std::uint8_t* iv, std::uint8_t* out);
void arm_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr, const std::uint8_t* in,
                      std::size_t len, std::uint8_t* out);
void arm_aes256_encrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                              std::uint8_t* out);
void arm_aes256_decrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                              std::uint8_t* out);
#endif

// The 128-bit big-endian counter held as two native halves while a routine
// runs; wraps modulo 2^128.
struct Counter128 {
    std::uint64_t hi, lo;
};

inline Counter128 load_counter(const std::uint8_t* block) {
    return Counter128{load_u64_be(block), load_u64_be(block + 8)};
}

inline void store_counter(std::uint8_t* block, Counter128 c) {
    store_u64_be(block, c.hi);
    store_u64_be(block + 8, c.lo);
}

inline void increment_counter(Counter128& c) {
    if (++c.lo == 0) ++c.hi;
}

inline void add_to_counter(Counter128& c, std::uint64_t n) {
    c.lo += n;
    if (c.lo < n) ++c.hi;
}

// Step shared by every CTR path: spends keystream left over from the
// previous call. Returns the number of bytes it consumed from in / wrote to
// out, and advances ctr.state and ctr.offset by it.
inline std::size_t ctr_use_buffered(CtrStreamState& ctr, const std::uint8_t* in,
                                    std::size_t len, std::uint8_t* out) {
    if (ctr.state >= 16) return 0;
    std::size_t n = std::min<std::size_t>(16u - ctr.state, len);
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] ^ ctr.keystream[ctr.state + i];
    ctr.state = static_cast<std::uint8_t>(ctr.state + n);
    ctr.offset += n;
    return n;
}

// The other end of a CTR call: ctr.keystream holds the block of counter c,
// of which the last len (1..15) bytes of the data use the first len bytes;
// the rest is kept for the next call. Moves c on past that block.
inline void ctr_use_partial_block(CtrStreamState& ctr, Counter128& c, const std::uint8_t* in,
                                  std::size_t len, std::uint8_t* out) {
    for (std::size_t i = 0; i < len; ++i) out[i] = in[i] ^ ctr.keystream[i];
    increment_counter(c);
    ctr.offset += len;
    ctr.state = static_cast<std::uint8_t>(len);
}

}  // namespace vorlan::ciphex
