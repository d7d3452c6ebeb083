// The vt_imager commands and the machinery of a running job around them: the
// foreground and daemon runs, the control loop that serves the job control
// socket, the recovery loop, and the status requests answered over that socket.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "vt_fcache.h"
#include "vt_json.h"
#include "vt_opt.h"
#include "vt_string.h"
#include "vt_syslog.h"

struct vt_img;

// Set by vt_stop_signal_cb on SIGINT and SIGTERM, cleared when a job is started in
// this process; nothing else writes it.
extern volatile sig_atomic_t vt_stop_signal;

// Opcodes of the job control socket.
inline constexpr int64_t VT_IMG_OPCODE_STATUS = 1;   // live figures of the run
inline constexpr int64_t VT_IMG_OPCODE_DOCUMENT = 2; // a copy of the job document

// Called after each period of the control loop without a stop event; non-zero ends it.
typedef int (*vt_exa_img_loop_fn)(vt_img *job, vt_syslog *console);

// The commands main dispatches: each returns the process exit code (0 to 8).
// vt_exa_img_status lives with main, in vt_main.cpp.
int vt_exa_img_start(vt_opt *opt, vt_syslog *console);
int vt_exa_img_stop(vt_opt *opt, vt_syslog *console);
int vt_exa_img_status(vt_opt *opt, vt_syslog *console);
int vt_exa_img_restart(vt_opt *opt, vt_syslog *console);
int vt_exa_img_remove(vt_opt *opt, vt_syslog *console);

// Runs the job of opt's image name in this process or, with --daemon, in a
// daemon; resumes it when the command word is "restart". Exit code.
int vt_exa_img_start_entry(vt_opt *opt, vt_syslog *console);
// Serves the job control socket and waits on the job's stop event in rounds of
// period_ms, calling loop_fn after each quiet round; saves status "started" at the
// end. 0, or 1 after reporting.
int vt_exa_img_unix_server_loop(vt_opt *opt, vt_img *job, vt_syslog *console,
                                vt_exa_img_loop_fn loop_fn, unsigned period_ms);
// Loop functions: both return the stop-signal flag; the progress function also
// prints the progress line (and returns 1 when it cannot).
int vt_exa_img_loop_silent(vt_img *job, vt_syslog *console);
int vt_exa_img_loop_progress(vt_img *job, vt_syslog *console);

// 0 when the manager's pid file names a live process; 1 otherwise (also on errors).
int vt_manager_online(void);
// Replaces the subject text with the address of the cached subject it names,
// completed with the default port and path. 1 when it cannot be resolved.
int vt_opt_get_subject(vt_opt *opt, vt_string *subject);
// Trial connection of a new job: log into the subject of doc's `vantrel` section
// and look its target up once. 0, or 1 after reporting.
int vt_subject_connect(vt_json_obj *doc, vt_syslog *console);
// Fills the empty string with "%llu %s/s" of the rate in B, KB, MB, GB or TB.
int vt_speed_string(uint64_t rate, vt_string *text);
// SIGINT and SIGTERM handler: sets vt_stop_signal.
void vt_stop_signal_cb(int signal_number);

// The job control socket's frame handler; user data is the running vt_img.
int vt_exa_img_unix_server_protocol(int descriptor, const uint8_t *bytes, size_t length,
                                    void *user);
// Sends {"opcode": opcode} to the job's control socket and receives the reply
// (without its opcode) into the empty *reply. store, when given, is inside the job
// directory; otherwise the directory of opt's image name is used.
int vt_exa_img_unix_client_json(vt_opt *opt, vt_fcache *store, int64_t opcode,
                                vt_json_obj **reply);


// Status of the job whose directory store is in, for opt's image name: added to
// result under the image name, or printed as one CSV line (vt_main.cpp).
int vt_exa_img_json_status(vt_opt *opt, vt_fcache *store, vt_json_obj *result);
int vt_exa_img_print_status(vt_opt *opt, vt_fcache *store, vt_syslog *console);
// Walk handlers applying them to each entry of the image directory (vt_main.cpp).
int vt_exa_img_json_status_list_handler(vt_fcache *store, const char *name, void *user);
int vt_exa_img_print_status_list_handler(vt_fcache *store, const char *name, void *user);
