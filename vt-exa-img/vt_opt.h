// The imager's options record: what the command line (and a job document loaded
// with -c) says about the one command a run of vt_imager performs.
#pragma once

#include <cstdint>

#include "vt_string.h"

struct vt_opt {
    uint32_t help;
    uint32_t verbose;
    uint32_t daemon;
    uint32_t json;
    uint32_t recover;
    vt_string config;
    vt_string username;
    vt_string password; // clear text while in memory
    vt_string subject;
    vt_string target;
    vt_string image_path;
    vt_string image_name;
    vt_string hash;
    vt_string case_number;
    vt_string evidence_number;
    vt_string examiner_name;
    vt_string notes;
    vt_string unique_description;
    vt_string command;
};

// Parses argv into a new record in the empty *slot; argc 0 with argv null gives
// an empty record. Returns 0 on success, 1 after reporting (nothing is stored).
int vt_opt_init(vt_opt **slot, int argc, char **argv);
// Frees every string and the record and clears *slot. Returns 1 on an empty slot.
int vt_opt_deit(vt_opt **slot);

// The getopt short-option string derived from the long option table, copied into
// the empty string: a letter per row, then ':' for a required argument, else a blank.
int vt_opt_short_string(vt_string *out);
