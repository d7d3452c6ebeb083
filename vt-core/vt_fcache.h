// The state directory store: a current directory below a fixed root that moves one
// directory at a time, creating directories on the way down, holding an exclusive
// advisory lock on each one entered and removing those left empty on the way up.
#pragma once

#include <cstddef>
#include <cstdint>

struct vt_buffer;
struct vt_string;
struct vt_db_subject;
struct vt_db_target;

// At most this many directory locks are held by one store at a time.
constexpr uint32_t VT_FCACHE_LOCK_CAPACITY = 8;

struct vt_fcache {
    vt_buffer *path;           // root, then "/" and the name of each entered directory
    uint32_t root_length;      // the path never becomes shorter than the root
    uint32_t saved_length;     // path length before the last appended component
    int32_t locks[VT_FCACHE_LOCK_CAPACITY]; // locked directory descriptors, innermost last
    uint32_t lock_capacity;
    uint32_t lock_count;
};

// Walk callbacks return 0 to go on and non-zero to stop.
typedef int (*vt_fcache_dir_walk_cb)(vt_fcache *store, const char *name, void *user);
typedef int (*vt_fcache_subject_walk_cb)(vt_fcache *store, const vt_db_subject *subject,
                                         void *user);
typedef int (*vt_fcache_target_walk_cb)(vt_fcache *store, const vt_db_target *target,
                                        void *user);
// Runs inside a directory the store has entered for the caller.
typedef int (*vt_fcache_cb)(vt_fcache *store, void *user);

// Every function returns 0 on success and 1 on failure, except where noted.

// New store on root ("<state dir>/subject" when root is null or empty); the root
// directory is created when missing (its parent must exist).
int vt_fcache_init(vt_fcache **slot, const vt_string *root);
int vt_fcache_init2(vt_fcache **slot, const char *root);
// Leaves every entered directory, removing the empty ones, and frees the store.
int vt_fcache_deit(vt_fcache **slot);

// Enters the subdirectory name (one path component), creating and locking it.
int vt_fcache_push_dir(vt_fcache *store, const vt_string *name);
int vt_fcache_push_dir2(vt_fcache *store, const char *name);
// Leaves the current directory; with remove set, deletes it when it is empty.
int vt_fcache_pop_dir_(vt_fcache *store, int remove);
// Leave all entered directories, with / without removing the empty ones.
int vt_fcache_reset_dir(vt_fcache *store);
int vt_fcache_reset_dir_keep(vt_fcache *store);

// Locks the current directory without entering anything / unlocks the innermost lock.
int vt_fcache_acquire(vt_fcache *store);
int vt_fcache_release(vt_fcache *store);

// Copies of the current path and of the path of name inside it, into empty strings.
int vt_fcache_get_dir(vt_fcache *store, vt_string *out);
int vt_fcache_filename(vt_fcache *store, const vt_string *name, vt_string *out);
int vt_fcache_filename2(vt_fcache *store, const char *name, vt_string *out);

// callback(store, entry, user) for each entry of the current directory but "." and
// "..", in the order the system lists them; 0 once the directory could be opened.
int vt_fcache_walk_dir(vt_fcache *store, vt_fcache_dir_walk_cb callback, void *user);
// Returns the store to its root, locks it and calls callback inside each subject's
// directory with the record of its "subject" file. A bad subject directory ends the
// walk there without failing it.
int vt_fcache_walk_subject(vt_fcache *store, vt_fcache_subject_walk_cb callback, void *user);
// callback(store, target, user) for each entry of the current directory's "targets" file.
int vt_fcache_walk_targets(vt_fcache *store, vt_fcache_target_walk_cb callback, void *user);
// Runs callback inside the directory named by the target id in decimal, removing
// that directory afterwards when it is empty; returns the callback's result.
int vt_fcache_push_target(vt_fcache *store, uint64_t id, vt_fcache_cb callback, void *user);
// Finds the first cached subject whose host name equals key or whose URL starts with
// key, and in it the target named target_name, and runs callback inside the target's
// directory. Returns the callback's result, or 1 without a report when not found.
int vt_fcache_subject_target(vt_fcache *store, const char *key, const char *target_name,
                             vt_fcache_cb callback, void *user);
