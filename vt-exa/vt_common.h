// The subject cache shared by both programs: turning subject names into URLs and
// back, the per-target mount records ("pid" and "path" files) that say which process
// mounts which target where, the count of active mounts, and the CSV listing lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_fcache.h"
#include "vt_string.h"

struct vt_url;
struct vt_json_obj;
struct vt_db_subject;
struct vt_db_target;

// Cache directories under the state root, and the mount record files of a target
// directory ("<cache>/<uuid>/<target id>/pid" and ".../path").
constexpr const char *VT_CACHE_DIR_MOUNTER = "cache";  // kept by vt_accel add and remove
constexpr const char *VT_CACHE_DIR_MANAGER = "subject"; // kept by the subject manager
constexpr const char *VT_CACHE_PID_FILE = "pid";
constexpr const char *VT_CACHE_PATH_FILE = "path";

// Mount information of one active target.
struct vt_mount_info {
    uint64_t pid;
    vt_string mount_path; // owned
};

// Every function returns 0 on success and 1 on failure unless stated.

// New store in an empty slot rooted at the cache directory name (VT_CACHE_DIR_MOUNTER
// or VT_CACHE_DIR_MANAGER) under the state root (vt_state_dir()).
int vt_cache_store_init(vt_fcache **slot, const char *name);

// Replaces the text of subject with the URL ("%s:%s%s" of address, port and path) of
// the first cached subject whose host name, URL or address equals it exactly. 1
// without a report when no cached subject matches; subject is unchanged on failure.
int vt_subject_name_to_url(vt_fcache *store, vt_string *subject);
// Fills the empty string name with the host name of the first cached subject whose
// address and port equal the URL's host and port (the path is not compared). 1
// without a report when none does.
int vt_subject_url_to_name(vt_fcache *store, const vt_url *url, vt_string *name);

// A file operation on a path built in the store's current directory.
typedef int (*vt_fcache_file_cb)(const vt_string *path, void *user);

// callback(path of "pid" / "path" in the current directory, user); returns its result.
int vt_fcache_pid(vt_fcache *store, vt_fcache_file_cb callback, void *user);
int vt_fcache_path(vt_fcache *store, vt_fcache_file_cb callback, void *user);

// The operations below take the form of vt_fcache_file_cb so they can be handed to
// vt_fcache_pid and vt_fcache_path directly; the type of user is named for each.

// 0 when path is a regular file (not a symbolic link) naming a live process that may
// be signalled, storing its pid in user (uint64_t *, may be null); 1 without a report
// otherwise. A pid of 0, a negative one or one beyond the largest pid_t is never live.
int vt_fcache_check_pid(const vt_string *path, void *pid);
// Fills the empty string user (vt_string *) with the whole content of the path file;
// 1 without a report when the file cannot be opened.
int vt_fcache_check_path(const vt_string *path, void *text);
// Writes the calling process's pid file; with user (vt_string *, empty) also copies
// the path there.
int vt_fcache_create_pid(const vt_string *path, void *copy);
// Deletes the pid file; with user (vt_string *, empty) also copies the path there.
int vt_fcache_remove_pid(const vt_string *path, void *copy);
// Replaces the path file atomically (mode 0600) with the bytes of the mount path
// user (const vt_string *): readers see the old or the new path, never a mixture.
int vt_fcache_create_path(const vt_string *path, void *mount_path);
// Deletes the path file.
int vt_fcache_remove_path(const vt_string *path, void *unused = nullptr);

// Enters the subject's directory (its uuid), runs callback(store, user) in the
// target's id directory, and leaves the subject's directory, removing it when empty.
// Returns the callback's result unless entering or leaving fails.
int vt_fcache_push_subject_target(vt_fcache *store, const vt_db_subject *subject,
                                  const vt_db_target *target,
                                  vt_fcache_cb callback, void *user);
// The pid of the live process that mounts the named target of the subject matched
// by key (its host name, or a prefix of its URL). 1 when there is none.
int vt_subject_target_pid(vt_fcache *store, const char *key, const char *target_name,
                          uint64_t *pid);
// New mount information, in an empty slot, of the named target of the subject
// matched by key. 1 when the target is not active.
int vt_subject_target_mount_info(vt_fcache *store, const char *key, const char *target_name,
                                 vt_mount_info **slot);

// New mount information, in an empty slot, of the target id directory below the
// store's current (subject) directory. 1 when the target is not active.
int vt_mount_info_init(vt_mount_info **slot, vt_fcache *store, uint64_t target_id);
// Frees the mount path and the record, clears the slot; safe on an empty slot.
int vt_mount_info_deit(vt_mount_info **slot);
// Add "pid" and "mount_path" to object: the pid as Base64 of its 8 little-endian bytes
// (document form) or as decimal text (readable form).
int vt_mount_info_json(const vt_mount_info *info, vt_json_obj *object);
int vt_mount_info_json_readable(const vt_mount_info *info, vt_json_obj *object);

// Number of active targets in the whole cache (stops early where a subject walk stops).
int vt_active_target_count(vt_fcache *store, size_t *count);

// Writes one CSV line to standard output, preceded by the header when row is 0. Each
// of subject, target and mount may be null; the pid and mount path columns follow a
// target only, as "0" and "" without mount information. Values are not escaped.
int vt_csv_print(const vt_db_subject *subject, const vt_db_target *target,
                 const vt_mount_info *mount, size_t row);
