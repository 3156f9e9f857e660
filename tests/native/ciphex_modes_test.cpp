// IGE, CBC and CTR on each backend: standard vectors, chaining identities,
// aliasing, alignment, and the CTR stream position.
#include <cstring>

#include "ciphex_support.h"

namespace ciphex_test {
namespace {

const Bytes kKey = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kPlain = hex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

// Each mode as one "transform len bytes from in to out" call, so the
// aliasing and alignment tests cover every mode with one body.
using Transform = void (*)(const Backend&, const AesKeySchedule&, const std::uint8_t* iv,
                           const std::uint8_t* in, std::size_t len, std::uint8_t* out);

void ctr_from_iv(const Backend& be, const AesKeySchedule& ks, const std::uint8_t* iv,
                 const std::uint8_t* in, std::size_t len, std::uint8_t* out) {
    CtrStreamState ctr;
    ctr256_init(ctr, ks, iv, 0);
    be.ctr_crypt(ks, ctr, in, len, out);
}

#define CIPHEX_BLOCK_TRANSFORM(fn)                                                           \
    [](const Backend& b, const AesKeySchedule& k, const std::uint8_t* iv, const std::uint8_t* in, \
       std::size_t n, std::uint8_t* out) { b.fn(k, in, n, iv, out); }

const std::pair<const char*, Transform> kTransforms[] = {
    {"ige_enc", CIPHEX_BLOCK_TRANSFORM(ige_encrypt)},
    {"ige_dec", CIPHEX_BLOCK_TRANSFORM(ige_decrypt)},
    {"cbc_enc", CIPHEX_BLOCK_TRANSFORM(cbc_encrypt)},
    {"cbc_dec", CIPHEX_BLOCK_TRANSFORM(cbc_decrypt)},
    {"ctr", ctr_from_iv},
};

class ModesTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        be().expand(ks, kKey.data(), 1);
    }
    AesKeySchedule ks;
};

TEST_P(ModesTest, CbcMatchesSp800_38aF25AndF26) {
    const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    const Bytes cipher = hex(
        "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
        "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
    Bytes out(64);
    be().cbc_encrypt(ks, kPlain.data(), 64, iv.data(), out.data());
    EXPECT_EQ(out, cipher);
    be().cbc_decrypt(ks, cipher.data(), 64, iv.data(), out.data());
    EXPECT_EQ(out, kPlain);
}

TEST_P(ModesTest, CtrMatchesSp800_38aF55AndF56) {
    const Bytes iv = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const Bytes cipher = hex(
        "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
        "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6");
    Bytes out(64);
    ctr_from_iv(be(), ks, iv.data(), kPlain.data(), 64, out.data());
    EXPECT_EQ(out, cipher);
    ctr_from_iv(be(), ks, iv.data(), cipher.data(), 64, out.data());
    EXPECT_EQ(out, kPlain);
}

TEST_P(ModesTest, IgeOneBlockIsEncryptOfXoredIvHalves) {
    std::mt19937_64 rng(2);
    const Bytes iv = random_bytes(rng, 32), x = random_bytes(rng, 16);
    Bytes want(16), got(16);
    for (int i = 0; i < 16; ++i) want[i] = x[i] ^ iv[i];
    be().encrypt_block(ks, want.data(), want.data());
    for (int i = 0; i < 16; ++i) want[i] ^= iv[16 + i];
    be().ige_encrypt(ks, x.data(), 16, iv.data(), got.data());
    EXPECT_EQ(got, want);
}

TEST_P(ModesTest, BlockModesRoundTripAndLeaveIvUnchanged) {
    std::mt19937_64 rng(3);
    for (std::size_t blocks : {1, 2, 7, 8, 9, 64}) {
        const Bytes msg = random_bytes(rng, 16 * blocks), iv = random_bytes(rng, 32);
        const Bytes iv_copy = iv;
        Bytes c(msg.size()), p(msg.size());
        be().ige_encrypt(ks, msg.data(), msg.size(), iv.data(), c.data());
        be().ige_decrypt(ks, c.data(), c.size(), iv.data(), p.data());
        EXPECT_EQ(p, msg) << "ige " << blocks;
        be().cbc_encrypt(ks, msg.data(), msg.size(), iv.data(), c.data());
        be().cbc_decrypt(ks, c.data(), c.size(), iv.data(), p.data());
        EXPECT_EQ(p, msg) << "cbc " << blocks;
        EXPECT_EQ(iv, iv_copy);
    }
}

TEST_P(ModesTest, InPlaceAndUnalignedMatchSeparateBuffers) {
    std::mt19937_64 rng(4);
    const Bytes iv = random_bytes(rng, 32), msg = random_bytes(rng, 16 * 21);
    for (const auto& [name, transform] : kTransforms) {
        Bytes want(msg.size());
        transform(be(), ks, iv.data(), msg.data(), msg.size(), want.data());
        Bytes inplace = msg;
        transform(be(), ks, iv.data(), inplace.data(), inplace.size(), inplace.data());
        EXPECT_EQ(inplace, want) << name;
        for (std::size_t off : {1u, 3u, 8u, 15u}) {
            Bytes in(msg.size() + 32), out(msg.size() + 32), ivbuf(64);
            std::memcpy(in.data() + off, msg.data(), msg.size());
            std::memcpy(ivbuf.data() + 16 - off, iv.data(), 32);
            transform(be(), ks, ivbuf.data() + 16 - off, in.data() + off, msg.size(), out.data() + 2 * off);
            EXPECT_EQ(0, std::memcmp(out.data() + 2 * off, want.data(), want.size())) << name << off;
        }
    }
}

TEST_P(ModesTest, ShortBlockModeInputTouchesNothing) {
    const Bytes iv(32, 7), in(15, 1);
    Bytes out(15, 0xEE);
    be().ige_encrypt(ks, in.data(), 15, iv.data(), out.data());
    be().cbc_decrypt(ks, in.data(), 15, iv.data(), out.data());
    EXPECT_EQ(out, Bytes(15, 0xEE));
}

TEST_P(ModesTest, CtrSplitCallsEqualOneCall) {
    std::mt19937_64 rng(5);
    const Bytes iv = random_bytes(rng, 16), msg = random_bytes(rng, 3000);
    Bytes want(msg.size());
    ctr_from_iv(be(), ks, iv.data(), msg.data(), msg.size(), want.data());
    for (std::size_t step : {1, 15, 16, 17, 127, 128, 129, 1000}) {
        CtrStreamState ctr;
        ctr256_init(ctr, ks, iv.data(), 0);
        Bytes got(msg.size());
        for (std::size_t pos = 0; pos < msg.size(); pos += step) {
            std::size_t n = std::min(step, msg.size() - pos);
            be().ctr_crypt(ks, ctr, msg.data() + pos, n, got.data() + pos);
            ASSERT_EQ(ctr.offset, pos + n);
            ASSERT_EQ(ctr.state, (pos + n) % 16 ? (pos + n) % 16 : 16);
        }
        EXPECT_EQ(got, want) << "step " << step;
    }
}

TEST_P(ModesTest, CtrPositionAfterPartialAndFullBlocks) {
    const Bytes iv(16, 0x42), zeros(64, 0);
    CtrStreamState ctr;
    ctr256_init(ctr, ks, iv.data(), 0);
    EXPECT_EQ(ctr.state, 16);
    EXPECT_EQ(ctr.offset, 0u);
    Bytes out(64);
    be().ctr_crypt(ks, ctr, zeros.data(), 5, out.data());
    EXPECT_EQ(ctr.state, 5);
    be().ctr_crypt(ks, ctr, zeros.data(), 11, out.data());
    EXPECT_EQ(ctr.state, 16);
    EXPECT_EQ(ctr.offset, 16u);
    Bytes buffered(ctr.keystream, ctr.keystream + 16);
    be().ctr_crypt(ks, ctr, zeros.data(), 16, out.data());
    EXPECT_EQ(ctr.state, 16);
    EXPECT_EQ(ctr.offset, 32u);
    EXPECT_EQ(Bytes(ctr.keystream, ctr.keystream + 16), buffered);
    be().ctr_crypt(ks, ctr, zeros.data(), 0, out.data());
    EXPECT_EQ(ctr.offset, 32u);
}

// Keystream bytes [from, from + n) computed block by block from the iv.
Bytes reference_keystream(const Backend& be, const AesKeySchedule& ks, const Bytes& iv,
                          std::uint64_t from, std::size_t n) {
    CtrStreamState ctr;
    ctr256_init(ctr, ks, iv.data(), 0);
    Bytes skip(from, 0), out(n, 0);
    be.ctr_crypt(ks, ctr, skip.data(), skip.size(), skip.data());
    be.ctr_crypt(ks, ctr, out.data(), n, out.data());
    return out;
}

TEST_P(ModesTest, CtrSeekAndInitialStateEqualConsuming) {
    std::mt19937_64 rng(6);
    const Bytes iv = random_bytes(rng, 16);
    for (std::uint64_t pos : {0, 1, 7, 15, 16, 17, 32, 127, 128, 129, 1000}) {
        CtrStreamState ctr;
        ctr256_init(ctr, ks, iv.data(), 3);
        ctr256_seek(ctr, ks, pos);
        EXPECT_EQ(ctr.offset, pos);
        EXPECT_EQ(ctr.state, pos % 16 ? pos % 16 : 16);
        Bytes got(300, 0);
        be().ctr_crypt(ks, ctr, got.data(), got.size(), got.data());
        EXPECT_EQ(got, reference_keystream(be(), ks, iv, pos, 300)) << pos;
    }
    CtrStreamState fresh, sought, seven;
    ctr256_init(fresh, ks, iv.data(), 0);
    ctr256_init(sought, ks, iv.data(), 9);
    ctr256_seek(sought, ks, 0);
    EXPECT_EQ(0, std::memcmp(fresh.counter, sought.counter, 16));
    EXPECT_EQ(sought.state, 16);
    ctr256_init(seven, ks, iv.data(), 7);
    EXPECT_EQ(seven.state, 7);
    EXPECT_EQ(seven.offset, 7u);
    Bytes got(40, 0);
    be().ctr_crypt(ks, seven, got.data(), got.size(), got.data());
    EXPECT_EQ(got, reference_keystream(be(), ks, iv, 7, 40));
}

// Keystream block i is E(iv + i); checks the counter carries, including
// through the eight-block batches, against single-block encryptions.
void expect_keystream_blocks(const Backend& be, const AesKeySchedule& ks, const Bytes& first_counter,
                             const Bytes& keystream) {
    Bytes counter = first_counter, block(16);
    for (std::size_t off = 0; off < keystream.size(); off += 16) {
        be.encrypt_block(ks, counter.data(), block.data());
        ASSERT_EQ(0, std::memcmp(block.data(), keystream.data() + off, 16)) << "block " << off / 16;
        for (int i = 15; i >= 0 && ++counter[i] == 0; --i) {
        }
    }
}

TEST_P(ModesTest, CtrCounterWrapsAndCarriesAcrossAllBytes) {
    const Bytes all_ff(16, 0xFF);
    const Bytes low_ff = hex("0000000000000000fffffffffffffffd");
    // Low bytes at and just past the last start whose batch of eight needs
    // no carry out of byte 15.
    const Bytes f8 = hex("0102030405060708090a0b0c0d0e0ff8"), f9 = hex("0102030405060708090a0b0c0d0e0ff9");
    for (const Bytes& iv : {all_ff, low_ff, f8, f9}) {
        Bytes ks_bytes(16 * 20, 0);
        CtrStreamState ctr;
        ctr256_init(ctr, ks, iv.data(), 0);
        be().ctr_crypt(ks, ctr, ks_bytes.data(), ks_bytes.size(), ks_bytes.data());
        expect_keystream_blocks(be(), ks, iv, ks_bytes);
    }
    CtrStreamState ctr;
    ctr256_init(ctr, ks, all_ff.data(), 0);
    Bytes one(16, 0);
    be().ctr_crypt(ks, ctr, one.data(), 16, one.data());
    EXPECT_EQ(Bytes(ctr.counter, ctr.counter + 16), Bytes(16, 0));

    // Seeking 5 blocks past ...fffd carries out of the low eight bytes.
    ctr256_init(ctr, ks, low_ff.data(), 0);
    ctr256_seek(ctr, ks, 5 * 16 + 4);
    EXPECT_EQ(Bytes(ctr.counter, ctr.counter + 16), hex("00000000000000010000000000000003"));
    ctr256_init(ctr, ks, all_ff.data(), 0);
    ctr256_seek(ctr, ks, 0x7FFFFFFFFFFFFFF0ull);
    // From all 0xFF, the carry out of byte 0 is dropped.
    EXPECT_EQ(Bytes(ctr.counter, ctr.counter + 16), hex("000000000000000007fffffffffffffe"));
    EXPECT_EQ(ctr.state, 16);
}

INSTANTIATE_TEST_SUITE_P(Backends, ModesTest, ::testing::ValuesIn(all_backends()),
                         backend_param_name);

TEST(ModesCrossBackend, SoftAndHardwareByteIdenticalOnRandomInputs) {
    const Backend* hw = hardware_backend();
    if (!hw || !cpu_offers(hw->needs)) GTEST_SKIP() << "no AES instructions here";
    const Backend& soft = all_backends()[0];
    const Backend& ni = *hw;
    std::mt19937_64 rng(7);
    for (int round = 0; round < 200; ++round) {
        const Bytes key = random_bytes(rng, 32), iv = random_bytes(rng, 32);
        const std::size_t len = rng() % 2100;
        const Bytes msg = random_bytes(rng, len);
        AesKeySchedule ks_soft, ks_ni;
        soft.expand(ks_soft, key.data(), 1);
        ni.expand(ks_ni, key.data(), 1);
        for (const auto& [name, transform] : kTransforms) {
            const std::size_t n = std::strcmp(name, "ctr") == 0 ? len : len & ~std::size_t{15};
            Bytes a(n), b(n);
            transform(soft, ks_soft, iv.data(), msg.data(), n, a.data());
            transform(ni, ks_ni, iv.data(), msg.data(), n, b.data());
            ASSERT_EQ(a, b) << name << " round " << round << " len " << n;
        }
    }
}

}  // namespace
}  // namespace ciphex_test
