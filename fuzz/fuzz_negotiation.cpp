// Fuzzes the examiner's side of key negotiation: every input is offered as
// message 2, message 4 and message 6, each to its own step with the state that
// step expects (the challenge of message 1, an empty AES holder, the session's
// AES object). Settings ask to inherit the subject's parameters, so message 4's
// prime, base and certificate are copied as well as used.
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "vt_cfg.h"

namespace fmt = vt_key_format;

namespace {

vt_rng *rng;
vt_aes *session;

// An exact copy of the input on the heap, so reading past the message is seen;
// never null, as a frame's payload handed to the steps never is.
struct message_copy {
    explicit message_copy(const uint8_t *data, size_t length)
        : bytes(new uint8_t[length]), size(length)
    {
        std::memcpy(bytes.get(), data, length);
    }
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
};

struct cfg_free {
    void operator()(vt_cfg *cfg) const { vt_cfg_deit(&cfg); }
};

void offer_message2(const message_copy &message)
{
    std::array<uint8_t, fmt::kChallengeSize> challenge = fuzz::challenge();
    vt_key_client_ctx ctx{rng, challenge.data(), nullptr, nullptr};
    std::array<uint8_t, fmt::kMsg3Size> reply{};
    vt_key_client_challenge_ping(&ctx, message.bytes.get(), message.size, reply);
    // The challenge is spent whatever the outcome.
    for (uint8_t byte : challenge)
        if (byte)
            __builtin_trap();
}

void offer_message4(const message_copy &message)
{
    vt_cfg *raw = nullptr;
    if (vt_cfg_init(&raw))
        __builtin_trap();
    std::unique_ptr<vt_cfg, cfg_free> settings(raw);
    settings->inherit = 1;
    vt_aes *aes = nullptr;
    vt_key_client_ctx ctx{rng, nullptr, &aes, settings.get()};
    std::array<uint8_t, fmt::kMsg5Size> reply{};
    const int failed = vt_key_verify_secretkey_ping(&ctx, message.bytes.get(), message.size, reply);
    if (failed == (aes != nullptr))
        __builtin_trap();
    if (!failed && (fmt::load32(&reply[fmt::kMsg5KeyLengthOffset]) == 0 ||
                    fmt::load32(&reply[fmt::kMsg5KeyLengthOffset]) > vt_dh_key_max))
        __builtin_trap();
    vt_aes_deit(&aes);
}

void offer_message6(const message_copy &message)
{
    vt_key_client_ctx ctx{rng, nullptr, &session, nullptr};
    vt_key_finish_negotiate_keys(&ctx, message.bytes.get(), message.size);
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
    // Each step gets its own copy: a step may not rely on what another changed.
    offer_message2(message_copy(data, size));
    offer_message4(message_copy(data, size));
    offer_message6(message_copy(data, size));
    return 0;
}
