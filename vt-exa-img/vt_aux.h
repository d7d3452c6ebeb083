// Small helpers of the imager that several of its modules share: the help text,
// the image-name character check and (added by their modules) thread, rate and
// compression helpers.
#pragma once

#include "vt_string.h"
#include "vt_syslog.h"

// Prints the usage text at level 2; returns the log call's result.
int vt_help(vt_syslog *console);

// 0 when every byte is an ASCII letter or digit, a blank, '-' or '_' (an empty
// string passes); otherwise reports the first bad byte's position and returns 1.
int vt_isalnum_string(const vt_string *string);

// Thread, processor and event helpers of the image job and its pipeline.

struct vt_thread;
struct vt_cond;
typedef void *(*vt_thread_fn)(void *argument);

// Creates a thread object in the empty slot and starts function(argument) on it;
// on failure the slot stays empty. Returns 0, or 1 after reporting.
int vt_thread_start_guarantee(vt_thread **slot, vt_thread_fn function, void *argument);
// Joins the thread, frees the object and clears the slot; an empty slot is ignored.
// Returns 0, or 1 after reporting a failed join (the object is freed all the same).
int vt_thread_stop(vt_thread **slot);
// The number of logical processors online; 4 when the system cannot tell.
int vt_get_proc_count(int64_t *count);
// Leaves the event clear whatever its state: signals it, then consumes the signal.
// Returns 0, or 1 when either step fails (nothing reported; the caller reports).
int vt_cond_reset(vt_cond *cond);
// 0 when path exists (not following a final symbolic link); otherwise reports
// "failed to locate %s" and returns 1.
int vt_path_exist(const char *path);
