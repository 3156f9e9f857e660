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
};

// The real CPUID instruction and the process environment.
PlatformQuery native_platform_query();

// Computes the feature record and the backend choice. Queries CPUID leaf 0,
// leaf 1 (only if the maximum basic leaf is at least 1) and leaf 7 sub-leaf
// 0 (only if it is at least 7), each once, and reads the environment once.
// "soft" forces BACKEND_SOFT; "aesni" asks for BACKEND_X86_AESNI and gets it
// only with AES-NI; anything else (compared byte for byte) or unset means
// AES-NI when present, else soft.
CpuFeatures select_backend(const PlatformQuery& platform);

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
