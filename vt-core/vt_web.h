// The channel: one subject link made of a WebSocket connection, a send stack and
// a receive stack of handlers, the tag counter and the table of tasks that wait for
// responses. Every frame carries a 4-byte big-endian tag in front of its message.
//
// Key negotiation plugs in through vt_web_keying: a receive handler that drives it
// (and swaps the stacks' handlers when done) and the step that opens it. The
// examiner's vt_web_init(slot, type, url, settings, user) passes its own keying to
// the six-argument vt_web_init; with none, the channel keeps clear framing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vt_cfg.h"
#include "vt_core.h"
#include "vt_crypt.h"
#include "vt_cycler.h"
#include "vt_syslog.h"
#include "vt_task.h"
#include "vt_thread.h"
#include "vt_url.h"
#include "vt_websocket.h"

inline constexpr int vt_web_type_client = 1;
inline constexpr int vt_web_type_server = 2;
inline constexpr size_t vt_web_tag_size = 4;
inline constexpr size_t vt_web_challenge_size = 128;
// Room a received frame may need beyond the receive stack's size (after the stack
// has grown by LZ4's worst case): the tag, the encryption and compression headers
// and one fill block, generously rounded up. A longer announced frame is refused
// before anything is read or allocated.
inline constexpr size_t vt_web_frame_slack = 4096;

// Handler names on the stacks, as the key negotiation finds and swaps them.
inline constexpr char vt_web_recv_base_name[] = "vt_protocol";
inline constexpr char vt_web_send_base_name[] = "vt_web_send";
inline constexpr char vt_web_copy_send_name[] = "vt_web_copy_send";
inline constexpr char vt_web_task_send_name[] = "vt_web_task_send";
inline constexpr char vt_web_task_recv_name[] = "vt_web_task_recv";

struct vt_web;

struct vt_unique {
    vt_aes *aes; // from the agreed key on
    vt_dh *dh;   // only while the key is being agreed
    uint8_t challenge[vt_web_challenge_size];
    uint32_t tag; // the last tag sent
    vt_task *task; // the current task, locked while current
    vt_tree *tree;
    vt_rng *rng;
    vt_core *recv;
    vt_core *send;
    vt_web *web;
    mg_connection *conn;
};

// How a channel secures itself before vt_web_init hands it out. `handler` sits in
// the receive stack between the tag handler and the dispatcher, under `name`;
// `start` sends the first negotiation message. The channel then waits for its event:
// the handler signals it when negotiation completes, a failure signals it with the
// failed flag set.
struct vt_web_keying {
    vt_handle_fn handler;
    const char *name;
    int (*start)(vt_web *channel);
};

struct vt_web {
    std::atomic<int32_t> failed; // set once the channel failed; never cleared
    vt_url *url;
    vt_cfg *cfg; // not owned
    vt_lock *lock;
    vt_cond *event;
    int type;
    const char *name;
    vt_client *client;
    void *listener;
    vt_unique *state;
    void *user_data; // not owned
    vt_cycler *cycler;
    vt_web *next;
    vt_web *prev;
};

// All return 0 on success and 1 on failure.

// Creates a ready channel: connected, upgraded and (with a keying) negotiated.
int vt_web_init(vt_web **slot, int type, const char *url, vt_cfg *settings, void *user_data,
                const vt_web_keying *keying);
// The examiner's channel, negotiated and encrypted; defined with the key negotiation.
int vt_web_init(vt_web **slot, int type, const char *url, vt_cfg *settings, void *user_data);
int vt_web_deit(vt_web **slot);

// Sends one message. With a task slot, a task under the frame's tag is in the table
// before the frame leaves; the caller frees it with vt_web_task_free in every case.
// `tag` is used by a serving channel only (it answers with the request's tag).
int vt_web_send_base(vt_web *channel, const void *data, size_t length, vt_task **task,
                     vt_buffer *buffer, uint32_t tag, void *user_data);
int vt_web_conn_fail(vt_web *channel);
int vt_web_user_data_(vt_web *channel, void **out);
int vt_web_task(vt_web *channel, vt_task **out);
int vt_web_task_clear(vt_web *channel);
// 1 without a report when no task has the tag.
int vt_web_task_search(vt_web *channel, uint32_t tag);
// Removes the task from the table, waits for a dispatch that still uses it, frees it.
int vt_web_task_free(vt_web *channel, vt_task **task);

// The channel state (stacks with their bases, generator, task table) of a channel
// whose settings are set; used by vt_web_init and by a serving side.
int vt_unique_init(vt_web *channel);
int vt_unique_deit(vt_unique **slot);
// Largest frame payload a channel made from a stack size accepts.
uint64_t vt_web_frame_max(size_t stack_size);

// Stack handlers (vt_handle_fn).
int vt_web_copy_send(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
int vt_web_task_send(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
int vt_web_send(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);
int vt_web_task_recv(mg_connection *conn, int zero, uint8_t *data, size_t length, vt_web *channel);

// Connection handlers given to the WebSocket layer.
int vt_web_core_recv(mg_connection *conn, int opcode, uint8_t *payload, size_t length, void *user);
void vt_client_close(const mg_connection *conn, void *user);
