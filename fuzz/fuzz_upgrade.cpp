// Fuzzes what a subject answers to the WebSocket upgrade: the HTTP head is read
// from a real socket by next_request, judged as the client judges it (status
// 101), and when accepted the bytes behind the head go to the frame reader, as
// the first frames of a connection do.
#include <cstring>

#include "fuzz_support.h"
#include "fuzz_reader.h"
#include "vt_websocket.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quiet_reports();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > fuzz::kSocketInputMax)
        return 0;
    mg_connection *conn = nullptr;
    const int fd = fuzz::preloaded_socket(data, size);
    if (fd < 0 || mg_connection_init(&conn, fd, mg_role_client, nullptr))
        __builtin_trap();
    conn->response_timeout_ms = 1000;
    const bool parsed = next_request(conn) == 0;
    // Every text the parser hands out must end inside the head it read.
    const char *head_end = conn->buf + conn->header_length;
    const auto inside = [&](const char *text) {
        return !text || (text >= conn->buf && text < head_end &&
                         memchr(text, 0, size_t(head_end - text)) != nullptr);
    };
    if (parsed) {
        for (const char *token : conn->status_tokens)
            if (!inside(token))
                __builtin_trap();
        for (int i = 0; i < conn->num_headers; ++i)
            if (!conn->headers[i].name || !inside(conn->headers[i].name) ||
                !inside(conn->headers[i].value))
                __builtin_trap();
    }
    if (parsed && conn->status_tokens[1] && strcmp(conn->status_tokens[1], "101") == 0)
        fuzz::read_frames(conn, fuzz::kFramePayloadMax);
    else
        mg_close_connection(conn);
    return 0;
}
