// The subject object: the examiner's session with one subject agent. It owns the
// encrypted channel, the login credentials, the in-memory target table and the
// dispatcher that the channel runs for every message the subject sends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_buffer.h"
#include "vt_cfg.h"
#include "vt_db.h"
#include "vt_json.h"
#include "vt_protocol.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_task.h"
#include "vt_thread.h"
#include "vt_web.h"

// Completion of a target read: (data, length, read user data, error code) -> 0 on
// success. A completed read brings its whole data and error code 0; a refused read
// brings no data, length 0 and the subject's error code. Runs on the channel's
// reader thread with the subject lock held.
typedef int (*vt_subject_cdb)(const uint8_t *data, size_t length, void *user, uint32_t error);
// Notification from the subject: (message text, its length, notifier user data, tag).
typedef void (*vt_subject_notify_cb)(const char *text, size_t length, void *user, uint32_t tag);
// Called once by the disconnect monitor; must not take the subject lock.
typedef void (*vt_subject_monitor_cb)(void *user);

// Configuration bit: the subject object supplies read buffers and completes reads itself.
inline constexpr uint32_t vt_subject_flag_auto = 0x1;
inline constexpr unsigned vt_subject_request_timeout_default = 120000; // milliseconds
// Largest protocol message: one read's data behind its 48-byte header.
inline constexpr size_t vt_subject_stack_size_default = 524288 + vt_ptc_format::kHeaderSize;
// Idle read buffers kept by auto pilot.
inline constexpr uint32_t vt_cache_capacity_default = 8;

struct vt_subject_cfg {
    vt_syslog *logger;          // user-facing lines, level 0; not owned
    vt_subject_cdb cdb;
    uint32_t flags;             // vt_subject_flag_auto
    unsigned request_timeout;   // milliseconds
    size_t stack_size;          // frame size of the channel's handler stacks
    vt_subject_notify_cb notifier;
    void *notifier_user_data;
};

// Pool of idle read buffers, a ring linked through the buffers' own links; the
// buffer returned last is taken first.
struct vt_cache {
    uint32_t idle;
    uint32_t capacity;
    vt_buffer *buffers; // head of the ring, null when no buffer is idle
};

struct vt_subject {
    uint32_t flags;
    vt_syslog *logger; // not owned
    unsigned request_timeout;
    vt_lock *lock;        // guards every field, the scratch buffer, cache and table
    vt_buffer *scratch;   // every outgoing message is built here
    vt_db *db;
    vt_cfg *transport;    // the dispatcher and the stack size for the channel
    vt_cache *cache;      // auto pilot only
    vt_web *web;          // between start and stop
    vt_json_obj *credentials;
    vt_subject_cdb cdb;
    vt_subject_notify_cb notifier;
    void *notifier_user_data;
    vt_thread *monitor;
    vt_subject_monitor_cb monitor_cb;
    void *monitor_user_data;
};

// What a subject reports about itself: the document and the record decoded from it
// (the record's texts point into the document).
struct vt_subject_info {
    vt_json_obj *document;
    vt_db_subject record;
};

// Results of vt_subject_start besides 0 and 1.
inline constexpr int vt_subject_start_no_channel = 2;
inline constexpr int vt_subject_start_no_login = 3;

// Every function returns 0 on success and 1 on failure unless stated otherwise.

// ---- Configuration ----
int vt_subject_cfg_init(vt_subject_cfg **slot, vt_syslog *logger);
int vt_subject_cfg_deit(vt_subject_cfg **slot);
int vt_subject_cfg_set_cdb(vt_subject_cfg *cfg, vt_subject_cdb callback);
int vt_subject_cfg_set_auto(vt_subject_cfg *cfg);
int vt_subject_cfg_set_request_timeout(vt_subject_cfg *cfg, unsigned milliseconds);
// Stores bytes + 48: the size given is the largest payload behind the header.
int vt_subject_cfg_set_stack_size(vt_subject_cfg *cfg, size_t bytes);
int vt_subject_cfg_set_notifier(vt_subject_cfg *cfg, vt_subject_notify_cb callback, void *user);

// ---- The subject object ----
// Fails silently and leaves nothing behind.
int vt_subject_init(vt_subject **slot, const vt_subject_cfg *cfg);
int vt_subject_deit(vt_subject **slot);
// Connects to the URL (host:port/path) and logs in: 0, 1, 2 when no channel could be
// opened, 3 when the subject refused or did not answer the login. After a failure
// the object can be started again.
int vt_subject_start(vt_subject *subject, const vt_string *url, const vt_string *username,
                     const vt_string *password);
int vt_subject_stop(vt_subject *subject);
int vt_subject_start_monitor(vt_subject *subject, vt_subject_monitor_cb callback, void *user);
// Wakes the monitor (whose callback then runs once) and joins it.
int vt_subject_stop_monitor(vt_subject *subject);

// ---- Requests ----
// Sends a status request (document may be null) and waits for its response for the
// request timeout. A failure also signals the channel's connection-failure event.
int vt_ptc_status_send_json(vt_subject *subject, uint8_t opcode, vt_json_obj *document,
                            const char *name);
int vt_ptc_es_target_list_req(vt_subject *subject);
int vt_ptc_es_shutdown_req(vt_subject *subject);
// On success the slot holds a new object; release it with vt_subject_info_deit.
int vt_ptc_es_subject_info_req(vt_subject *subject, vt_subject_info **slot);
int vt_subject_info_init(vt_subject_info **slot, const vt_json_obj *document);
int vt_subject_info_deit(vt_subject_info **slot);

// ---- Responses, on the channel's reader thread ----
// The dispatcher: a handler function of the receive stack (1 handled, 2 exception).
int vt_subject_protocol(mg_connection *conn, int zero, uint8_t *message, size_t size,
                        vt_web *channel);
// Status response on `channel`: decodes, runs the callback (if any) on success and
// hands the outcome to the waiting request; fails only when no request waits.
typedef int (*vt_ptc_status_cb)(vt_subject *subject, vt_ptc_req *response);
int vt_ptc_status_recv(vt_subject *subject, vt_web *channel, uint8_t *message, size_t size,
                       vt_ptc_status_cb callback, const char *name);
// Target list response: appends the listed targets to the table.
int vt_ptc_se_target_list_cb(vt_subject *subject, vt_ptc_req *response);
// Target read response (one piece, or an error): appends and completes the read.
int vt_ptc_se_target_read_res(vt_subject *subject, vt_web *channel, uint8_t *message, size_t size);

// ---- Targets ----
// Copy of the table with owned names; with no targets the outputs stay unset.
int vt_subject_target_list(vt_subject *subject, vt_db_target **array, size_t *count);
int vt_subject_target_free_list(vt_db_target **array, size_t count);
// Id of the first target whose name equals `name` byte for byte; 1 when none does.
int vt_subject_target_by_name(vt_subject *subject, const vt_string *name, uint32_t *id);
// Copies the target with that id (owned name) into an empty record; with no such
// target the result is 0 and the record stays empty.
int vt_subject_target_id(vt_subject *subject, uint32_t id, vt_db_target *record);
int vt_subject_target_free(vt_db_target *record);
// Runs callback over the table with the subject lock held.
int vt_subject_target_walk(vt_subject *subject, vt_db_target_cb callback, void *user);
// New object {"targets": [...]} in the document or the readable form.
int vt_subject_target_json(vt_subject *subject, vt_json_obj **document);
int vt_subject_target_json_readable(vt_subject *subject, vt_json_obj **document);
int vt_subject_target_login(vt_subject *subject, uint32_t id);
int vt_subject_target_logout(vt_subject *subject, uint32_t id);
// Sends one read and returns; the pieces are appended to `buffer` and the read is
// completed on the reader thread (cdb, then the task's condition). The caller frees
// the task with vt_web_task_free once the read completed.
int vt_subject_target_read(vt_subject *subject, uint32_t id, uint64_t offset, uint64_t length,
                           vt_buffer *buffer, vt_task **task, void *user);
// The same with a buffer from the cache; the completion recycles buffer and task.
int vt_subject_target_read_auto(vt_subject *subject, uint32_t id, uint64_t offset, uint64_t length,
                                void *user);

// ---- Buffer cache ----
int vt_cache_init(vt_cache **slot, uint32_t capacity);
int vt_cache_deit(vt_cache **slot);
// An idle buffer (used length 0) or a new empty one.
int vt_cache_alloc(vt_cache *cache, vt_buffer **out);
// Keeps the buffer while fewer than capacity are idle, else destroys it; clears the slot.
int vt_cache_free(vt_cache *cache, vt_buffer **slot);
