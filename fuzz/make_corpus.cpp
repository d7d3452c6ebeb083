// Writes the seed inputs of every fuzz harness: a real upgrade response, frames
// of each length encoding, negotiation messages from an in-memory negotiation
// with our own agent's serving side, encrypted frames under the harnesses'
// session key, protocol responses and control-socket frames.
// Usage: fuzz_make_corpus CORPUS_DIR (writes CORPUS_DIR/<harness>/<seed>).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_reader.h"
#include "fuzz_support.h"
#include "vt_buffer.h"
#include "vt_protocol.h"
#include "vt_websocket.h"

namespace fmt = vt_key_format;
using bytes = std::vector<uint8_t>;

static std::filesystem::path root;

static void save(const char *harness, const char *name, const bytes &content)
{
    const std::filesystem::path directory = root / harness;
    std::filesystem::create_directories(directory);
    std::ofstream(directory / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(content.data()), std::streamsize(content.size()));
}

static bytes text(std::string_view value)
{
    return bytes(value.begin(), value.end());
}

static bytes join(std::initializer_list<bytes> pieces)
{
    bytes all;
    for (const bytes &piece : pieces)
        all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

static bytes pattern(size_t length)
{
    bytes content(length);
    for (size_t i = 0; i < length; ++i)
        content[i] = uint8_t(i * 31 + 5);
    return content;
}

// One frame as the writer sends it, or with a forced length encoding and a mask.
static bytes frame(int opcode, const bytes &payload, size_t extended = SIZE_MAX, bool masked = false)
{
    uint8_t header[mg_frame_header_max];
    size_t size = mg_frame_header(header, opcode, payload.size());
    bytes out(header, header + 2);
    if (extended != SIZE_MAX) {
        out[1] = uint8_t(extended == 2 ? mg_frame_length_16 : mg_frame_length_64);
        for (size_t i = 0; i < extended; ++i)
            out.push_back(uint8_t(uint64_t(payload.size()) >> (8 * (extended - 1 - i))));
    } else {
        out.insert(out.end(), header + 2, header + size);
    }
    bytes body = payload;
    if (masked) {
        out[1] |= mg_frame_mask_bit;
        const uint8_t mask[4] = {0x37, 0xfa, 0x21, 0x3d};
        out.insert(out.end(), mask, mask + 4);
        for (size_t i = 0; i < body.size(); ++i)
            body[i] ^= mask[i % 4];
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

static void upgrade_and_frames()
{
    const bytes accepted = text("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\n"
                                "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    save("upgrade", "accepted", accepted);
    save("upgrade", "accepted-with-frames",
         join({accepted, frame(mg_opcode_binary, pattern(40)), frame(mg_opcode_close, {})}));
    save("upgrade", "refused", text("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    save("upgrade", "request", text("GET /vantrel HTTP/1.1\r\nHost: subject:8080\r\n"
                                    "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                    "Sec-WebSocket-Version: 13\r\n\r\n"));

    save("frame", "short", frame(mg_opcode_binary, pattern(100)));
    save("frame", "medium", frame(mg_opcode_binary, pattern(300)));
    save("frame", "long-encoding", frame(mg_opcode_binary, pattern(200), 8));
    save("frame", "masked", frame(mg_opcode_binary, pattern(130), SIZE_MAX, true));
    save("frame", "sequence-then-close",
         join({frame(mg_opcode_binary, {}), frame(mg_opcode_binary, pattern(5)),
               frame(mg_opcode_binary, pattern(126), 2), frame(mg_opcode_close, {})}));
    save("frame", "long-encoding-small", frame(mg_opcode_binary, pattern(16), 8));
    // Announces one byte over the harness's frame ceiling.
    bytes over = frame(mg_opcode_binary, pattern(2), 8);
    for (int i = 0; i < 8; ++i)
        over[2 + i] = uint8_t((fuzz::kFramePayloadMax + 1) >> (8 * (7 - i)));
    save("frame", "beyond-ceiling", over);
}

// Message 1 over the harnesses' fixed challenge, then the serving side's answers,
// the examiner's replies and a message 6 under the harnesses' session key.
static int negotiation(uint8_t kind, const char *suffix)
{
    vt_key_peer *peer = nullptr;
    vt_buffer *reply = nullptr;
    vt_rng *rng = nullptr;
    if (vt_key_peer_init(&peer, kind) || vt_buffer_init(&reply, 1024) || vt_rng_init(&rng))
        return 1;
    std::array<uint8_t, fmt::kChallengeSize> challenge = fuzz::challenge();
    bytes message1(fmt::kMsg1Size);
    message1[0] = 1;
    std::memcpy(&message1[fmt::kMsg1ChallengeOffset], challenge.data(), challenge.size());
    if (vt_key_peer_answer(peer, message1.data(), message1.size(), reply))
        return 1;
    const bytes message2(reply->data, reply->data + reply->used);
    vt_aes *aes = nullptr;
    vt_key_client_ctx ctx{rng, challenge.data(), &aes, nullptr};
    std::array<uint8_t, fmt::kMsg3Size> message3;
    if (vt_key_client_challenge_ping(&ctx, message2.data(), message2.size(), message3) ||
        vt_key_peer_answer(peer, message3.data(), message3.size(), reply))
        return 1;
    const bytes message4(reply->data, reply->data + reply->used);
    std::array<uint8_t, fmt::kMsg5Size> message5;
    if (vt_key_verify_secretkey_ping(&ctx, message4.data(), message4.size(), message5) ||
        vt_key_peer_answer(peer, message5.data(), message5.size(), reply) ||
        vt_key_finish_negotiate_keys(&ctx, reply->data, reply->used))
        return 1;
    save("negotiation", (std::string("message2-") + suffix).c_str(), message2);
    save("negotiation", (std::string("message4-") + suffix).c_str(), message4);
    vt_aes_deit(&aes);
    vt_key_peer_deit(&peer);
    vt_buffer_deit(&reply);
    vt_rng_deit(&rng);
    return 0;
}

static int message6()
{
    vt_aes *aes = nullptr;
    if (vt_aes_init_(&aes, fuzz::kSessionKey.data(), fuzz::kSessionKey.size()))
        return 1;
    bytes message(fmt::kMsg6Size);
    message[0] = 6;
    for (size_t i = 0; i < vt_aes_block_size; ++i)
        message[fmt::kMsg6IvOffset + i] = uint8_t(0xa0 + i);
    const int failed = vt_aes_set_encrypt_iv_(aes, &message[fmt::kMsg6IvOffset]) ||
                       vt_aes_encrypt(aes, fmt::kVerifyBlock.data(), fmt::kVerifySize,
                                      &message[fmt::kMsg6BlockOffset]);
    vt_aes_deit(&aes);
    if (!failed)
        save("negotiation", "message6", message);
    return failed;
}

// A JSON-layout response: header, then the text with its zero byte counted.
static bytes response(uint8_t opcode, uint32_t error, std::string_view json)
{
    bytes message(vt_ptc_format::kHeaderSize);
    message[0] = opcode;
    fmt::store32(&message[vt_ptc_format::kJsonErrorOffset], error);
    fmt::store32(&message[vt_ptc_format::kJsonLengthOffset], uint32_t(json.size() + (json.empty() ? 0 : 1)));
    message.insert(message.end(), json.begin(), json.end());
    if (!json.empty())
        message.push_back(0);
    return message;
}

static const std::string kTargetList =
    R"({"targets": [{"block_count": "2048", "block_size": 512, "id": 1, "name": "disk0", "type": 1}]})";

static void protocol()
{
    save("protocol", "target-list", response(VT_PTC_TARGET_LIST_RES, 0, kTargetList));
    save("protocol", "login-refused", response(VT_PTC_SUBJECT_LOGIN_RES, 5, R"({"error": "bad password"})"));
    save("protocol", "logout", response(VT_PTC_TARGET_LOGOUT_RES, 0, ""));
    bytes read(vt_ptc_format::kHeaderSize);
    read[0] = VT_PTC_TARGET_READ_RES;
    read[vt_ptc_format::kReadLengthOffset + 7] = 16;
    read[vt_ptc_format::kReadFlagsOffset + 3] = 1;
    const bytes data = pattern(16);
    read.insert(read.end(), data.begin(), data.end());
    save("protocol", "read-response", read);
}

// Encrypted frames: whole payloads (first byte even) and plaintexts (odd).
static int encrypted()
{
    vt_aes *aes = nullptr;
    vt_rng *rng = nullptr;
    vt_buffer *payload = nullptr;
    if (vt_aes_init_(&aes, fuzz::kSessionKey.data(), fuzz::kSessionKey.size()) || vt_rng_init(&rng) ||
        vt_buffer_init(&payload, 256))
        return 1;
    const bytes messages[] = {response(VT_PTC_TARGET_LIST_RES, 0, kTargetList),
                              response(VT_PTC_TARGET_LOGOUT_RES, 0, ""), pattern(1000)};
    const char *names[] = {"target-list", "logout", "pattern"};
    for (size_t i = 0; i < std::size(messages); ++i) {
        const bytes &message = messages[i];
        if (vt_key_frame_seal(aes, rng, uint32_t(i + 2), message.data(), message.size(), payload))
            return 1;
        save("encrypted", (std::string("frame-") + names[i]).c_str(),
             join({{0}, bytes(payload->data, payload->data + payload->used)}));
        bytes plain(fmt::kLz4HeaderSize + message.size() + message.size() / 255 + 32);
        size_t offset = fmt::kLz4HeaderSize, length = 0;
        if (vt_key_lz4_pack(plain.data(), plain.size(), &offset, &length, message.data(), message.size()))
            return 1;
        save("encrypted", (std::string("plain-") + names[i]).c_str(),
             join({{1}, bytes(plain.begin() + long(offset), plain.begin() + long(offset + length))}));
    }
    vt_buffer_deit(&payload);
    vt_rng_deit(&rng);
    vt_aes_deit(&aes);
    return 0;
}

static bytes control(std::string_view json)
{
    bytes out(4);
    fmt::store32(out.data(), uint32_t(json.size() + 1));
    out.insert(out.end(), json.begin(), json.end());
    out.push_back(0);
    return out;
}

static void unix_frames()
{
    save("unix", "start", control(R"({"opcode": 1})"));
    save("unix", "launch", join({control(R"({"opcode": 1})"),
                                 control(R"({"message": "Connected to subject lab.\n", "opcode": 3})"),
                                 control(R"({"error": 0, "opcode": 2})"), control(R"({"opcode": 4})")}));
    save("unix", "failed", join({control(R"({"error": 7, "opcode": 2})"), control(R"({"opcode": 4})")}));
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    root = argv[1];
    upgrade_and_frames();
    protocol();
    unix_frames();
    if (negotiation(fmt::kKindRaw, "raw") || negotiation(fmt::kKindCert, "cert") || message6() ||
        encrypted()) {
        std::fprintf(stderr, "failed to build the negotiation or encrypted seeds\n");
        return 1;
    }
    return 0;
}
