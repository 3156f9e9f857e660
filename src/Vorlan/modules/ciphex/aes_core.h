// AES-256 (Nk = 8, Nr = 14): the expanded key record, the software T-table
// cipher and the key expansions (portable, and one per AES instruction set).
#pragma once

#include <cstdint>

namespace vorlan::ciphex {

// An expanded AES-256 key, held inline by its owner. Plain bytes, so it needs
// no alignment and is byte-identical whichever backend filled it.
//   enc_keys[r]: encryption round key r (key-expansion words w[4r..4r+3],
//                each in FIPS-197 byte order); enc_keys[0..1] are the key.
//   dec_keys[i]: round keys of the equivalent inverse cipher:
//                enc_keys[14], InvMixColumns(enc_keys[13..1]), enc_keys[0].
struct AesKeySchedule {
    std::uint8_t enc_keys[15][16];
    std::uint8_t dec_keys[15][16];
};
static_assert(sizeof(AesKeySchedule) == 480);

// Fills the S-boxes and the Te0..Te3 / Td0..Td3 tables of the software
// cipher. Called exactly once per process, by detect_backend(), before
// anything uses the software path; never call it while others read them.
void build_soft_tables();

// Software key expansion. Reads 32 bytes at key; writes schedule.enc_keys,
// and schedule.dec_keys when with_decrypt is non-zero (otherwise dec_keys is
// left untouched). Needs the tables of build_soft_tables(). Cannot fail.
void aes256_expand_key(AesKeySchedule& schedule, const std::uint8_t* key, int with_decrypt);

#if CIPHEX_HAVE_AESNI
// Same contract and byte-identical result as aes256_expand_key, computed
// with AESKEYGENASSIST/AESIMC. Needs no tables; call it only when the CPU
// has AES-NI (the backend is BACKEND_X86_AESNI).
void aes256_expand_key_aesni(AesKeySchedule& schedule, const std::uint8_t* key,
                             int with_decrypt);
#endif

#if CIPHEX_HAVE_ARM_CRYPTO
// Same contract and byte-identical result as aes256_expand_key, with SubWord
// from AESE and InvMixColumns from AESIMC, so no table is indexed by key
// bytes. Call it only when the CPU has the AES instructions (the backend is
// BACKEND_ARM_CRYPTO).
void aes256_expand_key_arm(AesKeySchedule& schedule, const std::uint8_t* key, int with_decrypt);
#endif

// Encrypts one block given as four column words (word j = bytes 4j..4j+3,
// byte 4j least significant) with enc_keys. in and out may be the same
// array. Needs the tables of build_soft_tables().
void aes256_encrypt_block_soft(const std::uint8_t enc_keys[15][16], const std::uint32_t in[4],
                               std::uint32_t out[4]);

// Decrypts one block of column words with the equivalent inverse cipher on
// dec_keys. in and out may be the same array. Needs the tables.
void aes256_decrypt_block_soft(const std::uint8_t dec_keys[15][16], const std::uint32_t in[4],
                               std::uint32_t out[4]);

}  // namespace vorlan::ciphex
