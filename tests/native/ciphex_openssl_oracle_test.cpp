// OpenSSL's libcrypto as an independent oracle: EVP for CBC and CTR,
// AES_ige_encrypt for IGE.
//
// AES_set_*_key and AES_ige_encrypt are deprecated but remain the only IGE
// implementation OpenSSL offers.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/aes.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "ciphex_support.h"

namespace ciphex_test {
namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

Bytes evp(const EVP_CIPHER* cipher, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in) {
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes out(in.size() + 16);
    int n = 0, tail = 0;
    EXPECT_EQ(1, EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt));
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EXPECT_EQ(1, EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())));
    EXPECT_EQ(1, EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail));
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

Bytes openssl_ige(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in) {
    AES_KEY k;
    if (encrypt) {
        AES_set_encrypt_key(key.data(), 256, &k);
    } else {
        AES_set_decrypt_key(key.data(), 256, &k);
    }
    Bytes ivcopy = iv, out(in.size());
    AES_ige_encrypt(in.data(), out.data(), in.size(), &k, ivcopy.data(), encrypt ? AES_ENCRYPT : AES_DECRYPT);
    return out;
}

using OracleTest = BackendTest;

TEST_P(OracleTest, AllModesMatchOpenSslOnRandomInputs) {
    std::mt19937_64 rng(22);
    for (int round = 0; round < 100; ++round) {
        const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 32);
        const Bytes iv16(iv.begin(), iv.begin() + 16);
        const std::size_t len = rng() % 1500;
        const Bytes msg = random_bytes(rng, len);
        const Bytes blocks(msg.begin(), msg.begin() + (len & ~std::size_t{15}));
        AesKeySchedule ks;
        be().expand(ks, key.data(), 1);
        Bytes out(len);
        SCOPED_TRACE(::testing::Message() << "round " << round << " len " << len);

        be().cbc_encrypt(ks, blocks.data(), blocks.size(), iv.data(), out.data());
        ASSERT_EQ(Bytes(out.begin(), out.begin() + blocks.size()), evp(EVP_aes_256_cbc(), true, key, iv16, blocks));
        be().cbc_decrypt(ks, blocks.data(), blocks.size(), iv.data(), out.data());
        ASSERT_EQ(Bytes(out.begin(), out.begin() + blocks.size()), evp(EVP_aes_256_cbc(), false, key, iv16, blocks));

        be().ige_encrypt(ks, blocks.data(), blocks.size(), iv.data(), out.data());
        ASSERT_EQ(Bytes(out.begin(), out.begin() + blocks.size()), openssl_ige(true, key, iv, blocks));
        be().ige_decrypt(ks, blocks.data(), blocks.size(), iv.data(), out.data());
        ASSERT_EQ(Bytes(out.begin(), out.begin() + blocks.size()), openssl_ige(false, key, iv, blocks));

        // Counters near the top of the low 64 bits exercise the full-width carry.
        Bytes ctr_iv = iv16;
        if (round % 3 == 0) std::memset(ctr_iv.data() + 8, 0xFF, 7);
        CtrStreamState ctr;
        ctr256_init(ctr, ks, ctr_iv.data(), 0);
        be().ctr_crypt(ks, ctr, msg.data(), len, out.data());
        ASSERT_EQ(out, evp(EVP_aes_256_ctr(), true, key, ctr_iv, msg));
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, OracleTest, ::testing::ValuesIn(all_backends()),
                         backend_param_name);

#if CIPHEX_HAVE_AESNI || CIPHEX_HAVE_ARM_CRYPTO
// Each batched path through the public routines (every AES-NI width, or the
// ARM routines), against OpenSSL and a one-block-at-a-time reference: every
// length up to past two of the widest batches, lengths around every batch
// and half-batch boundary, starting states across a block, split calls and
// seeks, and counters that carry across 2^64 or wrap at 2^128 inside a
// batch. Counters run over thousands of blocks, so the batches whose
// counters cross a byte boundary are among them too.
struct WidePath {
    const char* name;
    int needs;  // the backend that must be active
    int width;  // AES-NI width forced on the public routines, 0 for none
    std::size_t max_len;
    std::vector<std::size_t> batches;  // batch sizes in bytes whose boundaries are probed
    void (*ref_ctr)(const AesKeySchedule&, CtrStreamState&, const std::uint8_t*, std::size_t,
                    std::uint8_t*);
    void (*ref_cbc_decrypt)(const AesKeySchedule&, const std::uint8_t*, std::size_t,
                            const std::uint8_t*, std::uint8_t*);
};

std::vector<WidePath> wide_paths() {
#if CIPHEX_HAVE_AESNI
    const std::vector<std::size_t> batches = {128, 256, 512};
    return {{"bits128", BACKEND_X86_AESNI, 128, 130 * 512 + 17, batches, aesni_ctr256_crypt, aesni_cbc256_decrypt},
            {"bits256", BACKEND_X86_AESNI, 256, 130 * 512 + 17, batches, aesni_ctr256_crypt, aesni_cbc256_decrypt},
            {"bits512", BACKEND_X86_AESNI, 512, 130 * 512 + 17, batches, aesni_ctr256_crypt, aesni_cbc256_decrypt}};
#else
    // Smaller than on x86: this suite usually runs under an emulator.
    return {{"arm", BACKEND_ARM_CRYPTO, 0, 130 * 128 + 17, {128}, soft_ctr256_crypt, soft_cbc256_decrypt}};
#endif
}

inline void PrintTo(const WidePath& p, std::ostream* os) { *os << p.name; }

class WidthTest : public ::testing::TestWithParam<WidePath> {
protected:
    void SetUp() override {
        if (detect_backend() != GetParam().needs) GTEST_SKIP() << "backend " << GetParam().needs << " not active";
        if (!width_.ok()) GTEST_SKIP() << "width " << GetParam().width << " not usable here";
        std::mt19937_64 rng(40 + GetParam().width);
        key = random_bytes(rng, 32);
        aes256_expand_key_active(ks, key.data(), 1);
        data = random_bytes(rng, GetParam().max_len);
        const Bytes hi = random_bytes(rng, 8);
        ivs = {random_bytes(rng, 16), random_bytes(rng, 16), random_bytes(rng, 16),
               hex("ffffffffffffffffffffffffffffffe3"), hex("00000000000000000000000000000000")};
        ivs[1][15] = 0xE1;
        std::memset(ivs[2].data() + 8, 0xFF, 7);
        ivs[2][15] = 0xF9;  // carries into the high half at the seventh block
        std::memcpy(ivs[4].data(), hi.data(), 8);
        std::memset(ivs[4].data() + 8, 0xFF, 8);
        ivs[4][15] = 0xFF - 40;  // ... in the middle of the second 512-bit batch
    }

    AesKeySchedule ks;
    Bytes key, data;
    std::vector<Bytes> ivs;

private:
    ForcedWidth width_{GetParam().width};
};

std::vector<std::size_t> width_test_lengths(const WidePath& path) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 1040; ++n) lengths.push_back(n);
    for (std::size_t batch : path.batches) {
        for (std::size_t k : {2, 3, 4, 7, 8, 9, 65, 130}) {
            for (int d : {-17, -16, -15, -1, 0, 1, 15, 16, 17}) {
                const std::size_t n = k * batch + d;
                if (n > 1040) lengths.push_back(n);
            }
        }
    }
    return lengths;
}

bool same_stream(const CtrStreamState& a, const CtrStreamState& b) {
    return std::memcmp(a.counter, b.counter, 16) == 0 && a.state == b.state &&
           a.offset == b.offset && (a.state == 16 || std::memcmp(a.keystream, b.keystream, 16) == 0);
}

TEST_P(WidthTest, CtrMatchesOpenSslAndNarrowPathAtEveryLengthStateAndCarry) {
    const std::vector<std::size_t> lengths = width_test_lengths(GetParam());
    for (const Bytes& iv : ivs) {
        for (unsigned s : {0u, 1u, 8u, 15u}) {
            // OpenSSL has no start inside a block: encrypt s more bytes, drop them.
            Bytes padded(s, 0);
            padded.insert(padded.end(), data.begin(), data.end());
            const Bytes full = evp(EVP_aes_256_ctr(), true, key, iv, padded);
            const Bytes want(full.begin() + s, full.end());
            for (std::size_t len : lengths) {
                SCOPED_TRACE(::testing::Message() << "iv " << int(iv[15]) << " s " << s << " len " << len);
                CtrStreamState wide, narrow;
                ctr256_init(wide, ks, iv.data(), s);
                ctr256_init(narrow, ks, iv.data(), s);
                Bytes got(data.begin(), data.begin() + len), narrow_out(len);
                ctr256_crypt(ks, wide, got.data(), len, got.data());  // in place
                GetParam().ref_ctr(ks, narrow, data.data(), len, narrow_out.data());
                ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
                ASSERT_EQ(got, narrow_out);
                ASSERT_TRUE(same_stream(wide, narrow));
            }
            // One stream continued over calls of mixed sizes, and seeks.
            CtrStreamState ctr;
            ctr256_init(ctr, ks, iv.data(), s);
            Bytes got(8000);
            const std::size_t steps[] = {1, 600, 15, 1040, 17, 513, 256, 3000, 4};
            std::size_t pos = 0;
            for (std::size_t i = 0; pos < got.size(); ++i) {
                const std::size_t n = std::min(steps[i % std::size(steps)], got.size() - pos);
                ctr256_crypt(ks, ctr, data.data() + pos, n, got.data() + pos);
                pos += n;
            }
            ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size()));
            for (std::uint64_t to : {23u, 16u * 37 + 9, 1000u, 16u * 300}) {
                ctr256_seek(ctr, ks, to);
                Bytes part(data.begin() + (to - s), data.begin() + (to - s) + 2000);
                ctr256_crypt(ks, ctr, part.data(), part.size(), part.data());
                ASSERT_EQ(0, std::memcmp(part.data(), full.data() + to, part.size())) << "seek " << to;
            }
        }
    }
}

TEST_P(WidthTest, CbcDecryptMatchesOpenSslAndNarrowPathAtEveryLength) {
    const std::vector<std::size_t> lengths = width_test_lengths(GetParam());
    for (const Bytes& iv : ivs) {
        const std::size_t max_blocks = GetParam().max_len & ~std::size_t{15};
        const Bytes cipher(data.begin(), data.begin() + max_blocks);
        const Bytes want = evp(EVP_aes_256_cbc(), false, key, iv, cipher);
        for (std::size_t len : lengths) {
            SCOPED_TRACE(::testing::Message() << "len " << len);
            const std::size_t n = len & ~std::size_t{15};
            Bytes in_place(data.begin(), data.begin() + len), out(len, 0xEE), narrow(len, 0xEE);
            cbc256_decrypt(ks, in_place.data(), len, iv.data(), in_place.data());
            cbc256_decrypt(ks, data.data(), len, iv.data(), out.data());
            GetParam().ref_cbc_decrypt(ks, data.data(), len, iv.data(), narrow.data());
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + n, want.begin()));
            ASSERT_EQ(out, narrow);  // the partial tail is left alone by both
            ASSERT_TRUE(std::equal(in_place.begin(), in_place.begin() + n, want.begin()));
            ASSERT_TRUE(std::equal(in_place.begin() + n, in_place.end(), data.begin() + n));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, WidthTest, ::testing::ValuesIn(wide_paths()),
                         [](const ::testing::TestParamInfo<WidePath>& info) { return info.param.name; });
#endif

}  // namespace
}  // namespace ciphex_test
