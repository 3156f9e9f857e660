// CBC decryption and CTR on VAES: the AES round instructions on 256-bit
// (AVX2) and 512-bit (AVX-512F) registers, two or four blocks per
// instruction. Only these two modes have independent blocks to fill the
// lanes; everything else stays on the 128-bit routines.
//
// Each width has its own section, compiled for its instruction set through
// target attributes alone, so nothing wide can leak into code that runs
// before the CPU has been probed. A routine works in batches of eight
// vectors (16 or 32 blocks) while a whole batch remains, then one of four
// vectors, and hands what is left, and every input shorter than one batch,
// to the 128-bit routine: small messages cost exactly what they did, and
// the wide registers are never woken for them.
#include <immintrin.h>

#include "modes_internal.h"

#define CIPHEX_VAES256_FN __attribute__((target("vaes,avx2,aes")))
#define CIPHEX_VAES256_INLINE __attribute__((target("vaes,avx2,aes"), always_inline)) inline
#define CIPHEX_VAES512_FN __attribute__((target("vaes,avx512f,avx2,aes")))
#define CIPHEX_VAES512_INLINE \
    __attribute__((target("vaes,avx512f,avx2,aes"), always_inline)) inline

namespace vorlan::ciphex {
namespace {

// Counter blocks c, c + 1, ..., c + n - 1 as bytes, for batches whose
// counters cannot be formed by a byte add (see below). Rare: at most one
// batch in eight.
inline void counter_blocks(Counter128& c, std::uint8_t* blocks, int n) {
    for (int b = 0; b < n; ++b) {
        store_counter(blocks + 16 * b, c);
        increment_counter(c);
    }
}

// True when adding 0..n-1 to c leaves the carry inside byte 15, so the n
// counter blocks differ from the first in that byte alone.
inline bool batch_stays_in_low_byte(Counter128 c, int n) {
    return (c.lo & 0xFF) <= static_cast<std::uint64_t>(0x100 - n);
}

}  // namespace

// ---- 256 bits: VAES with AVX2, two blocks per register ---------------------

namespace {

CIPHEX_VAES256_INLINE __m256i load256(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

CIPHEX_VAES256_INLINE void store256(std::uint8_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// A round key in both lanes, straight from the schedule (one broadcast load;
// sixteen registers cannot hold eight states and fifteen keys).
CIPHEX_VAES256_INLINE __m256i key256(const std::uint8_t* k) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k)));
}

// Counter blocks for NV vectors, whitened with round key 0, and c moved on.
template <int NV>
CIPHEX_VAES256_INLINE void counters256(Counter128& c, __m256i k0, __m256i x[NV]) {
    constexpr int n = 2 * NV;
    if (batch_stays_in_low_byte(c, n)) {
        // Byte 15 is the top byte of each lane's high 64-bit half.
        const __m128i first = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(c.lo)),
                                             static_cast<long long>(__builtin_bswap64(c.hi)));
        const __m256i base = _mm256_broadcastsi128_si256(first);
        // From a multiple of n the add only sets low bits: an xor, with the
        // whitening folded into the base (as in the 128-bit routine).
        const bool aligned = (c.lo & (n - 1)) == 0;
        const __m256i whitened = _mm256_xor_si256(base, k0);
        for (int j = 0; j < NV; ++j) {
            const __m256i step = _mm256_set_epi64x(static_cast<long long>(std::uint64_t(2 * j + 1) << 56), 0,
                                                   static_cast<long long>(std::uint64_t(2 * j) << 56), 0);
            x[j] = aligned ? _mm256_xor_si256(whitened, step)
                           : _mm256_xor_si256(_mm256_add_epi64(base, step), k0);
        }
        add_to_counter(c, n);
    } else {
        alignas(32) std::uint8_t blocks[16 * n];
        counter_blocks(c, blocks, n);
        for (int j = 0; j < NV; ++j) x[j] = _mm256_xor_si256(load256(blocks + 32 * j), k0);
    }
}

template <int NV>
CIPHEX_VAES256_INLINE void ctr_batch256(const AesKeySchedule& schedule, Counter128& c,
                                        const std::uint8_t* in, std::uint8_t* out) {
    __m256i x[NV];
    counters256<NV>(c, key256(schedule.enc_keys[0]), x);
    for (int r = 1; r < 14; ++r) {
        const __m256i k = key256(schedule.enc_keys[r]);
        for (int j = 0; j < NV; ++j) x[j] = _mm256_aesenc_epi128(x[j], k);
    }
    // The keystream xor rides in the last-round key; each vector's input is
    // read before its own output is written, so in place works.
    const __m256i last = key256(schedule.enc_keys[14]);
    for (int j = 0; j < NV; ++j) {
        x[j] = _mm256_aesenclast_epi128(x[j], _mm256_xor_si256(last, load256(in + 32 * j)));
        store256(out + 32 * j, x[j]);
    }
}

// prev holds the ciphertext block before this batch in its high lane.
template <int NV>
CIPHEX_VAES256_INLINE void cbc_dec_batch256(const AesKeySchedule& schedule, __m256i& prev,
                                            const std::uint8_t* in, std::uint8_t* out) {
    __m256i x[NV];
    const __m256i k0 = key256(schedule.dec_keys[0]);
    for (int j = 0; j < NV; ++j) x[j] = _mm256_xor_si256(load256(in + 32 * j), k0);
    for (int r = 1; r < 14; ++r) {
        const __m256i k = key256(schedule.dec_keys[r]);
        for (int j = 0; j < NV; ++j) x[j] = _mm256_aesdec_epi128(x[j], k);
    }
    // The previous ciphertext blocks, one block behind: the first pair from
    // prev and this batch's first block, the others read from in. All are
    // read before the first store, so in place works.
    const __m256i last = key256(schedule.dec_keys[14]);
    const __m256i p0 = _mm256_permute2x128_si256(prev, load256(in), 0x21);
    x[0] = _mm256_aesdeclast_epi128(x[0], _mm256_xor_si256(last, p0));
    for (int j = 1; j < NV; ++j) {
        x[j] = _mm256_aesdeclast_epi128(x[j], _mm256_xor_si256(last, load256(in + 32 * j - 16)));
    }
    prev = load256(in + 32 * (NV - 1));
    for (int j = 0; j < NV; ++j) store256(out + 32 * j, x[j]);
}

}  // namespace

CIPHEX_VAES256_FN void vaes256_cbc256_decrypt(const AesKeySchedule& schedule,
                                              const std::uint8_t* in, std::size_t len,
                                              const std::uint8_t* iv, std::uint8_t* out) {
    constexpr std::size_t kBatch = VAES256_BATCH, kHalf = kBatch / 2;
    if (len < kBatch) return aesni_cbc256_decrypt(schedule, in, len, iv, out);
    __m256i prev = key256(iv);
    for (; len >= kBatch; in += kBatch, out += kBatch, len -= kBatch) {
        cbc_dec_batch256<8>(schedule, prev, in, out);
    }
    if (len >= kHalf) {
        cbc_dec_batch256<4>(schedule, prev, in, out);
        in += kHalf;
        out += kHalf;
        len -= kHalf;
    }
    // The chaining block may already be overwritten in place: pass a copy.
    std::uint8_t chain[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), _mm256_extracti128_si256(prev, 1));
    aesni_cbc256_decrypt(schedule, in, len, chain, out);
}

CIPHEX_VAES256_FN void vaes256_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr,
                                            const std::uint8_t* in, std::size_t len,
                                            std::uint8_t* out) {
    constexpr std::size_t kBatch = VAES256_BATCH, kHalf = kBatch / 2;
    if (len < kBatch) return aesni_ctr256_crypt(schedule, ctr, in, len, out);
    const std::size_t used = ctr_use_buffered(ctr, in, len, out);
    in += used;
    out += used;
    len -= used;
    Counter128 c = load_counter(ctr.counter);
    for (; len >= kBatch; in += kBatch, out += kBatch, len -= kBatch) {
        ctr_batch256<8>(schedule, c, in, out);
        ctr.offset += kBatch;
    }
    if (len >= kHalf) {
        ctr_batch256<4>(schedule, c, in, out);
        ctr.offset += kHalf;
        in += kHalf;
        out += kHalf;
        len -= kHalf;
    }
    store_counter(ctr.counter, c);
    if (len > 0) aesni_ctr256_crypt(schedule, ctr, in, len, out);
}

// ---- 512 bits: VAES with AVX-512F, four blocks per register ----------------

namespace {

CIPHEX_VAES512_INLINE __m512i load512(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

CIPHEX_VAES512_INLINE void store512(std::uint8_t* p, __m512i v) { _mm512_storeu_si512(p, v); }

CIPHEX_VAES512_INLINE __m512i key512(const std::uint8_t* k) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(k)));
}

template <int NV>
CIPHEX_VAES512_INLINE void counters512(Counter128& c, __m512i k0, __m512i x[NV]) {
    constexpr int n = 4 * NV;
    if (batch_stays_in_low_byte(c, n)) {
        const __m128i first = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(c.lo)),
                                             static_cast<long long>(__builtin_bswap64(c.hi)));
        const __m512i base = _mm512_broadcast_i32x4(first);
        const bool aligned = (c.lo & (n - 1)) == 0;
        const __m512i whitened = _mm512_xor_si512(base, k0);
        for (int j = 0; j < NV; ++j) {
            const auto top = [j](int lane) {
                return static_cast<long long>(std::uint64_t(4 * j + lane) << 56);
            };
            const __m512i step = _mm512_set_epi64(top(3), 0, top(2), 0, top(1), 0, top(0), 0);
            x[j] = aligned ? _mm512_xor_si512(whitened, step)
                           : _mm512_xor_si512(_mm512_add_epi64(base, step), k0);
        }
        add_to_counter(c, n);
    } else {
        alignas(64) std::uint8_t blocks[16 * n];
        counter_blocks(c, blocks, n);
        for (int j = 0; j < NV; ++j) x[j] = _mm512_xor_si512(load512(blocks + 64 * j), k0);
    }
}

template <int NV>
CIPHEX_VAES512_INLINE void ctr_batch512(const AesKeySchedule& schedule, Counter128& c,
                                        const std::uint8_t* in, std::uint8_t* out) {
    __m512i x[NV];
    counters512<NV>(c, key512(schedule.enc_keys[0]), x);
    for (int r = 1; r < 14; ++r) {
        const __m512i k = key512(schedule.enc_keys[r]);
        for (int j = 0; j < NV; ++j) x[j] = _mm512_aesenc_epi128(x[j], k);
    }
    const __m512i last = key512(schedule.enc_keys[14]);
    for (int j = 0; j < NV; ++j) {
        x[j] = _mm512_aesenclast_epi128(x[j], _mm512_xor_si512(last, load512(in + 64 * j)));
        store512(out + 64 * j, x[j]);
    }
}

// prev holds the ciphertext block before this batch in its top lane.
template <int NV>
CIPHEX_VAES512_INLINE void cbc_dec_batch512(const AesKeySchedule& schedule, __m512i& prev,
                                            const std::uint8_t* in, std::uint8_t* out) {
    __m512i x[NV];
    const __m512i k0 = key512(schedule.dec_keys[0]);
    for (int j = 0; j < NV; ++j) x[j] = _mm512_xor_si512(load512(in + 64 * j), k0);
    for (int r = 1; r < 14; ++r) {
        const __m512i k = key512(schedule.dec_keys[r]);
        for (int j = 0; j < NV; ++j) x[j] = _mm512_aesdec_epi128(x[j], k);
    }
    const __m512i last = key512(schedule.dec_keys[14]);
    // prev's top lane, then this batch's blocks 0..2.
    const __m512i p0 = _mm512_alignr_epi64(load512(in), prev, 6);
    x[0] = _mm512_aesdeclast_epi128(x[0], _mm512_xor_si512(last, p0));
    for (int j = 1; j < NV; ++j) {
        x[j] = _mm512_aesdeclast_epi128(x[j], _mm512_xor_si512(last, load512(in + 64 * j - 16)));
    }
    prev = load512(in + 64 * (NV - 1));
    for (int j = 0; j < NV; ++j) store512(out + 64 * j, x[j]);
}

}  // namespace

CIPHEX_VAES512_FN void vaes512_cbc256_decrypt(const AesKeySchedule& schedule,
                                              const std::uint8_t* in, std::size_t len,
                                              const std::uint8_t* iv, std::uint8_t* out) {
    constexpr std::size_t kBatch = VAES512_BATCH, kHalf = kBatch / 2;
    if (len < kBatch) return aesni_cbc256_decrypt(schedule, in, len, iv, out);
    __m512i prev = key512(iv);
    for (; len >= kBatch; in += kBatch, out += kBatch, len -= kBatch) {
        cbc_dec_batch512<8>(schedule, prev, in, out);
    }
    if (len >= kHalf) {
        cbc_dec_batch512<4>(schedule, prev, in, out);
        in += kHalf;
        out += kHalf;
        len -= kHalf;
    }
    std::uint8_t chain[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), _mm512_extracti32x4_epi32(prev, 3));
    aesni_cbc256_decrypt(schedule, in, len, chain, out);
}

CIPHEX_VAES512_FN void vaes512_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr,
                                            const std::uint8_t* in, std::size_t len,
                                            std::uint8_t* out) {
    constexpr std::size_t kBatch = VAES512_BATCH, kHalf = kBatch / 2;
    if (len < kBatch) return aesni_ctr256_crypt(schedule, ctr, in, len, out);
    const std::size_t used = ctr_use_buffered(ctr, in, len, out);
    in += used;
    out += used;
    len -= used;
    Counter128 c = load_counter(ctr.counter);
    for (; len >= kBatch; in += kBatch, out += kBatch, len -= kBatch) {
        ctr_batch512<8>(schedule, c, in, out);
        ctr.offset += kBatch;
    }
    if (len >= kHalf) {
        ctr_batch512<4>(schedule, c, in, out);
        ctr.offset += kHalf;
        in += kHalf;
        out += kHalf;
        len -= kHalf;
    }
    store_counter(ctr.counter, c);
    if (len > 0) aesni_ctr256_crypt(schedule, ctr, in, len, out);
}

}  // namespace vorlan::ciphex
