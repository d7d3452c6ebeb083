// Cryptographic primitives: published known answers for every digest, MAC and the
// cipher, and Diffie-Hellman agreement over both fixed groups checked against an
// independent modular exponentiation.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "vt_crypt.h"
#include "vt_dh_groups.h"
#include "vt_test_hex.h"
#include "vt_test_util.h"

#include <wolfssl/wolfcrypt/sha256.h>
#include <wolfssl/wolfcrypt/wolfmath.h>

namespace {

using bytes = std::vector<uint8_t>;
using vt_test::to_hex;

bytes from_hex(std::string text)
{
    std::erase(text, ' ');
    bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const bytes &data)
{
    return to_hex(data.data(), data.size());
}

vt_range range_of(bytes &data)
{
    return {data.data(), data.size()};
}

vt_range range_of(const std::string &text)
{
    return {reinterpret_cast<uint8_t *>(const_cast<char *>(text.data())), text.size()};
}

// Owns an output range that a primitive allocated.
struct OwnedRange {
    vt_range range{};
    ~OwnedRange() { free(range.data); }
    std::string text() const { return std::string(reinterpret_cast<char *>(range.data), range.length); }
};

// RFC 2409 section 6.2, the second Oakley group, as published.
constexpr const char *oakley2_prime_hex =
    "FFFFFFFF FFFFFFFF C90FDAA2 2168C234 C4C6628B 80DC1CD1"
    "29024E08 8A67CC74 020BBEA6 3B139B22 514A0879 8E3404DD"
    "EF9519B3 CD3A431B 302B0A6D F25F1437 4FE1356D 6D51C245"
    "E485B576 625E7EC6 F44C42E9 A637ED6B 0BFF5CB6 F406B7ED"
    "EE386BFB 5A899FA5 AE9F2411 7C4B1FE6 49286651 ECE65381"
    "FFFFFFFF FFFFFFFF";

// RFC 3526 section 3, the 2048-bit MODP group, as published.
constexpr const char *modp2048_prime_hex =
    "FFFFFFFF FFFFFFFF C90FDAA2 2168C234 C4C6628B 80DC1CD1"
    "29024E08 8A67CC74 020BBEA6 3B139B22 514A0879 8E3404DD"
    "EF9519B3 CD3A431B 302B0A6D F25F1437 4FE1356D 6D51C245"
    "E485B576 625E7EC6 F44C42E9 A637ED6B 0BFF5CB6 F406B7ED"
    "EE386BFB 5A899FA5 AE9F2411 7C4B1FE6 49286651 ECE45B3D"
    "C2007CB8 A163BF05 98DA4836 1C55D39A 69163FA8 FD24CF5F"
    "83655D23 DCA3AD96 1C62F356 208552BB 9ED52907 7096966D"
    "670C354E 4ABC9804 F1746C08 CA18217C 32905E46 2E36CE3B"
    "E39E772C 180E8603 9B2783A2 EC07A28F B5C55DF0 6F4C52C9"
    "DE2BCBF6 95581718 3995497C EA956AE5 15D22618 98FA0510"
    "15728E5A 8AACAA68 FFFFFFFF FFFFFFFF";

std::string lower(std::string text)
{
    std::erase(text, ' ');
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// ---------------------------------------------------------------- hex and digests

TEST(Hexify, ThreeBytesGiveSixLowerCaseCharacters)
{
    bytes input = {0x00, 0xab, 0xff};
    vt_range in = range_of(input);
    OwnedRange out;
    ASSERT_EQ(vt_hexify(&in, &out.range), 0);
    EXPECT_EQ(out.range.length, 6u);
    EXPECT_EQ(out.text(), "00abff");
    EXPECT_EQ(out.range.data[6], 0) << "the text is zero-terminated";
}

TEST(Hexify, EveryByteValueRoundTrips)
{
    bytes input(256);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<uint8_t>(i);
    vt_range in = range_of(input);
    OwnedRange out;
    ASSERT_EQ(vt_hexify(&in, &out.range), 0);
    EXPECT_EQ(from_hex(out.text()), input);
}

TEST(Hexify, RefusesEmptyInputAndOccupiedOutput)
{
    vt_test::SyserrCapture capture;
    bytes input = {1};
    vt_range in = range_of(input), empty{input.data(), 0};
    OwnedRange out;
    EXPECT_EQ(vt_hexify(&empty, &out.range), 1);
    EXPECT_NE(capture.text().find("(vt_hexify:"), std::string::npos);
    EXPECT_NE(capture.text().find("invalid input object"), std::string::npos);
    EXPECT_EQ(out.range.data, nullptr);

    capture.clear();
    uint8_t held = 0;
    vt_range occupied{&held, 1};
    EXPECT_EQ(vt_hexify(&in, &occupied), 1);
    EXPECT_NE(capture.text().find("invalid output object"), std::string::npos);
    EXPECT_EQ(occupied.data, &held);
}

struct DigestCase {
    const char *name;
    int (*digest)(const vt_range *, vt_range *);
    std::string input;
    size_t size;
    const char *expected;
};

class Digest : public testing::TestWithParam<DigestCase> {};

TEST_P(Digest, MatchesPublishedVector)
{
    const DigestCase &c = GetParam();
    vt_range in = range_of(c.input);
    OwnedRange out;
    ASSERT_EQ(c.digest(&in, &out.range), 0);
    ASSERT_EQ(out.range.length, c.size);
    EXPECT_EQ(to_hex(out.range.data, out.range.length), c.expected);
}

TEST_P(Digest, FailuresLeaveTheOutputEmpty)
{
    const DigestCase &c = GetParam();
    vt_test::SyserrCapture capture;
    vt_range empty{nullptr, 0};
    OwnedRange out;
    EXPECT_EQ(c.digest(&empty, &out.range), 1);
    EXPECT_NE(capture.text().find(std::string("(") + c.name + ":"), std::string::npos);
    EXPECT_NE(capture.text().find("invalid input object"), std::string::npos);
    EXPECT_EQ(out.range.data, nullptr);
    EXPECT_EQ(out.range.length, 0u);

    capture.clear();
    vt_range in = range_of(c.input);
    uint8_t held = 0;
    vt_range occupied{&held, 1};
    EXPECT_EQ(c.digest(&in, &occupied), 1);
    EXPECT_NE(capture.text().find("invalid output object"), std::string::npos);
    EXPECT_EQ(occupied.data, &held);
}

INSTANTIATE_TEST_SUITE_P(
    KnownAnswers, Digest,
    testing::Values(
        DigestCase{"vt_sha1", vt_sha1, "abc", 20, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        DigestCase{"vt_sha1", vt_sha1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 20,
                   "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        DigestCase{"vt_sha512", vt_sha512, "abc", 64,
                   "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                   "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"}),
    [](const testing::TestParamInfo<DigestCase> &info) {
        return std::string(info.param.name) + "_" + std::to_string(info.index);
    });

TEST(Sha512Hexify, AbcGivesTheStandardVectorAsText)
{
    std::string abc = "abc";
    vt_range in = range_of(abc);
    OwnedRange out;
    ASSERT_EQ(vt_sha512_hexify(&in, &out.range), 0);
    EXPECT_EQ(out.range.length, 128u);
    EXPECT_EQ(out.text(), "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                          "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
}

TEST(Sha512Hexify, FailureAddsItsOwnLineAfterTheCause)
{
    vt_test::SyserrCapture capture;
    vt_range empty{nullptr, 0};
    OwnedRange out;
    EXPECT_EQ(vt_sha512_hexify(&empty, &out.range), 1);
    const std::string &text = capture.text();
    size_t cause = text.find("(vt_sha512:"), summary = text.find("failed to compute sha512 hash");
    ASSERT_NE(cause, std::string::npos);
    ASSERT_NE(summary, std::string::npos);
    EXPECT_LT(cause, summary);
    EXPECT_EQ(out.range.data, nullptr);
}

// ---------------------------------------------------------------- HMAC-SHA-256

TEST(Hmac, Rfc4231TestCase2BothEntryPoints)
{
    const char *expected = "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";
    std::string key = "Jefe", data = "what do ya want for nothing?";
    bytes mac(32);
    vt_range k = range_of(key), d = range_of(data), m = range_of(mac);
    ASSERT_EQ(vt_sha256_hmac(&k, &d, &m), 0);
    EXPECT_EQ(to_hex(mac), expected);

    bytes mac_ex(40, 0xee);
    ASSERT_EQ(vt_sha256_hmac_ex(k.data, k.length, d.data, d.length, mac_ex.data(), mac_ex.size()), 0);
    EXPECT_EQ(to_hex(mac_ex.data(), 32), expected);
    EXPECT_EQ(mac_ex[32], 0xee) << "nothing is written past the 32 MAC bytes";
}

TEST(Hmac, ArgumentChecksNameTheirBuffer)
{
    struct Case {
        size_t key_length, input_length, output_length;
        const char *message;
    };
    const Case cases[] = {
        {0, 8, 32, "invalid or empty key buffer"},
        {4, 0, 32, "invalid or empty input buffer"},
        {4, 8, 31, "invalid or empty output buffer"},
    };
    bytes key(4, 1), input(8, 2), output(32);
    for (const Case &c : cases) {
        vt_test::SyserrCapture capture;
        vt_range k{key.data(), c.key_length}, in{input.data(), c.input_length},
            out{output.data(), c.output_length};
        EXPECT_EQ(vt_sha256_hmac(&k, &in, &out), 1) << c.message;
        EXPECT_NE(capture.text().find(std::string("(vt_sha256_hmac:")), std::string::npos);
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();

        capture.clear();
        EXPECT_EQ(vt_sha256_hmac_ex(key.data(), c.key_length, input.data(), c.input_length,
                                    output.data(), c.output_length), 1);
        EXPECT_NE(capture.text().find(std::string("(vt_sha256_hmac_ex:")), std::string::npos);
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
    }
}

// ---------------------------------------------------------------- random generator

class Rng : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_rng_init(&rng), 0); }
    void TearDown() override { EXPECT_EQ(vt_rng_deit(&rng), 0); EXPECT_EQ(rng, nullptr); }
    vt_rng *rng = nullptr;
};

TEST_F(Rng, TwoDrawsDiffer)
{
    bytes a(128), b(128);
    ASSERT_EQ(vt_rng_rand_(rng, a.data(), a.size()), 0);
    ASSERT_EQ(vt_rng_rand_(rng, b.data(), b.size()), 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, bytes(128, 0));
}

TEST_F(Rng, FillsRequestsLargerThanOneLibraryBlock)
{
    // The last 4 KiB lie beyond what a single library request may produce.
    bytes large(RNG_MAX_BLOCK_LEN + 4096, 0);
    ASSERT_EQ(vt_rng_rand_(rng, large.data(), large.size()), 0);
    EXPECT_NE(bytes(large.end() - 4096, large.end()), bytes(4096, 0));
}

TEST_F(Rng, ArgumentChecks)
{
    vt_test::SyserrCapture capture;
    uint8_t byte = 0;
    EXPECT_EQ(vt_rng_rand_(rng, nullptr, 1), 1);
    EXPECT_EQ(vt_rng_rand_(rng, &byte, 0), 1);
    EXPECT_NE(capture.text().find("invalid buffer object"), std::string::npos);
    capture.clear();
    EXPECT_EQ(vt_rng_rand_(nullptr, &byte, 1), 1);
    EXPECT_NE(capture.text().find("invalid rng object"), std::string::npos);

    vt_rng *held = rng;
    EXPECT_EQ(vt_rng_init(&rng), 1) << "an occupied slot is refused";
    EXPECT_EQ(rng, held);
}

// ---------------------------------------------------------------- AES-256-CBC

// NIST SP 800-38A, F.2.5 CBC-AES256.Encrypt (F.2.6 is its inverse).
constexpr const char *sp800_key = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
constexpr const char *sp800_iv = "000102030405060708090a0b0c0d0e0f";
constexpr const char *sp800_plain = "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                                    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
constexpr const char *sp800_cipher = "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
                                     "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b";

class AesCbc : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_aes_init_(&aes, key.data(), key.size()), 0); }
    void TearDown() override { EXPECT_EQ(vt_aes_deit(&aes), 0); EXPECT_EQ(aes, nullptr); }
    bytes key = from_hex(sp800_key), iv = from_hex(sp800_iv);
    vt_aes *aes = nullptr;
};

TEST_F(AesCbc, Sp800_38aKnownAnswerBothDirections)
{
    bytes plain = from_hex(sp800_plain), out(plain.size());
    ASSERT_EQ(vt_aes_set_encrypt_iv_(aes, iv.data()), 0);
    ASSERT_EQ(vt_aes_encrypt(aes, plain.data(), plain.size(), out.data()), 0);
    EXPECT_EQ(to_hex(out), lower(sp800_cipher));

    bytes back(out.size());
    ASSERT_EQ(vt_aes_set_decrypt_iv_(aes, iv.data()), 0);
    ASSERT_EQ(vt_aes_decrypt(aes, out.data(), out.size(), back.data()), 0);
    EXPECT_EQ(back, plain);
}

TEST_F(AesCbc, InPlaceRoundTripWithFreshIvPerMessage)
{
    vt_rng *rng = nullptr;
    ASSERT_EQ(vt_rng_init(&rng), 0);
    for (size_t blocks : {1u, 2u, 64u}) {
        bytes message(blocks * 16), frame_iv(16);
        ASSERT_EQ(vt_rng_rand_(rng, message.data(), message.size()), 0);
        ASSERT_EQ(vt_rng_rand_(rng, frame_iv.data(), frame_iv.size()), 0);
        bytes data = message;
        ASSERT_EQ(vt_aes_set_encrypt_iv_(aes, frame_iv.data()), 0);
        ASSERT_EQ(vt_aes_encrypt(aes, data.data(), data.size(), data.data()), 0);
        EXPECT_NE(data, message);
        ASSERT_EQ(vt_aes_set_decrypt_iv_(aes, frame_iv.data()), 0);
        ASSERT_EQ(vt_aes_decrypt(aes, data.data(), data.size(), data.data()), 0);
        EXPECT_EQ(data, message) << blocks << " blocks";
    }
    vt_rng_deit(&rng);
}

TEST_F(AesCbc, ContextKeepsTheChainBetweenCallsUntilTheIvIsSet)
{
    // Encrypting the vector in two calls continues the chain: the same ciphertext.
    bytes plain = from_hex(sp800_plain), out(plain.size());
    ASSERT_EQ(vt_aes_set_encrypt_iv_(aes, iv.data()), 0);
    ASSERT_EQ(vt_aes_encrypt(aes, plain.data(), 32, out.data()), 0);
    ASSERT_EQ(vt_aes_encrypt(aes, plain.data() + 32, 32, out.data() + 32), 0);
    EXPECT_EQ(to_hex(out), lower(sp800_cipher));
}

TEST_F(AesCbc, PartialBlocksAreRefusedNotClaimedDone)
{
    bytes data(24, 0x5a), before = data;
    EXPECT_NE(vt_aes_encrypt(aes, data.data(), data.size(), data.data()), 0);
    EXPECT_NE(vt_aes_decrypt(aes, data.data(), data.size(), data.data()), 0);
    EXPECT_EQ(data, before);
}

TEST_F(AesCbc, InitChecksKeyAndHolder)
{
    vt_test::SyserrCapture capture;
    vt_aes *other = nullptr;
    EXPECT_EQ(vt_aes_init_(&other, key.data(), 16), 1);
    EXPECT_NE(capture.text().find("invalid key buffer"), std::string::npos);
    EXPECT_EQ(other, nullptr);

    capture.clear();
    vt_aes *held = aes;
    EXPECT_EQ(vt_aes_init_(&aes, key.data(), key.size()), 1);
    EXPECT_NE(capture.text().find("failed to create aes object"), std::string::npos);
    EXPECT_EQ(aes, held) << "an existing AES object is never replaced";
    EXPECT_EQ(vt_aes_init_(nullptr, key.data(), key.size()), 1);
}

// ---------------------------------------------------------------- Diffie-Hellman

TEST(DhGroups, DerFormIsTheRfc2409Group2WithBase2)
{
    EXPECT_EQ(vt_dh_oakley2_der.size(), vt_dh_cert_size);
    uint8_t p[256], g[16];
    word32 p_size = sizeof p, g_size = sizeof g;
    ASSERT_EQ(wc_DhParamsLoad(vt_dh_oakley2_der.data(), vt_dh_oakley2_der.size(), p, &p_size, g,
                              &g_size), 0);
    EXPECT_EQ(to_hex(p, p_size), lower(oakley2_prime_hex));
    EXPECT_EQ(to_hex(g, g_size), "02");
}

TEST(DhGroups, RawFormIsTheRfc3526Modp2048Group)
{
    EXPECT_EQ(to_hex(vt_dh_modp2048_prime.data(), vt_dh_modp2048_prime.size()),
              lower(modp2048_prime_hex));
    EXPECT_EQ(to_hex(vt_dh_modp2048_base.data(), vt_dh_modp2048_base.size()), "02");
}

TEST(DhGroups, BothPrimesPassTheLibraryPrimalityTest)
{
    vt_rng *rng = nullptr;
    ASSERT_EQ(vt_rng_init(&rng), 0);
    const bytes oakley = from_hex(oakley2_prime_hex);
    struct Group {
        const uint8_t *prime;
        size_t size;
    } groups[] = {{oakley.data(), oakley.size()},
                  {vt_dh_modp2048_prime.data(), vt_dh_modp2048_prime.size()}};
    for (const Group &group : groups) {
        DhKey key;
        ASSERT_EQ(wc_InitDhKey(&key), 0);
        // trusted = 0 makes the library test the prime instead of taking it on faith.
        EXPECT_EQ(wc_DhSetCheckKey(&key, group.prime, group.size, vt_dh_modp2048_base.data(), 1,
                                   nullptr, 0, 0, &rng->state), 0)
            << group.size * 8 << "-bit prime";
        wc_FreeDhKey(&key);
    }
    vt_rng_deit(&rng);
}

// Shared secret computed apart from the key objects: peer^x mod p, big-endian,
// without leading zero bytes, as the peer agent computes it.
bytes independent_secret(const uint8_t *peer, size_t peer_size, const uint8_t *x, size_t x_size,
                         const uint8_t *p, size_t p_size)
{
    mp_int base, exponent, modulus, result;
    EXPECT_EQ(mp_init(&base), 0);
    EXPECT_EQ(mp_init(&exponent), 0);
    EXPECT_EQ(mp_init(&modulus), 0);
    EXPECT_EQ(mp_init(&result), 0);
    EXPECT_EQ(mp_read_unsigned_bin(&base, peer, peer_size), 0);
    EXPECT_EQ(mp_read_unsigned_bin(&exponent, x, x_size), 0);
    EXPECT_EQ(mp_read_unsigned_bin(&modulus, p, p_size), 0);
    EXPECT_EQ(mp_exptmod(&base, &exponent, &modulus, &result), 0);
    bytes out(mp_unsigned_bin_size(&result));
    EXPECT_EQ(mp_to_unsigned_bin(&result, out.data()), 0);
    mp_clear(&base);
    mp_clear(&exponent);
    mp_clear(&modulus);
    mp_clear(&result);
    return out;
}

enum class DhForm { cert, raw };

class DhAgreement : public testing::TestWithParam<DhForm> {
protected:
    void SetUp() override { ASSERT_EQ(vt_rng_init(&rng), 0); }
    void TearDown() override
    {
        vt_dh_deit(&a);
        vt_dh_deit(&b);
        vt_rng_deit(&rng);
    }
    int make(vt_dh **slot)
    {
        if (GetParam() == DhForm::cert)
            return vt_dh_init(slot, vt_dh_oakley2_der.data(), vt_dh_oakley2_der.size(), rng);
        vt_range prime{const_cast<uint8_t *>(vt_dh_modp2048_prime.data()), vt_dh_modp2048_prime.size()};
        vt_range base{const_cast<uint8_t *>(vt_dh_modp2048_base.data()), vt_dh_modp2048_base.size()};
        return vt_dh_init_raw(slot, &prime, &base, rng);
    }
    bytes prime() const
    {
        if (GetParam() == DhForm::cert)
            return from_hex(oakley2_prime_hex);
        return bytes(vt_dh_modp2048_prime.begin(), vt_dh_modp2048_prime.end());
    }
    vt_rng *rng = nullptr;
    vt_dh *a = nullptr, *b = nullptr;
};

TEST_P(DhAgreement, BothSidesDeriveTheSameKeyFromTheSameSecret)
{
    ASSERT_EQ(make(&a), 0);
    ASSERT_EQ(make(&b), 0);
    const uint8_t *a_pub = nullptr, *b_pub = nullptr;
    size_t a_len = 0, b_len = 0;
    ASSERT_EQ(vt_dh_public_key_(a, &a_pub, &a_len), 0);
    ASSERT_EQ(vt_dh_public_key_(b, &b_pub, &b_len), 0);
    EXPECT_GT(a_len, 0u);
    EXPECT_LE(a_len, prime().size());
    EXPECT_NE(to_hex(a_pub, a_len), to_hex(b_pub, b_len));

    ASSERT_EQ(vt_dh_agree_(a, b_pub, b_len), 0);
    ASSERT_EQ(vt_dh_agree_(b, a_pub, a_len), 0);
    const uint8_t *a_key = nullptr, *b_key = nullptr;
    size_t a_key_len = 0, b_key_len = 0;
    ASSERT_EQ(vt_dh_aes_key_(a, &a_key, &a_key_len), 0);
    ASSERT_EQ(vt_dh_aes_key_(b, &b_key, &b_key_len), 0);
    ASSERT_EQ(a_key_len, 32u);
    ASSERT_EQ(b_key_len, 32u);
    EXPECT_EQ(to_hex(a_key, 32), to_hex(b_key, 32));

    // The key is SHA-256 of peer^x mod p in its shortest big-endian form.
    bytes p = prime();
    bytes z = independent_secret(b_pub, b_len, a->private_key, a->private_length, p.data(), p.size());
    EXPECT_EQ(to_hex(a->secret, a->secret_length), to_hex(z));
    uint8_t expected[32];
    ASSERT_EQ(wc_Sha256Hash(z.data(), z.size(), expected), 0);
    EXPECT_EQ(to_hex(a_key, 32), to_hex(expected, 32));
}

TEST_P(DhAgreement, DerivedKeyDrivesAesBetweenThePeers)
{
    ASSERT_EQ(make(&a), 0);
    ASSERT_EQ(make(&b), 0);
    ASSERT_EQ(vt_dh_agree_(a, b->public_key, b->public_length), 0);
    ASSERT_EQ(vt_dh_agree_(b, a->public_key, a->public_length), 0);
    vt_aes *sender = nullptr, *receiver = nullptr;
    ASSERT_EQ(vt_aes_init_(&sender, a->aes_key, a->aes_key_length), 0);
    ASSERT_EQ(vt_aes_init_(&receiver, b->aes_key, b->aes_key_length), 0);
    std::string block = "vantrel session key verification";
    bytes data(block.begin(), block.end()), iv(16, 7);
    ASSERT_EQ(vt_aes_set_encrypt_iv_(sender, iv.data()), 0);
    ASSERT_EQ(vt_aes_encrypt(sender, data.data(), data.size(), data.data()), 0);
    ASSERT_EQ(vt_aes_set_decrypt_iv_(receiver, iv.data()), 0);
    ASSERT_EQ(vt_aes_decrypt(receiver, data.data(), data.size(), data.data()), 0);
    EXPECT_EQ(std::string(data.begin(), data.end()), block);
    vt_aes_deit(&sender);
    vt_aes_deit(&receiver);
}

TEST_P(DhAgreement, PeerKeysOutsideTheGroupAreRefused)
{
    ASSERT_EQ(make(&a), 0);
    bytes p = prime(), p_minus_1 = p;
    p_minus_1.back() -= 1;
    const bytes bad_keys[] = {bytes{0x01}, bytes{0x00}, p_minus_1, p, bytes(vt_dh_key_max + 1, 0xff)};
    for (const bytes &peer : bad_keys) {
        vt_test::SyserrCapture capture;
        EXPECT_EQ(vt_dh_agree_(a, peer.data(), peer.size()), 1) << to_hex(peer);
        EXPECT_NE(capture.text().find("failed to generate secret key"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, DhAgreement, testing::Values(DhForm::cert, DhForm::raw),
                         [](const testing::TestParamInfo<DhForm> &info) {
                             return info.param == DhForm::cert ? "Certificate" : "Raw2048";
                         });

class DhChecks : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_rng_init(&rng), 0); }
    void TearDown() override
    {
        vt_dh_deit(&dh);
        vt_rng_deit(&rng);
    }
    vt_rng *rng = nullptr;
    vt_dh *dh = nullptr;
    vt_test::SyserrCapture capture;
};

TEST_F(DhChecks, CertificateMustBeExactly138Bytes)
{
    bytes cert(vt_dh_oakley2_der.begin(), vt_dh_oakley2_der.end());
    cert.push_back(0);
    for (size_t length : {size_t{137}, size_t{139}, size_t{0}}) {
        capture.clear();
        EXPECT_EQ(vt_dh_init(&dh, cert.data(), length, rng), 1) << length;
        EXPECT_NE(capture.text().find("(vt_dh_init:"), std::string::npos);
        EXPECT_NE(capture.text().find("failed to create dh object"), std::string::npos);
        EXPECT_EQ(dh, nullptr);
    }
    EXPECT_EQ(vt_dh_init(&dh, cert.data(), 138, nullptr), 1) << "a generator is required";
}

TEST_F(DhChecks, UndecodableCertificateIsReported)
{
    bytes cert(vt_dh_oakley2_der.begin(), vt_dh_oakley2_der.end());
    cert[0] = 0x31; // a SET where the SEQUENCE belongs
    EXPECT_EQ(vt_dh_init(&dh, cert.data(), cert.size(), rng), 1);
    EXPECT_NE(capture.text().find("failed to set the prime and base from certificate"),
              std::string::npos);
    EXPECT_EQ(dh, nullptr);
}

TEST_F(DhChecks, RawParametersMustBePresentAndNonEmpty)
{
    bytes prime(vt_dh_modp2048_prime.begin(), vt_dh_modp2048_prime.end()), base = {2};
    vt_range p = range_of(prime), g = range_of(base), empty{base.data(), 0};
    EXPECT_EQ(vt_dh_init_raw(&dh, &p, nullptr, rng), 1);
    EXPECT_NE(capture.text().find("failed to create dh object"), std::string::npos);
    capture.clear();
    EXPECT_EQ(vt_dh_init_raw(&dh, &empty, &g, rng), 1);
    EXPECT_EQ(vt_dh_init_raw(&dh, &p, &empty, rng), 1);
    EXPECT_NE(capture.text().find("failed to set the prime and base"), std::string::npos);
    EXPECT_EQ(dh, nullptr);
}

TEST_F(DhChecks, OccupiedSlotIsNeverReplaced)
{
    ASSERT_EQ(vt_dh_init(&dh, vt_dh_oakley2_der.data(), vt_dh_oakley2_der.size(), rng), 0);
    vt_dh *held = dh;
    EXPECT_EQ(vt_dh_init(&dh, vt_dh_oakley2_der.data(), vt_dh_oakley2_der.size(), rng), 1);
    EXPECT_EQ(dh, held);
}

TEST_F(DhChecks, AbsentKeyOrPeerFailsWithoutReport)
{
    ASSERT_EQ(vt_dh_init(&dh, vt_dh_oakley2_der.data(), vt_dh_oakley2_der.size(), rng), 0);
    capture.clear();
    EXPECT_EQ(vt_dh_agree_(dh, nullptr, 128), 1);
    EXPECT_EQ(vt_dh_agree_(nullptr, dh->public_key, dh->public_length), 1);
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(dh->aes_key_length, 0u) << "no key before an agreement";
}

TEST_F(DhChecks, LoadReadsTheFirst138BytesOfACertificateFile)
{
    vt_test::TempDir dir;
    std::string der(reinterpret_cast<const char *>(vt_dh_oakley2_der.data()), vt_dh_oakley2_der.size());
    vt_test::write_file(dir.file("exact.der"), der);
    vt_test::write_file(dir.file("longer.der"), der + "trailing bytes");
    for (const char *name : {"exact.der", "longer.der"}) {
        uint8_t *cert = nullptr;
        size_t length = 0;
        ASSERT_EQ(vt_dh_load(dir.file(name).c_str(), &cert, &length), 0) << name;
        EXPECT_EQ(length, 138u);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(cert), length), der);
        EXPECT_EQ(vt_dh_init(&dh, cert, length, rng), 0);
        vt_dh_deit(&dh);
        free(cert);
    }
}

TEST_F(DhChecks, LoadRefusesShortMissingFilesAndOccupiedSlots)
{
    vt_test::TempDir dir;
    vt_test::write_file(dir.file("short.der"), std::string(137, 'x'));
    for (const std::string &path : {dir.file("short.der"), dir.file("absent.der")}) {
        capture.clear();
        uint8_t *cert = nullptr;
        size_t length = 0;
        EXPECT_EQ(vt_dh_load(path.c_str(), &cert, &length), 1);
        EXPECT_NE(capture.text().find("failed to load certificate on " + path), std::string::npos);
        EXPECT_EQ(cert, nullptr);
        EXPECT_EQ(length, 0u);
    }
    capture.clear();
    uint8_t held = 0;
    uint8_t *occupied = &held;
    size_t length = 0;
    EXPECT_EQ(vt_dh_load(dir.file("short.der").c_str(), &occupied, &length), 1);
    EXPECT_NE(capture.text().find("invalid path "), std::string::npos);
    EXPECT_EQ(occupied, &held);
}

} // namespace
