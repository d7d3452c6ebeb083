// The image job file: the job directory "<state dir>/image/<image name>" with its
// files `json` (the job document), `pid` and `socket`, and the conversion between
// the options record and the job document.
#pragma once

#include <cstdint>

#include "vt_fcache.h"
#include "vt_json.h"
#include "vt_opt.h"
#include "vt_string.h"
#include "vt_syslog.h"

// Runs inside the job directory of opt's image name; user is the caller's.
typedef int (*vt_fcache_image_cb)(vt_opt *opt, vt_fcache *store, void *user);

// Enters <state dir>/image/<image name> (creating and locking both), runs fn and
// leaves both again, removing each when empty. Returns fn's result, or 1 after
// reporting when the store or a directory step fails.
int vt_fcache_image(vt_opt *opt, vt_fcache_image_cb fn, void *user);
// fn(store, entry, user) for each entry of <state dir>/image but "." and ".."; a
// non-zero result of fn ends the walk, which still returns 0.
int vt_fcache_image_walk(vt_opt *opt, vt_fcache_dir_walk_cb fn, void *user);

// Callbacks for vt_fcache_image; each runs inside the job directory.
int vt_fcache_image_pid_create(vt_opt *opt, vt_fcache *store, void *user);
int vt_fcache_image_pid_remove(vt_opt *opt, vt_fcache *store, void *user);
// user: uint64_t * receiving the pid, or null. 0 when `pid` is a regular file naming
// a live process; 1 (without a report) otherwise.
int vt_fcache_image_pid_check(vt_opt *opt, vt_fcache *store, void *user);
// user: empty vt_string * receiving the path of `json`.
int vt_fcache_image_json_get_path(vt_opt *opt, vt_fcache *store, void *user);
// user: empty vt_json_obj ** receiving the parsed job document.
int vt_fcache_image_json_get_object(vt_opt *opt, vt_fcache *store, void *user);
// user: vt_json_obj * to write as `json` (atomically, mode 0600).
int vt_fcache_image_json_create(vt_opt *opt, vt_fcache *store, void *user);
int vt_fcache_image_json_check(vt_opt *opt, vt_fcache *store, void *user);
// user: the console log. Returns 4 when there is no job document, 2 when the job
// is running, 0 after deleting `json`, 1 on failure.
int vt_fcache_image_json_remove(vt_opt *opt, vt_fcache *store, void *user);

// The same operations called through vt_fcache_image.
int vt_opt_pid_create(vt_opt *opt);
int vt_opt_pid_remove(vt_opt *opt);
int vt_opt_pid_check(vt_opt *opt, uint64_t *pid);
int vt_opt_json_get_path(vt_opt *opt, vt_string *path);
int vt_opt_json_get_object(vt_opt *opt, vt_json_obj **doc);
int vt_opt_json_create(vt_opt *opt, vt_json_obj *doc);
int vt_opt_json_check(vt_opt *opt);
int vt_opt_json_remove(vt_opt *opt, vt_syslog *console);

// Reads the document at opt's config path and loads its vantrel, imager and ewf
// sections into opt (replacing what was there); hands the document to *doc when
// doc is not null, else frees it.
int vt_opt_get_object(vt_opt *opt, vt_json_obj **doc);
int vt_opt_get_vantrel_object(vt_opt *opt, vt_json_obj *doc);
int vt_opt_get_imager_object(vt_opt *opt, vt_json_obj *doc);
int vt_opt_get_ewf_object(vt_opt *opt, vt_json_obj *doc);
// Builds a new job document in the empty *doc from opt; ewf texts the record does
// not hold are asked for on the console.
int vt_opt_set_object(vt_opt *opt, vt_json_obj **doc);
// Prints the job summary of doc at level 2.
int vt_opt_print_object(vt_json_obj *doc, vt_syslog *console);
// Image name "<target>_image" and hash method "md5" for a record without them.
int vt_opt_set_default_name(vt_opt *opt);
int vt_opt_set_default_hash(vt_opt *opt);
// Writes `image_info` ("subject/target", or the disk path) of doc into out.
int vt_set_image_info(vt_json_obj *doc, vt_json_obj *out);

// Copies the text under key into the empty string (an empty text gives an
// allocated empty string).
int vt_json_obj_load_string(vt_json_obj *obj, const char *key, vt_string *string);
// Asks question on the console (offering preset, may be null) and stores the
// answer under key; answers with bytes other than letters, digits, blank, '-' and
// '_' are refused.
int vt_json_obj_string_prompt(vt_json_obj *obj, const char *key, const char *question,
                              const char *preset);
