// The process-wide backend choice and the CPU feature record behind it.
#pragma once

namespace vorlan::ciphex {

inline constexpr int BACKEND_SOFT = 0;
inline constexpr int BACKEND_X86_AESNI = 1;
inline constexpr int BACKEND_ARM_CRYPTO = 2;  // aarch64 builds only; never chosen on x86-64

// What the processor offers and which backend was chosen. Each feature field
// is 0 or 1; the x86 fields are 0 on aarch64. Written once by the initialisation, read-only afterwards.
struct CpuFeatures {
    int aes_ni;      // CPUID.1:ECX bit 25
    int pclmulqdq;   // CPUID.1:ECX bit 1 (informational)
    int ssse3;       // CPUID.1:ECX bit 9 (informational)
    int sse4_1;      // CPUID.1:ECX bit 19 (informational)
    int avx2;        // CPUID.(7,0):EBX bit 5, 0 if the maximum basic leaf is below 7
    int arm_crypto;  // aarch64: HWCAP_AES of AT_HWCAP; always 0 in the x86-64 build
    int backend_id;
    const char* backend_name;  // static string, see backend_name()
    // What the wide AES-NI paths need; not part of the Python feature report.
    int vaes;        // CPUID.(7,0):ECX bit 9
    int avx512f;     // CPUID.(7,0):EBX bit 16
    int os_ymm;      // XGETBV(0) has the SSE and AVX state bits (needs CPUID.1:ECX bit 27)
    int os_zmm;      // ... and the opmask and both upper ZMM state bits as well
    // Bits per AES instruction that the AES-NI mode routines use: 128, 256
    // (VAES with AVX2) or 512 (VAES with AVX-512F); 0 on any other backend.
    int aesni_width;
};

// Returns the backend id, running the once-only initialisation first if no
// thread has yet: build the software tables, probe the CPU, read
// CIPHEX_BACKEND, fix the choice. Later calls cost one acquire load. Safe
// from any thread, with or without the Python interpreter lock.
int detect_backend();

// The process-wide feature record, after detect_backend(). The reference
// stays valid and unchanged for the life of the process.
const CpuFeatures& cpu_features();

// The AES width of the AES-NI mode routines (CpuFeatures::aesni_width), or
// 0 when the backend is not AES-NI; detect_backend() first, in one call.
int active_aesni_width();

// "x86-aesni" for 1, "arm-crypto" for 2, "soft" for every other id.
const char* backend_name(int id);

}  // namespace vorlan::ciphex
