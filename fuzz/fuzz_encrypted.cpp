// Fuzzes the receive path of encrypted frames. The first byte picks the layer:
// even, the rest is a whole frame payload (tag, IV, fill count, ciphertext) for
// vt_key_frame_open under the session key; odd, the rest is a plaintext (L, D,
// LZ4 block), unpacked directly and also sealed and opened again, and both ways
// must agree. Random ciphertext decrypts to noise, so the odd inputs are what
// reach the decompressor's checks with structure.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "vt_buffer.h"

namespace fmt = vt_key_format;

namespace {

// As much as an examiner channel's receive stack holds for one message.
constexpr size_t kCapacity = 65536;

vt_rng *rng;
vt_aes *session;

struct buffer_free {
    void operator()(vt_buffer *buffer) const { vt_buffer_deit(&buffer); }
};
using buffer_ptr = std::unique_ptr<vt_buffer, buffer_free>;

buffer_ptr new_buffer()
{
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, 64))
        __builtin_trap();
    return buffer_ptr(raw);
}

void open_payload(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> payload(data, data + size);
    const buffer_ptr message = new_buffer();
    uint32_t tag = 0;
    if (vt_key_frame_open(session, payload.data(), payload.size(), &tag, message.get(), kCapacity) == 0 &&
        message->used > kCapacity)
        __builtin_trap();
}

// Seals the plaintext as vt_key_aes_seal does for a sender: IV and fill count in
// front, the last block filled with zeros.
std::vector<uint8_t> seal_plaintext(const std::vector<uint8_t> &plain)
{
    std::vector<uint8_t> frame(fmt::kTagSize + fmt::kAesHeaderSize + plain.size() + vt_aes_block_size);
    size_t offset = fmt::kTagSize + fmt::kAesHeaderSize, length = plain.size();
    std::memcpy(frame.data() + offset, plain.data(), plain.size());
    if (vt_key_aes_seal(session, rng, frame.data(), frame.size(), &offset, &length) ||
        offset != fmt::kTagSize)
        __builtin_trap();
    fmt::store32(frame.data(), 7);
    frame.resize(fmt::kTagSize + length);
    return frame;
}

void unpack_plaintext(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> plain(data, data + size);
    std::vector<uint8_t> direct(kCapacity);
    size_t direct_length = 0;
    const int direct_failed =
        vt_key_lz4_unpack(plain.data(), plain.size(), direct.data(), direct.size(), &direct_length);
    if (plain.empty())
        return; // an empty plaintext cannot be sealed
    std::vector<uint8_t> frame = seal_plaintext(plain);
    const buffer_ptr message = new_buffer();
    uint32_t tag = 0;
    const int opened_failed =
        vt_key_frame_open(session, frame.data(), frame.size(), &tag, message.get(), kCapacity);
    if (direct_failed != opened_failed)
        __builtin_trap();
    if (!direct_failed && (tag != 7 || message->used != direct_length ||
                           std::memcmp(message->data, direct.data(), direct_length) != 0))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quiet_reports();
    if (vt_rng_init(&rng) || vt_aes_init_(&session, fuzz::kSessionKey.data(), fuzz::kSessionKey.size()))
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] & 1)
        unpack_plaintext(data + 1, size - 1);
    else
        open_payload(data + 1, size - 1);
    return 0;
}
