// Stored-password obfuscation: the password's 16-byte blocks (the last one filled
// with zero bytes) encrypted as one CBC chain, then Base64. There is no random
// element, so a password always gives the same text.
#include "vt_pwd.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/aes.h>
#include <wolfssl/wolfcrypt/hash.h>
#include <wolfssl/wolfcrypt/sha256.h>

#include "vt_syslog.h"

namespace {

// The fixed pass phrase: its SHA-256 digest is the AES-256 key and its 16 bytes
// are the initialisation vector. Changing it makes every stored password unreadable.
constexpr char kPassPhrase[] = "LANTERN BY RIVER";
constexpr size_t kPassPhraseSize = sizeof kPassPhrase - 1;
constexpr size_t kBlock = AES_BLOCK_SIZE;
static_assert(kPassPhraseSize == kBlock, "the pass phrase doubles as the IV");

const byte *phrase_bytes()
{
    return reinterpret_cast<const byte *>(kPassPhrase);
}

// An AES context released on every path once it was initialised.
struct aes_context {
    Aes aes;
    bool ready = false;
    aes_context() { ready = wc_AesInit(&aes, nullptr, INVALID_DEVID) == 0; }
    ~aes_context()
    {
        if (ready)
            wc_AesFree(&aes);
    }
    aes_context(const aes_context &) = delete;
    aes_context &operator=(const aes_context &) = delete;
};

int derive_key(byte (&key)[WC_SHA256_DIGEST_SIZE])
{
    return wc_Sha256Hash(phrase_bytes(), kPassPhraseSize, key) ? 1 : 0;
}

// Areas that held a password are wiped before they are freed.
struct wiped_area {
    uint8_t *bytes = nullptr;
    size_t size = 0;
    ~wiped_area()
    {
        if (bytes)
            explicit_bzero(bytes, size);
        free(bytes);
    }
};

// An empty result is an allocated empty text, so callers can always read out->text.
int empty_text(vt_string *out)
{
    out->text = static_cast<char *>(calloc(1, 1));
    out->length = 0;
    return out->text ? 0 : 1;
}

} // namespace

int vt_pwd_obfuscate(const vt_string *password, vt_string *out)
{
    if (VT_NIL(2, password, out))
        return 1;
    if (out->text || (password->length && !password->text))
        return 1;
    size_t whole = password->length / kBlock * kBlock;
    size_t rest = password->length - whole;
    size_t size = whole + (rest ? kBlock : 0);
    if (!size)
        return empty_text(out) ? VT_ERR("out of memory") : 0;

    std::unique_ptr<uint8_t, decltype(&free)> cipher(static_cast<uint8_t *>(calloc(1, size)), &free);
    if (!cipher)
        return VT_ERR("out of memory");
    byte key[WC_SHA256_DIGEST_SIZE];
    if (derive_key(key))
        return VT_ERR("failed to hash secret of obfuscation");
    aes_context context;
    if (!context.ready ||
        wc_AesSetKey(&context.aes, key, sizeof key, phrase_bytes(), AES_ENCRYPTION))
        return VT_ERR("failed to set secret key of encryption");

    const auto *plain = reinterpret_cast<const byte *>(password->text);
    if (whole && wc_AesCbcEncrypt(&context.aes, cipher.get(), plain, word32(whole)))
        return VT_ERR("failed encrypt secret");
    if (rest) {
        // The last partial block is filled with zero bytes and continues the chain.
        byte last[kBlock] = {};
        memcpy(last, plain + whole, rest);
        int failed = wc_AesCbcEncrypt(&context.aes, cipher.get() + whole, last, kBlock);
        explicit_bzero(last, sizeof last);
        if (failed)
            return VT_ERR("failed encrypt secret");
    }

    char *encoded = nullptr;
    size_t length = 0;
    if (vt_b64_encode_new_(cipher.get(), size, &encoded, &length))
        return VT_ERR("failed to b64 encrypted secret");
    int failed = vt_string_copy(out, encoded, length);
    free(encoded);
    return failed ? VT_ERR("out of memory") : 0;
}

int vt_pwd_unobfuscate(const vt_string *text, vt_string *out)
{
    if (VT_NIL(2, text, out))
        return 1;
    if (out->text || (text->length && !text->text))
        return 1;
    if (!text->length)
        return empty_text(out) ? VT_ERR("out of memory") : 0;

    uint8_t *raw = nullptr;
    size_t count = 0;
    if (vt_b64_decode_new_(text->text, text->length, &raw, &count))
        return VT_ERR("failed to b64 encrypted secret");
    std::unique_ptr<uint8_t, decltype(&free)> cipher(raw, &free);
    // Only whole blocks are decrypted; the extra zero byte ends the text even when
    // the last block holds no fill.
    size_t whole = count / kBlock * kBlock;
    wiped_area plain;
    plain.size = whole + 1;
    plain.bytes = static_cast<uint8_t *>(calloc(1, plain.size));
    if (!plain.bytes)
        return VT_ERR("out of memory");
    byte key[WC_SHA256_DIGEST_SIZE];
    if (derive_key(key))
        return VT_ERR("failed to hash obfuscate secret");
    aes_context context;
    if (!context.ready ||
        wc_AesSetKey(&context.aes, key, sizeof key, phrase_bytes(), AES_DECRYPTION) ||
        (whole && wc_AesCbcDecrypt(&context.aes, plain.bytes, cipher.get(), word32(whole))))
        return VT_ERR("failed to decrypt secret for obfuscation");

    size_t length = strlen(reinterpret_cast<const char *>(plain.bytes));
    if (!length)
        return empty_text(out) ? VT_ERR("out of memory") : 0;
    return vt_string_copy(out, plain.bytes, length) ? VT_ERR("out of memory") : 0;
}

int vt_json_obj_pwd(vt_json_obj *document, const char *key, const vt_string *password)
{
    if (VT_NIL(3, document, key, password))
        return 1;
    vt_string text = {};
    if (vt_pwd_obfuscate(password, &text))
        return VT_ERR("failed to obfuscate password");
    int failed = vt_json_obj_string(document, key, text.text, text.length);
    vt_string_free(&text);
    return failed ? VT_ERR("failed to write object") : 0;
}

int vt_json_obj_get_pwd(const vt_json_obj *document, const char *key, vt_string *out)
{
    if (VT_NIL(3, document, key, out))
        return 1;
    const char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(document, key, &text, &length))
        return VT_ERR("failed to read object");
    // A read-only view of the document's string.
    const vt_string stored = {const_cast<char *>(text), length};
    if (vt_pwd_unobfuscate(&stored, out))
        return VT_ERR("failed to unobfuscate password");
    return 0;
}
