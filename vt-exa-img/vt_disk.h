// The local disk source of the image job: a block device named by the `disk`
// section of a job document, described by its block size and count and read by
// absolute offsets so that a resumed job continues where its checkpoint says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_string.h"

struct vt_json_obj;

struct vt_disk {
    vt_string path; // device path from `disk`/`path`
    int fd;         // open while the reader runs, else -1
};

// Every function returns 0 on success and 1 after reporting a failure.

// Builds the disk object from the `disk` section in the empty slot.
int vt_disk_init(vt_disk **slot, vt_json_obj *section);
// Closes a descriptor still open, frees the object and clears the slot.
int vt_disk_deit(vt_disk **slot);
// Asks the device (opened for the query only) for its sector size and count; a
// regular file does not answer and fails.
int vt_disk_get_size_and_count(vt_disk *disk, uint64_t *sector_size, uint64_t *sector_count);
// New target object in the empty slot: `block_size` and `block_count` as number strings.
int vt_disk_get_target_object(vt_disk *disk, vt_json_obj **obj);
// Opens the device read-only for the reader / closes it again.
int vt_disk_start(vt_disk *disk);
int vt_disk_stop(vt_disk *disk);
// Reads exactly n bytes at offset into data; a short read (end of device) or an
// error fails.
int vt_disk_read_at(vt_disk *disk, uint64_t offset, uint8_t *data, size_t n);
