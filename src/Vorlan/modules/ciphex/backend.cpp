// Once-only backend selection: the CPUID (x86) or AT_HWCAP (aarch64) and
// environment layer, the pure selection, and the atomic once-flag that
// publishes the result.
#include "backend.h"

#include <cstdlib>
#include <cstring>

#include "aes_core.h"
#include "backend_select.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define CIPHEX_HAVE_CPUID 1
#else
#define CIPHEX_HAVE_CPUID 0
#endif

#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#define CIPHEX_HAVE_ARM_HWCAP 1
#else
#define CIPHEX_HAVE_ARM_HWCAP 0
#endif

#ifndef CIPHEX_HAVE_AESNI
#define CIPHEX_HAVE_AESNI 0
#endif
#ifndef CIPHEX_HAVE_ARM_CRYPTO
#define CIPHEX_HAVE_ARM_CRYPTO 0
#endif

namespace vorlan::ciphex {
namespace {

constexpr std::uint32_t bit(std::uint32_t reg, int n) { return (reg >> n) & 1u; }

#if CIPHEX_HAVE_CPUID
CpuidRegs native_cpuid(void*, std::uint32_t leaf, std::uint32_t subleaf) {
    CpuidRegs r{};
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}
#endif

#if CIPHEX_HAVE_CPUID
// Inline assembly rather than _xgetbv(), which would need the XSAVE target.
std::uint64_t native_xgetbv(void*, std::uint32_t index) {
    std::uint32_t eax, edx;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(index));
    return (std::uint64_t{edx} << 32) | eax;
}
#endif

#if CIPHEX_HAVE_ARM_HWCAP
static_assert(ARM_HWCAP_AES == HWCAP_AES);

std::uint64_t native_arm_hwcap(void*) { return getauxval(AT_HWCAP); }
#endif

const char* native_backend_env(void*) { return std::getenv("CIPHEX_BACKEND"); }

// A processor hint inside the spin (PAUSE, or aarch64's YIELD hint); the
// thread stays on its core either way.
inline void spin_pause() {
#if CIPHEX_HAVE_CPUID
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ volatile("yield");
#endif
}

// The process-wide record; only run_backend_once() writes it.
constinit BackendOnce process_backend;

}  // namespace

const char* backend_name(int id) {
    switch (id) {
        case BACKEND_X86_AESNI: return "x86-aesni";
        case BACKEND_ARM_CRYPTO: return "arm-crypto";
        default: return "soft";
    }
}

PlatformQuery native_platform_query() {
#if CIPHEX_HAVE_CPUID
    return PlatformQuery{native_cpuid, native_backend_env, nullptr, native_xgetbv, nullptr};
#elif CIPHEX_HAVE_ARM_HWCAP
    return PlatformQuery{nullptr, native_backend_env, nullptr, nullptr, native_arm_hwcap};
#else
    return PlatformQuery{nullptr, native_backend_env, nullptr, nullptr, nullptr};
#endif
}

CpuFeatures select_backend(const PlatformQuery& platform) {
    CpuFeatures f{};
    if (platform.cpuid) {
        std::uint32_t max_leaf = platform.cpuid(platform.ctx, 0, 0).eax;
        bool osxsave = false;
        // A leaf above the maximum returns another leaf's data on some
        // processors; trusting it could claim AES-NI that is not there.
        if (max_leaf >= 1) {
            std::uint32_t ecx = platform.cpuid(platform.ctx, 1, 0).ecx;
            f.aes_ni = static_cast<int>(bit(ecx, 25));
            f.pclmulqdq = static_cast<int>(bit(ecx, 1));
            f.ssse3 = static_cast<int>(bit(ecx, 9));
            f.sse4_1 = static_cast<int>(bit(ecx, 19));
            osxsave = bit(ecx, 27) != 0;
        }
        if (max_leaf >= 7) {
            const CpuidRegs r = platform.cpuid(platform.ctx, 7, 0);
            f.avx2 = static_cast<int>(bit(r.ebx, 5));
            f.avx512f = static_cast<int>(bit(r.ebx, 16));
            f.vaes = static_cast<int>(bit(r.ecx, 9));
        }
        // The CPU may offer wide registers that the OS does not save on a
        // context switch; only XCR0 tells, and only with OSXSAVE may it be read.
        if (osxsave && platform.xgetbv) {
            const std::uint64_t xcr0 = platform.xgetbv(platform.ctx, 0);
            f.os_ymm = (xcr0 & 0x06) == 0x06;   // SSE, AVX
            f.os_zmm = (xcr0 & 0xE6) == 0xE6;   // and opmask, ZMM_Hi256, Hi16_ZMM
        }
    }
    // The kernel tells an aarch64 process which optional instructions it
    // may use; there is no unprivileged instruction to ask the CPU itself.
    f.arm_crypto = platform.arm_hwcap && (platform.arm_hwcap(platform.ctx) & ARM_HWCAP_AES) ? 1 : 0;

    int id = BACKEND_SOFT;
    if (CIPHEX_HAVE_AESNI && f.aes_ni) id = BACKEND_X86_AESNI;
    if (CIPHEX_HAVE_ARM_CRYPTO && f.arm_crypto) id = BACKEND_ARM_CRYPTO;
    const char* env = platform.read_backend_env(platform.ctx);
    if (env && std::strcmp(env, "soft") == 0) id = BACKEND_SOFT;
    // "aesni" can only confirm the automatic choice on x86-64, so it needs
    // no branch of its own: without AES-NI the automatic choice is soft. No
    // value is needed to ask for arm-crypto, which is the automatic choice.
    f.backend_id = id;
    f.backend_name = backend_name(id);
    f.aesni_width = usable_aesni_width(f);
    return f;
}

namespace {

bool width_usable(const CpuFeatures& f, int bits) {
    if (f.backend_id != BACKEND_X86_AESNI) return false;
    switch (bits) {
        case 128: return true;
        case 256: return f.vaes && f.avx2 && f.os_ymm;
        case 512: return f.vaes && f.avx512f && f.os_zmm;
        default: return false;
    }
}

}  // namespace

int usable_aesni_width(const CpuFeatures& f) {
    for (int bits = 512; bits >= 128; bits /= 2) {
        if (width_usable(f, bits)) return bits;
    }
    return 0;
}

int run_backend_once(BackendOnce& once, const PlatformQuery& platform, void (*prepare)()) {
    if (once.flag.load(std::memory_order_acquire) == BACKEND_FLAG_DONE) {
        return once.features.backend_id;
    }
    std::uint32_t expected = BACKEND_FLAG_IDLE;
    if (!once.flag.compare_exchange_strong(expected, BACKEND_FLAG_RUNNING,
                                           std::memory_order_acquire, std::memory_order_acquire)) {
        // Another thread is initialising; what it does is short and cannot fail.
        while (once.flag.load(std::memory_order_acquire) != BACKEND_FLAG_DONE) spin_pause();
        return once.features.backend_id;
    }
    if (prepare) prepare();
    once.features = select_backend(platform);
    once.flag.store(BACKEND_FLAG_DONE, std::memory_order_release);
    return once.features.backend_id;
}

int detect_backend() {
    if (process_backend.flag.load(std::memory_order_acquire) == BACKEND_FLAG_DONE) {
        return process_backend.features.backend_id;
    }
    return run_backend_once(process_backend, native_platform_query(), build_soft_tables);
}

const CpuFeatures& cpu_features() {
    detect_backend();
    return process_backend.features;
}

int active_aesni_width() {
    return detect_backend() == BACKEND_X86_AESNI ? process_backend.features.aesni_width : 0;
}

int force_aesni_width(int bits) {
    detect_backend();
    CpuFeatures& f = process_backend.features;
    if (!width_usable(f, bits)) return 0;
    const int before = f.aesni_width;
    f.aesni_width = bits;
    return before;
}

}  // namespace vorlan::ciphex
