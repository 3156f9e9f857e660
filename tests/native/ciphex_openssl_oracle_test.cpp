// OpenSSL's libcrypto as an independent oracle: EVP for CBC and CTR,
// AES_ige_encrypt for IGE.
//
// AES_set_*_key and AES_ige_encrypt are deprecated but remain the only IGE
// implementation OpenSSL offers.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/aes.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

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

}  // namespace
}  // namespace ciphex_test
