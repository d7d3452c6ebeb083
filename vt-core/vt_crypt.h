// The cryptographic primitives of the channel and the imager, over wolfCrypt:
// random bytes, finite-field Diffie-Hellman with a derived AES-256 key, AES-256-CBC,
// HMAC-SHA-256, SHA-1 and SHA-512 digests, and lower-case hex text.
#pragma once

#include <cstddef>
#include <cstdint>

// options.h must come first: it fixes the layout of every wolfCrypt structure.
#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/aes.h>
#include <wolfssl/wolfcrypt/dh.h>
#include <wolfssl/wolfcrypt/random.h>

// Size of DH parameters in certificate form: DER of a 1024-bit prime and a one-byte base.
inline constexpr size_t vt_dh_cert_size = 138;
// Room for a public key, a private exponent or a shared secret: a prime of up to 4104 bits.
inline constexpr size_t vt_dh_key_max = 513;
inline constexpr size_t vt_aes_key_size = 32;
inline constexpr size_t vt_aes_block_size = 16;
inline constexpr size_t vt_sha1_size = 20;
inline constexpr size_t vt_sha256_size = 32;
inline constexpr size_t vt_sha512_size = 64;

// Bytes the caller owns. An output range handed to a function that allocates must be
// empty (null data) on entry; the function fills it with a calloc'd area to be freed.
struct vt_range {
    uint8_t *data;
    size_t length;
};

struct vt_rng {
    WC_RNG state;
};

struct vt_dh {
    DhKey group;
    uint8_t public_key[vt_dh_key_max];
    size_t public_length;
    uint8_t private_key[vt_dh_key_max];
    size_t private_length;
    uint8_t secret[vt_dh_key_max];
    size_t secret_length;
    uint8_t aes_key[vt_aes_key_size];
    size_t aes_key_length;
};

// Two contexts from one key: senders use the first, the reader thread the second.
struct vt_aes {
    Aes encrypt;
    Aes decrypt;
};

// Every function returns 0 on success and 1 on failure unless its comment says otherwise.

// Fails without a report (absent or occupied slot, library failure).
int vt_rng_init(vt_rng **slot);
int vt_rng_deit(vt_rng **slot);
int vt_rng_rand_(vt_rng *rng, uint8_t *buffer, size_t length);

// Reads the first vt_dh_cert_size bytes of a certificate file into a new area.
int vt_dh_load(const char *path, uint8_t **bytes, size_t *length);
// Key pair over DER parameters of exactly vt_dh_cert_size bytes.
int vt_dh_init(vt_dh **slot, const uint8_t *cert, size_t length, vt_rng *rng);
// Key pair over a raw big-endian prime and base, each of non-zero length.
int vt_dh_init_raw(vt_dh **slot, const vt_range *prime, const vt_range *base, vt_rng *rng);
// The own public key, pointing into the key object.
int vt_dh_public_key_(vt_dh *dh, const uint8_t **key, size_t *length);
// Shared secret with the peer's public key, then AES key = SHA-256(secret).
// An absent key or peer key gives 1 without a report.
int vt_dh_agree_(vt_dh *dh, const uint8_t *peer, size_t length);
// The derived 32-byte AES key, pointing into the key object.
int vt_dh_aes_key_(vt_dh *dh, const uint8_t **key, size_t *length);
// Frees the key object after wiping its secrets.
int vt_dh_deit(vt_dh **slot);

// The holder must be empty; the key must be vt_aes_key_size bytes.
int vt_aes_init_(vt_aes **holder, const uint8_t *key, size_t length);
int vt_aes_deit(vt_aes **holder);
// Set the 16-byte IV of one context; 1 on failure without a report.
int vt_aes_set_encrypt_iv_(vt_aes *aes, const uint8_t *iv);
int vt_aes_set_decrypt_iv_(vt_aes *aes, const uint8_t *iv);
// CBC over length bytes (a multiple of 16, in place allowed) from the context's
// current chaining value; non-zero on failure without a report.
int vt_aes_encrypt(vt_aes *aes, const uint8_t *input, size_t length, uint8_t *output);
int vt_aes_decrypt(vt_aes *aes, const uint8_t *input, size_t length, uint8_t *output);

// HMAC-SHA-256 into the caller's output, which must hold at least 32 bytes.
int vt_sha256_hmac(const vt_range *key, const vt_range *input, vt_range *output);
int vt_sha256_hmac_ex(const uint8_t *key, size_t key_length, const uint8_t *input,
                      size_t input_length, uint8_t *output, size_t capacity);
// Digests and hex text into a newly allocated output range.
int vt_sha1(const vt_range *input, vt_range *output);
int vt_sha512(const vt_range *input, vt_range *output);
// Lower-case hex, two characters per byte, zero-terminated; length excludes the zero.
int vt_hexify(const vt_range *input, vt_range *output);
int vt_sha512_hexify(const vt_range *input, vt_range *output);
