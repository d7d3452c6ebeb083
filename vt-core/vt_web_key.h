// Key negotiation between examiner and subject, and the compressed, encrypted
// framing of every channel message after it. The negotiation steps and the
// framing are pure functions over buffers, usable by both roles; the channel
// steps and stack handlers at the end plug them into an examiner channel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "vt_crypt.h"

struct mg_connection;
struct vt_buffer;
struct vt_cfg;
struct vt_web;

// Wire layout of the six negotiation messages and of an encrypted frame.
// Multi-byte numbers are unsigned 32-bit big-endian; offsets count from the
// message's first byte (the byte after the frame's 4-byte tag).
namespace vt_key_format {

inline constexpr size_t kTypeOffset = 0;        // 1 byte: the message number 1..6
inline constexpr size_t kChallengeSize = 128;   // random challenge of either side
inline constexpr size_t kProofSize = vt_sha256_size; // HMAC-SHA-256 of a challenge

// Message 1, examiner -> subject: type, examiner's challenge.
inline constexpr size_t kMsg1ChallengeOffset = 1;
inline constexpr size_t kMsg1Size = 1 + kChallengeSize;                  // 129

// Message 2, subject -> examiner: type, subject's challenge, proof of message 1's.
inline constexpr size_t kMsg2ChallengeOffset = 1;
inline constexpr size_t kMsg2ProofOffset = 1 + kChallengeSize;           // 129
inline constexpr size_t kMsg2Size = kMsg2ProofOffset + kProofSize;       // 161

// Message 3, examiner -> subject: type, proof of the subject's challenge.
inline constexpr size_t kMsg3ProofOffset = 1;
inline constexpr size_t kMsg3Size = 1 + kProofSize;                      // 33

// Message 4, subject -> examiner: DH parameters and the subject's public key.
inline constexpr uint8_t kKindCert = 1;  // parameters as 138 bytes of DER
inline constexpr uint8_t kKindRaw = 2;   // raw prime and base after the fixed part
inline constexpr size_t kMsg4KindOffset = 1;                             // 1 byte
inline constexpr size_t kMsg4CertOffset = 2;                             // 138 bytes, zero for raw
inline constexpr size_t kMsg4KeyOffset = kMsg4CertOffset + vt_dh_cert_size; // 140: 513 bytes
inline constexpr size_t kMsg4KeyLengthOffset = kMsg4KeyOffset + vt_dh_key_max; // 653
inline constexpr size_t kMsg4PrimeLengthOffset = kMsg4KeyLengthOffset + 4;     // 657: P
inline constexpr size_t kMsg4BaseLengthOffset = kMsg4PrimeLengthOffset + 4;    // 661: B
inline constexpr size_t kMsg4FixedSize = kMsg4BaseLengthOffset + 4;            // 665, then P + B

// Message 5, examiner -> subject: the examiner's public key.
inline constexpr size_t kMsg5KeyOffset = 1;                              // 513 bytes
inline constexpr size_t kMsg5KeyLengthOffset = kMsg5KeyOffset + vt_dh_key_max; // 514
inline constexpr size_t kMsg5Size = kMsg5KeyLengthOffset + 4;            // 518

// Message 6, subject -> examiner: IV and the verification block encrypted.
inline constexpr size_t kMsg6IvOffset = 1;
inline constexpr size_t kMsg6BlockOffset = kMsg6IvOffset + vt_aes_block_size; // 17
inline constexpr size_t kVerifySize = 32;
inline constexpr size_t kMsg6Size = kMsg6BlockOffset + kVerifySize;      // 49

// Encrypted frame, after the tag: IV, fill count f, ciphertext of m bytes
// (m a non-zero multiple of 16). Its plaintext: L, D, D bytes of LZ4 block, f zeros.
inline constexpr size_t kTagSize = 4;
inline constexpr size_t kAesHeaderSize = vt_aes_block_size + 1;          // 17: IV, f
inline constexpr size_t kLz4HeaderSize = 8;                              // L, D

// Values built into both sides; never change them.
inline constexpr std::array<uint8_t, 24> kChallengeKey = {
    'v', 'a', 'n', 't', 'r', 'e', 'l', '-', 'c', 'h', 'a', 'l',
    'l', 'e', 'n', 'g', 'e', '-', 'k', 'e', 'y', '-', '2', '4'};
inline constexpr std::array<uint8_t, kVerifySize> kVerifyBlock = {
    'v', 'a', 'n', 't', 'r', 'e', 'l', ' ', 's', 'e', 's', 's', 'i', 'o', 'n', ' ',
    'k', 'e', 'y', ' ', 'v', 'e', 'r', 'i', 'f', 'i', 'c', 'a', 't', 'i', 'o', 'n'};

// Big-endian 32-bit fields at any alignment.
inline uint32_t load32(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           uint32_t(bytes[3]);
}
inline void store32(uint8_t *bytes, uint32_t value)
{
    bytes[0] = uint8_t(value >> 24);
    bytes[1] = uint8_t(value >> 16);
    bytes[2] = uint8_t(value >> 8);
    bytes[3] = uint8_t(value);
}

} // namespace vt_key_format

// Shared by both roles: the proof of a challenge (HMAC-SHA-256 under the challenge
// key, into kProofSize bytes), and a comparison whose time does not depend on where
// the bytes differ. vt_key_equal_ returns 0 when equal, 1 otherwise, no report.
int vt_key_proof_(const uint8_t *challenge, uint8_t *proof);
int vt_key_equal_(const uint8_t *a, const uint8_t *b, size_t length);

// Every function returns 0 on success and 1 on failure, and reports its own
// failures through `syserr`, unless its comment says otherwise.

// ---- Encrypted framing over buffers --------------------------------------

// Sending works in place in one buffer of `size` bytes, from the back to the front:
// the message is compressed to `*offset` and each step writes its header in front
// and moves `*offset` back. `*length` is the data's length after each step.

// Compresses `message` to buffer + *offset (using the rest of the buffer), then puts
// L and D in the 8 bytes in front. Needs *offset >= 8.
int vt_key_lz4_pack(uint8_t *buffer, size_t size, size_t *offset, size_t *length,
                    const uint8_t *message, size_t message_length);
// Encrypts the *length bytes at buffer + *offset, the last block filled with zeros
// right after the data, and puts IV and fill count in the 17 bytes in front.
// Needs *offset >= 17 and room for the filled last block inside the buffer.
int vt_key_aes_seal(vt_aes *aes, vt_rng *rng, uint8_t *buffer, size_t size, size_t *offset,
                    size_t *length);
// Decrypts IV, fill count and ciphertext in place; the plaintext (fill removed)
// starts at data + 17. The ciphertext must be a non-zero multiple of 16 bytes and
// the fill count below 16.
int vt_key_aes_open(vt_aes *aes, uint8_t *data, size_t length, size_t *plain_length);
// Decompresses a plaintext (L, D, block) into out; L must fit the capacity, D the
// plaintext, and the block must decompress to exactly L bytes.
int vt_key_lz4_unpack(const uint8_t *plain, size_t length, uint8_t *out, size_t capacity,
                      size_t *out_length);

// Whole frame payloads for a side that keeps no handler stack (the subject agent):
// tag, IV, fill count, ciphertext of the compressed message, into `payload`.
int vt_key_frame_seal(vt_aes *aes, vt_rng *rng, uint32_t tag, const uint8_t *message,
                      size_t length, vt_buffer *payload);
// Opens a payload in place; the tag and the message (at most `capacity` bytes) come out.
int vt_key_frame_open(vt_aes *aes, uint8_t *payload, size_t length, uint32_t *tag,
                      vt_buffer *message, size_t capacity);

// ---- Examiner's negotiation over explicit pieces -------------------------

// What the examiner's steps work on; the channel steps fill it from the channel's
// state, other callers from their own.
struct vt_key_client_ctx {
    vt_rng *rng;
    uint8_t *challenge;  // kChallengeSize bytes: the challenge sent in message 1
    vt_aes **aes;        // empty holder; receives the session's AES object in state 5
    vt_cfg *settings;    // may be null; its inherit flag takes the subject's parameters
};

// State 1: draws and keeps the challenge and builds message 1.
int vt_key_server_challenge_ping(vt_key_client_ctx *ctx,
                                 std::span<uint8_t, vt_key_format::kMsg1Size> reply);
// State 3: checks message 2's proof of our challenge and builds message 3.
// The kept challenge is wiped whatever the outcome.
int vt_key_client_challenge_ping(vt_key_client_ctx *ctx, const uint8_t *message,
                                 size_t length,
                                 std::span<uint8_t, vt_key_format::kMsg3Size> reply);
// State 5: agrees the session key with message 4, makes the AES object and builds
// message 5. The DH key never leaves this call.
int vt_key_verify_secretkey_ping(vt_key_client_ctx *ctx, const uint8_t *message,
                                 size_t length,
                                 std::span<uint8_t, vt_key_format::kMsg5Size> reply);
// State 7: checks that message 6 holds the verification block under the session key.
int vt_key_finish_negotiate_keys(vt_key_client_ctx *ctx, const uint8_t *message,
                                 size_t length);

// ---- Subject's negotiation (states 2, 4, 6), for our own agent -----------

// One connection's serving side: a fresh DH key pair per connection over the
// built-in parameters of the chosen kind (kKindRaw: 2048-bit MODP group, raw;
// kKindCert: 1024-bit Oakley group 2, DER).
struct vt_key_peer {
    vt_rng *rng;
    uint8_t kind;
    int state;  // last state answered: 0, 2, 4 or 6; -1 once a step failed
    std::array<uint8_t, vt_key_format::kChallengeSize> challenge;
    vt_dh *dh;   // from state 4 until state 6
    vt_aes *aes; // from state 6 on: the session's AES object
};

int vt_key_peer_init(vt_key_peer **slot, uint8_t kind);
int vt_key_peer_deit(vt_key_peer **slot);
// State 2: answers message 1 with message 2.
int vt_key_server_challenge_pong(vt_key_peer *peer, const uint8_t *message, size_t length,
                                 vt_buffer *reply);
// State 4: checks message 3's proof of our challenge, answers with message 4.
int vt_key_client_challenge_pong(vt_key_peer *peer, const uint8_t *message, size_t length,
                                 vt_buffer *reply);
// State 6: agrees the session key with message 5, answers with message 6.
int vt_key_verify_secretkey_pong(vt_key_peer *peer, const uint8_t *message, size_t length,
                                 vt_buffer *reply);
// Runs the state that the message's first byte calls for, in the order 1, 3, 5
// once each; the reply (with the message's tag) is for the examiner. After
// message 6 is out, `peer->aes` encrypts every frame (vt_key_frame_seal/_open).
int vt_key_peer_answer(vt_key_peer *peer, const uint8_t *message, size_t length,
                       vt_buffer *reply);
// True once message 6 has been answered: encrypted framing is in force.
bool vt_key_peer_ready(const vt_key_peer *peer);

// ---- The examiner's channel ---------------------------------------------------

// Handler names on the channel's stacks.
inline constexpr char vt_key_client_name[] = "vt_key_client";
inline constexpr char vt_web_aes_recv_name[] = "vt_web_aes_recv";
inline constexpr char vt_web_lz4_recv_name[] = "vt_web_lz4_recv";
inline constexpr char vt_web_aes_send_name[] = "vt_web_aes_send";
inline constexpr char vt_web_lz4_send_name[] = "vt_web_lz4_send";

// Runs the examiner's step for `state` (1, 3, 5 or 7) on a client channel.
int vt_key_negotiate(vt_web *channel, int state, const uint8_t *message, size_t length);
// The steps on a channel: each checks the channel, runs the step above over the
// channel's state and sends its message without a task.
int vt_key_server_challenge_ping(vt_web *channel, const uint8_t *message, size_t length);
int vt_key_client_challenge_ping(vt_web *channel, const uint8_t *message, size_t length);
int vt_key_verify_secretkey_ping(vt_web *channel, const uint8_t *message, size_t length);
int vt_key_finish_negotiate_keys(vt_web *channel, const uint8_t *message, size_t length);

// Receive handler from channel creation until negotiation completes: runs the step
// for messages 2, 4 and 6 (in that order only), then switches the stacks to
// encrypted framing and wakes the channel's creator; after that it passes frames on.
int vt_key_client(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
// Encrypted framing handlers (send stack: LZ4 then AES; receive stack: AES then LZ4).
int vt_web_lz4_send(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
int vt_web_aes_send(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
int vt_web_aes_recv(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
int vt_web_lz4_recv(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
