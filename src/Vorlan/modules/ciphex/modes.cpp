// Public mode routines: dispatch on the process-wide backend, and the CTR
// stream set-up and repositioning that every backend shares.
#include "modes.h"

#include <cstring>

#include "backend.h"
#include "modes_internal.h"

namespace vorlan::ciphex {
namespace {

// The one hardware backend this build can carry, by target processor: its
// id, its routine prefix and its key expansion. The software backend is in
// every build.
#if CIPHEX_HAVE_AESNI
#define CIPHEX_HW_BACKEND BACKEND_X86_AESNI
#define CIPHEX_HW(name) aesni_##name
#define CIPHEX_HW_EXPAND_KEY aes256_expand_key_aesni
#elif CIPHEX_HAVE_ARM_CRYPTO
#define CIPHEX_HW_BACKEND BACKEND_ARM_CRYPTO
#define CIPHEX_HW(name) arm_##name
#define CIPHEX_HW_EXPAND_KEY aes256_expand_key_arm
#endif

inline bool use_hardware() {
#ifdef CIPHEX_HW_BACKEND
    return detect_backend() == CIPHEX_HW_BACKEND;
#else
    detect_backend();
    return false;
#endif
}

// Encrypts the current counter into the keystream buffer, moves the counter
// on and marks pos_in_block bytes (1..15) of that block as used.
void ctr_buffer_block(CtrStreamState& ctr, const AesKeySchedule& schedule, unsigned pos_in_block) {
    aes256_encrypt_block(schedule, ctr.counter, ctr.keystream);
    ctr.state = static_cast<std::uint8_t>(pos_in_block);
    Counter128 c = load_counter(ctr.counter);
    increment_counter(c);
    store_counter(ctr.counter, c);
}

}  // namespace

#ifdef CIPHEX_HW_BACKEND
#define CIPHEX_DISPATCH(name, ...)                              \
    do {                                                        \
        if (use_hardware()) {                                   \
            CIPHEX_HW(name)(__VA_ARGS__);                       \
        } else {                                                \
            soft_##name(__VA_ARGS__);                           \
        }                                                       \
    } while (0)
#else
#define CIPHEX_DISPATCH(name, ...)                              \
    do {                                                        \
        use_hardware();                                         \
        soft_##name(__VA_ARGS__);                               \
    } while (0)
#endif

void ige256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out) {
    if (len < 16) return;
    CIPHEX_DISPATCH(ige256_encrypt, schedule, in, len, iv, out);
}

void ige256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out) {
    if (len < 16) return;
    CIPHEX_DISPATCH(ige256_decrypt, schedule, in, len, iv, out);
}

void cbc256_encrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out) {
    if (len < 16) return;
    CIPHEX_DISPATCH(cbc256_encrypt, schedule, in, len, iv, out);
}

// CBC decryption and CTR have no chain between blocks, so on AES-NI they
// also run at the width fixed with the backend (the ARM routines have one
// width). Inputs shorter than one wide batch go straight to the 128-bit
// routine, so small messages pay no more than one backend check, as in the
// other modes.
#if CIPHEX_HAVE_AESNI
#define CIPHEX_DISPATCH_WIDE(name, len, ...)                                 \
    do {                                                                     \
        switch (active_aesni_width()) {                                      \
            case 0: soft_##name(__VA_ARGS__); break;                         \
            case 512:                                                        \
                if ((len) >= VAES512_BATCH) return vaes512_##name(__VA_ARGS__); \
                aesni_##name(__VA_ARGS__);                                   \
                break;                                                       \
            case 256:                                                        \
                if ((len) >= VAES256_BATCH) return vaes256_##name(__VA_ARGS__); \
                aesni_##name(__VA_ARGS__);                                   \
                break;                                                       \
            default: aesni_##name(__VA_ARGS__); break;                       \
        }                                                                    \
    } while (0)
#else
#define CIPHEX_DISPATCH_WIDE(name, len, ...) CIPHEX_DISPATCH(name, __VA_ARGS__)
#endif

void cbc256_decrypt(const AesKeySchedule& schedule, const std::uint8_t* in, std::size_t len,
                    const std::uint8_t* iv, std::uint8_t* out) {
    if (len < 16) return;
    CIPHEX_DISPATCH_WIDE(cbc256_decrypt, len, schedule, in, len, iv, out);
}

void ctr256_crypt(const AesKeySchedule& schedule, CtrStreamState& ctr, const std::uint8_t* in,
                  std::size_t len, std::uint8_t* out) {
    if (len == 0) return;
    CIPHEX_DISPATCH_WIDE(ctr256_crypt, len, schedule, ctr, in, len, out);
}

#undef CIPHEX_DISPATCH_WIDE

void aes256_encrypt_block(const AesKeySchedule& schedule, const std::uint8_t* in,
                          std::uint8_t* out) {
    CIPHEX_DISPATCH(aes256_encrypt_block, schedule, in, out);
}

void aes256_expand_key_active(AesKeySchedule& schedule, const std::uint8_t* key, int with_decrypt) {
#ifdef CIPHEX_HW_BACKEND
    if (use_hardware()) return CIPHEX_HW_EXPAND_KEY(schedule, key, with_decrypt);
#else
    use_hardware();
#endif
    aes256_expand_key(schedule, key, with_decrypt);
}

#undef CIPHEX_DISPATCH

void ctr256_init(CtrStreamState& ctr, const AesKeySchedule& schedule, const std::uint8_t* iv,
                 unsigned s) {
    std::memmove(ctr.iv, iv, 16);
    std::memcpy(ctr.counter, ctr.iv, 16);
    ctr.offset = 0;
    ctr.state = 16;
    if (s >= 1 && s <= 15) {
        ctr_buffer_block(ctr, schedule, s);
        ctr.offset = s;
    }
}

void ctr256_seek(CtrStreamState& ctr, const AesKeySchedule& schedule, std::uint64_t pos) {
    ctr.offset = pos;
    Counter128 c = load_counter(ctr.iv);
    add_to_counter(c, pos >> 4);  // a carry out of the top is dropped
    store_counter(ctr.counter, c);
    unsigned in_block = static_cast<unsigned>(pos & 15);
    if (in_block != 0) {
        ctr_buffer_block(ctr, schedule, in_block);
    } else {
        ctr.state = 16;
    }
}

}  // namespace vorlan::ciphex
