// Pieces shared by the fuzz harnesses and the corpus generator: the fixed keys
// that let a harness open what the generator sealed, a quiet failure sink (a
// fuzzer provokes millions of failure reports), and a socket pair preloaded with
// the input so a reader can take the peer's bytes from a real socket.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "vt_crypt.h"
#include "vt_syslog.h"
#include "vt_web_key.h"

namespace fuzz {

// Session key of every encrypted input: harness and generator agree on it, so a
// seeded frame opens and mutations of it reach the decompressor.
inline constexpr std::array<uint8_t, vt_aes_key_size> kSessionKey = {
    0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f,
    0x1f, 0x2e, 0x3d, 0x4c, 0x5b, 0x6a, 0x79, 0x88, 0x97, 0xa6, 0xb5, 0xc4, 0xd3, 0xe2, 0xf1, 0x00};

// The examiner's challenge of message 1. Message 2 carries its proof, which a
// fuzzer cannot forge; with a fixed challenge a seeded message 2 passes the check.
inline std::array<uint8_t, vt_key_format::kChallengeSize> challenge()
{
    std::array<uint8_t, vt_key_format::kChallengeSize> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7 + 1);
    return bytes;
}

// Largest input a socket-driven harness takes: all of it must fit in the socket's
// buffer, since it is written before the reader starts.
inline constexpr size_t kSocketInputMax = 65536;

// Failure reports go nowhere; the formatting still runs over the peer's bytes.
inline void quiet_reports()
{
    if (syserr)
        vt_syslog_set_callback(syserr, vt_syslog_empty_cb, nullptr);
    else
        vt_syslog_init_cb(&syserr, vt_syslog_empty_cb, nullptr);
}

// A connected pair whose second end has the input waiting and then the end of the
// stream; returns the first end (to be owned by the reader), -1 on failure.
inline int preloaded_socket(const uint8_t *data, size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    size_t done = 0;
    while (done < size) {
        const ssize_t put = send(pair[1], data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put <= 0)
            break;
        done += size_t(put);
    }
    close(pair[1]);
    if (done < size) {
        close(pair[0]);
        return -1;
    }
    return pair[0];
}

} // namespace fuzz
