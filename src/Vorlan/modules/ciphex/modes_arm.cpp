// The mode routines on the ARMv8 Cryptography Extensions. IGE and CBC
// encryption run one block per iteration (each block depends on the one
// before); CBC decryption and CTR run eight independent blocks per
// iteration, so the pipelined AESE/AESMC pairs of one block overlap those of
// the others.
#include "arm_rounds.h"
#include "modes_internal.h"

namespace vorlan::ciphex {
namespace {

constexpr int kBatch = 8;
constexpr std::size_t kBatchBytes = 16 * kBatch;

// The counter block for c: big-endian halves, hi in bytes 0..7.
inline uint8x16_t counter_block(Counter128 c) {
    return vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(__builtin_bswap64(c.hi)),
                                             vcreate_u64(__builtin_bswap64(c.lo))));
}

}  // namespace

CIPHEX_ARM_FN void arm_aes256_encrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                                            std::uint8_t* out) {
    const arm::RoundKeys rk = arm::load_round_keys(schedule.enc_keys);
    arm::store128(out, arm::encrypt_block(rk, arm::load128(in)));
}

CIPHEX_ARM_FN void arm_aes256_decrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                                            std::uint8_t* out) {
    const arm::RoundKeys rk = arm::load_round_keys(schedule.dec_keys);
    arm::store128(out, arm::decrypt_block(rk, arm::load128(in)));
}

// In the chained routines the xor that links a block to the next one rides
// in the xor with the last round key, off the chain of AES instructions.

CIPHEX_ARM_FN void arm_ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                      std::size_t len, const std::uint8_t* iv, std::uint8_t* out) {
    const arm::RoundKeys rk = arm::load_round_keys(schedule.enc_keys);
    uint8x16_t prev_c = arm::load128(iv);
    uint8x16_t prev_p = arm::load128(iv + 16);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        const uint8x16_t p = arm::load128(in + i);  // whole block read before out is written
        const uint8x16_t s = arm::encrypt_rounds(rk, veorq_u8(p, prev_c));
        prev_c = veorq_u8(s, veorq_u8(rk.k[14], prev_p));
        arm::store128(out + i, prev_c);
        prev_p = p;
    }
}

CIPHEX_ARM_FN void arm_ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                      std::size_t len, const std::uint8_t* iv, std::uint8_t* out) {
    const arm::RoundKeys rk = arm::load_round_keys(schedule.dec_keys);
    uint8x16_t prev_c = arm::load128(iv);
    uint8x16_t prev_p = arm::load128(iv + 16);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        const uint8x16_t c = arm::load128(in + i);
        const uint8x16_t s = arm::decrypt_rounds(rk, veorq_u8(c, prev_p));
        prev_p = veorq_u8(s, veorq_u8(rk.k[14], prev_c));
        arm::store128(out + i, prev_p);
        prev_c = c;
    }
}

CIPHEX_ARM_FN void arm_cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                      std::size_t len, const std::uint8_t* iv, std::uint8_t* out) {
    const arm::RoundKeys rk = arm::load_round_keys(schedule.enc_keys);
    uint8x16_t prev = arm::load128(iv);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        prev = arm::encrypt_block(rk, veorq_u8(arm::load128(in + i), prev));
        arm::store128(out + i, prev);
    }
}

CIPHEX_ARM_FN void arm_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                      std::size_t len, const std::uint8_t* iv, std::uint8_t* out) {
    const arm::RoundKeys rk = arm::load_round_keys(schedule.dec_keys);
    uint8x16_t prev = arm::load128(iv);
    std::size_t i = 0;
    for (; i + kBatchBytes <= len; i += kBatchBytes) {
        uint8x16_t x[kBatch];
        for (int b = 0; b < kBatch; ++b) x[b] = arm::load128(in + i + 16 * b);
        arm::decrypt_rounds(rk, x);
        // Every ciphertext block of the batch is read before the first
        // store, so in place works.
        x[0] = veorq_u8(x[0], veorq_u8(rk.k[14], prev));
        for (int b = 1; b < kBatch; ++b) {
            x[b] = veorq_u8(x[b], veorq_u8(rk.k[14], arm::load128(in + i + 16 * (b - 1))));
        }
        prev = arm::load128(in + i + 16 * (kBatch - 1));
        for (int b = 0; b < kBatch; ++b) arm::store128(out + i + 16 * b, x[b]);
    }
    for (; i + 16 <= len; i += 16) {
        const uint8x16_t c = arm::load128(in + i);  // kept before out is written: in place works
        arm::store128(out + i, veorq_u8(arm::decrypt_rounds(rk, c), veorq_u8(rk.k[14], prev)));
        prev = c;
    }
}

CIPHEX_ARM_FN void arm_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr,
                                    const std::uint8_t* in, std::size_t len, std::uint8_t* out) {
    std::size_t used = ctr_use_buffered(ctr, in, len, out);
    in += used;
    out += used;
    len -= used;
    if (len == 0) return;

    const arm::RoundKeys rk = arm::load_round_keys(schedule.enc_keys);
    Counter128 c = load_counter(ctr.counter);
    while (len >= kBatchBytes) {
        uint8x16_t x[kBatch];
        for (int b = 0; b < kBatch; ++b) {
            x[b] = counter_block(c);
            increment_counter(c);
        }
        arm::encrypt_rounds(rk, x);
        // Each block's input is read before its own output is written.
        for (int b = 0; b < kBatch; ++b) {
            arm::store128(out + 16 * b, veorq_u8(x[b], veorq_u8(rk.k[14], arm::load128(in + 16 * b))));
        }
        ctr.offset += kBatchBytes;
        in += kBatchBytes;
        out += kBatchBytes;
        len -= kBatchBytes;
    }
    while (len >= 16) {
        const uint8x16_t ks = arm::encrypt_block(rk, counter_block(c));
        arm::store128(out, veorq_u8(ks, arm::load128(in)));
        increment_counter(c);
        ctr.offset += 16;
        in += 16;
        out += 16;
        len -= 16;
    }
    if (len > 0) {
        arm::store128(ctr.keystream, arm::encrypt_block(rk, counter_block(c)));
        ctr_use_partial_block(ctr, c, in, len, out);
    }
    store_counter(ctr.counter, c);
}

}  // namespace vorlan::ciphex
