// The machinery beneath detect_backend(), split out so tests can drive it:
// the platform queries as replaceable function pointers, the selection as a
// pure function of their answers, and the once-only protocol over a record
// the caller owns. Production code has no way to reset the process-wide
// record; tests build records of their own.
#pragma once

#include <atomic>
#include <cstdint>

#include "backend.h"

namespace vorlan::ciphex {

struct CpuidRegs {
    std::uint32_t eax, ebx, ecx, edx;
};

// The two platform services that the selection reads.
struct PlatformQuery {
    // Executes CPUID for (leaf, subleaf). Null where there is no CPUID.
    CpuidRegs (*cpuid)(void* ctx, std::uint32_t leaf, std::uint32_t subleaf);
    // Returns the value of CIPHEX_BACKEND, or null when it is unset.
    const char* (*read_backend_env)(void* ctx);
    void* ctx;
    // Executes XGETBV for the register index. Null where there is none;
    // called only when CPUID reports OSXSAVE.
    std::uint64_t (*xgetbv)(void* ctx, std::uint32_t index);
    // Returns the kernel's AT_HWCAP word of an aarch64 process. Null on
    // every other processor.
    std::uint64_t (*arm_hwcap)(void* ctx);
};

// The AES bit of the aarch64 AT_HWCAP word (the kernel's HWCAP_AES), named
// here so that the selection is testable on any host.
inline constexpr std::uint64_t ARM_HWCAP_AES = 1u << 3;

// The real CPUID instruction and the process environment.
PlatformQuery native_platform_query();

// Computes the feature record and the backend choice. Queries CPUID leaf 0,
// leaf 1 (only if the maximum basic leaf is at least 1) and leaf 7 sub-leaf
// 0 (only if it is at least 7), each once, XGETBV(0) once when leaf 1
// reports OSXSAVE, and reads the environment once. "soft" forces
// BACKEND_SOFT; "aesni" asks for BACKEND_X86_AESNI and gets it only with
// AES-NI; anything else (compared byte for byte) or unset means AES-NI when
// present, else soft. On AES-NI the record's aesni_width is the widest
// usable width (see usable_aesni_width).
// Where the platform has arm_hwcap instead (aarch64), that word is read once
// and no CPUID or XGETBV is executed: arm_crypto is its AES bit, and the
// automatic choice (which any value but "soft" leaves alone) is
// BACKEND_ARM_CRYPTO when that bit is set and the build carries the ARM
// routines, else soft. The x86 feature fields are then 0.
CpuFeatures select_backend(const PlatformQuery& platform);

// The widest AES width the record allows: 512 with VAES, AVX-512F and the
// ZMM state saved by the OS; 256 with VAES, AVX2 and the YMM state saved;
// otherwise 128; 0 when the backend is not BACKEND_X86_AESNI.
int usable_aesni_width(const CpuFeatures& f);

// Tests and benchmarks only: makes the process's AES-NI mode routines run at
// `bits` (128, 256 or 512) and returns the width in force before. Returns 0
// and changes nothing when the backend is not AES-NI or the width is not
// usable here. Call it only while no mode routine runs.
int force_aesni_width(int bits);

// Initialisation flag values.
inline constexpr std::uint32_t BACKEND_FLAG_IDLE = 0;
inline constexpr std::uint32_t BACKEND_FLAG_RUNNING = 1;
inline constexpr std::uint32_t BACKEND_FLAG_DONE = 2;

struct BackendOnce {
    std::atomic<std::uint32_t> flag{BACKEND_FLAG_IDLE};
    CpuFeatures features{};
};

// The once-only protocol: the first caller moves the flag 0 -> 1 by
// compare-and-swap, runs prepare() and select_backend(platform), stores the
// record into once.features and publishes it with a release store of 2.
// Concurrent callers spin (no sleep, no yield) on acquire loads until they
// see 2. Every caller returns once.features.backend_id.
int run_backend_once(BackendOnce& once, const PlatformQuery& platform, void (*prepare)());

}  // namespace vorlan::ciphex
