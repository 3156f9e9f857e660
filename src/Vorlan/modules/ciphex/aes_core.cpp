// Software AES-256: table construction, key expansion and the T-table block
// cipher. Portable C++ only; this file never touches instruction-set
// intrinsics, so it is what runs on a processor without AES-NI.
#include "aes_core.h"

#include "byte_order.h"

namespace vorlan::ciphex {
namespace {

// Built once by build_soft_tables() and read-only afterwards; the backend
// initialisation flag publishes them to every other thread. One object, so
// position-independent code reaches every table from a single base register
// and the round function does not run out of registers.
struct SoftTables {
    std::uint32_t Te0[256], Te1[256], Te2[256], Te3[256];
    std::uint32_t Td0[256], Td1[256], Td2[256], Td3[256];
    std::uint8_t sbox[256];
    std::uint8_t inv_sbox[256];
};
alignas(64) SoftTables tables;

// Round constants in the least significant byte; the eighth entry pads.
constexpr std::uint32_t rcon[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x00};

constexpr std::uint8_t xtime(std::uint8_t b) {
    return static_cast<std::uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t rotl8(std::uint8_t b, int n) {
    return static_cast<std::uint8_t>((b << n) | (b >> (8 - n)));
}

constexpr std::uint32_t rotl32(std::uint32_t w, int n) { return (w << n) | (w >> (32 - n)); }

constexpr std::uint32_t pack_bytes(std::uint32_t b0, std::uint32_t b1, std::uint32_t b2,
                                   std::uint32_t b3) {
    return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

constexpr std::uint32_t byte0(std::uint32_t w) { return w & 0xFF; }
constexpr std::uint32_t byte1(std::uint32_t w) { return (w >> 8) & 0xFF; }
constexpr std::uint32_t byte2(std::uint32_t w) { return (w >> 16) & 0xFF; }
constexpr std::uint32_t byte3(std::uint32_t w) { return w >> 24; }

std::uint32_t sub_word(std::uint32_t w) {
    return pack_bytes(tables.sbox[byte0(w)], tables.sbox[byte1(w)], tables.sbox[byte2(w)],
                      tables.sbox[byte3(w)]);
}

// InvMixColumns of one column, by arithmetic: the T-tables include the
// S-box and cannot serve here.
std::uint32_t inv_mix_column(std::uint32_t w) {
    std::uint8_t a[4];
    std::uint8_t m9[4], m11[4], m13[4], m14[4];
    for (int i = 0; i < 4; ++i) {
        a[i] = static_cast<std::uint8_t>(w >> (8 * i));
        std::uint8_t x2 = xtime(a[i]), x4 = xtime(x2), x8 = xtime(x4);
        m9[i] = x8 ^ a[i];
        m11[i] = x8 ^ x2 ^ a[i];
        m13[i] = x8 ^ x4 ^ a[i];
        m14[i] = x8 ^ x4 ^ x2;
    }
    std::uint32_t r0 = m14[0] ^ m11[1] ^ m13[2] ^ m9[3];
    std::uint32_t r1 = m9[0] ^ m14[1] ^ m11[2] ^ m13[3];
    std::uint32_t r2 = m13[0] ^ m9[1] ^ m14[2] ^ m11[3];
    std::uint32_t r3 = m11[0] ^ m13[1] ^ m9[2] ^ m14[3];
    return pack_bytes(r0, r1, r2, r3);
}

inline std::uint32_t round_key_word(const std::uint8_t keys[15][16], int r, int j) {
    return load_u32_le(&keys[r][4 * j]);
}


// One output column of a middle round: byte r of the column comes from
// state word a, b, c, d for r = 0..3 (ShiftRows picks which words those are).
inline std::uint32_t enc_round(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return tables.Te0[byte0(a)] ^ tables.Te1[byte1(b)] ^ tables.Te2[byte2(c)] ^
           tables.Te3[byte3(d)];
}

inline std::uint32_t enc_last(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return pack_bytes(tables.sbox[byte0(a)], tables.sbox[byte1(b)], tables.sbox[byte2(c)],
                      tables.sbox[byte3(d)]);
}

inline std::uint32_t dec_round(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return tables.Td0[byte0(a)] ^ tables.Td1[byte1(b)] ^ tables.Td2[byte2(c)] ^
           tables.Td3[byte3(d)];
}

inline std::uint32_t dec_last(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return pack_bytes(tables.inv_sbox[byte0(a)], tables.inv_sbox[byte1(b)],
                      tables.inv_sbox[byte2(c)], tables.inv_sbox[byte3(d)]);
}

}  // namespace

void build_soft_tables() {
    // Powers of the generator 3 give the multiplicative inverses.
    std::uint8_t pow3[255];
    pow3[0] = 1;
    for (int i = 0; i < 254; ++i) pow3[i + 1] = pow3[i] ^ xtime(pow3[i]);
    std::uint8_t inv[256];
    inv[0] = 0;
    for (int i = 0; i < 255; ++i) inv[pow3[i]] = pow3[(255 - i) % 255];

    for (int x = 0; x < 256; ++x) {
        std::uint8_t b = inv[x];
        std::uint8_t s = b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63;
        tables.sbox[x] = s;
        tables.inv_sbox[s] = static_cast<std::uint8_t>(x);
    }

    for (int x = 0; x < 256; ++x) {
        std::uint8_t s = tables.sbox[x];
        std::uint8_t s2 = xtime(s);
        std::uint8_t s3 = s2 ^ s;
        std::uint32_t te = pack_bytes(s2, s, s, s3);
        tables.Te0[x] = te;
        tables.Te1[x] = rotl32(te, 8);
        tables.Te2[x] = rotl32(te, 16);
        tables.Te3[x] = rotl32(te, 24);

        std::uint8_t si = tables.inv_sbox[x];
        std::uint8_t i2 = xtime(si), i4 = xtime(i2), i8 = xtime(i4);
        std::uint8_t i9 = i8 ^ si, i11 = i8 ^ i2 ^ si, i13 = i8 ^ i4 ^ si, i14 = i8 ^ i4 ^ i2;
        std::uint32_t td = pack_bytes(i14, i9, i13, i11);
        tables.Td0[x] = td;
        tables.Td1[x] = rotl32(td, 8);
        tables.Td2[x] = rotl32(td, 16);
        tables.Td3[x] = rotl32(td, 24);
    }
}

void aes256_expand_key(AesKeySchedule& schedule, const std::uint8_t* key, int with_decrypt) {
    std::uint32_t w[60];
    for (int i = 0; i < 8; ++i) w[i] = load_u32_le(key + 4 * i);
    for (int i = 8; i < 60; ++i) {
        std::uint32_t t = w[i - 1];
        if (i % 8 == 0) {
            // RotWord is a right rotation in the column-word convention.
            t = sub_word((t >> 8) | (t << 24)) ^ rcon[i / 8 - 1];
        } else if (i % 8 == 4) {
            t = sub_word(t);
        }
        w[i] = w[i - 8] ^ t;
    }
    for (int i = 0; i < 60; ++i) store_u32_le(&schedule.enc_keys[i / 4][4 * (i % 4)], w[i]);

    if (!with_decrypt) return;
    for (int j = 0; j < 4; ++j) {
        store_u32_le(&schedule.dec_keys[0][4 * j], w[56 + j]);
        store_u32_le(&schedule.dec_keys[14][4 * j], w[j]);
    }
    for (int i = 1; i < 14; ++i) {
        for (int j = 0; j < 4; ++j) {
            store_u32_le(&schedule.dec_keys[i][4 * j], inv_mix_column(w[4 * (14 - i) + j]));
        }
    }
}

void aes256_encrypt_block_soft(const std::uint8_t enc_keys[15][16], const std::uint32_t in[4],
                               std::uint32_t out[4]) {
    std::uint32_t s0 = in[0] ^ round_key_word(enc_keys, 0, 0);
    std::uint32_t s1 = in[1] ^ round_key_word(enc_keys, 0, 1);
    std::uint32_t s2 = in[2] ^ round_key_word(enc_keys, 0, 2);
    std::uint32_t s3 = in[3] ^ round_key_word(enc_keys, 0, 3);
    for (int r = 1; r < 14; ++r) {
        std::uint32_t t0 = enc_round(s0, s1, s2, s3) ^ round_key_word(enc_keys, r, 0);
        std::uint32_t t1 = enc_round(s1, s2, s3, s0) ^ round_key_word(enc_keys, r, 1);
        std::uint32_t t2 = enc_round(s2, s3, s0, s1) ^ round_key_word(enc_keys, r, 2);
        std::uint32_t t3 = enc_round(s3, s0, s1, s2) ^ round_key_word(enc_keys, r, 3);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    out[0] = enc_last(s0, s1, s2, s3) ^ round_key_word(enc_keys, 14, 0);
    out[1] = enc_last(s1, s2, s3, s0) ^ round_key_word(enc_keys, 14, 1);
    out[2] = enc_last(s2, s3, s0, s1) ^ round_key_word(enc_keys, 14, 2);
    out[3] = enc_last(s3, s0, s1, s2) ^ round_key_word(enc_keys, 14, 3);
}

void aes256_decrypt_block_soft(const std::uint8_t dec_keys[15][16], const std::uint32_t in[4],
                               std::uint32_t out[4]) {
    std::uint32_t s0 = in[0] ^ round_key_word(dec_keys, 0, 0);
    std::uint32_t s1 = in[1] ^ round_key_word(dec_keys, 0, 1);
    std::uint32_t s2 = in[2] ^ round_key_word(dec_keys, 0, 2);
    std::uint32_t s3 = in[3] ^ round_key_word(dec_keys, 0, 3);
    for (int r = 1; r < 14; ++r) {
        std::uint32_t t0 = dec_round(s0, s3, s2, s1) ^ round_key_word(dec_keys, r, 0);
        std::uint32_t t1 = dec_round(s1, s0, s3, s2) ^ round_key_word(dec_keys, r, 1);
        std::uint32_t t2 = dec_round(s2, s1, s0, s3) ^ round_key_word(dec_keys, r, 2);
        std::uint32_t t3 = dec_round(s3, s2, s1, s0) ^ round_key_word(dec_keys, r, 3);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    out[0] = dec_last(s0, s3, s2, s1) ^ round_key_word(dec_keys, 14, 0);
    out[1] = dec_last(s1, s0, s3, s2) ^ round_key_word(dec_keys, 14, 1);
    out[2] = dec_last(s2, s1, s0, s3) ^ round_key_word(dec_keys, 14, 2);
    out[3] = dec_last(s3, s2, s1, s0) ^ round_key_word(dec_keys, 14, 3);
}

}  // namespace vorlan::ciphex
