// The image job's MD5 and SHA-1 of the source stream. The wolfCrypt contexts are the
// live state; vt_hash_save and vt_hash_load translate them to and from the fixed
// little-endian layout of vt_hash.h, so a checkpoint never depends on the library's
// structure layout.
#include "vt_hash.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "vt_aux.h"
#include "vt_crypt.h"
#include "vt_json.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_thread.h"

// The SHA-1 helper of one hash object: the caller posts a range and waits for it
// to be hashed; both events are auto-reset, so each post pairs with one answer.
struct vt_hash_helper {
    vt_thread *thread;
    vt_cond *work;         // the caller posted a range, or asks the helper to end
    vt_cond *done;         // the helper finished the posted range
    const uint8_t *data;
    size_t length;
    int result;            // 0, or 1 when the SHA-1 update failed
    bool stop;
};

namespace {

namespace layout = vt_hash_state;

// The contexts keep the waiting bytes in a word array that holds them in input
// order only on a little-endian host; export and import copy it byte for byte.
static_assert(std::endian::native == std::endian::little);

void helper_free(vt_hash_helper *helper);

struct hash_free {
    void operator()(vt_hash *hash) const
    {
        helper_free(hash->helper);
        if (hash->methods & VT_HASH_MD5)
            wc_Md5Free(&hash->md5);
        if (hash->methods & VT_HASH_SHA1)
            wc_ShaFree(&hash->sha1);
        vt_json_obj_deit(&hash->object);
        free(hash);
    }
};

using bytes_ptr = std::unique_ptr<uint8_t, decltype(&free)>;

void put_le32(uint8_t *out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_le32(const uint8_t *in)
{
    return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Works for wc_Md5 and wc_Sha alike: both keep buffLen, loLen, hiLen, buffer, digest.
// Bytes past the waiting ones are left zero, so equal streams give equal states.
template <typename Context>
void state_export(const Context &context, uint8_t *out, size_t words)
{
    memset(out, 0, layout::chain + 4 * words);
    put_le32(out + layout::pending, context.buffLen);
    put_le32(out + layout::total_low, context.loLen);
    put_le32(out + layout::total_high, context.hiLen);
    memcpy(out + layout::block, context.buffer, context.buffLen);
    for (size_t i = 0; i < words; ++i)
        put_le32(out + layout::chain + 4 * i, context.digest[i]);
}

// A stored state is only taken when its waiting-byte count can index the block
// buffer and agrees with the total: the library trusts both blindly.
bool state_valid(const uint8_t *in)
{
    uint32_t pending = get_le32(in + layout::pending);
    return pending < layout::block_size &&
           pending == get_le32(in + layout::total_low) % layout::block_size;
}

template <typename Context>
void state_import(Context &context, const uint8_t *in, size_t words)
{
    context.buffLen = get_le32(in + layout::pending);
    context.loLen = get_le32(in + layout::total_low);
    context.hiLen = get_le32(in + layout::total_high);
    memset(context.buffer, 0, sizeof context.buffer);
    memcpy(context.buffer, in + layout::block, context.buffLen);
    for (size_t i = 0; i < words; ++i)
        context.digest[i] = get_le32(in + layout::chain + 4 * i);
}

// Reads one saved state; null with the failure text in *failure when it is missing
// or not a state of the expected size and content.
bytes_ptr fetch_state(const vt_json_obj *obj, const char *key, size_t size, const char **failure,
                      const char *missing, const char *mismatched, const char *invalid)
{
    uint8_t *bytes = nullptr;
    size_t count = 0;
    if (vt_json_obj_get_binary_(obj, key, &bytes, &count) != 0) {
        *failure = missing;
        return bytes_ptr(nullptr, &free);
    }
    bytes_ptr state(bytes, &free);
    if (count != size)
        *failure = mismatched;
    else if (!state_valid(bytes))
        *failure = invalid;
    else
        return state;
    return bytes_ptr(nullptr, &free);
}

int hexify_digest(const char *name, const uint8_t *digest, size_t size, vt_range *text)
{
    vt_range input{const_cast<uint8_t *>(digest), size};
    if (vt_hexify(&input, text) != 0)
        return VT_ERR("failed to hexify %s digest", name);
    return 0;
}


// Below this many bytes splitting costs more in hand-over than it saves.
constexpr size_t split_threshold = 64 * 1024;

// Feeds one digest in pieces the library's 32-bit lengths can take.
template <typename Update, typename Context>
int update_pieces(Update update, Context *context, const uint8_t *data, size_t length)
{
    for (size_t done = 0; done < length;) {
        const word32 part =
            static_cast<word32>(length - done < UINT32_MAX ? length - done : UINT32_MAX);
        if (update(context, data + done, part) != 0)
            return 1;
        done += part;
    }
    return 0;
}

int md5_update(vt_hash *hash, const uint8_t *data, size_t length)
{
    return update_pieces(wc_Md5Update, &hash->md5, data, length);
}

int sha1_update(vt_hash *hash, const uint8_t *data, size_t length)
{
    return update_pieces(wc_ShaUpdate, &hash->sha1, data, length);
}

void *helper_main(void *argument)
{
    auto *hash = static_cast<vt_hash *>(argument);
    vt_hash_helper *helper = hash->helper;
    for (;;) {
        if (vt_cond_wait(helper->work) || helper->stop)
            return nullptr;
        helper->result = sha1_update(hash, helper->data, helper->length);
        vt_cond_signal(helper->done);
    }
}

void helper_free(vt_hash_helper *helper)
{
    if (!helper)
        return;
    if (helper->thread) {
        helper->stop = true;
        vt_cond_signal(helper->work);
        vt_thread_stop(&helper->thread);
    }
    vt_cond_deit(&helper->work);
    vt_cond_deit(&helper->done);
    delete helper;
}

// Starts the helper on first use; 1 when it cannot run, and the caller then
// hashes both digests itself.
int helper_start(vt_hash *hash)
{
    if (hash->helper)
        return 0;
    std::unique_ptr<vt_hash_helper, decltype(&helper_free)> helper(
        new (std::nothrow) vt_hash_helper{}, helper_free);
    if (!helper || vt_cond_init(&helper->work) || vt_cond_init(&helper->done))
        return 1;
    hash->helper = helper.release();
    if (vt_thread_start_guarantee(&hash->helper->thread, helper_main, hash)) {
        helper_free(hash->helper);
        hash->helper = nullptr;
        return 1;
    }
    return 0;
}

// MD5 here while the helper runs SHA-1 over the same range; 1 after reporting.
int update_split(vt_hash *hash, const uint8_t *data, size_t length)
{
    vt_hash_helper *helper = hash->helper;
    helper->data = data;
    helper->length = length;
    helper->result = 0;
    if (vt_cond_signal(helper->work))
        return VT_ERR("failed to signal sha1 helper");
    const int md5_failed = md5_update(hash, data, length);
    // The range must not be released before the helper is done with it.
    if (vt_cond_wait(helper->done))
        return VT_ERR("failed to wait for sha1 helper");
    if (md5_failed)
        return VT_ERR("failed to update md5");
    if (helper->result)
        return VT_ERR("failed to update sha1");
    return 0;
}

} // namespace

int vt_hash_init(vt_hash **slot, const vt_string *method)
{
    if (slot == nullptr || *slot != nullptr || method == nullptr)
        return VT_ERR("failed to create hash object");
    std::string_view text = method->text != nullptr ? std::string_view(method->text, method->length)
                                                    : std::string_view();
    uint8_t methods = (text.find("md5") != text.npos ? VT_HASH_MD5 : 0) |
                      (text.find("sha1") != text.npos ? VT_HASH_SHA1 : 0);
    if (methods == 0)
        return VT_ERR("unsupported hash method(s) -- %.*s", static_cast<int>(text.size()),
                      text.data());
    std::unique_ptr<vt_hash, hash_free> hash(static_cast<vt_hash *>(calloc(1, sizeof(vt_hash))));
    if (hash == nullptr)
        return VT_ERR("failed to create hash object");
    if ((methods & VT_HASH_MD5) && wc_InitMd5(&hash->md5) != 0)
        return VT_ERR("failed to create md5 object");
    hash->methods |= methods & VT_HASH_MD5;
    if ((methods & VT_HASH_SHA1) && wc_InitSha(&hash->sha1) != 0)
        return VT_ERR("failed to create sha1 object");
    hash->methods |= methods & VT_HASH_SHA1;
    if (vt_json_obj_init(&hash->object) != 0)
        return VT_ERR("failed to create json object");
    *slot = hash.release();
    return 0;
}

int vt_hash_deit(vt_hash **slot)
{
    if (slot == nullptr || *slot == nullptr)
        return 1;
    hash_free()(*slot);
    *slot = nullptr;
    return 0;
}

int vt_hash_update(vt_hash *hash, const uint8_t *data, size_t length)
{
    if (VT_NIL(2, hash, data))
        return 1;
    const bool both = (hash->methods & VT_HASH_MD5) && (hash->methods & VT_HASH_SHA1);
    if (both && length >= split_threshold && helper_start(hash) == 0)
        return update_split(hash, data, length);
    if ((hash->methods & VT_HASH_MD5) && md5_update(hash, data, length))
        return VT_ERR("failed to update md5");
    if ((hash->methods & VT_HASH_SHA1) && sha1_update(hash, data, length))
        return VT_ERR("failed to update sha1");
    return 0;
}

int vt_hash_final(vt_hash *hash)
{
    if (VT_NIL(1, hash))
        return 1;
    if ((hash->methods & VT_HASH_MD5) && wc_Md5Final(&hash->md5, hash->md5_digest) != 0)
        return VT_ERR("failed to compute md5 digest");
    if ((hash->methods & VT_HASH_SHA1) && wc_ShaFinal(&hash->sha1, hash->sha1_digest) != 0)
        return VT_ERR("failed to compute sha1 digest");
    return 0;
}

int vt_hash_save(vt_hash *hash)
{
    if (VT_NIL(1, hash))
        return 1;
    uint8_t state[layout::sha1_size];
    if (hash->methods & VT_HASH_MD5) {
        state_export(hash->md5, state, layout::md5_words);
        if (vt_json_obj_binary(hash->object, "md5", state, layout::md5_size) != 0)
            return VT_ERR("failed to write md5 in object");
    }
    if (hash->methods & VT_HASH_SHA1) {
        state_export(hash->sha1, state, layout::sha1_words);
        if (vt_json_obj_binary(hash->object, "sha1", state, layout::sha1_size) != 0)
            return VT_ERR("failed to write sha1 in object");
    }
    return 0;
}

int vt_hash_load(vt_hash *hash, const vt_json_obj *obj)
{
    if (VT_NIL(2, hash, obj))
        return 1;
    const char *failure = nullptr;
    bytes_ptr md5(nullptr, &free), sha1(nullptr, &free);
    if (hash->methods & VT_HASH_MD5)
        md5 = fetch_state(obj, "md5", layout::md5_size, &failure, "failed to get hash md5",
                          "md5 size mismatched", "invalid md5 state");
    if (failure == nullptr && (hash->methods & VT_HASH_SHA1))
        sha1 = fetch_state(obj, "sha1", layout::sha1_size, &failure, "failed to get hash sha1",
                           "sha1 size mismatched", "invalid sha1 state");
    if (failure != nullptr)
        return VT_ERR("%s", failure);
    if (md5 != nullptr)
        state_import(hash->md5, md5.get(), layout::md5_words);
    if (sha1 != nullptr)
        state_import(hash->sha1, sha1.get(), layout::sha1_words);
    return 0;
}

// Both keys are removed whatever the selection, so a failure path never leaves a
// state behind; a key that was not there still makes the call fail.
int vt_hash_clear(vt_hash *hash)
{
    if (VT_NIL(1, hash))
        return 1;
    int missing = vt_json_obj_remove(hash->object, "md5") != 0;
    missing |= vt_json_obj_remove(hash->object, "sha1") != 0;
    return missing ? VT_ERR("failed to remove hash state keys") : 0;
}

int vt_hash_get_object(vt_hash *hash, vt_json_obj **copy)
{
    if (VT_NIL(2, hash, copy))
        return 1;
    if (vt_json_obj_copy(copy, hash->object) != 0)
        return VT_ERR("failed to copy object");
    return 0;
}

int vt_hash_log(vt_hash *hash, vt_syslog *log)
{
    if (VT_NIL(2, hash, log))
        return 1;
    vt_range md5{}, sha1{};
    bytes_ptr md5_owner(nullptr, &free), sha1_owner(nullptr, &free);
    if (hexify_digest("md5", hash->md5_digest, sizeof hash->md5_digest, &md5) != 0)
        return VT_ERR("failed to get md5 string");
    md5_owner.reset(md5.data);
    if (hexify_digest("sha1", hash->sha1_digest, sizeof hash->sha1_digest, &sha1) != 0)
        return VT_ERR("failed to get sha1 string");
    sha1_owner.reset(sha1.data);
    if (vt_syslog_log(log, 2, "MD5 Source Hash: %s\nSHA1 Source Hash: %s\n",
                      reinterpret_cast<char *>(md5.data), reinterpret_cast<char *>(sha1.data)) != 0)
        return VT_ERR("failed to write hash log");
    return 0;
}
