// The WebSocket connection layer: one TCP connection upgraded to WebSocket, a
// frame writer (one gather write per frame), one reader thread per connection
// that hands every received frame to a handler, and an orderly close.
//
// The frame reader and writer do not depend on the role: a server that accepted
// a socket and answered the upgrade itself wraps it with mg_connection_init and
// starts the same reader with mg_start_reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "vt_buffer.h"
#include "vt_thread.h"

// ---- Wire constants of a frame (all multi-byte numbers big-endian) ----------------
//  byte 0      FIN (0x80) | opcode (low 4 bits)
//  byte 1      mask bit (0x80) | length 0..125, or 126 (16-bit length follows),
//              or 127 (64-bit length follows)
//  then        extended length (0, 2 or 8 bytes), mask key (0 or 4 bytes), payload
inline constexpr uint8_t mg_frame_fin = 0x80;
inline constexpr uint8_t mg_frame_opcode_mask = 0x0F;
inline constexpr uint8_t mg_frame_mask_bit = 0x80;
inline constexpr uint8_t mg_frame_length_mask = 0x7F;
inline constexpr uint8_t mg_frame_length_16 = 126;
inline constexpr uint8_t mg_frame_length_64 = 127;
inline constexpr size_t mg_frame_short_max = 125;
inline constexpr size_t mg_frame_medium_max = 65535;
inline constexpr size_t mg_frame_header_max = 10;
inline constexpr size_t mg_frame_mask_key_size = 4;
inline constexpr int mg_opcode_binary = 2;
inline constexpr int mg_opcode_close = 8;

// ---- Connection limits --------------------------------------------------------------
inline constexpr size_t mg_header_buffer_size = 16384;
inline constexpr int mg_header_max = 64;
inline constexpr unsigned mg_connect_timeout_ms = 25000;
// A peer that accepts TCP but never answers the upgrade fails the connect after this.
inline constexpr unsigned mg_response_timeout_ms = 25000;
inline constexpr int mg_receive_buffer_size = 61440;
inline constexpr int mg_send_timeout_s = 60;
// Ceiling of a received frame's payload when the owner names no tighter limit; a
// longer announced length ends the reader before anything is allocated.
inline constexpr uint64_t mg_payload_max = 64u << 20;
// The fixed upgrade key (16 bytes in Base64), the same on every connection.
inline constexpr char mg_websocket_key[] = "dGhlIHNhbXBsZSBub25jZQ==";

inline constexpr int mg_role_server = 1;
inline constexpr int mg_role_client = 2;

struct mg_connection;
struct vt_client;

// Called for every received frame; a non-zero result stops the reader.
typedef int (*mg_data_handler)(mg_connection *conn, int opcode, uint8_t *payload, size_t length,
                               void *user);
// Called once on the reader thread after the reader has stopped.
typedef void (*mg_close_handler)(const mg_connection *conn, void *user);
// Called once on the reader thread before the first frame is read.
typedef void (*mg_init_handler)(const mg_connection *conn, void *user);

struct mg_context {
    // Non-zero tells the reader loop and every socket read or write to stop.
    std::atomic<int32_t> stop_flag;
    void *user_data;
    int role;
    vt_thread *thread;
};

struct mg_header {
    const char *name;
    const char *value;
};

struct mg_connection {
    mg_context *ctx;
    void *channel;
    void *user_connection_data;
    char *buf; // the raw HTTP head of the upgrade, zero-terminated
    size_t buf_size;
    const char *status_tokens[3]; // version, status code, reason (or method, target, version)
    mg_header headers[mg_header_max];
    int num_headers;
    size_t header_length; // bytes up to and including the empty line
    size_t data_length;   // bytes read into buf in total
    int fd;
    sockaddr_storage local_addr;
    sockaddr_storage peer_addr;
    socklen_t peer_addr_len;
    vt_buffer *text;
    std::atomic<int32_t> closing;
    // Bytes read together with the HTTP head (buf[header_length..data_length)) that
    // belong to the first frame; the reader consumes them before reading the socket.
    size_t pending_offset;
    uint64_t payload_max;
    unsigned response_timeout_ms;
};

// The client record the owner fills before connecting. The two limits select the
// defaults (mg_payload_max, mg_response_timeout_ms) when left 0.
struct vt_client {
    mg_connection *conn;
    mg_data_handler data_handler;
    mg_close_handler close_handler;
    void *channel;
    mg_init_handler init;
    void *init_user_data;
    mg_connection *result;
    uint64_t payload_max;
    unsigned response_timeout_ms;
};

// Opens, upgrades and starts the reader; none on failure, with nothing left behind.
mg_connection *mg_connect_websocket_client(const char *host, const char *port, const char *path,
                                           vt_client *client);
// Writes one unmasked frame; returns the payload bytes written (length on success).
ssize_t mg_websocket_write(mg_connection *conn, int opcode, const void *data, size_t length);
// Stops the reader, closes the socket, joins the reader and frees the connection.
// Must not be called on the reader thread.
void mg_close_connection(mg_connection *conn);

void *mg_get_user_connection_data(const mg_connection *conn);
mg_context *mg_get_context(const mg_connection *conn);
void *mg_get_user_data(const mg_context *ctx);

// ---- Building blocks, shared with the serving side -----------------------------------
// Wraps a connected descriptor (owned from now on, also on failure) in a new
// connection record with its context. 0 on success, 1 on failure.
int mg_connection_init(mg_connection **slot, int fd, int role, void *user_data);
// Stores the connection in the client record and starts the reader thread on it.
int mg_start_reader(mg_connection *conn, vt_client *client);
// Reads and parses one HTTP head (response or request) into the connection, with
// the connection's receive timeout. 0 on success.
int next_request(mg_connection *conn);
int parse_http_headers(char **text, size_t length, mg_connection *conn);
// Writes every byte of every piece (the pieces are advanced in place); the number of
// bytes written, or -1 when nothing could be written.
ssize_t pushv_all(mg_connection *conn, std::span<iovec> pieces);
// The first frame header for a payload of `length` bytes; returns its size (2, 4 or 10).
size_t mg_frame_header(uint8_t header[mg_frame_header_max], int opcode, uint64_t length);
void mg_connection_close(mg_connection *conn);
void mg_connection_deit(mg_connection **slot);
