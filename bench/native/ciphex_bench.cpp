// Throughput of the ciphex core against OpenSSL's libcrypto, measured in the
// same run on the same buffers. The core runs on the backend the process
// chose (set CIPHEX_BACKEND=soft for the software path; mask OpenSSL's
// AES-NI with OPENSSL_ia32cap for the matching peer figure).
//
//   ciphex_bench [repeats]
//
// From the repository, after building with -DVORLAN_BENCH=ON:
//   tools/in-root build/native/bench/native/ciphex_bench
//   tools/in-root env CIPHEX_BACKEND=soft OPENSSL_ia32cap="~0x200000200000000"
//       build/native/bench/native/ciphex_bench      (one command line)
// (that mask clears OpenSSL's AES-NI and PCLMULQDQ bits; adding the SSSE3 bit,
// "~0x200020200000000", also takes away its vector-permute and bit-sliced AES
// and leaves its table-driven code, the closest peer of our software path.)
//
// Each figure is the median of `repeats` samples taken after a warm-up, our
// sample and OpenSSL's alternating so that both see the same machine noise.
// CBC decryption and CTR run in place (out = in), the other modes into a
// separate buffer. Those two also run at each other AES-NI width this
// machine can use (rows "ctr@128" and so on); plain rows use the width the
// process chose.
#define OPENSSL_SUPPRESS_DEPRECATED 1  // AES_ige_encrypt has no EVP form
#include <openssl/aes.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "aes_core.h"
#include "backend.h"
#include "backend_select.h"
#include "modes.h"

namespace {

using namespace vorlan::ciphex;
using Clock = std::chrono::steady_clock;
using Op = std::function<void(std::size_t)>;  // processes n bytes

constexpr std::size_t kBytesPerSample = 4u << 20;

// Seconds per byte of one sample: enough calls to move kBytesPerSample.
double sample(const Op& op, std::size_t size) {
    const std::size_t calls = std::max<std::size_t>(1, kBytesPerSample / size);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < calls; ++i) op(size);
    const std::chrono::duration<double> took = Clock::now() - start;
    return took.count() / static_cast<double>(calls * size);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Pair {
    double ours, peer;  // seconds per byte
};

Pair compare(const Op& ours, const Op& peer, std::size_t size, int repeats) {
    sample(ours, size);
    sample(peer, size);
    std::vector<double> a, b;
    for (int r = 0; r < repeats; ++r) {
        a.push_back(sample(ours, size));
        b.push_back(sample(peer, size));
    }
    return {median(a), median(b)};
}

struct EvpCipher {
    EVP_CIPHER_CTX* ctx;
    EvpCipher(const EVP_CIPHER* cipher, bool encrypt, const unsigned char* key, const unsigned char* iv)
        : ctx(EVP_CIPHER_CTX_new()) {
        EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
    }
    ~EvpCipher() { EVP_CIPHER_CTX_free(ctx); }
    void run(const unsigned char* in, std::size_t n, unsigned char* out) {
        int written = 0;
        EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(n));
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    const std::size_t sizes[] = {16, 64, 256, 1024, 64 * 1024, 1024 * 1024};
    const std::size_t max_size = 1024 * 1024;

    std::vector<unsigned char> key(32), iv(32), in(max_size), out(max_size), inout(max_size);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(i * 131 + 7);
    inout = in;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 17 + 1), iv[i] = static_cast<unsigned char>(255 - i);

    const CpuFeatures& f = cpu_features();
    AesKeySchedule ks;
#if CIPHEX_HAVE_AESNI
    if (f.backend_id == BACKEND_X86_AESNI) {
        aes256_expand_key_aesni(ks, key.data(), 1);
    } else {
        aes256_expand_key(ks, key.data(), 1);
    }
#else
    aes256_expand_key(ks, key.data(), 1);
#endif
    AES_KEY ossl_enc, ossl_dec;
    AES_set_encrypt_key(key.data(), 256, &ossl_enc);
    AES_set_decrypt_key(key.data(), 256, &ossl_dec);
    EvpCipher cbc_enc(EVP_aes_256_cbc(), true, key.data(), iv.data());
    EvpCipher cbc_dec(EVP_aes_256_cbc(), false, key.data(), iv.data());
    EvpCipher ctr_evp(EVP_aes_256_ctr(), true, key.data(), iv.data());
    CtrStreamState ctr;
    ctr256_init(ctr, ks, iv.data(), 0);

    const char* mask = std::getenv("OPENSSL_ia32cap");
    const int chosen_width = f.aesni_width;
    std::printf("ciphex backend: %s, AES width %d    peer: %s, OPENSSL_ia32cap=%s    median of %d\n",
                f.backend_name, chosen_width, OpenSSL_version(OPENSSL_VERSION), mask ? mask : "(unset)",
                repeats);
    std::printf("%-11s %-22s %9s %10s %11s %7s\n", "mode", "peer", "size", "ours MB/s",
                "peer MB/s", "ratio");

    unsigned char* const o = out.data();
    const unsigned char* const i = in.data();
    unsigned char* const io = inout.data();  // CBC decryption and CTR run in place
    struct Row {
        const char* mode;
        const char* peer_name;
        Op ours, peer;
        bool wide;  // also run at every other usable AES-NI width
    };
    // Every stream carries its chaining value from call to call, as EVP's
    // contexts do, so successive calls cannot overlap in the pipeline.
    unsigned char ige_iv[32], ige_dec_iv[32], cbc_iv[16], cbc_dec_iv[16], ossl_iv[32];
    std::copy(iv.begin(), iv.end(), ige_iv);
    std::copy(iv.begin(), iv.end(), ige_dec_iv);
    std::copy(iv.begin(), iv.begin() + 16, cbc_iv);
    std::copy(iv.begin(), iv.begin() + 16, cbc_dec_iv);
    std::copy(iv.begin(), iv.end(), ossl_iv);
    const Row rows[] = {
        {"ige-enc", "AES_ige_encrypt",
         [&](std::size_t n) {
             ige256_encrypt(ks, i, n, ige_iv, o);
             std::copy(o + n - 16, o + n, ige_iv);
             std::copy(i + n - 16, i + n, ige_iv + 16);
         },
         [&](std::size_t n) { AES_ige_encrypt(i, o, n, &ossl_enc, ossl_iv, AES_ENCRYPT); }, false},
        {"ige-enc", "EVP aes-256-cbc enc",
         [&](std::size_t n) {
             ige256_encrypt(ks, i, n, ige_iv, o);
             std::copy(o + n - 16, o + n, ige_iv);
             std::copy(i + n - 16, i + n, ige_iv + 16);
         },
         [&](std::size_t n) { cbc_enc.run(i, n, o); }, false},
        {"ige-dec", "AES_ige_encrypt",
         [&](std::size_t n) {
             ige256_decrypt(ks, i, n, ige_dec_iv, o);
             std::copy(i + n - 16, i + n, ige_dec_iv);
             std::copy(o + n - 16, o + n, ige_dec_iv + 16);
         },
         [&](std::size_t n) { AES_ige_encrypt(i, o, n, &ossl_dec, ossl_iv, AES_DECRYPT); }, false},
        {"cbc-enc", "EVP aes-256-cbc enc",
         [&](std::size_t n) {
             cbc256_encrypt(ks, i, n, cbc_iv, o);
             std::copy(o + n - 16, o + n, cbc_iv);
         },
         [&](std::size_t n) { cbc_enc.run(i, n, o); }, false},
        {"cbc-dec", "EVP aes-256-cbc dec",
         [&](std::size_t n) {
             unsigned char next_iv[16];
             std::copy(io + n - 16, io + n, next_iv);
             cbc256_decrypt(ks, io, n, cbc_dec_iv, io);
             std::copy(next_iv, next_iv + 16, cbc_dec_iv);
         },
         [&](std::size_t n) { cbc_dec.run(io, n, io); }, true},
        {"ctr", "EVP aes-256-ctr",
         [&](std::size_t n) { ctr256_crypt(ks, ctr, io, n, io); },
         [&](std::size_t n) { ctr_evp.run(io, n, io); }, true},
    };
    const auto run_row = [&](const Row& row, const std::string& mode) {
        for (std::size_t size : sizes) {
            const Pair p = compare(row.ours, row.peer, size, repeats);
            std::printf("%-11s %-22s %9zu %10.0f %11.0f %7.2f\n", mode.c_str(), row.peer_name, size,
                        1e-6 / p.ours, 1e-6 / p.peer, p.peer / p.ours);
        }
    };
    for (const Row& row : rows) {
        run_row(row, row.mode);  // at the width the process chose
        if (!row.wide) continue;
        // The other widths this machine can run, marked mode@bits.
        for (int bits : {128, 256, 512}) {
            if (bits == chosen_width) continue;
            if (force_aesni_width(bits) == 0) continue;
            run_row(row, std::string(row.mode) + "@" + std::to_string(bits));
            force_aesni_width(chosen_width);
        }
    }
    return 0;
}
