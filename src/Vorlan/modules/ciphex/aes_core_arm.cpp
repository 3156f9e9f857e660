// AES-256 key expansion on the ARMv8 Cryptography Extensions. Produces
// exactly the bytes of the software expansion in aes_core.cpp, without its
// S-box lookups: SubWord comes from AESE and InvMixColumns from AESIMC.
#include "arm_rounds.h"
#include "byte_order.h"

namespace vorlan::ciphex {
namespace {

// With the word in all four columns, ShiftRows only moves bytes between
// equal columns, so AESE with a zero key is SubBytes of each copy.
CIPHEX_ARM_INLINE std::uint32_t arm_sub_word(std::uint32_t w) {
    const uint8x16_t x = vreinterpretq_u8_u32(vdupq_n_u32(w));
    return vgetq_lane_u32(vreinterpretq_u32_u8(vaeseq_u8(x, vdupq_n_u8(0))), 0);
}

constexpr std::uint32_t rcon[7] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

}  // namespace

CIPHEX_ARM_FN void aes256_expand_key_arm(AesKeySchedule& schedule, const std::uint8_t* key,
                                         int with_decrypt) {
    // Column words as in the software expansion: RotWord is a right rotation.
    std::uint32_t w[60];
    for (int i = 0; i < 8; ++i) w[i] = load_u32_le(key + 4 * i);
    for (int i = 8; i < 60; ++i) {
        std::uint32_t t = w[i - 1];
        if (i % 8 == 0) {
            t = arm_sub_word((t >> 8) | (t << 24)) ^ rcon[i / 8 - 1];
        } else if (i % 8 == 4) {
            t = arm_sub_word(t);
        }
        w[i] = w[i - 8] ^ t;
    }
    for (int i = 0; i < 60; ++i) store_u32_le(&schedule.enc_keys[i / 4][4 * (i % 4)], w[i]);

    if (!with_decrypt) return;
    arm::store128(schedule.dec_keys[0], arm::load128(schedule.enc_keys[14]));
    for (int i = 1; i < 14; ++i) {
        arm::store128(schedule.dec_keys[i], vaesimcq_u8(arm::load128(schedule.enc_keys[14 - i])));
    }
    arm::store128(schedule.dec_keys[14], arm::load128(schedule.enc_keys[0]));
}

}  // namespace vorlan::ciphex
