// The imager's examiner object: the job's credentials for one remote target and
// the subject session of a run (connect, log in, log into the target, watch the
// connection), plus the short session that describes the target as a JSON object.
#pragma once

#include <cstdint>

#include "vt_string.h"
#include "vt_syslog.h"

struct vt_json_obj;
struct vt_subject;
struct vt_subject_cfg;

// How long the imager's session waits for a response; the remote reader applies
// the same bound to the oldest read in flight.
inline constexpr unsigned vt_exa_request_timeout_ms = 10000;

struct vt_exa {
    vt_string subject;      // `vantrel`/`subject`: the resolved address host:port/path
    vt_string target;       // `vantrel`/`target`: the target name
    vt_string username;     // `vantrel`/`username`
    vt_string password;     // clear text, recovered from the stored form
    vt_syslog *log;         // the sessions' user-facing lines; not owned
    vt_subject_cfg *cfg;    // request timeout 10000 ms, the read completion of a run
    vt_subject *session;    // present while a run is connected
    uint32_t target_id;     // the target's id while logged into it, else 0
    uint32_t logged_in;     // 1 once a run's session was established; cleared when
                            // logging out of the target fails (the connection was lost)
    uint32_t lost;          // the run's subject left a read unanswered for the timeout
};

// Completion of one target read (see vt_subject_cdb) and the disconnect handler.
typedef int (*vt_exa_cdb)(const uint8_t *data, size_t length, void *user, uint32_t error);
typedef void (*vt_exa_disconnect_cb)(void *user);

// Every function returns 0 on success and 1 after reporting a failure.

// Loads the credentials of the `vantrel` section and prepares the session
// configuration with log as the sessions' logger.
int vt_exa_init(vt_exa **slot, vt_json_obj *vantrel, vt_syslog *log);
// Closes a run's session still open, then frees everything.
int vt_exa_deit(vt_exa **slot);
// One short session: connect, log in, list, find the target; *obj receives the
// target object (the target record's document form with block_size and
// block_count as number strings).
int vt_exa_get_target_object(vt_exa *exa, vt_json_obj **obj);
// Opens a run's session: completions go to read_completion, a lost connection to
// disconnect_handler(job). Sets the logged-in mark.
int vt_exa_start(vt_exa *exa, vt_exa_cdb read_completion, vt_exa_disconnect_cb disconnect_handler,
                 void *job);
// Closes the run's session: stops the monitor, logs out of the target (clearing
// the logged-in mark when that fails) and disconnects.
int vt_exa_stop(vt_exa *exa);
