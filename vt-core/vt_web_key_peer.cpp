// The serving side of the key negotiation (states 2, 4 and 6): what a subject
// agent answers to the examiner's three messages, with a fresh DH key pair per
// connection. The agent frames its messages with vt_key_frame_seal/_open after.
#include <cstring>
#include <memory>

#include "vt_buffer.h"
#include "vt_dh_groups.h"
#include "vt_syslog.h"
#include "vt_web_key.h"

namespace fmt = vt_key_format;

namespace {

struct peer_deleter {
    void operator()(vt_key_peer *peer) const { vt_key_peer_deit(&peer); }
};

// The examiner's message must be the one the state machine waits for: message 1,
// 3 and 5 in this order, once each, each exactly its stated size.
int expect(const vt_key_peer *peer, int state, const uint8_t *message, size_t length,
           size_t size)
{
    return !peer || !message || peer->state != state || length != size ||
           message[fmt::kTypeOffset] != uint8_t(state + 1);
}

} // namespace

// Reserves `size` zero bytes as the whole reply.
static int reply_area(vt_buffer *reply, size_t size, uint8_t **area)
{
    if (!reply || vt_buffer_calloc_(reply, area, 0, size))
        return 1;
    reply->used = size;
    return 0;
}

// A fresh key pair over the built-in parameters of the peer's kind.
static int peer_key_pair(vt_key_peer *peer)
{
    if (peer->kind == fmt::kKindCert)
        return vt_dh_init(&peer->dh, vt_dh_oakley2_der.data(), vt_dh_oakley2_der.size(),
                          peer->rng);
    vt_range prime{const_cast<uint8_t *>(vt_dh_modp2048_prime.data()),
                   vt_dh_modp2048_prime.size()};
    vt_range base{const_cast<uint8_t *>(vt_dh_modp2048_base.data()), vt_dh_modp2048_base.size()};
    return vt_dh_init_raw(&peer->dh, &prime, &base, peer->rng);
}

// Message 4 around the peer's public key: the certificate, or the raw prime and base
// behind the fixed part.
static int peer_message4(vt_key_peer *peer, vt_buffer *reply)
{
    const uint8_t *key = nullptr;
    size_t key_length = 0;
    if (vt_dh_public_key_(peer->dh, &key, &key_length) || key_length == 0 ||
        key_length > vt_dh_key_max)
        return 1;
    bool raw = peer->kind == fmt::kKindRaw;
    size_t prime = raw ? vt_dh_modp2048_prime.size() : 0;
    size_t base = raw ? vt_dh_modp2048_base.size() : 0;
    uint8_t *out = nullptr;
    if (reply_area(reply, fmt::kMsg4FixedSize + prime + base, &out))
        return 1;
    out[fmt::kTypeOffset] = 4;
    out[fmt::kMsg4KindOffset] = peer->kind;
    if (!raw)
        std::memcpy(out + fmt::kMsg4CertOffset, vt_dh_oakley2_der.data(), vt_dh_cert_size);
    std::memcpy(out + fmt::kMsg4KeyOffset, key, key_length);
    fmt::store32(out + fmt::kMsg4KeyLengthOffset, uint32_t(key_length));
    fmt::store32(out + fmt::kMsg4PrimeLengthOffset, uint32_t(prime));
    fmt::store32(out + fmt::kMsg4BaseLengthOffset, uint32_t(base));
    if (raw) {
        std::memcpy(out + fmt::kMsg4FixedSize, vt_dh_modp2048_prime.data(), prime);
        std::memcpy(out + fmt::kMsg4FixedSize + prime, vt_dh_modp2048_base.data(), base);
    }
    return 0;
}

int vt_key_peer_init(vt_key_peer **slot, uint8_t kind)
{
    if (!slot || *slot || (kind != fmt::kKindCert && kind != fmt::kKindRaw))
        return VT_ERR("invalid peer slot or diffie hellman kind %u", unsigned(kind));
    std::unique_ptr<vt_key_peer, peer_deleter> peer(new (std::nothrow) vt_key_peer{});
    if (!peer)
        return VT_ERR("failed to create peer object");
    peer->kind = kind;
    if (vt_rng_init(&peer->rng))
        return VT_ERR("failed to create random generator");
    *slot = peer.release();
    return 0;
}

int vt_key_peer_deit(vt_key_peer **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_key_peer *peer = *slot;
    explicit_bzero(peer->challenge.data(), peer->challenge.size());
    if (peer->dh)
        vt_dh_deit(&peer->dh);
    if (peer->aes)
        vt_aes_deit(&peer->aes);
    if (peer->rng)
        vt_rng_deit(&peer->rng);
    delete peer;
    *slot = nullptr;
    return 0;
}

int vt_key_server_challenge_pong(vt_key_peer *peer, const uint8_t *message, size_t length,
                                 vt_buffer *reply)
{
    if (expect(peer, 0, message, length, fmt::kMsg1Size))
        return VT_ERR("invalid server challenge request of %zu bytes", length);
    uint8_t *out = nullptr;
    if (reply_area(reply, fmt::kMsg2Size, &out))
        return VT_ERR("failed to create server challenge response");
    if (vt_rng_rand_(peer->rng, peer->challenge.data(), peer->challenge.size()))
        return VT_ERR("failed to generate client challenge");
    out[fmt::kTypeOffset] = 2;
    std::memcpy(out + fmt::kMsg2ChallengeOffset, peer->challenge.data(), fmt::kChallengeSize);
    if (vt_key_proof_(message + fmt::kMsg1ChallengeOffset, out + fmt::kMsg2ProofOffset))
        return VT_ERR("failed to compute server challenge");
    peer->state = 2;
    return 0;
}

int vt_key_client_challenge_pong(vt_key_peer *peer, const uint8_t *message, size_t length,
                                 vt_buffer *reply)
{
    if (expect(peer, 2, message, length, fmt::kMsg3Size))
        return VT_ERR("invalid client challenge request of %zu bytes", length);
    uint8_t expected[fmt::kProofSize];
    int invalid = vt_key_proof_(peer->challenge.data(), expected) ||
                  vt_key_equal_(expected, message + fmt::kMsg3ProofOffset, fmt::kProofSize);
    // The challenge has served its one purpose, whatever the outcome.
    explicit_bzero(peer->challenge.data(), peer->challenge.size());
    if (invalid)
        return VT_ERR("failed to validate the client challenge");
    if (peer_key_pair(peer))
        return VT_ERR("failed to create diffie hellman context");
    if (peer_message4(peer, reply))
        return VT_ERR("failed to create client challenge response");
    peer->state = 4;
    return 0;
}

int vt_key_verify_secretkey_pong(vt_key_peer *peer, const uint8_t *message, size_t length,
                                 vt_buffer *reply)
{
    if (expect(peer, 4, message, length, fmt::kMsg5Size))
        return VT_ERR("invalid secret key verification request of %zu bytes", length);
    uint32_t key_length = fmt::load32(message + fmt::kMsg5KeyLengthOffset);
    if (key_length == 0 || key_length > vt_dh_key_max)
        return VT_ERR("invalid public key length %u", key_length);
    const uint8_t *aes_key = nullptr;
    size_t aes_key_length = 0;
    int failed = vt_dh_agree_(peer->dh, message + fmt::kMsg5KeyOffset, key_length) ||
                 vt_dh_aes_key_(peer->dh, &aes_key, &aes_key_length) ||
                 vt_aes_init_(&peer->aes, aes_key, aes_key_length);
    // The private exponent and the shared secret do not outlive this step.
    vt_dh_deit(&peer->dh);
    if (failed)
        return VT_ERR("failed to establish diffie hellman secret key");
    uint8_t *out = nullptr;
    if (reply_area(reply, fmt::kMsg6Size, &out))
        return VT_ERR("failed to create secret key verification response");
    out[fmt::kTypeOffset] = 6;
    uint8_t *iv = out + fmt::kMsg6IvOffset;
    if (vt_rng_rand_(peer->rng, iv, vt_aes_block_size) || vt_aes_set_encrypt_iv_(peer->aes, iv) ||
        vt_aes_encrypt(peer->aes, fmt::kVerifyBlock.data(), fmt::kVerifySize,
                       out + fmt::kMsg6BlockOffset))
        return VT_ERR("failed to encrypt the verification block");
    peer->state = 6;
    return 0;
}

int vt_key_peer_answer(vt_key_peer *peer, const uint8_t *message, size_t length,
                       vt_buffer *reply)
{
    if (!peer || !message || length == 0)
        return VT_ERR("invalid peer object or empty message");
    int failed = 1;
    switch (message[fmt::kTypeOffset]) {
    case 1:
        failed = vt_key_server_challenge_pong(peer, message, length, reply);
        break;
    case 3:
        failed = vt_key_client_challenge_pong(peer, message, length, reply);
        break;
    case 5:
        failed = vt_key_verify_secretkey_pong(peer, message, length, reply);
        break;
    default:
        break;
    }
    if (failed) {
        // One broken step ends the negotiation: no retry against a wiped challenge.
        peer->state = -1;
        return VT_ERR("failed to establish encryption with client");
    }
    return 0;
}

bool vt_key_peer_ready(const vt_key_peer *peer)
{
    return peer && peer->state == 6 && peer->aes;
}
