// Runs the WebSocket frame reader of a connection to its end: the reader thread
// takes the peer's bytes from the connection's socket until the stream ends or
// the framing breaks, and every frame it hands out is read whole, so the
// sanitizers see any frame whose payload is not what its length says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_thread.h"
#include "vt_websocket.h"

namespace fuzz {

// A tight frame ceiling, as a channel sets one, so lengths just beyond it matter.
inline constexpr uint64_t kFramePayloadMax = 16384;

struct reader_end {
    vt_cond *done;
    size_t frames;
    volatile uint8_t sink;
};

inline int touch_frame(mg_connection *, int opcode, uint8_t *payload, size_t length, void *user)
{
    auto *end = static_cast<reader_end *>(user);
    if (opcode < 0 || opcode > 15 || (length && !payload))
        __builtin_trap();
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum ^= payload[i];
    end->sink = sum;
    ++end->frames;
    return 0;
}

inline void reader_closed(const mg_connection *, void *user)
{
    vt_cond_signal(static_cast<reader_end *>(user)->done);
}

// Starts the reader on the connection, waits for it to stop by itself, then closes
// and frees the connection.
inline void read_frames(mg_connection *conn, uint64_t payload_max)
{
    reader_end end{};
    vt_client client{};
    client.data_handler = touch_frame;
    client.close_handler = reader_closed;
    client.channel = &end;
    conn->payload_max = payload_max;
    if (vt_cond_init(&end.done) || mg_start_reader(conn, &client))
        __builtin_trap();
    // The peer's end is closed, so the reader always ends; a hang is a finding.
    vt_cond_wait(end.done);
    mg_close_connection(conn);
    vt_cond_deit(&end.done);
}

} // namespace fuzz
