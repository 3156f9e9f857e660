// Shared helpers of the ciphex native tests: hex, seeded random bytes, and a
// table of backends so one test body runs on each of them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "aes_core.h"
#include "backend.h"
#include "backend_select.h"
#include "modes.h"
#include "modes_internal.h"

namespace ciphex_test {

using namespace vorlan::ciphex;
using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(const std::string& s) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

inline bool cpu_has_aesni() { return CIPHEX_HAVE_AESNI && cpu_features().aes_ni; }
inline bool cpu_has_arm_crypto() { return CIPHEX_HAVE_ARM_CRYPTO && cpu_features().arm_crypto; }

// Whether this build and processor can run the routines of backend id.
inline bool cpu_offers(int id) {
    switch (id) {
        case BACKEND_X86_AESNI: return cpu_has_aesni();
        case BACKEND_ARM_CRYPTO: return cpu_has_arm_crypto();
        default: return true;
    }
}

// Runs the process's AES-NI routines at one width for the life of the
// object (0: leave the width as chosen). ok() is false when the backend is
// not AES-NI or this machine cannot run the width.
class ForcedWidth {
public:
    explicit ForcedWidth(int bits) : before_(bits ? force_aesni_width(bits) : -1) {}
    ~ForcedWidth() {
        if (before_ > 0) force_aesni_width(before_);
    }
    ForcedWidth(const ForcedWidth&) = delete;
    ForcedWidth& operator=(const ForcedWidth&) = delete;
    bool ok() const { return before_ != 0; }

private:
    int before_;
};

// One backend's routines. "active" is the public dispatching API, which
// runs whichever backend the process chose (CIPHEX_BACKEND decides in ctest);
// the "aesni_at_" entries run it with the AES-NI width forced.
struct Backend {
    const char* name;
    int needs;  // the backend whose instructions the routines use; BACKEND_SOFT for none
    int width;  // forced AES-NI width of the public routines, 0 for none
    void (*expand)(AesKeySchedule&, const std::uint8_t*, int);
    void (*encrypt_block)(const AesKeySchedule&, const std::uint8_t*, std::uint8_t*);
    void (*decrypt_block)(const AesKeySchedule&, const std::uint8_t*, std::uint8_t*);
    void (*ige_encrypt)(const AesKeySchedule&, const std::uint8_t*, std::size_t,
                        const std::uint8_t*, std::uint8_t*);
    void (*ige_decrypt)(const AesKeySchedule&, const std::uint8_t*, std::size_t,
                        const std::uint8_t*, std::uint8_t*);
    void (*cbc_encrypt)(const AesKeySchedule&, const std::uint8_t*, std::size_t,
                        const std::uint8_t*, std::uint8_t*);
    void (*cbc_decrypt)(const AesKeySchedule&, const std::uint8_t*, std::size_t,
                        const std::uint8_t*, std::uint8_t*);
    void (*ctr_crypt)(const AesKeySchedule&, CtrStreamState&, const std::uint8_t*, std::size_t,
                      std::uint8_t*);
};

inline void decrypt_block_active(const AesKeySchedule& ks, const std::uint8_t* in, std::uint8_t* out) {
#if CIPHEX_HAVE_AESNI
    if (detect_backend() == BACKEND_X86_AESNI) return aesni_aes256_decrypt_block(ks, in, out);
#endif
#if CIPHEX_HAVE_ARM_CRYPTO
    if (detect_backend() == BACKEND_ARM_CRYPTO) return arm_aes256_decrypt_block(ks, in, out);
#endif
    soft_aes256_decrypt_block(ks, in, out);
}

inline const std::vector<Backend>& all_backends() {
    static const std::vector<Backend> list = {
        {"soft", BACKEND_SOFT, 0, aes256_expand_key, soft_aes256_encrypt_block, soft_aes256_decrypt_block,
         soft_ige256_encrypt, soft_ige256_decrypt, soft_cbc256_encrypt, soft_cbc256_decrypt,
         soft_ctr256_crypt},
#if CIPHEX_HAVE_AESNI
        {"aesni", BACKEND_X86_AESNI, 0, aes256_expand_key_aesni, aesni_aes256_encrypt_block,
         aesni_aes256_decrypt_block, aesni_ige256_encrypt, aesni_ige256_decrypt,
         aesni_cbc256_encrypt, aesni_cbc256_decrypt, aesni_ctr256_crypt},
#endif
#if CIPHEX_HAVE_ARM_CRYPTO
        {"arm", BACKEND_ARM_CRYPTO, 0, aes256_expand_key_arm, arm_aes256_encrypt_block,
         arm_aes256_decrypt_block, arm_ige256_encrypt, arm_ige256_decrypt, arm_cbc256_encrypt,
         arm_cbc256_decrypt, arm_ctr256_crypt},
#endif
        {"active", BACKEND_SOFT, 0, aes256_expand_key_active, aes256_encrypt_block, decrypt_block_active,
         ige256_encrypt, ige256_decrypt, cbc256_encrypt, cbc256_decrypt, ctr256_crypt},
#if CIPHEX_HAVE_AESNI
        {"aesni_at_128", BACKEND_X86_AESNI, 128, aes256_expand_key_active, aes256_encrypt_block, decrypt_block_active,
         ige256_encrypt, ige256_decrypt, cbc256_encrypt, cbc256_decrypt, ctr256_crypt},
        {"aesni_at_256", BACKEND_X86_AESNI, 256, aes256_expand_key_active, aes256_encrypt_block, decrypt_block_active,
         ige256_encrypt, ige256_decrypt, cbc256_encrypt, cbc256_decrypt, ctr256_crypt},
        {"aesni_at_512", BACKEND_X86_AESNI, 512, aes256_expand_key_active, aes256_encrypt_block, decrypt_block_active,
         ige256_encrypt, ige256_decrypt, cbc256_encrypt, cbc256_decrypt, ctr256_crypt},
#endif
    };
    return list;
}

// The hardware backend of this build (the second entry), or null when the
// build has none.
inline const Backend* hardware_backend() {
    return CIPHEX_HAVE_AESNI || CIPHEX_HAVE_ARM_CRYPTO ? &all_backends()[1] : nullptr;
}

// Fixture base: tables built, hardware cases skipped on a CPU without the
// instructions, a forced width skipped where it cannot run.
class BackendTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        detect_backend();
        if (!cpu_offers(GetParam().needs)) {
            GTEST_SKIP() << "CPU lacks the instructions of " << backend_name(GetParam().needs);
        }
        if (!width_.ok()) GTEST_SKIP() << "width " << GetParam().width << " not usable here";
    }
    const Backend& be() const { return GetParam(); }

private:
    ForcedWidth width_{GetParam().width};
};

inline void PrintTo(const Backend& b, std::ostream* os) { *os << b.name; }

inline std::string backend_param_name(const ::testing::TestParamInfo<Backend>& info) {
    return info.param.name;
}

}  // namespace ciphex_test
