// Local control socket between processes of one program on this machine: a
// unix object is either the server that owns the socket file and serves one
// connection at a time, or a client connected to it. Both exchange frames of a
// 4-byte big-endian length followed by the JSON text of one object.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vt_string.h"
#include "vt_syslog.h"

struct vt_buffer;
struct vt_cond;
struct vt_thread;

// Object types.
constexpr int32_t VT_UNIX_CLIENT = 1;
constexpr int32_t VT_UNIX_SERVER = 2;

// Opcodes of the standard messages (the "opcode" member of a frame's object).
constexpr int VT_UNIX_START = 1;   // {"opcode": 1}: the sender has started
constexpr int VT_UNIX_ERROR = 2;   // {"error": code, "opcode": 2}: result of the sender's work
constexpr int VT_UNIX_MESSAGE = 3; // {"message": text, "opcode": 3}: text for the user
constexpr int VT_UNIX_STOP = 4;    // {"opcode": 4}: the sender is done

// Frame layout: bytes 0-3 hold the payload length, unsigned big-endian; the payload
// (the encoded JSON text and its zero byte) follows.
constexpr size_t VT_UNIX_FRAME_HEADER = 4;
// Largest payload either side accepts. Legitimate frames are small JSON texts (the
// largest is a job document of a few kilobytes); a length field beyond this is
// refused before anything is allocated for it.
constexpr uint32_t VT_UNIX_FRAME_MAX = 16u * 1024u * 1024u;

// Socket paths must be shorter than this (the portable size of a socket address path).
constexpr size_t VT_UNIX_PATH_MAX = 104;

// Configuration defaults.
constexpr uint32_t VT_UNIX_SECONDS = 30;       // a client's wait for the socket file
constexpr size_t VT_UNIX_BUFFER_SIZE = 524288; // initial receive buffer

// Frame handler, run on the object's thread: (descriptor, payload, payload length,
// user data) -> 0 to keep reading, non-zero to end the connection. It may answer on
// the descriptor with vt_unix_send_frame; it must not destroy its own object.
typedef int (*vt_unix_handler)(int descriptor, const uint8_t *bytes, size_t length, void *user);

struct vt_unix_cfg {
    uint32_t seconds;
    size_t buffer_size;
    vt_unix_handler handler;
    void *user;
};

struct vt_unix {
    int32_t descriptor;         // listening (server) or connected (client) socket; -1 for none
    int32_t type;               // VT_UNIX_CLIENT or VT_UNIX_SERVER
    vt_cond *stopped;           // signalled when the object's thread ends
    vt_string path;             // socket file path
    vt_thread *thread;
    vt_lock *lock;              // held by every send, so frames never interleave
    vt_buffer *message;         // formatting area of vt_unix_send_message
    std::atomic<int32_t> stop;  // set by vt_unix_deit; the thread polls it
    const vt_unix_cfg *cfg;     // not owned; must outlive the object
    int32_t connection;         // server: connection being served, -1 for none; under lock
};

// User data of the standard server handler: the error code of an opcode 2 frame,
// and the event signalled by opcodes 1 and 4.
struct vt_unix_signal {
    int32_t error;
    vt_cond *event;
    // Set by the standard server handler when the stop frame arrives, before it
    // signals. The event is auto-reset, so a start and a stop that both arrive
    // before the first wait leave one signal: a waiter that needs both tells the
    // stop by this flag rather than by a second wake-up.
    std::atomic<int32_t> stopped{0};
};

// Every operation returns 0 on success and 1 on failure.

// New configuration with the defaults above.
int vt_unix_cfg_init(vt_unix_cfg **slot, vt_unix_handler handler, void *user);
int vt_unix_cfg_deit(vt_unix_cfg **slot);
int vt_unix_cfg_seconds(vt_unix_cfg *cfg, uint32_t seconds);

// Creates a server (listening on path, file mode 0600) or a client (connected to
// path) and starts its thread. On failure nothing is left behind.
int vt_unix_init(vt_unix **slot, const vt_unix_cfg *cfg, const char *path, int32_t type);
// Stops and joins the thread, closes the socket (a server also deletes its socket
// file) and frees the object.
int vt_unix_deit(vt_unix **slot);

// Sends one frame on a connected descriptor; not serialised with other senders.
int vt_unix_send_frame(int descriptor, const void *bytes, size_t length);
// Send one frame on the object's connection (a client's socket, or the connection a
// server is serving), each under the object's lock.
int vt_unix_send(vt_unix *object, const void *bytes, size_t length);
int vt_unix_send_opcode(vt_unix *object, int opcode);
int vt_unix_send_error(vt_unix *object, int code);
int vt_unix_send_message(vt_unix *object, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Standard handler of the waiting side; user data is a vt_unix_signal. Opcode 3
// writes the text to standard output, 2 stores the error code, 1 signals the event,
// any other opcode signals the event and ends the connection.
int vt_unix_server(int descriptor, const uint8_t *bytes, size_t length, void *user);
// Standard handler of the other side: ignores every frame and keeps reading.
int vt_unix_client(int descriptor, const uint8_t *bytes, size_t length, void *user);

// Log callback: sends the finished message unchanged as an opcode 3 frame to the
// peer of the vt_unix given as user data. Reports nothing (it may be the failure
// reporter's own callback), so a lost peer only drops the message.
void vt_unix_syslog_cb(const char *text, size_t length, void *user, unsigned level);
