// AES-256 key expansion on AES-NI. Produces exactly the bytes of the
// software expansion in aes_core.cpp.
#include "aesni_rounds.h"

namespace vorlan::ciphex {
namespace {

// x ^ (x << 32) ^ (x << 64) ^ (x << 96): the running xor of the previous
// four key words, in two byte shifts.
CIPHEX_AESNI_INLINE __m128i spread(__m128i x) {
    x = _mm_xor_si128(x, _mm_slli_si128(x, 4));
    return _mm_xor_si128(x, _mm_slli_si128(x, 8));
}

// Even round keys: SubWord(RotWord(last word)) ^ rcon, taken from dword 3.
template <int Rcon>
CIPHEX_AESNI_INLINE __m128i next_even(__m128i two_back, __m128i one_back) {
    __m128i t = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(one_back, Rcon), 0xFF);
    return _mm_xor_si128(spread(two_back), t);
}

// Odd round keys: SubWord(last word) without rotation, from dword 2.
CIPHEX_AESNI_INLINE __m128i next_odd(__m128i two_back, __m128i one_back) {
    __m128i t = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(one_back, 0), 0xAA);
    return _mm_xor_si128(spread(two_back), t);
}

}  // namespace

CIPHEX_AESNI_FN void aes256_expand_key_aesni(AesKeySchedule& schedule, const std::uint8_t* key,
                                             int with_decrypt) {
    __m128i rk[15];
    rk[0] = aesni::load128(key);
    rk[1] = aesni::load128(key + 16);
    rk[2] = next_even<0x01>(rk[0], rk[1]);
    rk[3] = next_odd(rk[1], rk[2]);
    rk[4] = next_even<0x02>(rk[2], rk[3]);
    rk[5] = next_odd(rk[3], rk[4]);
    rk[6] = next_even<0x04>(rk[4], rk[5]);
    rk[7] = next_odd(rk[5], rk[6]);
    rk[8] = next_even<0x08>(rk[6], rk[7]);
    rk[9] = next_odd(rk[7], rk[8]);
    rk[10] = next_even<0x10>(rk[8], rk[9]);
    rk[11] = next_odd(rk[9], rk[10]);
    rk[12] = next_even<0x20>(rk[10], rk[11]);
    rk[13] = next_odd(rk[11], rk[12]);
    rk[14] = next_even<0x40>(rk[12], rk[13]);
    for (int r = 0; r < 15; ++r) aesni::store128(schedule.enc_keys[r], rk[r]);

    if (!with_decrypt) return;
    aesni::store128(schedule.dec_keys[0], rk[14]);
    for (int i = 1; i < 14; ++i) {
        aesni::store128(schedule.dec_keys[i], _mm_aesimc_si128(rk[14 - i]));
    }
    aesni::store128(schedule.dec_keys[14], rk[0]);
}

}  // namespace vorlan::ciphex
