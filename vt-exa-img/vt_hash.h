// The image job's source digests: MD5 and/or SHA-1 fed in source order, with the
// intermediate state of each saved into and restored from a JSON checkpoint object,
// so that a resumed job continues the same digests.
#pragma once

#include <cstddef>
#include <cstdint>

// options.h must come first: it fixes the layout of every wolfCrypt structure.
#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/md5.h>
#include <wolfssl/wolfcrypt/sha.h>

struct vt_hash_helper;
struct vt_json_obj;
struct vt_string;
struct vt_syslog;

// Saved digest state, as stored (Base64) under `md5` and `sha1` in the checkpoint.
// All numbers are little-endian 32-bit values.
namespace vt_hash_state {
inline constexpr size_t pending = 0;     // 4: bytes waiting in the block buffer, 0 to 63
inline constexpr size_t total_low = 4;   // 4: total bytes hashed, low 32 bits
inline constexpr size_t total_high = 8;  // 4: total bytes hashed, high 32 bits
inline constexpr size_t block = 12;      // 64: the waiting bytes in input order, zeros after
inline constexpr size_t block_size = 64;
inline constexpr size_t chain = 76;      // chaining words A, B, C, D (MD5) and E (SHA-1)
inline constexpr size_t md5_words = 4;
inline constexpr size_t sha1_words = 5;
inline constexpr size_t md5_size = chain + 4 * md5_words;   // 92
inline constexpr size_t sha1_size = chain + 4 * sha1_words; // 96
} // namespace vt_hash_state

static_assert(vt_hash_state::md5_size == 92 && vt_hash_state::sha1_size == 96);

// Bits of vt_hash::methods.
inline constexpr uint8_t VT_HASH_MD5 = 0x01;
inline constexpr uint8_t VT_HASH_SHA1 = 0x02;

struct vt_hash {
    wc_Md5 md5;
    wc_Sha sha1;
    uint8_t methods;
    uint8_t md5_digest[WC_MD5_DIGEST_SIZE];   // zero until finalised or when not selected
    uint8_t sha1_digest[WC_SHA_DIGEST_SIZE];
    vt_json_obj *object;                       // checkpoint: keys `md5`, `sha1`
    vt_hash_helper *helper;                    // SHA-1 thread of large updates, once started
};

// Every function returns 0 on success and 1 on failure.

// Selects MD5 when the text contains "md5" and SHA-1 when it contains "sha1".
int vt_hash_init(vt_hash **slot, const vt_string *method);
int vt_hash_deit(vt_hash **slot);
// With both digests selected, a large range is hashed by two threads at once: SHA-1
// on a helper thread of the object, MD5 on the caller's. Calls on one object must
// not overlap.
int vt_hash_update(vt_hash *hash, const uint8_t *data, size_t length);
// Finalises every selected digest into its digest field (the state restarts empty).
int vt_hash_final(vt_hash *hash);
// Writes the state of every selected digest into the checkpoint object.
int vt_hash_save(vt_hash *hash);
// Replaces the state of every selected digest with the one saved in obj; nothing is
// replaced unless every selected state is present and valid.
int vt_hash_load(vt_hash *hash, const vt_json_obj *obj);
// Removes `md5` and `sha1` from the checkpoint object; fails if either was missing.
int vt_hash_clear(vt_hash *hash);
// New handle on a deep copy of the checkpoint object.
int vt_hash_get_object(vt_hash *hash, vt_json_obj **copy);
// "MD5 Source Hash: %s\nSHA1 Source Hash: %s\n" at level 2, digests in lower-case hex.
int vt_hash_log(vt_hash *hash, vt_syslog *log);
