// The subject agent's records: its options, the table of targets it serves, the
// listening server with its connections, and one connection's session. The
// protocol pieces (WebSocket frames, key negotiation, codec) come from vt-core.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vt_crypt.h"
#include "vt_protocol.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_websocket.h"

struct vt_buffer;
struct vt_json_obj;
struct vt_key_peer;

// One served target. The examiner sees block_size * block_count bytes; a regular
// file whose length is not a multiple of its block size is padded with zeros.
struct vt_agent_target {
    vt_string name;
    vt_string path;
    uint32_t id;          // 1, 2, ... in command-line order
    uint32_t type;        // kTargetDisk or kTargetFile
    uint64_t block_size;
    uint64_t block_count;
    uint64_t size;        // bytes served: block_size * block_count
    uint64_t file_size;   // bytes the file really holds (== size for a device)
    int fd;
};

struct vt_agent_table {
    vt_agent_target *targets;
    size_t count;
};

// What the command line gives; texts point into argv or into owned strings below.
struct vt_agent_opt {
    const char *host;     // listen address ("0.0.0.0" by default)
    const char *port;     // listen port text ("3262" by default; "0" picks one)
    const char *path;     // URL path of the upgrade ("/sub")
    const char *port_file;
    const char *uuid_file;
    const char *user;
    vt_string password;   // owned: read from --password-file or copied from --password
    uint8_t dh_kind;      // vt_key_format::kKindRaw or kKindCert
    bool verbose;
    const char **target_specs; // "NAME=PATH", target_count of them
    size_t target_count;
};

// Credentials kept only as keyed digests, so a login is checked by comparing two
// fixed-size values in constant time whatever the lengths of the texts.
struct vt_agent_login {
    uint8_t key[vt_sha256_size];
    uint8_t user[vt_sha256_size];
    uint8_t password[vt_sha256_size];
};

struct vt_agent_session;

struct vt_agent_server {
    const vt_agent_opt *opt;
    vt_agent_table *table;
    vt_agent_login login;
    vt_syslog *out;        // user-facing lines (standard error)
    vt_string hostname;
    vt_string uuid;
    char port[32];         // the bound port as text
    int listen_fd;
    int wake_fd;           // eventfd: a connection ended, or shutdown was asked
    int signal_fd;         // SIGINT and SIGTERM
    std::atomic<int32_t> stop;
    vt_lock *lock;         // guards the session list
    vt_agent_session *sessions;
};

// One connection: its WebSocket connection and reader, the serving side of the
// key negotiation, and what the examiner has logged into. Only the connection's
// reader thread touches it after the start, until the server reaps it.
struct vt_agent_session {
    vt_agent_server *server;
    mg_connection *conn;
    vt_client client;
    vt_key_peer *peer;
    vt_buffer *message;    // the request being served, opened
    vt_buffer *reply;      // the answer being built
    vt_buffer *payload;    // the answer sealed into a frame payload
    uint32_t tag;          // tag of the request being served
    bool logged_in;
    uint8_t *targets;      // per target (index id - 1): logged in on this connection
    std::atomic<bool> done;
    vt_agent_session *next;
};

// ---- Targets (vt_agent_targets.cpp) ------------------------------------------------
// Opens every "NAME=PATH" read-only and sizes it; 0 on success, 1 on failure.
int vt_agent_table_init(vt_agent_table **slot, const char *const *specs, size_t count);
int vt_agent_table_deit(vt_agent_table **slot);
const vt_agent_target *vt_agent_table_find(const vt_agent_table *table, uint64_t id);
// Reads `length` bytes at `offset` (inside the served size) with pread; bytes past
// the end of a file's real length read as zeros. 0 on success, 1 on an I/O error.
int vt_agent_target_read(const vt_agent_target *target, uint64_t offset, uint8_t *out,
                         size_t length);
// New document {"targets": [target entry, ...]}.
int vt_agent_table_json(const vt_agent_table *table, vt_json_obj **document);

// ---- Identity (vt_agent_identity.cpp) ----------------------------------------------
int vt_agent_login_init(vt_agent_login *login, const char *user, const vt_string *password);
// 0 when both texts match the stored credentials.
int vt_agent_login_check(const vt_agent_login *login, const char *user, size_t user_length,
                         const char *password, size_t password_length);
// The stable identifier: from --uuid-file, else from the machine id and the address.
int vt_agent_uuid(vt_string *uuid, const vt_agent_opt *opt);
// New subject information document for one connection.
int vt_agent_subject_info(const vt_agent_server *server, const mg_connection *conn,
                          vt_json_obj **document);

// ---- Server (vt_agent_server.cpp, vt_agent_upgrade.cpp) ----------------------------
int vt_agent_server_init(vt_agent_server **slot, const vt_agent_opt *opt, vt_agent_table *table);
int vt_agent_server_deit(vt_agent_server **slot);
// Accepts and serves connections until a signal or a shutdown request; 0 on a clean stop.
int vt_agent_server_run(vt_agent_server *server);
// Asks the accept loop to stop (from any thread).
void vt_agent_server_stop(vt_agent_server *server);
// Reads the upgrade request and answers it: 101 for the agent's path, 404 for another
// path, 400 for anything that is not a WebSocket upgrade. 0 when upgraded.
int vt_agent_upgrade(mg_connection *conn, const char *path);

// ---- Session (vt_agent_session.cpp, vt_agent_ops.cpp) -------------------------------
int vt_agent_session_init(vt_agent_session **slot, vt_agent_server *server, int fd);
int vt_agent_session_deit(vt_agent_session **slot);
// Starts the connection's reader thread: upgrade, negotiation, then requests.
int vt_agent_session_start(vt_agent_session *session);
// Seals one protocol message with the current request's tag and writes it as a frame.
int vt_agent_session_send(vt_agent_session *session, const uint8_t *message, size_t length);
// Serves one opened request; 0 to go on, 1 to close the connection.
int vt_agent_dispatch(vt_agent_session *session, uint8_t *message, size_t length);
