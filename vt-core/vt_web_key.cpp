// The examiner's side of the key negotiation (states 1, 3, 5, 7), the compressed
// and encrypted framing of channel messages, and the handlers that put both on
// an examiner channel's stacks. Every length that comes from the peer is checked
// before it is used.
#include "vt_web_key.h"

#include <lz4.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "vt_buffer.h"
#include "vt_cfg.h"
#include "vt_syslog.h"
#include "vt_web.h"

namespace fmt = vt_key_format;

namespace {

struct dh_deleter {
    void operator()(vt_dh *dh) const { vt_dh_deit(&dh); }
};
using dh_ptr = std::unique_ptr<vt_dh, dh_deleter>;

// Wipes the examiner's challenge when a step is over, whatever its outcome.
struct challenge_wipe {
    uint8_t *challenge;
    ~challenge_wipe()
    {
        if (challenge)
            explicit_bzero(challenge, fmt::kChallengeSize);
    }
};

} // namespace

// Settings whose inherit flag is set take the next subject's DH parameters once.
static int inherit_raw(vt_cfg *settings, const uint8_t *prime, size_t prime_length,
                       const uint8_t *base, size_t base_length)
{
    if (!settings || !settings->inherit)
        return 0;
    if (vt_cfg_set_diffie_raw(settings, prime, prime_length, base, base_length))
        return 1;
    settings->inherit = 0;
    return 0;
}

static int inherit_cert(vt_cfg *settings, const uint8_t *cert)
{
    if (!settings || !settings->inherit)
        return 0;
    if (vt_cfg_set_diffie_buf(settings, cert, vt_dh_cert_size))
        return 1;
    settings->inherit = 0;
    return 0;
}

// The DH key over message 4's parameters (kind and lengths already checked against
// the message), after the settings took them when they asked for it. Returns the
// failure text for the step to report, or null.
static const char *message4_dh(vt_key_client_ctx *ctx, const uint8_t *message,
                               uint32_t prime_length, uint32_t base_length, dh_ptr *dh)
{
    vt_dh *made = nullptr;
    if (message[fmt::kMsg4KindOffset] == fmt::kKindRaw) {
        const uint8_t *prime = message + fmt::kMsg4FixedSize;
        const uint8_t *base = prime + prime_length;
        if (inherit_raw(ctx->settings, prime, prime_length, base, base_length))
            return "failed to inherit diffie hellman prime and base";
        vt_range prime_range{const_cast<uint8_t *>(prime), prime_length};
        vt_range base_range{const_cast<uint8_t *>(base), base_length};
        if (vt_dh_init_raw(&made, &prime_range, &base_range, ctx->rng))
            return "failed to create diffie hellman context";
    } else {
        const uint8_t *cert = message + fmt::kMsg4CertOffset;
        if (inherit_cert(ctx->settings, cert))
            return "failed to inherit diffie hellman certificate";
        if (vt_dh_init(&made, cert, vt_dh_cert_size, ctx->rng))
            return "failed to create diffie hellman context";
    }
    dh->reset(made);
    return nullptr;
}

// ---- Shared helpers -------------------------------------------------------

int vt_key_proof_(const uint8_t *challenge, uint8_t *proof)
{
    return vt_sha256_hmac_ex(fmt::kChallengeKey.data(), fmt::kChallengeKey.size(), challenge,
                             fmt::kChallengeSize, proof, fmt::kProofSize);
}

int vt_key_equal_(const uint8_t *a, const uint8_t *b, size_t length)
{
    uint8_t difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference |= a[i] ^ b[i];
    return difference != 0;
}

// ---- Framing --------------------------------------------------------------

int vt_key_lz4_pack(uint8_t *buffer, size_t size, size_t *offset, size_t *length,
                    const uint8_t *message, size_t message_length)
{
    if (!buffer || !offset || !length || !message)
        return VT_ERR("invalid buffer or message pointer");
    if (*offset < fmt::kLz4HeaderSize || *offset > size || message_length > LZ4_MAX_INPUT_SIZE)
        return VT_ERR("invalid offset %zu or message length %zu", *offset, message_length);
    // LZ4 counts in int: a room beyond INT_MAX is simply not offered.
    size_t room = std::min<size_t>(size - *offset, INT_MAX);
    int packed = LZ4_compress_default(reinterpret_cast<const char *>(message),
                                      reinterpret_cast<char *>(buffer + *offset),
                                      int(message_length), int(room));
    if (packed <= 0)
        return VT_ERR("failed to compress message of %zu bytes", message_length);
    *offset -= fmt::kLz4HeaderSize;
    fmt::store32(buffer + *offset, uint32_t(message_length));
    fmt::store32(buffer + *offset + 4, uint32_t(packed));
    *length = fmt::kLz4HeaderSize + size_t(packed);
    return 0;
}

int vt_key_aes_seal(vt_aes *aes, vt_rng *rng, uint8_t *buffer, size_t size, size_t *offset,
                    size_t *length)
{
    if (!aes || !rng || !buffer || !offset || !length)
        return VT_ERR("invalid aes, rng or buffer pointer");
    size_t n = *length;
    size_t r = n % vt_aes_block_size;
    size_t fill = r ? vt_aes_block_size - r : 0;
    // The filled last block is written right behind the data, so it must fit too.
    if (n == 0 || *offset < fmt::kAesHeaderSize || *offset > size || size - *offset < n ||
        size - *offset - n < fill)
        return VT_ERR("no room to encrypt %zu bytes at offset %zu of %zu", n, *offset, size);
    uint8_t *data = buffer + *offset;
    uint8_t last[vt_aes_block_size] = {};
    std::memcpy(last, data + n - r, r);
    *offset -= fmt::kAesHeaderSize;
    uint8_t *iv = buffer + *offset;
    if (vt_rng_rand_(rng, iv, vt_aes_block_size))
        return VT_ERR("failed to generate iv");
    iv[vt_aes_block_size] = uint8_t(fill);
    if (vt_aes_set_encrypt_iv_(aes, iv))
        return VT_ERR("failed to set encryption iv");
    size_t whole = n - r;
    if ((whole && vt_aes_encrypt(aes, data, whole, data)) ||
        (r && vt_aes_encrypt(aes, last, vt_aes_block_size, data + whole)))
        return VT_ERR("failed to encrypt %zu bytes", n);
    *length = fmt::kAesHeaderSize + n + fill;
    return 0;
}

int vt_key_aes_open(vt_aes *aes, uint8_t *data, size_t length, size_t *plain_length)
{
    if (!aes || !data || !plain_length)
        return VT_ERR("invalid aes or buffer pointer");
    if (length < fmt::kAesHeaderSize + vt_aes_block_size ||
        (length - fmt::kAesHeaderSize) % vt_aes_block_size != 0)
        return VT_ERR("invalid encrypted message length %zu", length);
    unsigned fill = data[vt_aes_block_size];
    if (fill >= vt_aes_block_size)
        return VT_ERR("invalid fill count %u", fill);
    if (vt_aes_set_decrypt_iv_(aes, data))
        return VT_ERR("failed to set decryption iv");
    size_t cipher = length - fmt::kAesHeaderSize;
    uint8_t *text = data + fmt::kAesHeaderSize;
    if (vt_aes_decrypt(aes, text, cipher, text))
        return VT_ERR("failed to decrypt %zu bytes", cipher);
    *plain_length = cipher - fill;
    return 0;
}

int vt_key_lz4_unpack(const uint8_t *plain, size_t length, uint8_t *out, size_t capacity,
                      size_t *out_length)
{
    if (!plain || !out || !out_length)
        return VT_ERR("invalid buffer pointer");
    if (length < fmt::kLz4HeaderSize)
        return VT_ERR("invalid compressed message length %zu", length);
    uint32_t original = fmt::load32(plain);
    uint32_t packed = fmt::load32(plain + 4);
    if (original > capacity)
        return VT_ERR("message length %u exceeds the buffer of %zu", original, capacity);
    if (packed > length - fmt::kLz4HeaderSize || packed > INT_MAX)
        return VT_ERR("compressed length %u exceeds the message", packed);
    int bound = int(std::min<size_t>(capacity, INT_MAX));
    int unpacked = LZ4_decompress_safe(reinterpret_cast<const char *>(plain + fmt::kLz4HeaderSize),
                                       reinterpret_cast<char *>(out), int(packed), bound);
    if (unpacked < 0 || uint32_t(unpacked) != original)
        return VT_ERR("failed to decompress message of %u bytes", original);
    *out_length = original;
    return 0;
}

int vt_key_frame_seal(vt_aes *aes, vt_rng *rng, uint32_t tag, const uint8_t *message,
                      size_t length, vt_buffer *payload)
{
    if (!payload || length > LZ4_MAX_INPUT_SIZE)
        return VT_ERR("invalid payload buffer or message length %zu", length);
    size_t head = fmt::kTagSize + fmt::kAesHeaderSize + fmt::kLz4HeaderSize;
    size_t size = head + size_t(LZ4_compressBound(int(length))) + vt_aes_block_size;
    uint8_t *buffer = nullptr;
    if (vt_buffer_malloc_(payload, &buffer, 0, size))
        return VT_ERR("failed to reserve %zu bytes", size);
    size_t offset = head, data_length = 0;
    if (vt_key_lz4_pack(buffer, size, &offset, &data_length, message, length) ||
        vt_key_aes_seal(aes, rng, buffer, size, &offset, &data_length))
        return VT_ERR("failed to seal message of %zu bytes", length);
    // Both headers went in front of the data, so the tag lands at the front.
    offset -= fmt::kTagSize;
    fmt::store32(buffer + offset, tag);
    payload->used = fmt::kTagSize + data_length;
    return 0;
}

int vt_key_frame_open(vt_aes *aes, uint8_t *payload, size_t length, uint32_t *tag,
                      vt_buffer *message, size_t capacity)
{
    if (!payload || !tag || !message || length < fmt::kTagSize)
        return VT_ERR("invalid payload of %zu bytes", length);
    uint8_t *text = nullptr;
    size_t plain = 0, used = 0;
    if (vt_buffer_malloc_(message, &text, 0, std::max<size_t>(capacity, 1)))
        return VT_ERR("failed to reserve %zu bytes", capacity);
    if (vt_key_aes_open(aes, payload + fmt::kTagSize, length - fmt::kTagSize, &plain) ||
        vt_key_lz4_unpack(payload + fmt::kTagSize + fmt::kAesHeaderSize, plain, text, capacity,
                          &used))
        return VT_ERR("failed to open payload of %zu bytes", length);
    *tag = fmt::load32(payload);
    message->used = used;
    return 0;
}

// ---- Examiner's steps over explicit pieces --------------------------------

int vt_key_server_challenge_ping(vt_key_client_ctx *ctx,
                                 std::span<uint8_t, fmt::kMsg1Size> reply)
{
    if (!ctx || !ctx->challenge || vt_rng_rand_(ctx->rng, ctx->challenge, fmt::kChallengeSize))
        return VT_ERR("failed to generate server challenge");
    reply[fmt::kTypeOffset] = 1;
    std::memcpy(&reply[fmt::kMsg1ChallengeOffset], ctx->challenge, fmt::kChallengeSize);
    return 0;
}

int vt_key_client_challenge_ping(vt_key_client_ctx *ctx, const uint8_t *message,
                                 size_t length, std::span<uint8_t, fmt::kMsg3Size> reply)
{
    if (!ctx || !ctx->challenge)
        return VT_ERR("invalid web object, buffer, or key pointer");
    challenge_wipe wipe{ctx->challenge};
    if (!message)
        return VT_ERR("invalid web object, buffer, or key pointer");
    if (length != fmt::kMsg2Size)
        return VT_ERR("invalid server challenge response");
    uint8_t expected[fmt::kProofSize];
    if (vt_key_proof_(ctx->challenge, expected) ||
        vt_key_equal_(expected, message + fmt::kMsg2ProofOffset, fmt::kProofSize))
        return VT_ERR("failed to validate the server challenge");
    if (vt_key_proof_(message + fmt::kMsg2ChallengeOffset, &reply[fmt::kMsg3ProofOffset]))
        return VT_ERR("failed to compute client challenge");
    reply[fmt::kTypeOffset] = 3;
    return 0;
}

int vt_key_verify_secretkey_ping(vt_key_client_ctx *ctx, const uint8_t *message,
                                 size_t length, std::span<uint8_t, fmt::kMsg5Size> reply)
{
    if (!ctx || !ctx->aes || !message)
        return VT_ERR("invalid web object or buffer pointer");
    if (length < fmt::kMsg4FixedSize)
        return VT_ERR("invalid client challenge response length %zu", length);
    uint32_t key_length = fmt::load32(message + fmt::kMsg4KeyLengthOffset);
    uint32_t prime_length = fmt::load32(message + fmt::kMsg4PrimeLengthOffset);
    uint32_t base_length = fmt::load32(message + fmt::kMsg4BaseLengthOffset);
    if (key_length == 0 || key_length > vt_dh_key_max)
        return VT_ERR("invalid public key length %u", key_length);
    // 64-bit sum: two 32-bit lengths from the peer cannot wrap it.
    if (uint64_t(fmt::kMsg4FixedSize) + prime_length + base_length > length)
        return VT_ERR("prime length %u and base length %u exceed the message of %zu",
                      prime_length, base_length, length);
    unsigned kind = message[fmt::kMsg4KindOffset];
    if (kind != fmt::kKindCert && kind != fmt::kKindRaw)
        return VT_ERR("invalid client challenge response type %u", kind);
    dh_ptr dh;
    if (const char *failure = message4_dh(ctx, message, prime_length, base_length, &dh))
        return VT_ERR("%s", failure);
    const uint8_t *aes_key = nullptr, *own_key = nullptr;
    size_t aes_key_length = 0, own_length = 0;
    if (vt_dh_agree_(dh.get(), message + fmt::kMsg4KeyOffset, key_length) ||
        vt_dh_aes_key_(dh.get(), &aes_key, &aes_key_length) ||
        vt_dh_public_key_(dh.get(), &own_key, &own_length) || own_length == 0 ||
        own_length > vt_dh_key_max)
        return VT_ERR("failed to establish diffie hellman secret key");
    if (vt_aes_init_(ctx->aes, aes_key, aes_key_length))
        return VT_ERR("failed to create aes object");
    std::fill(reply.begin(), reply.end(), 0);
    reply[fmt::kTypeOffset] = 5;
    std::memcpy(&reply[fmt::kMsg5KeyOffset], own_key, own_length);
    fmt::store32(&reply[fmt::kMsg5KeyLengthOffset], uint32_t(own_length));
    return 0;
}

int vt_key_finish_negotiate_keys(vt_key_client_ctx *ctx, const uint8_t *message, size_t length)
{
    if (!ctx || !ctx->aes || !*ctx->aes || !message)
        return VT_ERR("invalid web object, buffer, or verification pointer");
    if (length != fmt::kMsg6Size)
        return VT_ERR("invalid secret key verification response");
    uint8_t block[fmt::kVerifySize];
    if (vt_aes_set_decrypt_iv_(*ctx->aes, message + fmt::kMsg6IvOffset) ||
        vt_aes_decrypt(*ctx->aes, message + fmt::kMsg6BlockOffset, fmt::kVerifySize, block) ||
        vt_key_equal_(block, fmt::kVerifyBlock.data(), fmt::kVerifySize))
        return VT_ERR("failed to verify the establish session key");
    return 0;
}

// ---- The examiner's channel -------------------------------------------------

// The pieces of a channel's state that the examiner's steps work on.
static vt_key_client_ctx channel_ctx(vt_web *channel)
{
    vt_unique *state = channel->state;
    return {state->rng, state->challenge, &state->aes, channel->cfg};
}

// Negotiation messages travel in clear frames, without a task.
static int send_clear(vt_web *channel, std::span<const uint8_t> message)
{
    return vt_web_send_base(channel, message.data(), message.size(), nullptr, nullptr, 0, nullptr);
}

// The message number the examiner waits for, from what the channel state holds: its
// challenge until message 2 is answered, the AES object once message 4 is. A message
// out of this order (message 4 before the subject proved the challenge key, say)
// never reaches a step.
static uint8_t expected_message(const vt_unique *state)
{
    if (state->aes)
        return 6;
    const uint8_t *challenge = state->challenge;
    bool kept = std::any_of(challenge, challenge + fmt::kChallengeSize,
                            [](uint8_t byte) { return byte != 0; });
    return kept ? 2 : 4;
}

// Encrypted framing from now on: tag, AES, LZ4, dispatcher on receiving; LZ4, AES,
// tag, write on sending; each buffer grown to LZ4's worst case for its size.
// vt_key_client leaves the receive ring: negotiation is over.
static int switch_framing(vt_web *channel)
{
    vt_core *recv = channel->state->recv;
    vt_core *send = channel->state->send;
    if (vt_core_rem(recv, vt_key_client_name) ||
        vt_core_add(recv, vt_web_aes_recv, vt_web_aes_recv_name, fmt::kAesHeaderSize, recv->base,
                    vt_core_after) ||
        vt_core_add(recv, vt_web_lz4_recv, vt_web_lz4_recv_name, fmt::kLz4HeaderSize, recv->base,
                    vt_core_after))
        return 1;
    if (vt_core_rem(send, vt_web_copy_send_name) ||
        vt_core_add(send, vt_web_aes_send, vt_web_aes_send_name, fmt::kAesHeaderSize, send->base,
                    vt_core_before) ||
        vt_core_add(send, vt_web_lz4_send, vt_web_lz4_send_name, fmt::kLz4HeaderSize, send->base,
                    vt_core_before))
        return 1;
    for (vt_core *stack : {recv, send}) {
        if (stack->size > size_t(LZ4_MAX_INPUT_SIZE))
            return 1;
        size_t grown = size_t(LZ4_compressBound(int(stack->size)));
        if (vt_core_resize(stack, grown - stack->size, 0))
            return 1;
    }
    return vt_cond_signal(channel->event);
}

static int open_negotiation(vt_web *channel)
{
    return vt_key_negotiate(channel, 1, nullptr, 0);
}

// Checks shared by the channel steps; the message is required from state 3 on.
static const char *channel_fault(const vt_web *channel, const uint8_t *message, int state,
                                 const char *invalid)
{
    if (!channel || !channel->state || (state > 1 && !message))
        return invalid;
    return nullptr;
}

int vt_key_server_challenge_ping(vt_web *channel, const uint8_t *message, size_t)
{
    if (const char *fault = channel_fault(channel, message, 1, "invalid web object"))
        return VT_ERR("%s", fault);
    if (channel->type != vt_web_type_client)
        return VT_ERR("invalid web object type %d", channel->type);
    vt_key_client_ctx ctx = channel_ctx(channel);
    std::array<uint8_t, fmt::kMsg1Size> request;
    if (vt_key_server_challenge_ping(&ctx, request))
        return 1;
    if (send_clear(channel, request))
        return VT_ERR("failed to send the server challenge request");
    return 0;
}

int vt_key_client_challenge_ping(vt_web *channel, const uint8_t *message, size_t length)
{
    if (const char *fault =
            channel_fault(channel, message, 3, "invalid web object, buffer, or key pointer"))
        return VT_ERR("%s", fault);
    if (channel->type != vt_web_type_client)
        return VT_ERR("invalid web object type %d", channel->type);
    vt_key_client_ctx ctx = channel_ctx(channel);
    std::array<uint8_t, fmt::kMsg3Size> request;
    if (vt_key_client_challenge_ping(&ctx, message, length, request))
        return 1;
    if (send_clear(channel, request))
        return VT_ERR("failed to send client challenge request");
    return 0;
}

int vt_key_verify_secretkey_ping(vt_web *channel, const uint8_t *message, size_t length)
{
    if (const char *fault =
            channel_fault(channel, message, 5, "invalid web object or buffer pointer"))
        return VT_ERR("%s", fault);
    if (channel->type != vt_web_type_client)
        return VT_ERR("invalid web object type %d", channel->type);
    vt_key_client_ctx ctx = channel_ctx(channel);
    std::array<uint8_t, fmt::kMsg5Size> request;
    if (vt_key_verify_secretkey_ping(&ctx, message, length, request))
        return 1;
    if (send_clear(channel, request))
        return VT_ERR("failed to send the secret key verification request");
    return 0;
}

int vt_key_finish_negotiate_keys(vt_web *channel, const uint8_t *message, size_t length)
{
    if (const char *fault = channel_fault(channel, message, 7,
                                          "invalid web object, buffer, or verification pointer"))
        return VT_ERR("%s", fault);
    if (channel->type != vt_web_type_client)
        return VT_ERR("invalid web object type %d", channel->type);
    vt_key_client_ctx ctx = channel_ctx(channel);
    return vt_key_finish_negotiate_keys(&ctx, message, length);
}

int vt_key_negotiate(vt_web *channel, int state, const uint8_t *message, size_t length)
{
    int failed = 1;
    switch (state) {
    case 1:
        failed = vt_key_server_challenge_ping(channel, message, length);
        break;
    case 3:
        failed = vt_key_client_challenge_ping(channel, message, length);
        break;
    case 5:
        failed = vt_key_verify_secretkey_ping(channel, message, length);
        break;
    case 7:
        failed = vt_key_finish_negotiate_keys(channel, message, length);
        break;
    default:
        // States 2, 4 and 6 are the serving side's (vt_key_peer_answer).
        break;
    }
    if (failed)
        return VT_ERR("%s key negotiation failed on state %d",
                      channel && channel->name ? channel->name : "", state);
    return 0;
}

int vt_key_client(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    int state = 0;
    if (length > 0 && data[fmt::kTypeOffset] == expected_message(channel->state))
        state = data[fmt::kTypeOffset] + 1;
    if (state == 0 || vt_key_negotiate(channel, state, data, length)) {
        VT_ERR("failed to establish encryption with server");
        return vt_handle_exception;
    }
    if (state == 7)
        return switch_framing(channel) ? vt_handle_exception : vt_handle_done;
    return vt_handle_done;
}

int vt_web_lz4_send(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    vt_core *stack = channel->state->send;
    size_t offset = stack->offset, packed = 0;
    if (vt_key_lz4_pack(stack->buffer, stack->size, &offset, &packed, data, length))
        return vt_handle_exception;
    stack->offset = offset;
    stack->data = stack->buffer + offset;
    stack->length = packed;
    return vt_handle_next;
}

int vt_web_aes_send(mg_connection *, int, uint8_t *, size_t length, vt_web *channel)
{
    vt_unique *state = channel->state;
    vt_core *stack = state->send;
    size_t offset = stack->offset, sealed = length;
    if (vt_key_aes_seal(state->aes, state->rng, stack->buffer, stack->size, &offset, &sealed))
        return vt_handle_exception;
    stack->offset = offset;
    stack->data = stack->buffer + offset;
    stack->length = sealed;
    return vt_handle_next;
}

int vt_web_aes_recv(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    vt_core *stack = channel->state->recv;
    size_t plain = 0;
    if (vt_key_aes_open(channel->state->aes, data, length, &plain))
        return vt_handle_exception;
    stack->data = data + fmt::kAesHeaderSize;
    stack->length = plain;
    stack->offset += fmt::kAesHeaderSize;
    return vt_handle_next;
}

int vt_web_lz4_recv(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    vt_core *stack = channel->state->recv;
    size_t message = 0;
    if (vt_key_lz4_unpack(data, length, stack->buffer, stack->size, &message))
        return vt_handle_exception;
    stack->data = stack->buffer;
    stack->length = message;
    stack->offset = 0;
    return vt_handle_next;
}

int vt_web_init(vt_web **slot, int type, const char *url, vt_cfg *settings, void *user_data)
{
    static constexpr vt_web_keying keying{vt_key_client, vt_key_client_name, open_negotiation};
    return vt_web_init(slot, type, url, settings, user_data, &keying);
}
