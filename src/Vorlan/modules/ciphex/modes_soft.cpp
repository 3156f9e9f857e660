// The mode routines on the software T-table cipher. Blocks are converted
// between bytes and column words on every use, so nothing needs alignment.
#include "aes_core.h"
#include "byte_order.h"
#include "modes_internal.h"

namespace vorlan::ciphex {
namespace {

inline void xor_words(std::uint32_t out[4], const std::uint32_t a[4], const std::uint32_t b[4]) {
    for (int j = 0; j < 4; ++j) out[j] = a[j] ^ b[j];
}

inline void copy_words(std::uint32_t out[4], const std::uint32_t in[4]) {
    for (int j = 0; j < 4; ++j) out[j] = in[j];
}

// The keystream block for counter c, as column words.
inline void keystream_words(const AesKeySchedule& schedule, Counter128 c, std::uint32_t ks[4]) {
    std::uint8_t block[16];
    store_counter(block, c);
    load_block_words(block, ks);
    aes256_encrypt_block_soft(schedule.enc_keys, ks, ks);
}

}  // namespace

void soft_aes256_encrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                               std::uint8_t* out) {
    std::uint32_t w[4];
    load_block_words(in, w);
    aes256_encrypt_block_soft(schedule.enc_keys, w, w);
    store_block_words(out, w);
}

void soft_aes256_decrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                               std::uint8_t* out) {
    std::uint32_t w[4];
    load_block_words(in, w);
    aes256_decrypt_block_soft(schedule.dec_keys, w, w);
    store_block_words(out, w);
}

void soft_ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out) {
    std::uint32_t prev_c[4], prev_p[4], p[4], t[4];
    load_block_words(iv, prev_c);
    load_block_words(iv + 16, prev_p);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        load_block_words(in + i, p);  // whole block read before out is written
        xor_words(t, p, prev_c);
        aes256_encrypt_block_soft(schedule.enc_keys, t, t);
        xor_words(prev_c, t, prev_p);
        store_block_words(out + i, prev_c);
        copy_words(prev_p, p);
    }
}

void soft_ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out) {
    std::uint32_t prev_c[4], prev_p[4], c[4], t[4];
    load_block_words(iv, prev_c);
    load_block_words(iv + 16, prev_p);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        load_block_words(in + i, c);
        xor_words(t, c, prev_p);
        aes256_decrypt_block_soft(schedule.dec_keys, t, t);
        xor_words(prev_p, t, prev_c);
        store_block_words(out + i, prev_p);
        copy_words(prev_c, c);
    }
}

void soft_cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out) {
    std::uint32_t prev[4], p[4];
    load_block_words(iv, prev);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        load_block_words(in + i, p);
        xor_words(prev, p, prev);
        aes256_encrypt_block_soft(schedule.enc_keys, prev, prev);
        store_block_words(out + i, prev);
    }
}

void soft_cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                         const std::uint8_t* iv, std::uint8_t* out) {
    std::uint32_t prev[4], c[4], t[4];
    load_block_words(iv, prev);
    for (std::size_t i = 0; i + 16 <= len; i += 16) {
        load_block_words(in + i, c);  // kept before out is written: in place works
        aes256_decrypt_block_soft(schedule.dec_keys, c, t);
        xor_words(t, t, prev);
        store_block_words(out + i, t);
        copy_words(prev, c);
    }
}

void soft_ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr, const std::uint8_t* in,
                       std::size_t len, std::uint8_t* out) {
    std::size_t used = ctr_use_buffered(ctr, in, len, out);
    in += used;
    out += used;
    len -= used;
    if (len == 0) return;

    Counter128 c = load_counter(ctr.counter);
    std::uint32_t ks[4], d[4];
    while (len >= 16) {
        keystream_words(schedule, c, ks);
        load_block_words(in, d);
        xor_words(d, d, ks);
        store_block_words(out, d);
        increment_counter(c);
        ctr.offset += 16;
        in += 16;
        out += 16;
        len -= 16;
    }
    if (len > 0) {
        keystream_words(schedule, c, ks);
        store_block_words(ctr.keystream, ks);
        ctr_use_partial_block(ctr, c, in, len, out);
    }
    store_counter(ctr.counter, c);
}

}  // namespace vorlan::ciphex
