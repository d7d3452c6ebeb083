// Process-level services shared by both programs: system times and date texts,
// the platform string, daemonising, pid files, socket and absolute paths, subject
// address completion, and the two fixed locations tests may move.
//
// Every function returns 0 on success and 1 on failure unless stated, and reports
// its own failures through `syserr`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct vt_string;

// System time: 100-nanosecond intervals since 1601-01-01 UTC.
constexpr uint64_t VT_TIME_UNITS_PER_SECOND = 10000000ULL;
constexpr uint64_t VT_TIME_UNIX_EPOCH_SECONDS = 11644473600ULL;
constexpr uint64_t VT_TIME_UNIX_EPOCH = VT_TIME_UNIX_EPOCH_SECONDS * VT_TIME_UNITS_PER_SECOND;

// The state root: $VANTREL_STATE_DIR when set and not empty, else "/var/lib/vantrel".
const char *vt_state_dir(void);
// The rendezvous socket directory: $VANTREL_SOCKET_DIR when set and not empty, else "/tmp".
const char *vt_socket_dir(void);

// The current time in whole seconds; never fails (always 0).
int vt_get_system_time(uint64_t *time);
// New malloc'ed text "%FT%TZ" of a system time (sub-second part dropped), in UTC
// or in local time; the caller frees *text with free().
int vt_acquire_system_date(uint64_t time, char **text, size_t *length);
int vt_acquire_local_date(uint64_t time, char **text, size_t *length);
// Fills an empty string with "release:name-machine" as uname reports them.
int vt_get_platform_string(vt_string *string);

// Results of upgrade_daemon.
enum : int {
    VT_DAEMON_CHILD = 0,   // this process is now the daemon
    VT_DAEMON_EXIT = 1,    // short-lived intermediate process (or a failure in it): exit at once
    VT_DAEMON_PARENT = -1, // the calling process: carry on in the foreground
    VT_DAEMON_FAILED = 2,  // the first fork failed: still the only process, and a failure
};
// Double fork with a new session; the daemon has umask 0, directory "/", and
// descriptors 0, 1 and 2 on /dev/null. Call with one thread only.
int upgrade_daemon(void);

// 0 when path (not followed if a symbolic link) is a directory with no entries
// besides "." and "..".
int vt_is_path_empty(const char *path);
// Fills an empty string with "<socket dir>/vantrel-socket-<pid>".
int vt_socket_path(vt_string *string);
// Fills an empty string with the absolute, link-free form of an existing path.
int vt_absolute_path(vt_string *string, const char *path);

// Pid files hold "%u " (the calling process's id and a blank).
int vt_create_pid(const vt_string *path);
int vt_remove_pid(const vt_string *path);
int vt_query_pid(const vt_string *path, uint64_t *pid);

// Completes "host[:port][/path]" in place with the default port and path when the
// host resolves; 1 without a report (address unchanged) when it does not.
int vt_url_resolve(vt_string *address, const char *port, const char *path);

// Writes all bytes, retrying interrupted and partial writes. 0 on success; 1 with
// errno describing the failed call (EIO for a write that made no progress).
int vt_write_all(int fd, const void *bytes, size_t count);

// Which step of a file replacement failed; errno describes the failed call.
enum vt_replace_fault { VT_REPLACE_DONE = 0, VT_REPLACE_CREATE, VT_REPLACE_WRITE };

// Replaces the file at path with exactly these bytes and permission bits (applied
// whatever the creation mask): a hidden temporary file in the same directory is
// written, synced and renamed over path, and the directory is synced, so a crash
// leaves the old file or the new one, never a mix. Reports nothing; the caller
// reports with its own message.
vt_replace_fault vt_file_replace(const char *path, const void *bytes, size_t count, mode_t mode);
