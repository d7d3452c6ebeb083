// What an examiner-side channel's dispatcher received, for tests that drive a
// channel: the messages in arrival order, reached through the channel's user data.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "vt_web.h"

namespace vt_test {

struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<uint8_t>> messages;
};

// A channel dispatcher: appends the message to the Inbox that is the channel's
// user data and wakes whoever waits for it.
int inbox_dispatch(mg_connection *conn, int opcode, uint8_t *data, size_t length,
                   vt_web *channel);

} // namespace vt_test
