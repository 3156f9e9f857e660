// AES-256 in IGE, CBC and CTR mode over caller memory, on the active backend.
//
// Every routine first makes sure detect_backend() has run, then takes the
// path of the chosen backend (AES-NI, the ARMv8 AES instructions or the
// software cipher); all give identical bytes. None of them
// allocates, returns a status or can fail. Buffers need no alignment. out
// may equal in (in-place); no other overlap is supported. Callers check
// lengths and IV sizes before calling.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aes_core.h"

namespace vorlan::ciphex {

// The position of one CTR keystream.
//   iv        the initial counter block; fixed, the origin of ctr256_seek
//   counter   128-bit big-endian block counter for the next fresh block
//   keystream E(counter - 1), meaningful only while state < 16
//   state     next unused byte of keystream, 1..15; 16 means none buffered
//   offset    bytes of keystream consumed since the iv block, mod 2^64
// Invariants: state = offset mod 16 (16 when that is 0), counter = iv +
// ceil(offset / 16) mod 2^128. One stream serves one call at a time.
struct CtrStreamState {
    std::uint8_t iv[16];
    std::uint8_t counter[16];
    std::uint8_t keystream[16];
    std::uint8_t state;
    std::uint64_t offset;
};

// IGE encryption of floor(len / 16) blocks from in to out with
// schedule.enc_keys. iv is 32 bytes, read only: the previous ciphertext
// block, then the previous plaintext block. len < 16 returns at once,
// touching nothing; a trailing partial block is left unprocessed.
void ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out);

// IGE decryption of floor(len / 16) blocks with schedule.dec_keys; same
// IV layout and length rules as ige256_encrypt.
void ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out);

// CBC encryption of floor(len / 16) blocks with schedule.enc_keys. iv is
// 16 bytes, read only. len < 16 returns at once, touching nothing.
void cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out);

// CBC decryption of floor(len / 16) blocks with schedule.dec_keys; same
// rules as cbc256_encrypt.
void cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out);

// Fills schedule from the 32-byte key with the active backend's expansion
// (same contract as aes256_expand_key); byte-identical on every backend.
void aes256_expand_key_active(AesKeySchedule& schedule, const std::uint8_t* key, int with_decrypt);

// Encrypts the 16 bytes at in into the 16 bytes at out (which may be the
// same) with schedule.enc_keys on the active backend.
void aes256_encrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                          std::uint8_t* out);

// Starts a stream at the 16-byte iv, positioned s bytes (0..15) into the iv
// block. s = 0 leaves state 16 and offset 0. Reads schedule.enc_keys.
void ctr256_init(CtrStreamState& ctr, const AesKeySchedule& schedule, const std::uint8_t* iv,
                 unsigned s);

// Moves the stream to absolute keystream position pos (0..2^63-1), counted
// from the start of the iv block, whatever its current position.
void ctr256_seek(CtrStreamState& ctr, const AesKeySchedule& schedule, std::uint64_t pos);

// XORs len bytes of in with the keystream into out and advances ctr by len.
// Encryption and decryption are the same operation. len = 0 changes nothing.
void ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr, const std::uint8_t* in,
                  std::size_t len, std::uint8_t* out);

}  // namespace vorlan::ciphex
