// The cryptographic primitives over wolfCrypt. Each public function checks its
// arguments, reports its own failures once and leaves nothing allocated behind a
// failure: the caller's slot or output range stays empty.
#include "vt_crypt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <wolfssl/wolfcrypt/hash.h>
#include <wolfssl/wolfcrypt/hmac.h>
#include <wolfssl/wolfcrypt/sha.h>
#include <wolfssl/wolfcrypt/sha256.h>
#include <wolfssl/wolfcrypt/sha512.h>
#include <wolfssl/wolfcrypt/wc_port.h>

#include "vt_syslog.h"

namespace {

struct rng_free {
    void operator()(vt_rng *rng) const
    {
        wc_FreeRng(&rng->state);
        free(rng);
    }
};

// Wipes the private exponent, the secret and the derived key before the memory goes.
struct dh_free {
    void operator()(vt_dh *dh) const
    {
        wc_FreeDhKey(&dh->group);
        explicit_bzero(dh, sizeof *dh);
        free(dh);
    }
};

struct aes_free {
    void operator()(vt_aes *aes) const
    {
        wc_AesFree(&aes->encrypt);
        wc_AesFree(&aes->decrypt);
        explicit_bzero(aes, sizeof *aes);
        free(aes);
    }
};

using dh_ptr = std::unique_ptr<vt_dh, dh_free>;
using aes_ptr = std::unique_ptr<vt_aes, aes_free>;

// A key object with an initialised, still empty group; null on failure.
dh_ptr dh_new()
{
    auto *dh = static_cast<vt_dh *>(calloc(1, sizeof(vt_dh)));
    if (dh == nullptr)
        return nullptr;
    if (wc_InitDhKey(&dh->group) != 0) {
        free(dh);
        return nullptr;
    }
    return dh_ptr(dh);
}

// Draws the private exponent and computes g^x mod p once the group is set.
int dh_generate(vt_dh *dh, vt_rng *rng)
{
    word32 private_length = vt_dh_key_max, public_length = vt_dh_key_max;
    if (wc_DhGenerateKeyPair(&dh->group, &rng->state, dh->private_key, &private_length,
                             dh->public_key, &public_length) != 0)
        return 1;
    dh->private_length = private_length;
    dh->public_length = public_length;
    return 0;
}

// An AES context keyed for one direction, IV zero until the caller sets one.
int aes_context_init(Aes *context, const uint8_t *key, int direction)
{
    if (wc_AesInit(context, nullptr, INVALID_DEVID) != 0)
        return 1;
    return wc_AesSetKey(context, key, vt_aes_key_size, nullptr, direction) != 0;
}

bool fits_word32(size_t length)
{
    return length <= UINT32_MAX;
}

// The shared body of both HMAC entry points: null on success, else the failure text,
// so that each entry point reports under its own name.
const char *hmac_compute(const uint8_t *key, size_t key_length, const uint8_t *input,
                         size_t input_length, uint8_t *output, size_t capacity)
{
    if (key == nullptr || key_length == 0 || !fits_word32(key_length))
        return "invalid or empty key buffer";
    if (input == nullptr || input_length == 0 || !fits_word32(input_length))
        return "invalid or empty input buffer";
    if (output == nullptr || capacity < vt_sha256_size)
        return "invalid or empty output buffer";
    Hmac hmac;
    if (wc_HmacInit(&hmac, nullptr, INVALID_DEVID) != 0)
        return "failed to compute hmac";
    int rc = wc_HmacSetKey(&hmac, WC_SHA256, key, static_cast<word32>(key_length));
    if (rc == 0)
        rc = wc_HmacUpdate(&hmac, input, static_cast<word32>(input_length));
    if (rc == 0)
        rc = wc_HmacFinal(&hmac, output);
    wc_HmacFree(&hmac);
    explicit_bzero(&hmac, sizeof hmac);
    return rc == 0 ? nullptr : "failed to compute hmac";
}

using digest_fn = int (*)(const byte *data, word32 length, byte *hash);

// The shared body of vt_sha1 and vt_sha512: null on success, else the failure text.
const char *digest_new(const vt_range *input, vt_range *output, size_t size, digest_fn digest)
{
    if (input == nullptr || input->data == nullptr || input->length == 0 ||
        !fits_word32(input->length))
        return "invalid input object";
    if (output == nullptr || output->data != nullptr)
        return "invalid output object";
    auto *bytes = static_cast<uint8_t *>(calloc(size, 1));
    if (bytes == nullptr)
        return "failed to create hash buffer";
    if (digest(input->data, static_cast<word32>(input->length), bytes) != 0) {
        free(bytes);
        return "failed to hash input buffer";
    }
    output->data = bytes;
    output->length = size;
    return nullptr;
}

} // namespace

int vt_rng_init(vt_rng **slot)
{
    if (slot == nullptr || *slot != nullptr)
        return 1;
    if (wolfCrypt_Init() != 0)
        return 1;
    auto *rng = static_cast<vt_rng *>(calloc(1, sizeof(vt_rng)));
    if (rng == nullptr)
        return 1;
    if (wc_InitRng(&rng->state) != 0) {
        free(rng);
        return 1;
    }
    *slot = rng;
    return 0;
}

int vt_rng_deit(vt_rng **slot)
{
    if (slot == nullptr || *slot == nullptr)
        return 1;
    rng_free()(*slot);
    *slot = nullptr;
    return 0;
}

int vt_rng_rand_(vt_rng *rng, uint8_t *buffer, size_t length)
{
    if (buffer == nullptr || length == 0)
        return VT_ERR("invalid buffer object");
    if (rng == nullptr)
        return VT_ERR("invalid rng object");
    // The generator hands out at most RNG_MAX_BLOCK_LEN bytes per request.
    for (size_t done = 0; done < length;) {
        size_t part = length - done < RNG_MAX_BLOCK_LEN ? length - done : RNG_MAX_BLOCK_LEN;
        if (wc_RNG_GenerateBlock(&rng->state, buffer + done, static_cast<word32>(part)) != 0)
            return VT_ERR("failed to generate random bytes");
        done += part;
    }
    return 0;
}

int vt_dh_load(const char *path, uint8_t **bytes, size_t *length)
{
    uint8_t *cert = nullptr;
    if (path != nullptr && bytes != nullptr && length != nullptr && *bytes == nullptr)
        cert = static_cast<uint8_t *>(calloc(vt_dh_cert_size, 1));
    if (cert == nullptr)
        return VT_ERR("invalid path %p or certificate (%p, %zu)", static_cast<const void *>(path),
                      bytes != nullptr ? static_cast<void *>(*bytes) : nullptr,
                      length != nullptr ? *length : 0);
    std::unique_ptr<uint8_t, decltype(&free)> owned(cert, &free);
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "rb"), &fclose);
    if (file == nullptr || fread(cert, 1, vt_dh_cert_size, file.get()) != vt_dh_cert_size)
        return VT_ERR("failed to load certificate on %s", path);
    *bytes = owned.release();
    *length = vt_dh_cert_size;
    return 0;
}

int vt_dh_init(vt_dh **slot, const uint8_t *cert, size_t length, vt_rng *rng)
{
    if (slot == nullptr || *slot != nullptr || cert == nullptr || rng == nullptr ||
        length != vt_dh_cert_size)
        return VT_ERR("failed to create dh object");
    dh_ptr dh = dh_new();
    if (dh == nullptr)
        return VT_ERR("failed to create dh object");
    word32 index = 0;
    if (wc_DhKeyDecode(cert, &index, &dh->group, static_cast<word32>(length)) != 0)
        return VT_ERR("failed to set the prime and base from certificate");
    if (dh_generate(dh.get(), rng) != 0)
        return VT_ERR("failed to generate private or public key");
    *slot = dh.release();
    return 0;
}

int vt_dh_init_raw(vt_dh **slot, const vt_range *prime, const vt_range *base, vt_rng *rng)
{
    if (slot == nullptr || *slot != nullptr || prime == nullptr || base == nullptr ||
        rng == nullptr)
        return VT_ERR("failed to create dh object");
    dh_ptr dh = dh_new();
    if (dh == nullptr)
        return VT_ERR("failed to create dh object");
    if (prime->data == nullptr || prime->length == 0 || prime->length > vt_dh_key_max ||
        base->data == nullptr || base->length == 0 || base->length > vt_dh_key_max ||
        wc_DhSetKey(&dh->group, prime->data, static_cast<word32>(prime->length), base->data,
                    static_cast<word32>(base->length)) != 0)
        return VT_ERR("failed to set the prime and base");
    if (dh_generate(dh.get(), rng) != 0)
        return VT_ERR("failed to generate private or public key");
    *slot = dh.release();
    return 0;
}

int vt_dh_public_key_(vt_dh *dh, const uint8_t **key, size_t *length)
{
    if (VT_NIL(3, dh, key, length))
        return 1;
    *key = dh->public_key;
    *length = dh->public_length;
    return 0;
}

int vt_dh_agree_(vt_dh *dh, const uint8_t *peer, size_t length)
{
    if (dh == nullptr || peer == nullptr)
        return 1;
    word32 secret_length = vt_dh_key_max;
    // The peer's key comes off the network: anything outside 2..p-2 would force a
    // secret that an eavesdropper knows, so it is refused before agreeing.
    if (!fits_word32(length) ||
        wc_DhCheckPubKey(&dh->group, peer, static_cast<word32>(length)) != 0 ||
        wc_DhAgree(&dh->group, dh->secret, &secret_length, dh->private_key,
                   static_cast<word32>(dh->private_length), peer,
                   static_cast<word32>(length)) != 0)
        return VT_ERR("failed to generate secret key");
    // Both peers hash the secret as a number without leading zero bytes.
    word32 skip = 0;
    while (skip + 1 < secret_length && dh->secret[skip] == 0)
        ++skip;
    memmove(dh->secret, dh->secret + skip, secret_length - skip);
    explicit_bzero(dh->secret + secret_length - skip, skip);
    dh->secret_length = secret_length - skip;
    if (wc_Sha256Hash(dh->secret, static_cast<word32>(dh->secret_length), dh->aes_key) != 0)
        return VT_ERR("failed to generate aes key");
    dh->aes_key_length = vt_aes_key_size;
    return 0;
}

int vt_dh_aes_key_(vt_dh *dh, const uint8_t **key, size_t *length)
{
    if (VT_NIL(3, dh, key, length))
        return 1;
    *key = dh->aes_key;
    *length = dh->aes_key_length;
    return 0;
}

int vt_dh_deit(vt_dh **slot)
{
    if (slot == nullptr || *slot == nullptr)
        return 1;
    dh_free()(*slot);
    *slot = nullptr;
    return 0;
}

int vt_aes_init_(vt_aes **holder, const uint8_t *key, size_t length)
{
    if (key == nullptr || length != vt_aes_key_size)
        return VT_ERR("invalid key buffer");
    if (holder == nullptr || *holder != nullptr)
        return VT_ERR("failed to create aes object");
    aes_ptr aes(static_cast<vt_aes *>(calloc(1, sizeof(vt_aes))));
    if (aes == nullptr || aes_context_init(&aes->encrypt, key, AES_ENCRYPTION) != 0 ||
        aes_context_init(&aes->decrypt, key, AES_DECRYPTION) != 0)
        return VT_ERR("failed to create aes object");
    *holder = aes.release();
    return 0;
}

int vt_aes_deit(vt_aes **holder)
{
    if (holder == nullptr || *holder == nullptr)
        return 1;
    aes_free()(*holder);
    *holder = nullptr;
    return 0;
}

int vt_aes_set_encrypt_iv_(vt_aes *aes, const uint8_t *iv)
{
    if (aes == nullptr || iv == nullptr)
        return 1;
    return wc_AesSetIV(&aes->encrypt, iv) != 0;
}

int vt_aes_set_decrypt_iv_(vt_aes *aes, const uint8_t *iv)
{
    if (aes == nullptr || iv == nullptr)
        return 1;
    return wc_AesSetIV(&aes->decrypt, iv) != 0;
}

// A length that is not whole blocks is refused (non-zero) rather than claimed done:
// the library leaves the output untouched then, and the caller must not send it.
int vt_aes_encrypt(vt_aes *aes, const uint8_t *input, size_t length, uint8_t *output)
{
    if (aes == nullptr || input == nullptr || output == nullptr || !fits_word32(length) ||
        length % vt_aes_block_size != 0)
        return 1;
    return wc_AesCbcEncrypt(&aes->encrypt, output, input, static_cast<word32>(length));
}

int vt_aes_decrypt(vt_aes *aes, const uint8_t *input, size_t length, uint8_t *output)
{
    if (aes == nullptr || input == nullptr || output == nullptr || !fits_word32(length) ||
        length % vt_aes_block_size != 0)
        return 1;
    return wc_AesCbcDecrypt(&aes->decrypt, output, input, static_cast<word32>(length));
}

int vt_sha256_hmac(const vt_range *key, const vt_range *input, vt_range *output)
{
    const char *failure = hmac_compute(key ? key->data : nullptr, key ? key->length : 0,
                                       input ? input->data : nullptr, input ? input->length : 0,
                                       output ? output->data : nullptr,
                                       output ? output->length : 0);
    return failure == nullptr ? 0 : VT_ERR("%s", failure);
}

int vt_sha256_hmac_ex(const uint8_t *key, size_t key_length, const uint8_t *input,
                      size_t input_length, uint8_t *output, size_t capacity)
{
    const char *failure = hmac_compute(key, key_length, input, input_length, output, capacity);
    return failure == nullptr ? 0 : VT_ERR("%s", failure);
}

int vt_sha1(const vt_range *input, vt_range *output)
{
    const char *failure = digest_new(input, output, vt_sha1_size, wc_ShaHash);
    return failure == nullptr ? 0 : VT_ERR("%s", failure);
}

int vt_sha512(const vt_range *input, vt_range *output)
{
    const char *failure = digest_new(input, output, vt_sha512_size, wc_Sha512Hash);
    return failure == nullptr ? 0 : VT_ERR("%s", failure);
}

int vt_hexify(const vt_range *input, vt_range *output)
{
    static constexpr char digits[] = "0123456789abcdef";
    if (input == nullptr || input->data == nullptr || input->length == 0 ||
        input->length > (SIZE_MAX - 1) / 2)
        return VT_ERR("invalid input object");
    if (output == nullptr || output->data != nullptr)
        return VT_ERR("invalid output object");
    auto *text = static_cast<uint8_t *>(calloc(2 * input->length + 1, 1));
    if (text == nullptr)
        return VT_ERR("failed to create hash buffer");
    for (size_t i = 0; i < input->length; ++i) {
        text[2 * i] = digits[input->data[i] >> 4];
        text[2 * i + 1] = digits[input->data[i] & 0x0f];
    }
    output->data = text;
    output->length = 2 * input->length;
    return 0;
}

int vt_sha512_hexify(const vt_range *input, vt_range *output)
{
    vt_range digest{};
    int failed = vt_sha512(input, &digest) != 0 || vt_hexify(&digest, output) != 0;
    free(digest.data);
    return failed ? VT_ERR("failed to compute sha512 hash") : 0;
}
