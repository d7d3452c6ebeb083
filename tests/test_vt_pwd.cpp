// Stored-password obfuscation: lengths of the stored text, round trips, the
// zero-filled last block of one continuous CBC chain, malformed stored texts,
// and the JSON helpers that store and read a password under a key.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/sha256.h>
#include <wolfssl/wolfcrypt/wc_encrypt.h>

#include "vt_json.h"
#include "vt_pwd.h"
#include "vt_string.h"
#include "vt_test_util.h"

namespace {

using vt_test::SyserrCapture;

// Owns a vt_string for the length of a test.
struct owned_string {
    vt_string value = {};
    ~owned_string() { vt_string_free(&value); }
    std::string str() const { return value.text ? std::string(value.text, value.length) : ""; }
};

vt_string view(const std::string &text)
{
    return vt_string{const_cast<char *>(text.data()), text.size()};
}
vt_string view(std::string &&) = delete; // a view must not outlive its text

std::string obfuscate(const std::string &password)
{
    vt_string input = view(password);
    owned_string out;
    EXPECT_EQ(vt_pwd_obfuscate(&input, &out.value), 0);
    if (out.value.text) {
        EXPECT_EQ(out.value.text[out.value.length], '\0');
    }
    return out.str();
}

int unobfuscate(const std::string &text, std::string *password)
{
    vt_string input = view(text);
    owned_string out;
    int result = vt_pwd_unobfuscate(&input, &out.value);
    *password = out.str();
    return result;
}

std::vector<uint8_t> b64_decode(const std::string &text)
{
    uint8_t *bytes = nullptr;
    size_t count = 0;
    EXPECT_EQ(vt_b64_decode_new_(text.data(), text.size(), &bytes, &count), 0);
    std::vector<uint8_t> out(bytes, bytes + count);
    free(bytes);
    return out;
}

std::string b64_encode(const std::vector<uint8_t> &bytes)
{
    char *text = nullptr;
    size_t length = 0;
    EXPECT_EQ(vt_b64_encode_new_(bytes.data(), bytes.size(), &text, &length), 0);
    std::string out(text, length);
    free(text);
    return out;
}

// The stored form built independently: key = SHA-256 of the pass phrase through the
// streaming interface, the password zero-filled to whole blocks, and one single
// CBC pass over all blocks with the pass phrase as IV.
std::vector<uint8_t> reference_cipher(const std::string &password)
{
    const std::string phrase = "LANTERN BY RIVER";
    wc_Sha256 sha;
    byte key[WC_SHA256_DIGEST_SIZE];
    EXPECT_EQ(wc_InitSha256(&sha), 0);
    EXPECT_EQ(wc_Sha256Update(&sha, reinterpret_cast<const byte *>(phrase.data()), phrase.size()), 0);
    EXPECT_EQ(wc_Sha256Final(&sha, key), 0);
    wc_Sha256Free(&sha);
    std::vector<uint8_t> plain(password.begin(), password.end());
    plain.resize((plain.size() + 15) / 16 * 16, 0);
    std::vector<uint8_t> cipher(plain.size());
    if (!plain.empty()) {
        EXPECT_EQ(wc_AesCbcEncryptWithKey(cipher.data(), plain.data(), plain.size(), key, sizeof key,
                                          reinterpret_cast<const byte *>(phrase.data())),
                  0);
    }
    return cipher;
}

TEST(Pwd, StoredLengthsRoundTripsAndTheReferenceCipher)
{
    struct {
        size_t length;
        size_t stored;
    } cases[] = {{0, 0}, {1, 24}, {15, 24}, {16, 24}, {17, 44}, {31, 44}, {32, 44}, {33, 64},
                 {255, 344}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        std::string password;
        for (size_t i = 0; i < c.length; ++i)
            password += char('!' + i % 90);
        std::string text = obfuscate(password);
        EXPECT_EQ(text.size(), c.stored);
        EXPECT_EQ(b64_decode(text), reference_cipher(password));
        std::string back;
        ASSERT_EQ(unobfuscate(text, &back), 0);
        EXPECT_EQ(back, password);
    }
}

TEST(Pwd, SamePasswordGivesTheSameText)
{
    EXPECT_EQ(obfuscate("secret"), obfuscate("secret"));
    EXPECT_NE(obfuscate("secret"), obfuscate("secreT"));
}

TEST(Pwd, EmptyPasswordGivesAnEmptyTextAndBack)
{
    vt_string empty = {};
    owned_string text;
    ASSERT_EQ(vt_pwd_obfuscate(&empty, &text.value), 0);
    ASSERT_NE(text.value.text, nullptr);
    EXPECT_EQ(text.value.length, 0u);
    owned_string back;
    ASSERT_EQ(vt_pwd_unobfuscate(&text.value, &back.value), 0);
    EXPECT_EQ(back.value.length, 0u);
    EXPECT_STREQ(back.value.text, "");
}

// Bytes after the last whole block are ignored rather than read past: a stored
// text that decodes to 32 + k bytes gives the password of its first 32 bytes.
TEST(Pwd, DecodedBytesBeyondTheLastWholeBlockAreIgnored)
{
    const std::string password = "seventeen bytes!!";
    std::vector<uint8_t> cipher = b64_decode(obfuscate(password));
    ASSERT_EQ(cipher.size(), 32u);
    for (size_t extra : {1u, 5u, 15u}) {
        std::vector<uint8_t> longer = cipher;
        longer.insert(longer.end(), extra, 0xA5);
        std::string back;
        ASSERT_EQ(unobfuscate(b64_encode(longer), &back), 0) << extra;
        EXPECT_EQ(back, password) << extra;
    }
    std::vector<uint8_t> partial(cipher.begin(), cipher.begin() + 10);
    std::string back = "x";
    ASSERT_EQ(unobfuscate(b64_encode(partial), &back), 0);
    EXPECT_EQ(back, "");
}

TEST(Pwd, MalformedStoredTextsAreHandledSafely)
{
    for (const std::string text : {"A", "AB=", "====", "!!!!", "QUJD\nRA", "QUJDRA=="}) {
        SCOPED_TRACE(text);
        std::string back = "x";
        EXPECT_EQ(unobfuscate(text, &back), 0);
        EXPECT_EQ(back, ""); // fewer than 16 bytes decode to no whole block
    }
}

TEST(Pwd, AZeroByteEndsTheRecoveredPassword)
{
    std::string back;
    ASSERT_EQ(unobfuscate(obfuscate(std::string("ab\0cd", 5)), &back), 0);
    EXPECT_EQ(back, "ab");
}

TEST(Pwd, OutputMustBeEmpty)
{
    const std::string password = "pw";
    vt_string input = view(password);
    owned_string out;
    ASSERT_EQ(vt_pwd_obfuscate(&input, &out.value), 0);
    char *before = out.value.text;
    EXPECT_EQ(vt_pwd_obfuscate(&input, &out.value), 1);
    EXPECT_EQ(vt_pwd_unobfuscate(&input, &out.value), 1);
    EXPECT_EQ(out.value.text, before);
}

class PwdJsonTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(vt_json_obj_init(&doc), 0); }
    void TearDown() override { vt_json_obj_deit(&doc); }
    vt_json_obj *doc = nullptr;
};

TEST_F(PwdJsonTest, StoredPasswordSurvivesTheTextForm)
{
    const std::string password = "correct horse battery staple";
    vt_string input = view(password);
    ASSERT_EQ(vt_json_obj_pwd(doc, "password", &input), 0);
    const char *stored = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_json_obj_get_string(doc, "password", &stored, &length), 0);
    EXPECT_EQ(std::string(stored, length), obfuscate(password));
    EXPECT_EQ(std::string(stored, length).find(password), std::string::npos);

    char *text = nullptr;
    size_t text_length = 0;
    ASSERT_EQ(vt_json_obj_encode_(doc, &text, &text_length), 0);
    vt_json_obj *back = nullptr;
    ASSERT_EQ(vt_json_obj_decode(&back, text, text_length), 0);
    free(text);
    owned_string out;
    ASSERT_EQ(vt_json_obj_get_pwd(back, "password", &out.value), 0);
    EXPECT_EQ(out.str(), password);
    vt_json_obj_deit(&back);
}

TEST_F(PwdJsonTest, ReadingAMissingOrNonStringKeyReports)
{
    ASSERT_EQ(vt_json_obj_number(doc, "number", 5), 0);
    for (const char *key : {"missing", "number"}) {
        SCOPED_TRACE(key);
        SyserrCapture capture;
        owned_string out;
        EXPECT_EQ(vt_json_obj_get_pwd(doc, key, &out.value), 1);
        EXPECT_EQ(out.value.text, nullptr);
        EXPECT_NE(capture.text().find("vt-core/vt_pwd (vt_json_obj_get_pwd:"), std::string::npos)
            << capture.text();
        EXPECT_NE(capture.text().find("failed to read object."), std::string::npos);
    }
}

TEST_F(PwdJsonTest, RefusedKeyReportsTheWriteFailure)
{
    const std::string password = "pw";
    vt_string input = view(password);
    SyserrCapture capture;
    EXPECT_EQ(vt_json_obj_pwd(doc, "\xff", &input), 1);
    EXPECT_NE(capture.text().find("(vt_json_obj_pwd:"), std::string::npos);
    EXPECT_NE(capture.text().find("failed to write object."), std::string::npos)
        << capture.text();
}

} // namespace
