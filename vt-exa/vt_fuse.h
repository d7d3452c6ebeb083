// The mounter (vt_accel): its option record, the mounter context that talks to one
// subject, the read-only FUSE file system that serves one target as one file, the
// subject cache commands and the mount lifecycle. Built on the FUSE 2 low-level API.
#pragma once

#ifndef FUSE_USE_VERSION
#define FUSE_USE_VERSION 26
#endif

#include <fuse_lowlevel.h>
#include <fuse_opt.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "vt_common.h"
#include "vt_examiner.h"
#include "vt_string.h"
#include "vt_syslog.h"

// Exit statuses that a caller must be able to tell apart (`vt_fuserr`).
enum : int {
    VT_FUSERR_CONNECT = 2,        // opening the channel to the subject failed
    VT_FUSERR_LOGIN = 3,          // the subject refused the login
    VT_FUSERR_SUBJECT_INFO = 4,   // the subject information request failed
    VT_FUSERR_TARGET_LIST = 5,    // the target list request failed
    VT_FUSERR_TARGET_FIND = 6,    // the target is not in the subject's list
    VT_FUSERR_TARGET_LOGIN = 7,   // the target login failed
    VT_FUSERR_LOOP = 8,           // the FUSE session failed to start or to end cleanly
    VT_FUSERR_MOUNTED = 9,        // already mounted, or the mount directory is not empty
    VT_FUSERR_NO_SUBJECT = 10,    // no cached subject matches
    VT_FUSERR_NOT_MOUNTED = 11,   // umount found no mount
    VT_FUSERR_TOO_MANY = 12,      // too many mounts are active
};

// At exit a non-zero value replaces the command's own result.
extern int vt_fuserr;

// Most targets mounted at once over the whole cache.
constexpr size_t VT_FUSE_MOUNT_LIMIT = 24;
// Time limit of each handshake step of a background mount, in milliseconds.
constexpr int VT_FUSE_WAIT_DEFAULT = 30000;
constexpr int VT_FUSE_WAIT_MIN = 5000;
constexpr int VT_FUSE_WAIT_MAX = 60000;

// The parsed command line.
struct vt_option {
    int help;
    int verbose;
    int daemon;
    int json;
    int raw;
    vt_string subject;
    vt_string target;
    vt_string mount_path;   // absolute; the full mount directory once a mount prepared it
    vt_string username;
    vt_string password;
    vt_string command;
    vt_string config_path;  // absolute; recorded only
    fuse_args channel_args; // for fuse_mount
    fuse_args session_args; // for fuse_lowlevel_new
    int wait;               // milliseconds
};

int vt_option_init(vt_option **slot, int argc, char **argv);
int vt_option_deit(vt_option **slot);
// Per-option callback of fuse_opt_parse: 1 keeps the argument, -1 fails the parse.
int vt_option_parser(void *record, const char *argument, int key, fuse_args *outargs);

// Watches the subject's connection and ends the FUSE loop when it fails.
struct vt_monitor {
    vt_lock *lock;
    pthread_t loop_thread;
    int has_loop_thread;
    vt_subject *subject; // borrowed
    int disconnected;    // 1 once the connection failed (or the monitor was stopped)
};

int vt_monitor_init(vt_monitor **slot, vt_subject *subject);
int vt_monitor_deit(vt_monitor **slot);
void vt_monitor_cb(void *monitor);
int vt_monitor_set_tid(vt_monitor *monitor, pthread_t thread);
// The disconnected flag, or 1 when the lock fails.
int vt_monitor_get_status(vt_monitor *monitor);

// The mounter context.
struct vt_fuse {
    vt_option *options;     // borrowed
    vt_fcache *store;       // borrowed: the subject cache
    vt_lock *lock;          // serialises the file-system operations
    vt_buffer *listing;     // directory listing built by readdir
    vt_syslog *output;      // level 0 messages: system log in a daemon, stderr otherwise
    vt_subject_cfg *subject_cfg;
    vt_subject *subject;
    vt_monitor *monitor;    // while connected
    vt_subject_info *info;  // while connected
    vt_db_target *target;   // while logged into the target (owned name)
    time_t created;
};

typedef int (*vt_fuse_cb)(vt_fuse *ctx, void *user);

int vt_fuse_init(vt_fuse **slot, vt_option *options, vt_fcache *store);
int vt_fuse_deit(vt_fuse **slot);
// Connects and logs in, fetches the subject information and the target list, runs
// callback(ctx, user) and disconnects; the result is the callback's.
int vt_fuse_connect(vt_fuse *ctx, vt_fuse_cb callback, void *user);
// Logs into the target named by -t and runs callback(ctx, user) while logged in.
int vt_fuse_login(vt_fuse *ctx, vt_fuse_cb callback, void *user);
// Serves the file system on a mounted channel until the loop ends.
int vt_fuse_loop(fuse_chan *channel, fuse_args *session_args, vt_fuse *ctx);
// Read completion: the read's user data is the FUSE request it answers.
int vt_fuse_read_cb(const uint8_t *data, size_t length, void *request, uint32_t error);

// ---- Subject cache commands ----
int vt_fuse_call(vt_option *options, vt_fcache *store, vt_fuse_cb callback);
int vt_fuse_add_cb(vt_fuse *ctx, void *user);
int vt_fuse_query_cb(vt_fuse *ctx, void *user);
int vt_fuse_stop_cb(vt_fuse *ctx, void *user);
int vt_fuse_remove(vt_option *options, vt_fcache *store);
int vt_fuse_cache(vt_option *options, vt_fcache *store);
int vt_fuse_active_json(vt_option *options, vt_fcache *store);
int vt_fuse_active_csv(vt_option *options, vt_fcache *store);
int vt_fuse_stop(vt_option *options, vt_fcache *store);

// ---- Mount lifecycle ----
typedef int (*vt_fuse_mount_cb)(vt_option *options, vt_fcache *store, vt_fcache *mount_store,
                                void *user);
int vt_fuse_mount(vt_option *options, vt_fcache *store);
int vt_fuse_mount_path(vt_option *options, vt_fcache *store, vt_fuse_mount_cb callback,
                       void *user);
int vt_fuse_umount(vt_option *options, vt_fcache *store);
// Unmounts one mount directory with "fusermount -u PATH" (no shell).
int vt_fuse_umount_path(const char *path);
