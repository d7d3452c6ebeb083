// The E01 image writer: one single-segment EWF-E01 file, written as file header,
// header and volume sections, pairs of sectors and table sections, then digest,
// hash and done sections; with a one-key checkpoint to cut back to and resume.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_string.h"

struct vt_buffer;
struct vt_json_obj;

struct vt_ewf {
    vt_string examiner_name;
    vt_string case_number;
    vt_string evidence_number;
    vt_string unique_description;
    vt_string notes;
    uint64_t chunk_size;
    uint64_t table_capacity;   // entries per table, a multiple of the chunks per read
    vt_string path;            // "%s/%s.E01"
    uint32_t *entries;         // table_capacity entries of the open table
    int fd;                    // -1 while no file is open
    uint64_t offset;           // after the last descriptor/header write; resume point
    uint64_t sectors_offset;   // descriptor of the open sectors section
    uint64_t entries_used;
    uint32_t chunk_offset;     // next chunk, relative to the open section's chunk data
    vt_json_obj *state;        // checkpoint: `offset`
};

// Every function returns 0 on success and 1 after reporting a failure.

// Reads `ewf` of the job document and builds the writer in the empty slot; nothing
// touches the disk yet.
int vt_ewf_init(vt_ewf **slot, uint64_t read_size, const char *image_path, const char *image_name,
                vt_json_obj *doc);
// Frees the writer and clears the slot. A file still open is closed without
// finishing it (vt_ewf_close finishes it).
int vt_ewf_deit(vt_ewf **slot);

// n = read_size / chunk_size; fails unless read_size is a non-zero multiple of it.
int vt_ewf_chunks_per_read(uint64_t read_size, uint64_t chunk_size, uint64_t *n);
// size -= size mod n.
int vt_ewf_table_size_align(uint64_t n, uint64_t *size);
// The entries per table for a job: table_size capped at 65534 and further so that
// a table's chunk data (capacity x (chunk_size + 4) bytes at most) stays below 2^31,
// then rounded down to a multiple of the chunks per read. The writer and the work
// units must use this same value, so that tables end with work units. Fails when
// no whole work unit fits into one table.
int vt_ewf_table_capacity(uint64_t read_size, uint64_t chunk_size, uint64_t table_size,
                          uint64_t *capacity);

// Creates the file (mode 0755, truncating) and writes file header, header section,
// volume section and the first empty sectors section.
int vt_ewf_create(vt_ewf *ewf, uint64_t bytes_per_sector, uint64_t sector_count);
// Reopens the file for resumption at the offset set by vt_ewf_load: cuts the file
// back there and opens a new sectors section.
int vt_ewf_open(vt_ewf *ewf);

// Appends a work unit's stored chunks (the whole buffer), not forced to disk.
int vt_ewf_sector_write(vt_ewf *ewf, const vt_buffer *buffer);
// Records the size words of the chunks just appended; closes the table and opens
// the next sectors section when the table is full.
int vt_ewf_table_update(vt_ewf *ewf, const uint32_t *size_words, uint64_t count);
// Closes the open sectors section and writes its table; an empty one is cut away.
int vt_ewf_sector_close(vt_ewf *ewf);
// Finishes the file with the digests (16 MD5 and 20 SHA-1 bytes, written as given)
// and closes it in every case. Failures are reported only.
int vt_ewf_close(vt_ewf *ewf, const uint8_t *md5, const uint8_t *sha1);

// Checkpoint: `offset` = the open sectors section's descriptor offset.
int vt_ewf_save(vt_ewf *ewf);
// Reads `offset` of a checkpoint object into the current offset.
int vt_ewf_load(vt_ewf *ewf, const vt_json_obj *obj);
// Removes `offset` from the checkpoint.
int vt_ewf_clear(vt_ewf *ewf);
// A deep copy of the checkpoint object in the empty slot.
int vt_ewf_get_object(vt_ewf *ewf, vt_json_obj **copy);

// Writes all bytes, forces them to disk and reads the file offset back into the
// current offset.
int vt_ewf_write(vt_ewf *ewf, const void *data, size_t len);
