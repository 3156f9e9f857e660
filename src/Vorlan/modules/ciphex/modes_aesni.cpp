// The mode routines on AES-NI. IGE and CBC encryption run one block per
// iteration (the chaining makes each one dependent AESENC chain per block);
// CBC decryption and CTR run eight independent blocks per iteration to keep
// the AES units busy.
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

// The chained routines below fold the xors that link one block to the next
// into the last-round key, so the critical path from block to block is the
// fourteen AES rounds alone: AESENCLAST(s, k ^ w) = AESENCLAST(s, k) ^ w, and
// the output block is recovered off the critical path as (next state) ^ w.

CIPHEX_AESNI_FN void aesni_ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    const std::size_t n = len / 16;
    if (n == 0) return;
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.enc_keys);
    __m128i prev_p = aesni::load128(iv + 16);
    __m128i p = aesni::load128(in);
    __m128i s = _mm_xor_si128(_mm_xor_si128(p, rk.k[0]), aesni::load128(iv));
    for (std::size_t b = 0; b + 1 < n; ++b) {
        s = aesni::encrypt_middle_rounds(rk, s);
        const __m128i next_p = aesni::load128(in + 16 * (b + 1));  // read before out is written
        const __m128i w = _mm_xor_si128(next_p, rk.k[0]);
        // s becomes y_b ^ next_p ^ k0: the next block's whitened input.
        s = _mm_aesenclast_si128(s, _mm_xor_si128(_mm_xor_si128(rk.k[14], prev_p), w));
        aesni::store128(out + 16 * b, _mm_xor_si128(s, w));
        prev_p = p;
        p = next_p;
    }
    s = aesni::encrypt_middle_rounds(rk, s);
    aesni::store128(out + 16 * (n - 1), _mm_aesenclast_si128(s, _mm_xor_si128(rk.k[14], prev_p)));
}

CIPHEX_AESNI_FN void aesni_ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    const std::size_t n = len / 16;
    if (n == 0) return;
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.dec_keys);
    __m128i prev_c = aesni::load128(iv);
    __m128i c = aesni::load128(in);
    __m128i s = _mm_xor_si128(_mm_xor_si128(c, rk.k[0]), aesni::load128(iv + 16));
    for (std::size_t b = 0; b + 1 < n; ++b) {
        s = aesni::decrypt_middle_rounds(rk, s);
        const __m128i next_c = aesni::load128(in + 16 * (b + 1));
        const __m128i w = _mm_xor_si128(next_c, rk.k[0]);
        // s becomes x_b ^ next_c ^ d0.
        s = _mm_aesdeclast_si128(s, _mm_xor_si128(_mm_xor_si128(rk.k[14], prev_c), w));
        aesni::store128(out + 16 * b, _mm_xor_si128(s, w));
        prev_c = c;
        c = next_c;
    }
    s = aesni::decrypt_middle_rounds(rk, s);
    aesni::store128(out + 16 * (n - 1), _mm_aesdeclast_si128(s, _mm_xor_si128(rk.k[14], prev_c)));
}

CIPHEX_AESNI_FN void aesni_cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    const std::size_t n = len / 16;
    if (n == 0) return;
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.enc_keys);
    __m128i s = _mm_xor_si128(_mm_xor_si128(aesni::load128(in), rk.k[0]), aesni::load128(iv));
    for (std::size_t b = 0; b + 1 < n; ++b) {
        s = aesni::encrypt_middle_rounds(rk, s);
        const __m128i w = _mm_xor_si128(aesni::load128(in + 16 * (b + 1)), rk.k[0]);
        s = _mm_aesenclast_si128(s, _mm_xor_si128(rk.k[14], w));  // c_b ^ next_p ^ k0
        aesni::store128(out + 16 * b, _mm_xor_si128(s, w));
    }
    s = aesni::encrypt_middle_rounds(rk, s);
    aesni::store128(out + 16 * (n - 1), _mm_aesenclast_si128(s, rk.k[14]));
}

CIPHEX_AESNI_FN void aesni_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in,
                                          std::size_t len, const std::uint8_t* iv,
                                          std::uint8_t* out) {
    __m128i prev = aesni::load128(iv);
    std::size_t i = 0;
    // Decryption has no chain: eight blocks at a time keep the AES unit busy.
    for (; i + 128 <= len; i += 128) {
        __m128i x[8];
        for (int b = 0; b < 8; ++b) {
            x[b] = _mm_xor_si128(aesni::load128(in + i + 16 * b), aesni::load128(schedule.dec_keys[0]));
        }
        for (int r = 1; r < 14; ++r) {
            const __m128i k = aesni::load128(schedule.dec_keys[r]);  // one key register, as in CTR
            for (int b = 0; b < 8; ++b) x[b] = _mm_aesdec_si128(x[b], k);
        }
        // The xor with the previous ciphertext rides in the last-round key.
        // Every ciphertext block is read before the first store: in place works.
        const __m128i last = aesni::load128(schedule.dec_keys[14]);
        x[0] = _mm_aesdeclast_si128(x[0], _mm_xor_si128(last, prev));
        for (int b = 1; b < 8; ++b) {
            x[b] = _mm_aesdeclast_si128(x[b], _mm_xor_si128(last, aesni::load128(in + i + 16 * (b - 1))));
        }
        prev = aesni::load128(in + i + 112);
        for (int b = 0; b < 8; ++b) aesni::store128(out + i + 16 * b, x[b]);
    }
    if (i + 16 > len) return;
    const aesni::RoundKeys rk = aesni::load_round_keys(schedule.dec_keys);
    for (; i + 16 <= len; i += 16) {
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
        if ((c.lo & 0xFF) <= 0xF8) {
            // No carry leaves byte 15 within this batch: add 0..7 to that
            // byte alone (the top byte of the high 64-bit lane). From a
            // multiple of eight that add only sets low bits, so it is an
            // xor and the whitening folds into the base: one vector
            // operation per block fewer, which the AES ports feel.
            const __m128i base = counter_block(c);
            const bool aligned = (c.lo & 7) == 0;
            const __m128i whitened = _mm_xor_si128(base, rk.k[0]);
            for (int b = 0; b < 8; ++b) {
                const auto top_byte = static_cast<long long>(std::uint64_t(b) << 56);
                const __m128i step = _mm_set_epi64x(top_byte, 0);
                x[b] = aligned ? _mm_xor_si128(whitened, step)
                               : _mm_xor_si128(_mm_add_epi64(base, step), rk.k[0]);
            }
            add_to_counter(c, 8);
        } else {
            for (int b = 0; b < 8; ++b) {
                x[b] = _mm_xor_si128(counter_block(c), rk.k[0]);
                increment_counter(c);
            }
        }
        for (int r = 1; r < 14; ++r) {
            // One key register serves all eight blocks; keeping all fifteen
            // keys live would spill the block states instead.
            const __m128i k = aesni::load128(schedule.enc_keys[r]);
            for (int b = 0; b < 8; ++b) x[b] = _mm_aesenc_si128(x[b], k);
        }
        // The keystream xor rides in the last-round key.
        const __m128i last = aesni::load128(schedule.enc_keys[14]);
        for (int b = 0; b < 8; ++b) {
            x[b] = _mm_aesenclast_si128(x[b], _mm_xor_si128(last, aesni::load128(in + 16 * b)));
            aesni::store128(out + 16 * b, x[b]);
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
        ctr_use_partial_block(ctr, c, in, len, out);
    }
    store_counter(ctr.counter, c);
}

}  // namespace vorlan::ciphex
