// Subject and target records: what a subject reports about itself and each of its
// targets, with their two JSON forms (the document form used on the wire and in
// files, and the readable form printed for people) and the platform words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_string.h"

struct vt_json_obj;

// One target of a subject. Size in bytes = block_size * block_count.
struct vt_db_target {
    vt_string name;
    uint64_t id;
    uint64_t type;  // the subject's classification, carried unchanged
    uint64_t block_size;
    uint64_t block_count;
};

// What a subject reports about itself (the subject information document).
// uuid and time may be empty.
struct vt_db_subject {
    vt_string hostname;
    vt_string address;
    vt_string platform;
    vt_string version;
    uint64_t module;  // carried unchanged
    vt_string uuid;
    vt_string time;
    uint64_t seconds;  // system time: 100-ns units since 1601-01-01 UTC
    vt_string port;
    vt_string path;
    uint64_t subject_type;  // platform code, see vt_subject_type_to_str
};

// Every function returns 0 on success and 1 on failure.
//
// Loading clears the record and fills it from a document-form object; the texts
// of a loaded record are not owned: they point into the document, which must
// outlive the record (never vt_string_free them). A failed load leaves the record
// unusable. Loads and document-form dumps fail without a report of their own.
int vt_db_target_load(vt_db_target *record, const vt_json_obj *document);
int vt_db_subject_load(vt_db_subject *record, const vt_json_obj *document);

// New objects in an empty slot. The document form carries 64-bit counts and times
// as Base64 text of 8 big-endian bytes; the readable form as decimal text, and
// the subject's platform word instead of its code (and no "module"). Empty
// subject texts become null in both forms.
int vt_db_target_dump(const vt_db_target *record, vt_json_obj **document);
int vt_db_target_dump_readable(const vt_db_target *record, vt_json_obj **document);
int vt_db_subject_dump(const vt_db_subject *record, vt_json_obj **document);
int vt_db_subject_dump_readable(const vt_db_subject *record, vt_json_obj **document);

// Fills an empty string with the three-letter platform word of a subject type
// ("win", "osx", "sun", "aix", "lin"; "n/a" for an unknown code).
int vt_subject_type_to_str(uint64_t code, vt_string *word);

// ---- The in-memory target table ----
//
// One SQLite database per subject object holds the targets its subject listed, in
// the order they were listed; nothing is ever deleted. The id, type and block size
// are kept as 32-bit signed integers (they must fit in 31 bits to come back
// unchanged), the block count as 64 bits. Used under the owner's lock: the table
// itself has none.

struct sqlite3;
struct sqlite3_stmt;

struct vt_db {
    sqlite3 *handle;
    sqlite3_stmt *select_all;
    sqlite3_stmt *count_all;
    sqlite3_stmt *insert;
    sqlite3_stmt *select_id;
};

// Row callback: the record's name points into the current row and is valid only
// during the call. Non-zero stops the select, which then fails.
typedef int (*vt_db_target_cb)(const vt_db_target *record, void *user);

// Opens the database (in memory when path is null), creates the table and
// prepares the statements. "failed to create database; %s" on failure, with
// everything closed again.
int vt_db_init(vt_db **slot, const char *path);
int vt_db_deit(vt_db **slot);
int vt_db_target_count_all(vt_db *db, size_t *count);
int vt_db_target_insert(vt_db *db, const vt_db_target *record);
// Calls the callback for every row, in insertion order.
int vt_db_target_select(vt_db *db, vt_db_target_cb callback, void *user);
// The same for the rows whose id equals `id` (compared as a 32-bit value).
int vt_db_target_select_id(vt_db *db, vt_db_target_cb callback, void *user, uint32_t id);
