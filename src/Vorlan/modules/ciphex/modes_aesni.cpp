// The mode routines on AES-NI. IGE and CBC run one block per iteration (the
// chaining makes encryption one dependent AESENC chain per block); CTR runs
// eight independent blocks per iteration to keep the AES units busy.
#include "aesni_rounds.h"
#include "modes_internal.h"

namespace vorlan::ciphex {
namespace {

// The counter block for c: big-endian halves, hi in bytes 0..7.
CIPHEX_AESNI_INLINE __m128i counter_block(Counter128 c) {
    return _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(c.lo)),
                          static_cast<long long>(__builtin_bswap64(c.hi)));
}

}  // namespace

CIPHEX_AESNI_FN void aesni_aes256_encrypt_block(const AesKeySchedule& schedule,
                                                const std::uint8_t* in, std::uint8_t* out) {
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.enc_keys);
    aesni::store128(out, aesni::encrypt_block(rk, aesni::load128(in)));
}

CIPHEX_AESNI_FN void aesni_aes256_decrypt_block(const AesKeySchedule& schedule,
                                                const std::uint8_t* in, std::uint8_t* out) {
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.dec_keys);
    aesni::store128(out, aesni::decrypt_block(rk, aesni::load128(in)));
}

CIPHEX_AESNI_FN void aesni_ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.enc_keys);
    __m128i prev_c = aesni::load128(iv);
    __m128i prev_p = aesni::load128(iv + 16);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        __m128i p = aesni::load128(in + i);
        prev_c = _mm_xor_si128(aesni::encrypt_block(rk, _mm_xor_si128(p, prev_c)), prev_p);
        aesni::store128(out + i, prev_c);
        prev_p = p;
    }
}

CIPHEX_AESNI_FN void aesni_ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.dec_keys);
    __m128i prev_c = aesni::load128(iv);
    __m128i prev_p = aesni::load128(iv + 16);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        __m128i c = aesni::load128(in + i);
        prev_p = _mm_xor_si128(aesni::decrypt_block(rk, _mm_xor_si128(c, prev_p)), prev_c);
        aesni::store128(out + i, prev_p);
        prev_c = c;
    }
}

CIPHEX_AESNI_FN void aesni_cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.enc_keys);
    __m128i prev = aesni::load128(iv);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        prev = aesni::encrypt_block(rk, _mm_xor_si128(aesni::load128(in + i), prev));
        aesni::store128(out + i, prev);
    }
}

CIPHEX_AESNI_FN void aesni_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.dec_keys);
    __m128i prev = aesni::load128(iv);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        __m128i c = aesni::load128(in + i);  // kept before out is written: in place works
        aesni::store128(out + i, _mm_xor_si128(aesni::decrypt_block(rk, c), prev));
        prev = c;
    }
}

CIPHEX_AESNI_FN void aesni_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr,
                                        const std::uint8_t* in, std::size_t len,
                                        std::uint8_t* out) {
    std::size_t used = ctr_use_buffered(ctr, in, len, out);
    in += used;
    out += used;
    len -= used;
    if (len == 0) return;

    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.enc_keys);
    Counter128 c = load_counter(ctr.counter);
    while (len >= 128) {
        __m128i x[8];
        for (int b = 0; b < 8; ++b) {
            x[b] = _mm_xor_si128(counter_block(c), rk.k[0]);
            increment_counter(c);
        }
        for (int r = 1; r < 14; ++r) {
            for (int b = 0; b < 8; ++b) x[b] = _mm_aesenc_si128(x[b], rk.k[r]);
        }
        for (int b = 0; b < 8; ++b) {
            x[b] = _mm_aesenclast_si128(x[b], rk.k[14]);
            aesni::store128(out + 16 * b, _mm_xor_si128(x[b], aesni::load128(in + 16 * b)));
        }
        ctr.offset += 128;
        in += 128;
        out += 128;
        len -= 128;
    }
    while (len >= 16) {
        __m128i ks = aesni::encrypt_block(rk, counter_block(c));
        aesni::store128(out, _mm_xor_si128(ks, aesni::load128(in)));
        increment_counter(c);
        ctr.offset += 16;
        in += 16;
        out += 16;
        len -= 16;
    }
    if (len > 0) {
        aesni::store128(ctr.keystream, aesni::encrypt_block(rk, counter_block(c)));
        for (std::size_t i = 0; i < len; ++i) out[i] = in[i] ^ ctr.keystream[i];
        increment_counter(c);
        ctr.offset += len;
        ctr.state = static_cast<std::uint8_t>(len);
    }
    store_counter(ctr.counter, c);
}

}  // namespace vorlan::ciphex
