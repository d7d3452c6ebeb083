// Fuzzes the WebSocket frame reader over a real socket: frame headers of every
// length encoding, masks, close frames and announced lengths beyond the ceiling,
// as a subject sends them after the upgrade.
#include "fuzz_reader.h"
#include "fuzz_support.h"

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
    fuzz::read_frames(conn, fuzz::kFramePayloadMax);
    return 0;
}
