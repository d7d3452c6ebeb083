// Key negotiation and encrypted framing: the examiner's steps against the serving
// side's steps in memory for both DH parameter forms, the framing round trip at
// every 16-byte boundary, and every malformed peer input refused cleanly.
#include <gtest/gtest.h>
#include <lz4.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vt_buffer.h"
#include "vt_cfg.h"
#include "vt_crypt.h"
#include "vt_dh_groups.h"
#include "vt_test_inbox.h"
#include "vt_test_util.h"
#include "vt_test_ws_peer.h"
#include "vt_thread.h"
#include "vt_web.h"
#include "vt_web_key.h"
#include "vt_websocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace fmt = vt_key_format;

namespace {

using bytes = std::vector<uint8_t>;
using vt_test::Inbox;
using vt_test::inbox_dispatch;

// The stack size both programs use, and the stacks' buffers after the switch.
constexpr size_t kStackSize = 524336;
constexpr size_t kSendHead = fmt::kTagSize + fmt::kAesHeaderSize + fmt::kLz4HeaderSize;

bytes random_bytes(vt_rng *rng, size_t length)
{
    bytes out(length);
    if (length) {
        EXPECT_EQ(vt_rng_rand_(rng, out.data(), length), 0);
    }
    return out;
}

bytes as_bytes(const vt_buffer *buffer)
{
    return bytes(buffer->data, buffer->data + buffer->used);
}

struct BufferDeleter {
    void operator()(vt_buffer *buffer) const { vt_buffer_deit(&buffer); }
};
using BufferPtr = std::unique_ptr<vt_buffer, BufferDeleter>;

BufferPtr new_buffer()
{
    vt_buffer *buffer = nullptr;
    EXPECT_EQ(vt_buffer_init(&buffer, 0), 0);
    return BufferPtr(buffer);
}

// The examiner's pieces, as a channel state would hold them.
struct Examiner {
    vt_rng *rng = nullptr;
    std::array<uint8_t, fmt::kChallengeSize> challenge{};
    vt_aes *aes = nullptr;
    vt_key_client_ctx ctx{};

    explicit Examiner(vt_cfg *settings = nullptr)
    {
        EXPECT_EQ(vt_rng_init(&rng), 0);
        ctx = {rng, challenge.data(), &aes, settings};
    }
    ~Examiner()
    {
        if (aes)
            vt_aes_deit(&aes);
        vt_rng_deit(&rng);
    }
};

struct Peer {
    vt_key_peer *peer = nullptr;
    explicit Peer(uint8_t kind) { EXPECT_EQ(vt_key_peer_init(&peer, kind), 0); }
    ~Peer() { vt_key_peer_deit(&peer); }
};

// The messages of one negotiation, kept so malformed variants can be derived.
struct Transcript {
    bytes m1, m2, m3, m4, m5, m6;
};

// Runs all six messages between the two sides; stops at the first failing step.
::testing::AssertionResult negotiate(Examiner &exa, Peer &peer, Transcript *out = nullptr)
{
    Transcript t;
    BufferPtr reply = new_buffer();
    std::array<uint8_t, fmt::kMsg1Size> m1{};
    if (vt_key_server_challenge_ping(&exa.ctx, m1))
        return ::testing::AssertionFailure() << "state 1";
    t.m1.assign(m1.begin(), m1.end());
    if (vt_key_peer_answer(peer.peer, m1.data(), m1.size(), reply.get()))
        return ::testing::AssertionFailure() << "state 2";
    t.m2 = as_bytes(reply.get());
    std::array<uint8_t, fmt::kMsg3Size> m3{};
    if (vt_key_client_challenge_ping(&exa.ctx, t.m2.data(), t.m2.size(), m3))
        return ::testing::AssertionFailure() << "state 3";
    t.m3.assign(m3.begin(), m3.end());
    if (vt_key_peer_answer(peer.peer, m3.data(), m3.size(), reply.get()))
        return ::testing::AssertionFailure() << "state 4";
    t.m4 = as_bytes(reply.get());
    std::array<uint8_t, fmt::kMsg5Size> m5{};
    if (vt_key_verify_secretkey_ping(&exa.ctx, t.m4.data(), t.m4.size(), m5))
        return ::testing::AssertionFailure() << "state 5";
    t.m5.assign(m5.begin(), m5.end());
    if (vt_key_peer_answer(peer.peer, m5.data(), m5.size(), reply.get()))
        return ::testing::AssertionFailure() << "state 6";
    t.m6 = as_bytes(reply.get());
    if (vt_key_finish_negotiate_keys(&exa.ctx, t.m6.data(), t.m6.size()))
        return ::testing::AssertionFailure() << "state 7";
    if (out)
        *out = t;
    return ::testing::AssertionSuccess();
}

// One message sealed by one side and opened by the other.
::testing::AssertionResult crosses(vt_aes *from, vt_aes *to, vt_rng *rng, const bytes &message)
{
    BufferPtr payload = new_buffer();
    BufferPtr opened = new_buffer();
    if (vt_key_frame_seal(from, rng, 7, message.data(), message.size(), payload.get()))
        return ::testing::AssertionFailure() << "seal";
    uint32_t tag = 0;
    if (vt_key_frame_open(to, payload->data, payload->used, &tag, opened.get(), kStackSize))
        return ::testing::AssertionFailure() << "open";
    if (tag != 7 || as_bytes(opened.get()) != message)
        return ::testing::AssertionFailure() << "changed in transit";
    return ::testing::AssertionSuccess();
}

class NegotiationForm : public ::testing::TestWithParam<uint8_t> {};

TEST_P(NegotiationForm, BothSidesAgreeAndMessagesCrossBothWays)
{
    Examiner exa;
    Peer peer(GetParam());
    Transcript t;
    ASSERT_TRUE(negotiate(exa, peer, &t));
    EXPECT_TRUE(vt_key_peer_ready(peer.peer));

    // Sizes as the wire tables state them.
    EXPECT_EQ(t.m1.size(), 129u);
    EXPECT_EQ(t.m2.size(), 161u);
    EXPECT_EQ(t.m3.size(), 33u);
    EXPECT_EQ(t.m5.size(), 518u);
    EXPECT_EQ(t.m6.size(), 49u);
    bool raw = GetParam() == fmt::kKindRaw;
    EXPECT_EQ(t.m4.size(), raw ? 665u + 256 + 1 : 665u);
    EXPECT_EQ(t.m4[1], GetParam());
    // The examiner keeps no challenge once it has been answered.
    EXPECT_EQ(exa.challenge, (std::array<uint8_t, fmt::kChallengeSize>{}));

    bytes message = random_bytes(exa.rng, 300);
    EXPECT_TRUE(crosses(exa.aes, peer.peer->aes, exa.rng, message));
    EXPECT_TRUE(crosses(peer.peer->aes, exa.aes, exa.rng, message));
}

TEST_P(NegotiationForm, InheritCopiesTheSubjectParametersOnce)
{
    vt_cfg *settings = nullptr;
    ASSERT_EQ(vt_cfg_init(&settings), 0);
    ASSERT_EQ(vt_cfg_set_diffie_link(settings), 0);
    {
        Examiner exa(settings);
        Peer peer(GetParam());
        ASSERT_TRUE(negotiate(exa, peer));
    }
    EXPECT_EQ(settings->inherit, 0);
    if (GetParam() == fmt::kKindRaw) {
        ASSERT_EQ(settings->prime.length, vt_dh_modp2048_prime.size());
        EXPECT_EQ(std::memcmp(settings->prime.text, vt_dh_modp2048_prime.data(), 256), 0);
        ASSERT_EQ(settings->base.length, 1u);
        EXPECT_EQ(settings->base.text[0], 2);
        EXPECT_EQ(settings->certificate, nullptr);
    } else {
        ASSERT_EQ(settings->certificate_length, vt_dh_cert_size);
        EXPECT_EQ(std::memcmp(settings->certificate, vt_dh_oakley2_der.data(), 138), 0);
        EXPECT_EQ(settings->prime.text, nullptr);
    }
    vt_cfg_deit(&settings);
}

INSTANTIATE_TEST_SUITE_P(Forms, NegotiationForm,
                         ::testing::Values(fmt::kKindRaw, fmt::kKindCert),
                         [](const auto &info) {
                             return std::string(info.param == fmt::kKindRaw ? "Raw" : "Cert");
                         });

TEST(Negotiation, EachSessionAgreesItsOwnKey)
{
    vt_test::SyserrCapture errors;
    Examiner first, second;
    Peer peer_a(fmt::kKindCert), peer_b(fmt::kKindCert);
    ASSERT_TRUE(negotiate(first, peer_a));
    ASSERT_TRUE(negotiate(second, peer_b));
    bytes message(64, 'x');
    EXPECT_FALSE(crosses(first.aes, peer_b.peer->aes, first.rng, message));
}

// ---- Malformed negotiation messages from the subject ------------------------

// A negotiation run up to the step under test, so the message can be tampered with.
class ExaminerStep : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(negotiate(good_exa, good_peer, &t)); }

    // A fresh examiner that has sent message 1 and got the peer's message 2.
    void reach_state3(Examiner &exa, Peer &peer, bytes *m2)
    {
        std::array<uint8_t, fmt::kMsg1Size> m1{};
        ASSERT_EQ(vt_key_server_challenge_ping(&exa.ctx, m1), 0);
        BufferPtr reply = new_buffer();
        ASSERT_EQ(vt_key_peer_answer(peer.peer, m1.data(), m1.size(), reply.get()), 0);
        *m2 = as_bytes(reply.get());
    }
    // ... and one that has also answered message 2 and got message 4.
    void reach_state5(Examiner &exa, Peer &peer, bytes *m4)
    {
        bytes m2;
        reach_state3(exa, peer, &m2);
        std::array<uint8_t, fmt::kMsg3Size> m3{};
        ASSERT_EQ(vt_key_client_challenge_ping(&exa.ctx, m2.data(), m2.size(), m3), 0);
        BufferPtr reply = new_buffer();
        ASSERT_EQ(vt_key_peer_answer(peer.peer, m3.data(), m3.size(), reply.get()), 0);
        *m4 = as_bytes(reply.get());
    }

    Examiner good_exa;
    Peer good_peer{fmt::kKindRaw};
    Transcript t;
    vt_test::SyserrCapture errors;
};

struct Tamper {
    const char *name;
    void (*change)(bytes &message);
    const char *report;
};

TEST_F(ExaminerStep, MalformedMessage2IsRefusedAndNoMessage3Built)
{
    const Tamper cases[] = {
        {"short", [](bytes &m) { m.pop_back(); }, "invalid server challenge response"},
        {"long", [](bytes &m) { m.push_back(0); }, "invalid server challenge response"},
        {"empty", [](bytes &m) { m.resize(1); }, "invalid server challenge response"},
        {"wrong proof", [](bytes &m) { m[140] ^= 0x01; }, "failed to validate the server challenge"},
    };
    for (const Tamper &c : cases) {
        SCOPED_TRACE(c.name);
        Examiner exa;
        Peer peer(fmt::kKindRaw);
        bytes m2;
        reach_state3(exa, peer, &m2);
        c.change(m2);
        std::array<uint8_t, fmt::kMsg3Size> m3{};
        errors.clear();
        EXPECT_EQ(vt_key_client_challenge_ping(&exa.ctx, m2.data(), m2.size(), m3), 1);
        EXPECT_NE(errors.text().find(c.report), std::string::npos) << errors.text();
        EXPECT_EQ(m3, (std::array<uint8_t, fmt::kMsg3Size>{}));
        EXPECT_EQ(exa.challenge, (std::array<uint8_t, fmt::kChallengeSize>{}));
    }
}

TEST_F(ExaminerStep, MalformedMessage4IsRefused)
{
    const Tamper cases[] = {
        {"shorter than fixed part", [](bytes &m) { m.resize(664); }, "invalid client challenge response length 664"},
        {"only the type", [](bytes &m) { m.resize(1); }, "invalid client challenge response length 1"},
        {"kind 3", [](bytes &m) { m[1] = 3; }, "invalid client challenge response type 3"},
        {"kind 0", [](bytes &m) { m[1] = 0; }, "invalid client challenge response type 0"},
        {"key length 0", [](bytes &m) { fmt::store32(m.data() + 653, 0); }, "invalid public key length 0"},
        {"key length 514", [](bytes &m) { fmt::store32(m.data() + 653, 514); }, "invalid public key length 514"},
        {"key length huge", [](bytes &m) { fmt::store32(m.data() + 653, 0xFFFFFFFF); }, "invalid public key length"},
        {"prime beyond message", [](bytes &m) { fmt::store32(m.data() + 657, 257); }, "exceed the message"},
        {"base beyond message", [](bytes &m) { fmt::store32(m.data() + 661, 2); }, "exceed the message"},
        {"lengths that wrap 32 bits", [](bytes &m) { fmt::store32(m.data() + 657, 0xFFFFFFFF); fmt::store32(m.data() + 661, 0xFFFFFFFF); }, "exceed the message"},
        {"truncated base", [](bytes &m) { m.pop_back(); }, "exceed the message"},
        {"empty prime", [](bytes &m) { fmt::store32(m.data() + 657, 0); }, "failed to create diffie hellman context"},
        {"key of 1", [](bytes &m) { std::memset(m.data() + 140, 0, 513); m[140] = 1; fmt::store32(m.data() + 653, 1); }, "failed to establish diffie hellman secret key"},
    };
    for (const Tamper &c : cases) {
        SCOPED_TRACE(c.name);
        Examiner exa;
        Peer peer(fmt::kKindRaw);
        bytes m4;
        reach_state5(exa, peer, &m4);
        c.change(m4);
        std::array<uint8_t, fmt::kMsg5Size> m5{};
        errors.clear();
        EXPECT_EQ(vt_key_verify_secretkey_ping(&exa.ctx, m4.data(), m4.size(), m5), 1);
        EXPECT_NE(errors.text().find(c.report), std::string::npos) << errors.text();
        EXPECT_EQ(exa.aes, nullptr);
    }
}

TEST_F(ExaminerStep, MalformedMessage6IsRefused)
{
    const Tamper cases[] = {
        {"48 bytes", [](bytes &m) { m.pop_back(); }, "invalid secret key verification response"},
        {"50 bytes", [](bytes &m) { m.push_back(0); }, "invalid secret key verification response"},
        {"one bit of the block", [](bytes &m) { m[48] ^= 0x80; }, "failed to verify the establish session key"},
        {"one bit of the iv", [](bytes &m) { m[1] ^= 0x01; }, "failed to verify the establish session key"},
    };
    for (const Tamper &c : cases) {
        SCOPED_TRACE(c.name);
        bytes m6 = t.m6;
        c.change(m6);
        errors.clear();
        EXPECT_EQ(vt_key_finish_negotiate_keys(&good_exa.ctx, m6.data(), m6.size()), 1);
        EXPECT_NE(errors.text().find(c.report), std::string::npos) << errors.text();
    }
    EXPECT_EQ(vt_key_finish_negotiate_keys(&good_exa.ctx, t.m6.data(), t.m6.size()), 0);
}

// ---- The serving side refuses what the examiner must not send ---------------

TEST(PeerStep, RefusesMessagesOutOfOrderOrOfWrongSize)
{
    vt_test::SyserrCapture errors;
    Examiner exa;
    std::array<uint8_t, fmt::kMsg1Size> m1{};
    ASSERT_EQ(vt_key_server_challenge_ping(&exa.ctx, m1), 0);
    bytes m3(fmt::kMsg3Size, 0), m5(fmt::kMsg5Size, 0);
    m3[0] = 3;
    m5[0] = 5;
    bytes m1_short(m1.begin(), m1.end() - 1);
    bytes unknown{9, 1, 2};
    struct Case {
        const char *name;
        const bytes message;
    } const cases[] = {
        {"message 3 first", m3},
        {"message 5 first", m5},
        {"short message 1", m1_short},
        {"unknown type", unknown},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer(fmt::kKindRaw);
        BufferPtr reply = new_buffer();
        errors.clear();
        EXPECT_EQ(vt_key_peer_answer(peer.peer, c.message.data(), c.message.size(), reply.get()), 1);
        EXPECT_NE(errors.text().find("failed to establish encryption with client"), std::string::npos);
        // A refused step ends the negotiation for good.
        EXPECT_EQ(vt_key_peer_answer(peer.peer, m1.data(), m1.size(), reply.get()), 1);
        EXPECT_FALSE(vt_key_peer_ready(peer.peer));
    }
}

TEST(PeerStep, RefusesAnExaminerWithoutTheChallengeKey)
{
    vt_test::SyserrCapture errors;
    Examiner exa;
    Peer peer(fmt::kKindCert);
    std::array<uint8_t, fmt::kMsg1Size> m1{};
    ASSERT_EQ(vt_key_server_challenge_ping(&exa.ctx, m1), 0);
    BufferPtr reply = new_buffer();
    ASSERT_EQ(vt_key_peer_answer(peer.peer, m1.data(), m1.size(), reply.get()), 0);
    bytes m3(fmt::kMsg3Size, 0xAB);
    m3[0] = 3;
    EXPECT_EQ(vt_key_peer_answer(peer.peer, m3.data(), m3.size(), reply.get()), 1);
    EXPECT_NE(errors.text().find("failed to validate the client challenge"), std::string::npos);
    EXPECT_EQ(peer.peer->dh, nullptr);
}

TEST(PeerStep, RefusesAPublicKeyLengthOver513)
{
    vt_test::SyserrCapture errors;
    for (uint32_t length : {0u, 514u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        Examiner exa;
        Peer peer(fmt::kKindCert);
        BufferPtr reply = new_buffer();
        std::array<uint8_t, fmt::kMsg1Size> m1{};
        ASSERT_EQ(vt_key_server_challenge_ping(&exa.ctx, m1), 0);
        ASSERT_EQ(vt_key_peer_answer(peer.peer, m1.data(), m1.size(), reply.get()), 0);
        bytes m2 = as_bytes(reply.get());
        std::array<uint8_t, fmt::kMsg3Size> m3{};
        ASSERT_EQ(vt_key_client_challenge_ping(&exa.ctx, m2.data(), m2.size(), m3), 0);
        ASSERT_EQ(vt_key_peer_answer(peer.peer, m3.data(), m3.size(), reply.get()), 0);
        bytes m4 = as_bytes(reply.get());
        std::array<uint8_t, fmt::kMsg5Size> m5{};
        ASSERT_EQ(vt_key_verify_secretkey_ping(&exa.ctx, m4.data(), m4.size(), m5), 0);
        fmt::store32(&m5[fmt::kMsg5KeyLengthOffset], length);
        errors.clear();
        EXPECT_EQ(vt_key_peer_answer(peer.peer, m5.data(), m5.size(), reply.get()), 1);
        EXPECT_NE(errors.text().find("invalid public key length"), std::string::npos);
        EXPECT_EQ(peer.peer->aes, nullptr);
    }
}

// ---- Encrypted framing ------------------------------------------------------

// One AES object seals and opens: its two contexts share the key.
class Framing : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(vt_rng_init(&rng), 0);
        std::array<uint8_t, 32> key{};
        ASSERT_EQ(vt_rng_rand_(rng, key.data(), key.size()), 0);
        ASSERT_EQ(vt_aes_init_(&aes, key.data(), key.size()), 0);
    }
    void TearDown() override
    {
        vt_aes_deit(&aes);
        vt_rng_deit(&rng);
    }

    // A frame payload (tag 1) whose plaintext is given byte for byte, encrypted with
    // a zero IV and carrying the fill count given.
    bytes encrypt_plain(const bytes &plain, uint8_t fill)
    {
        bytes payload(fmt::kTagSize + fmt::kAesHeaderSize + plain.size());
        fmt::store32(payload.data(), 1);
        payload[fmt::kTagSize + 16] = fill;
        EXPECT_EQ(vt_aes_set_encrypt_iv_(aes, payload.data() + fmt::kTagSize), 0);
        if (!plain.empty()) {
            EXPECT_EQ(vt_aes_encrypt(aes, plain.data(), plain.size(),
                                     payload.data() + fmt::kTagSize + fmt::kAesHeaderSize),
                      0);
        }
        return payload;
    }

    // A plaintext for a message: L, D, the LZ4 block, zero-filled to a multiple of 16.
    static bytes compress_plain(const bytes &message, uint8_t *fill)
    {
        bytes block(size_t(LZ4_compressBound(int(message.size()))));
        int packed = LZ4_compress_default(reinterpret_cast<const char *>(message.data()),
                                          reinterpret_cast<char *>(block.data()),
                                          int(message.size()), int(block.size()));
        bytes plain(8 + size_t(packed));
        fmt::store32(plain.data(), uint32_t(message.size()));
        fmt::store32(plain.data() + 4, uint32_t(packed));
        std::memcpy(plain.data() + 8, block.data(), size_t(packed));
        *fill = uint8_t((16 - plain.size() % 16) % 16);
        plain.resize(plain.size() + *fill, 0);
        return plain;
    }

    int open(bytes &payload, bytes *message, size_t capacity = kStackSize)
    {
        BufferPtr out = new_buffer();
        uint32_t tag = 0;
        int result = vt_key_frame_open(aes, payload.data(), payload.size(), &tag, out.get(), capacity);
        if (result == 0)
            *message = as_bytes(out.get());
        return result;
    }

    vt_rng *rng = nullptr;
    vt_aes *aes = nullptr;
};

TEST_F(Framing, EverySizeAroundThe16ByteBoundariesRoundTrips)
{
    // Random bytes barely compress, so 8 + D walks through every residue mod 16;
    // repeated bytes compress to a few bytes whatever the length.
    std::vector<bytes> messages;
    for (size_t length = 1; length <= 100; ++length) {
        messages.push_back(random_bytes(rng, length));
        messages.push_back(bytes(length, 0x5A));
    }
    std::array<bool, 16> residues{};
    for (const bytes &message : messages) {
        SCOPED_TRACE(message.size());
        BufferPtr payload = new_buffer();
        ASSERT_EQ(vt_key_frame_seal(aes, rng, 42, message.data(), message.size(), payload.get()), 0);
        // Payload: tag, IV, fill, m; m = 8 + D raised to a multiple of 16.
        size_t m = payload->used - 21;
        uint8_t fill = payload->data[20];
        ASSERT_EQ(m % 16, 0u);
        ASSERT_GT(m, 0u);
        ASSERT_LT(fill, 16);
        residues[(m - fill) % 16] = true;
        bytes frame = as_bytes(payload.get());
        bytes back;
        ASSERT_EQ(open(frame, &back), 0);
        EXPECT_EQ(back, message);
        EXPECT_EQ(fmt::load32(frame.data()), 42u);
    }
    EXPECT_EQ(residues, (std::array<bool, 16>{true, true, true, true, true, true, true, true,
                                              true, true, true, true, true, true, true, true}));
}

TEST_F(Framing, StackSizedMessageFitsTheSwitchedSendBuffer)
{
    // After the switch the send buffer is LZ4_compressBound of the stack size plus
    // the 29 header bytes; the first header goes at offset 29.
    size_t size = size_t(LZ4_compressBound(int(kStackSize + kSendHead)));
    EXPECT_EQ(size, 526437u);
    std::vector<uint8_t> stack(size);
    for (const bytes &message : {random_bytes(rng, kStackSize), bytes(kStackSize, 0)}) {
        size_t offset = kSendHead, length = 0;
        ASSERT_EQ(vt_key_lz4_pack(stack.data(), size, &offset, &length, message.data(), message.size()), 0);
        ASSERT_EQ(vt_key_aes_seal(aes, rng, stack.data(), size, &offset, &length), 0);
        ASSERT_EQ(offset, fmt::kTagSize);
        // The receive side decrypts in place and decompresses into its own buffer of
        // LZ4_compressBound(stack size + 25) bytes.
        size_t plain = 0;
        ASSERT_EQ(vt_key_aes_open(aes, stack.data() + offset, length, &plain), 0);
        std::vector<uint8_t> receive(size_t(LZ4_compressBound(int(kStackSize + 25))));
        EXPECT_EQ(receive.size(), 526433u);
        size_t out = 0;
        ASSERT_EQ(vt_key_lz4_unpack(stack.data() + offset + 17, plain, receive.data(), receive.size(), &out), 0);
        ASSERT_EQ(out, message.size());
        EXPECT_EQ(std::memcmp(receive.data(), message.data(), out), 0);
    }
}

TEST_F(Framing, IdenticalMessagesGetDifferentIvsAndCiphertexts)
{
    bytes message(48, 0x11);
    BufferPtr a = new_buffer(), b = new_buffer();
    ASSERT_EQ(vt_key_frame_seal(aes, rng, 1, message.data(), message.size(), a.get()), 0);
    ASSERT_EQ(vt_key_frame_seal(aes, rng, 1, message.data(), message.size(), b.get()), 0);
    ASSERT_EQ(a->used, b->used);
    EXPECT_NE(std::memcmp(a->data + 4, b->data + 4, 16), 0);
    EXPECT_NE(std::memcmp(a->data + 21, b->data + 21, a->used - 21), 0);
    // 48 bytes of one value compress to D bytes; the frame is 4 + 17 + m.
    int packed = LZ4_compressBound(48);
    std::vector<char> block(static_cast<size_t>(packed));
    int d = LZ4_compress_default(reinterpret_cast<const char *>(message.data()), block.data(), 48, packed);
    size_t m = (8 + size_t(d) + 15) / 16 * 16;
    EXPECT_EQ(a->used, 4 + 17 + m);
    EXPECT_EQ(a->data[20], m - (8 + size_t(d)));
}

TEST_F(Framing, SealRefusesWhenTheLastBlockHasNoRoom)
{
    vt_test::SyserrCapture errors;
    // 8 + D = 9 bytes need a 16-byte block, but only 9 bytes follow the offset.
    std::vector<uint8_t> stack(17 + 9);
    size_t offset = 17, length = 9;
    EXPECT_EQ(vt_key_aes_seal(aes, rng, stack.data(), stack.size(), &offset, &length), 1);
    EXPECT_EQ(offset, 17u);
    offset = 16;
    length = 16;
    std::vector<uint8_t> roomy(64);
    EXPECT_EQ(vt_key_aes_seal(aes, rng, roomy.data(), roomy.size(), &offset, &length), 1);
}

TEST_F(Framing, MalformedEncryptedFramesAreRefused)
{
    vt_test::SyserrCapture errors;
    bytes message(40, 'm');
    uint8_t fill = 0;
    bytes good = compress_plain(message, &fill);
    struct Case {
        const char *name;
        bytes payload;
        const char *report;
    };
    bytes short_d = good;
    fmt::store32(short_d.data() + 4, uint32_t(good.size() - 8 - fill + 1));
    bytes huge_d = good;
    fmt::store32(huge_d.data() + 4, 0xFFFFFFF0u);
    bytes big_l = good;
    fmt::store32(big_l.data(), uint32_t(kStackSize + 1));
    bytes wrong_l = good;
    fmt::store32(wrong_l.data(), 39);
    bytes longer_l = good;
    fmt::store32(longer_l.data(), 41);
    bytes garbage(32, 0xEE);
    fmt::store32(garbage.data(), 40);
    fmt::store32(garbage.data() + 4, 20);
    bytes tiny(16, 0);
    bytes ok = encrypt_plain(good, fill);
    const Case cases[] = {
        {"only the tag", bytes(4, 0), "invalid encrypted message length 0"},
        {"shorter than the tag", bytes(3, 0), "invalid payload of 3 bytes"},
        {"no ciphertext", bytes(ok.begin(), ok.begin() + 21), "invalid encrypted message length 17"},
        {"ciphertext of 15", bytes(ok.begin(), ok.begin() + 36), "invalid encrypted message length 32"},
        {"ciphertext of 17", [&] { bytes p = ok; p.push_back(0); return p; }(), "invalid encrypted message length"},
        {"fill count 16", encrypt_plain(good, 16), "invalid fill count 16"},
        {"fill count 255", encrypt_plain(good, 255), "invalid fill count 255"},
        {"compressed length beyond plaintext", encrypt_plain(short_d, fill), "exceeds the message"},
        {"compressed length near 2^32", encrypt_plain(huge_d, fill), "exceeds the message"},
        {"length beyond the buffer", encrypt_plain(big_l, fill), "exceeds the buffer"},
        {"length one short", encrypt_plain(wrong_l, fill), "failed to decompress"},
        {"length one long", encrypt_plain(longer_l, fill), "failed to decompress"},
        {"not an lz4 block", encrypt_plain(garbage, 0), "failed to decompress"},
        {"plaintext under 8 bytes", encrypt_plain(tiny, 15), "invalid compressed message length 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes payload = c.payload;
        bytes back;
        errors.clear();
        EXPECT_EQ(open(payload, &back), 1);
        EXPECT_NE(errors.text().find(c.report), std::string::npos) << errors.text();
    }
    bytes back;
    ASSERT_EQ(open(ok, &back), 0);
    EXPECT_EQ(back, message);
}

TEST_F(Framing, DecompressionStopsAtTheCapacity)
{
    vt_test::SyserrCapture errors;
    bytes message(4096, 0);
    BufferPtr payload = new_buffer();
    ASSERT_EQ(vt_key_frame_seal(aes, rng, 3, message.data(), message.size(), payload.get()), 0);
    bytes frame = as_bytes(payload.get());
    bytes back;
    EXPECT_EQ(open(frame, &back, 4095), 1);
    EXPECT_NE(errors.text().find("exceeds the buffer"), std::string::npos);
}

// ---- Loopback: an examiner channel against a serving side built from the framework

// Accepts one connection, answers the upgrade, then answers the negotiation with
// the serving side's steps and echoes every encrypted message back as "echo:" + it.
// `tamper` may change a negotiation reply (by its message number) before it leaves.
class KeyServer {
public:
    KeyServer(uint8_t kind, std::function<void(bytes &)> tamper = {}) : tamper_(std::move(tamper))
    {
        EXPECT_EQ(vt_key_peer_init(&peer_, kind), 0);
        EXPECT_EQ(vt_buffer_init(&reply_, 0), 0);
        EXPECT_EQ(vt_buffer_init(&message_, 0), 0);
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listen_fd_, 1), 0);
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept_one(); });
    }
    ~KeyServer()
    {
        shutdown(listen_fd_, SHUT_RDWR);
        acceptor_.join();
        close(listen_fd_);
        if (conn_)
            mg_close_connection(conn_);
        vt_buffer_deit(&message_);
        vt_buffer_deit(&reply_);
        vt_key_peer_deit(&peer_);
    }
    std::string url() const { return "127.0.0.1:" + std::to_string(port_) + "/sub"; }
    std::vector<bytes> received()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return received_;
    }

private:
    void accept_one()
    {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            return;
        mg_connection *conn = nullptr;
        if (mg_connection_init(&conn, fd, mg_role_server, this) || next_request(conn))
            return;
        std::string answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                             "Connection: Upgrade\r\n\r\n";
        iovec piece{answer.data(), answer.size()};
        if (pushv_all(conn, std::span<iovec>(&piece, 1)) != ssize_t(answer.size()))
            return;
        client_.data_handler = on_frame;
        client_.channel = this;
        conn_ = conn;
        EXPECT_EQ(mg_start_reader(conn, &client_), 0);
    }

    static int on_frame(mg_connection *conn, int, uint8_t *payload, size_t length, void *user)
    {
        auto *self = static_cast<KeyServer *>(user);
        if (length < fmt::kTagSize)
            return 1;
        uint32_t tag = fmt::load32(payload);
        if (!vt_key_peer_ready(self->peer_))
            return self->answer(conn, tag, payload + fmt::kTagSize, length - fmt::kTagSize);
        uint32_t opened_tag = 0;
        if (vt_key_frame_open(self->peer_->aes, payload, length, &opened_tag, self->message_, kStackSize))
            return 1;
        bytes message = as_bytes(self->message_);
        {
            std::lock_guard<std::mutex> hold(self->mutex_);
            self->received_.push_back(message);
        }
        bytes echo{'e', 'c', 'h', 'o', ':'};
        echo.insert(echo.end(), message.begin(), message.end());
        if (vt_key_frame_seal(self->peer_->aes, self->peer_->rng, tag, echo.data(), echo.size(),
                              self->reply_))
            return 1;
        return mg_websocket_write(conn, mg_opcode_binary, self->reply_->data, self->reply_->used) !=
               ssize_t(self->reply_->used);
    }

    int answer(mg_connection *conn, uint32_t tag, const uint8_t *message, size_t length)
    {
        if (vt_key_peer_answer(peer_, message, length, reply_))
            return 1;
        bytes frame(4);
        fmt::store32(frame.data(), tag);
        bytes reply = as_bytes(reply_);
        if (tamper_)
            tamper_(reply);
        frame.insert(frame.end(), reply.begin(), reply.end());
        return mg_websocket_write(conn, mg_opcode_binary, frame.data(), frame.size()) !=
               ssize_t(frame.size());
    }

    std::function<void(bytes &)> tamper_;
    vt_key_peer *peer_ = nullptr;
    vt_buffer *reply_ = nullptr;
    vt_buffer *message_ = nullptr;
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    mg_connection *conn_ = nullptr;
    vt_client client_{};
    std::mutex mutex_;
    std::vector<bytes> received_;
};

class Loopback : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(vt_cfg_init(&settings), 0);
        ASSERT_EQ(vt_cfg_set_caller(settings, inbox_dispatch, kStackSize), 0);
    }
    void TearDown() override
    {
        vt_web_deit(&channel);
        vt_cfg_deit(&settings);
    }
    // Waits (bounded, so a lost reply cannot hang the suite) for `count` messages.
    bool wait_messages(size_t count)
    {
        std::unique_lock<std::mutex> hold(inbox.mutex);
        return inbox.arrived.wait_for(hold, std::chrono::seconds(60),
                                      [&] { return inbox.messages.size() >= count; });
    }

    Inbox inbox;
    vt_cfg *settings = nullptr;
    vt_web *channel = nullptr;
};

TEST_P(Loopback, NegotiatesThenMessagesPassBothWays)
{
    KeyServer server(GetParam());
    ASSERT_EQ(vt_web_init(&channel, vt_web_type_client, server.url().c_str(), settings, &inbox), 0);
    // The stacks switched: buffers grown to LZ4's worst case of their sizes.
    EXPECT_EQ(channel->state->recv->size, 526433u);
    EXPECT_EQ(channel->state->send->size, 526437u);

    vt_rng *rng = channel->state->rng;
    const std::vector<bytes> messages = {bytes{0x42}, bytes(48, 0), random_bytes(rng, 1000),
                                         random_bytes(rng, 200000), bytes(kStackSize - 5, 7)};
    for (size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(vt_web_send_base(channel, messages[i].data(), messages[i].size(), nullptr,
                                   nullptr, 0, nullptr),
                  0);
        ASSERT_TRUE(wait_messages(i + 1));
        static constexpr char prefix[] = "echo:";
        bytes expected(prefix, prefix + sizeof prefix - 1);
        expected.resize(expected.size() + messages[i].size());
        std::copy(messages[i].begin(), messages[i].end(), expected.end() - messages[i].size());
        std::lock_guard<std::mutex> hold(inbox.mutex);
        EXPECT_EQ(inbox.messages[i], expected);
    }
    EXPECT_EQ(server.received(), messages);
    EXPECT_EQ(channel->failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, Loopback, ::testing::Values(fmt::kKindRaw, fmt::kKindCert),
                         [](const auto &info) {
                             return std::string(info.param == fmt::kKindRaw ? "Raw" : "Cert");
                         });

class LoopbackFailure : public Loopback {};

TEST_F(LoopbackFailure, TamperedRepliesFailChannelCreationWithTheReportsInOrder)
{
    struct Case {
        const char *name;
        std::function<void(bytes &)> tamper;
        std::vector<std::string> reports;
    } const cases[] = {
        {"wrong proof in message 2",
         [](bytes &m) { if (m[0] == 2) m[150] ^= 1; },
         {"failed to validate the server challenge", "client key negotiation failed on state 3",
          "failed to establish encryption with server",
          "connection disconnected on exception in receiving core"}},
        {"message 4 of kind 3",
         [](bytes &m) { if (m[0] == 4) m[1] = 3; },
         {"invalid client challenge response type 3", "client key negotiation failed on state 5",
          "failed to establish encryption with server"}},
        {"public key length over 513",
         [](bytes &m) { if (m[0] == 4) fmt::store32(m.data() + 653, 600); },
         {"invalid public key length 600", "client key negotiation failed on state 5"}},
        {"one bit of message 6",
         [](bytes &m) { if (m[0] == 6) m[30] ^= 0x10; },
         {"failed to verify the establish session key", "client key negotiation failed on state 7",
          "failed to establish encryption with server"}},
        {"message 4 in place of message 2",
         [](bytes &m) { if (m[0] == 2) m[0] = 4; },
         {"failed to establish encryption with server"}},
        {"unknown first byte",
         [](bytes &m) { if (m[0] == 2) m[0] = 9; },
         {"failed to establish encryption with server"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vt_test::SyserrCapture errors;
        {
            KeyServer server(fmt::kKindRaw, c.tamper);
            EXPECT_EQ(vt_web_init(&channel, vt_web_type_client, server.url().c_str(), settings, &inbox), 1);
            EXPECT_EQ(channel, nullptr);
        }
        size_t at = 0;
        for (const std::string &report : c.reports) {
            size_t found = errors.text().find(report, at);
            EXPECT_NE(found, std::string::npos) << report << "\n" << errors.text();
            if (found != std::string::npos)
                at = found;
        }
    }
}

// A peer that answers the upgrade and then never negotiates must not hold
// channel creation forever: the wait ends after the response time-out.
TEST_F(LoopbackFailure, PeerSilentAfterTheUpgradeTimesOut)
{
    vt_test::WsPeer::Options options;
    options.mode = vt_test::WsPeer::Mode::record;
    vt_test::WsPeer peer(options);
    settings->response_timeout_ms = 1500;
    vt_test::SyserrCapture errors;
    EXPECT_EQ(vt_web_init(&channel, vt_web_type_client, peer.url().c_str(), settings, &inbox), 1);
    EXPECT_EQ(channel, nullptr);
    EXPECT_NE(errors.text().find("timeout on key negotiation after 1500 ms"), std::string::npos)
        << errors.text();
}

// True when the reports appear in text in the given order.
::testing::AssertionResult reports_in_order(const std::string &text,
                                            const std::vector<std::string> &reports)
{
    size_t at = 0;
    for (const std::string &report : reports) {
        const size_t found = text.find(report, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "missing or out of order: " << report << "\n"
                                                 << text;
        at = found + report.size();
    }
    return ::testing::AssertionSuccess();
}

// Each failure a subject can cause during negotiation fails channel creation with
// one report per level, from the step up to the receiving core.
TEST_F(LoopbackFailure, EveryNegotiationFailureReportsEachLevelInOrder)
{
    const std::string establish = "failed to establish encryption with server";
    const std::string core = "connection disconnected on exception in receiving core";
    auto first_byte = [](uint8_t value) {
        return [value](bytes &m) { if (m[0] == 2) m[0] = value; };
    };
    struct Case {
        const char *name;
        std::function<void(bytes &)> tamper;
        std::vector<std::string> reports;
    } const cases[] = {
        {"message 2 of 160 bytes",
         [](bytes &m) { if (m[0] == 2) m.pop_back(); },
         {"invalid server challenge response", "client key negotiation failed on state 3",
          establish, core}},
        {"message 2 of 162 bytes",
         [](bytes &m) { if (m[0] == 2) m.push_back(0); },
         {"invalid server challenge response", "client key negotiation failed on state 3",
          establish, core}},
        {"message 4 of kind 3",
         [](bytes &m) { if (m[0] == 4) m[1] = 3; },
         {"invalid client challenge response type 3", "client key negotiation failed on state 5",
          establish, core}},
        // A flipped IV bit flips exactly one bit of the decrypted verification block.
        {"verification block off by one bit",
         [](bytes &m) { if (m[0] == 6) m[fmt::kMsg6IvOffset + 3] ^= 0x08; },
         {"failed to verify the establish session key", "client key negotiation failed on state 7",
          establish, core}},
        {"first byte 0", first_byte(0), {establish, core}},
        {"first byte 1", first_byte(1), {establish, core}},
        {"first byte 3", first_byte(3), {establish, core}},
        {"first byte 5", first_byte(5), {establish, core}},
        {"first byte 255", first_byte(255), {establish, core}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vt_test::SyserrCapture errors;
        {
            KeyServer server(fmt::kKindRaw, c.tamper);
            EXPECT_EQ(vt_web_init(&channel, vt_web_type_client, server.url().c_str(), settings, &inbox), 1);
            EXPECT_EQ(channel, nullptr);
        }
        EXPECT_TRUE(reports_in_order(errors.text(), c.reports));
    }
}

// A subject that holds a challenge key other than ours answers message 1 with a
// proof the examiner cannot confirm: negotiation ends at state 3.
TEST_F(LoopbackFailure, SubjectWithoutTheChallengeKeyFailsAtState3)
{
    vt_test::WsPeer::Options options;
    options.mode = vt_test::WsPeer::Mode::record;
    vt_test::WsPeer peer(options);
    std::thread subject([&peer] {
        if (!peer.wait_frames(1))
            return;
        const std::string m1 = peer.frames()[0].payload;
        if (m1.size() != fmt::kTagSize + fmt::kMsg1Size)
            return;
        const std::string other_key = "someone-elses-key-24byte";
        std::string m2(fmt::kMsg2Size, '\x5a');
        m2[0] = 2;
        vt_sha256_hmac_ex(reinterpret_cast<const uint8_t *>(other_key.data()), other_key.size(),
                          reinterpret_cast<const uint8_t *>(m1.data()) + fmt::kTagSize +
                              fmt::kMsg1ChallengeOffset,
                          fmt::kChallengeSize,
                          reinterpret_cast<uint8_t *>(m2.data()) + fmt::kMsg2ProofOffset,
                          fmt::kProofSize);
        peer.send(vt_test::WsPeer::encode(2, m1.substr(0, fmt::kTagSize) + m2));
    });
    vt_test::SyserrCapture errors;
    const int result = vt_web_init(&channel, vt_web_type_client, peer.url().c_str(), settings, &inbox);
    subject.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(channel, nullptr);
    EXPECT_TRUE(reports_in_order(errors.text(),
                                 {"failed to validate the server challenge",
                                  "client key negotiation failed on state 3",
                                  "failed to establish encryption with server",
                                  "connection disconnected on exception in receiving core"}));
}

size_t entries_of(const char *directory)
{
    size_t count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        (void)entry;
        ++count;
    }
    return count;
}

// Waits (bounded) until the process is back to `threads` threads and `fds` open
// descriptors; a thread or socket left behind keeps it from getting there.
::testing::AssertionResult back_to(size_t threads, size_t fds)
{
    size_t now_threads = 0, now_fds = 0;
    for (int i = 0; i < 500; ++i) {
        now_threads = entries_of("/proc/self/task");
        now_fds = entries_of("/proc/self/fd");
        if (now_threads <= threads && now_fds <= fds)
            return ::testing::AssertionSuccess();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ::testing::AssertionFailure() << now_threads << " threads (" << threads << " before), "
                                         << now_fds << " descriptors (" << fds << " before)";
}

// The subject leaves in the middle of the negotiation: creation fails, and no
// reader thread, socket or channel is left behind.
TEST_F(LoopbackFailure, SubjectLeavingMidNegotiationFailsCreationAndLeavesNothing)
{
    struct Case {
        const char *name;
        bool close_after_response;
        size_t close_after_frames;
    } const cases[] = {
        {"right after the upgrade", true, 0},
        {"after message 1", false, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t threads = entries_of("/proc/self/task");
        const size_t fds = entries_of("/proc/self/fd");
        {
            vt_test::WsPeer::Options options;
            options.mode = vt_test::WsPeer::Mode::record;
            options.close_after_response = c.close_after_response;
            options.close_after_frames = c.close_after_frames;
            vt_test::WsPeer peer(options);
            vt_test::SyserrCapture errors;
            EXPECT_EQ(vt_web_init(&channel, vt_web_type_client, peer.url().c_str(), settings, &inbox), 1);
            EXPECT_EQ(channel, nullptr);
        }
        EXPECT_TRUE(back_to(threads, fds));
    }
}

// A subject that accepts the connection and never answers the upgrade cannot hold
// channel creation: it fails once the response time-out has passed.
TEST_F(LoopbackFailure, SubjectSilentBeforeTheUpgradeFailsCreation)
{
    vt_test::WsPeer::Options options;
    options.mode = vt_test::WsPeer::Mode::silent;
    vt_test::WsPeer peer(options);
    settings->response_timeout_ms = 1000;
    vt_test::SyserrCapture errors;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vt_web_init(&channel, vt_web_type_client, peer.url().c_str(), settings, &inbox), 1);
    // Only guards against waiting forever.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(channel, nullptr);
    EXPECT_FALSE(peer.request().empty());
    EXPECT_NE(errors.text().find("failed to complete websocket upgrade request"), std::string::npos)
        << errors.text();
}

} // namespace
