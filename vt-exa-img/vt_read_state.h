// How far an image job has read its source: position, acquisition dates, the read
// rate shown in progress and status reports, and the read checkpoint (`offset`,
// `length`, `start_date`) kept in a JSON object of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_string.h"
#include "vt_syslog.h"

struct vt_json_obj;

// Every field is guarded by lock; no other lock is taken while it is held.
struct vt_read_state {
    vt_lock *lock;
    vt_json_obj *object;   // checkpoint: `offset`, `length` (= remaining), `start_date`
    vt_string start_date;  // local date text "%FT%TZ"; empty until started or loaded
    vt_string end_date;
    uint64_t offset;       // bytes handed to the pipeline so far
    uint64_t remaining;    // bytes still to read
    uint64_t sample_bytes; // bytes handed out since the last rate query
    uint64_t sample_start; // seconds since the epoch of the first of them; 0 when none
};

// Every function returns 0 on success and 1 on failure.

int vt_read_state_init(vt_read_state **slot);
int vt_read_state_deit(vt_read_state **slot);
// Starts at offset with length bytes to read, start date now, and saves the checkpoint.
int vt_read_state_start(vt_read_state *rs, uint64_t offset, uint64_t length);
// Records that count more bytes were handed out (0 only asks for the position);
// offset and remaining, when given, receive the new position.
int vt_read_state_update(vt_read_state *rs, uint64_t count, uint64_t *offset, uint64_t *remaining);
int vt_read_state_save(vt_read_state *rs);
// Takes offset, remaining and start date from a saved checkpoint; both dates are dropped.
int vt_read_state_load(vt_read_state *rs, const vt_json_obj *obj);
// Removes the checkpoint keys; fails if any of them was missing.
int vt_read_state_clear(vt_read_state *rs);
int vt_read_state_end(vt_read_state *rs);
// Position, and the average rate in bytes per second since the previous query (the
// query consumes the sample).
int vt_read_state_get_state(vt_read_state *rs, uint64_t *offset, uint64_t *remaining,
                            uint64_t *rate);
int vt_read_state_get_object(vt_read_state *rs, vt_json_obj **copy);
// 0 when nothing remains and the offset equals total.
int vt_read_state_check_complete(vt_read_state *rs, uint64_t total);
// "Acquisition Start Time: %s\nAcquisition End Time: %s\n" at level 2.
int vt_read_state_log_date(vt_read_state *rs, vt_syslog *log);
