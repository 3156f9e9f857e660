// Key expansion and single-block AES-256 on each backend.
#include <cstring>

#include "byte_order.h"
#include "ciphex_support.h"

namespace ciphex_test {
namespace {

const Bytes kFipsKey = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");

// FIPS-197 Appendix A.3: w[0..59] for kFipsKey, as big-endian word values.
const std::uint32_t kFipsWords[60] = {
    0x603deb10, 0x15ca71be, 0x2b73aef0, 0x857d7781, 0x1f352c07, 0x3b6108d7, 0x2d9810a3, 0x0914dff4,
    0x9ba35411, 0x8e6925af, 0xa51a8b5f, 0x2067fcde, 0xa8b09c1a, 0x93d194cd, 0xbe49846e, 0xb75d5b9a,
    0xd59aecb8, 0x5bf3c917, 0xfee94248, 0xde8ebe96, 0xb5a9328a, 0x2678a647, 0x98312229, 0x2f6c79b3,
    0x812c81ad, 0xdadf48ba, 0x24360af2, 0xfab8b464, 0x98c5bfc9, 0xbebd198e, 0x268c3ba7, 0x09e04214,
    0x68007bac, 0xb2df3316, 0x96e939e4, 0x6c518d80, 0xc814e204, 0x76a9fb8a, 0x5025c02d, 0x59c58239,
    0xde136967, 0x6ccc5a71, 0xfa256395, 0x9674ee15, 0x5886ca5d, 0x2e2f31d7, 0x7e0af1fa, 0x27cf73c3,
    0x749c47ab, 0x18501dda, 0xe2757e4f, 0x7401905a, 0xcafaaae3, 0xe4d59b34, 0x9adf6ace, 0xbd10190d,
    0xfe4890d1, 0xe6188d0b, 0x046df344, 0x706c631e,
};

using AesCoreTest = BackendTest;

TEST_P(AesCoreTest, ExpansionMatchesFips197AppendixA3Words) {
    AesKeySchedule ks;
    be().expand(ks, kFipsKey.data(), 1);
    for (int i = 0; i < 60; ++i) {
        std::uint8_t word[4];
        std::memcpy(word, &ks.enc_keys[i / 4][4 * (i % 4)], 4);
        std::uint32_t got = (std::uint32_t{word[0]} << 24) | (word[1] << 16) | (word[2] << 8) | word[3];
        EXPECT_EQ(got, kFipsWords[i]) << "w[" << i << "]";
    }
    EXPECT_EQ(0, std::memcmp(ks.dec_keys[0], ks.enc_keys[14], 16));
    EXPECT_EQ(0, std::memcmp(ks.dec_keys[14], ks.enc_keys[0], 16));
}

TEST_P(AesCoreTest, Fips197AppendixC3EncryptsAndDecryptsInPlace) {
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes plain = hex("00112233445566778899aabbccddeeff");
    const Bytes cipher = hex("8ea2b7ca516745bfeafc49904b496089");
    AesKeySchedule ks;
    be().expand(ks, key.data(), 1);
    Bytes buf = plain;
    be().encrypt_block(ks, buf.data(), buf.data());
    EXPECT_EQ(buf, cipher);
    be().decrypt_block(ks, buf.data(), buf.data());
    EXPECT_EQ(buf, plain);
}

TEST_P(AesCoreTest, ExpansionWithoutDecryptLeavesDecKeysUntouched) {
    AesKeySchedule ks;
    std::memset(&ks, 0xA5, sizeof ks);
    be().expand(ks, kFipsKey.data(), 0);
    for (auto& rk : ks.dec_keys) {
        for (std::uint8_t b : rk) ASSERT_EQ(b, 0xA5);
    }
    EXPECT_EQ(ks.enc_keys[14][15], 0x1e);
}

TEST_P(AesCoreTest, ScheduleAndBlocksAtUnalignedAddresses) {
    static_assert(alignof(AesKeySchedule) == 1);
    std::mt19937_64 rng(11);
    AesKeySchedule ref;
    const Bytes key = random_bytes(rng, 32), block = random_bytes(rng, 16);
    be().expand(ref, key.data(), 1);
    Bytes want(16);
    be().encrypt_block(ref, block.data(), want.data());
    for (std::size_t off = 1; off < 16; off += 3) {
        Bytes storage(sizeof(AesKeySchedule) + 64);
        auto* ks = reinterpret_cast<AesKeySchedule*>(storage.data() + off);
        Bytes keybuf(48), in(48), out(48);
        std::memcpy(keybuf.data() + off, key.data(), 32);
        std::memcpy(in.data() + off, block.data(), 16);
        be().expand(*ks, keybuf.data() + off, 1);
        EXPECT_EQ(0, std::memcmp(ks, &ref, sizeof ref));
        be().encrypt_block(*ks, in.data() + off, out.data() + 2 * off % 17);
        EXPECT_EQ(0, std::memcmp(out.data() + 2 * off % 17, want.data(), 16)) << off;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, AesCoreTest, ::testing::ValuesIn(all_backends()),
                         backend_param_name);

TEST(AesCoreCrossBackend, BothExpansionsAgreeOnRandomKeys) {
    const Backend* hw = hardware_backend();
    if (!hw || !cpu_offers(hw->needs)) GTEST_SKIP() << "no AES instructions here";
    std::mt19937_64 rng(1);
    for (int i = 0; i < 500; ++i) {
        Bytes key = random_bytes(rng, 32);
        AesKeySchedule soft, ni;
        aes256_expand_key(soft, key.data(), 1);
        hw->expand(ni, key.data(), 1);
        ASSERT_EQ(0, std::memcmp(&soft, &ni, sizeof soft)) << "key #" << i;
    }
}

TEST(AesCoreSoft, ColumnWordBlockOpsAllowSameArray) {
    detect_backend();
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    AesKeySchedule ks;
    aes256_expand_key(ks, key.data(), 1);
    std::uint32_t w[4], separate[4];
    load_block_words(hex("00112233445566778899aabbccddeeff").data(), w);
    aes256_encrypt_block_soft(ks.enc_keys, w, separate);
    aes256_encrypt_block_soft(ks.enc_keys, w, w);
    EXPECT_EQ(0, std::memcmp(w, separate, sizeof w));
    EXPECT_EQ(w[0], 0xcab7a28eu);  // bytes 8e a2 b7 ca, least significant first
    aes256_decrypt_block_soft(ks.dec_keys, w, w);
    EXPECT_EQ(w[3], 0xffeeddccu);
}

}  // namespace
}  // namespace ciphex_test
