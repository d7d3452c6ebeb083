// The image job's source object and its reader thread: which source the job
// document names, the target object that identifies it, and the thread that fills
// the ring of work units in source order from the read state's position on.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "vt_aux.h"
#include "vt_disk.h"
#include "vt_img.h"
#include "vt_json.h"
#include "vt_read_state.h"
#include "vt_thread.h"

namespace {

struct read_release {
    void operator()(vt_read *read) const
    {
        vt_read_stop(read);
        vt_disk_deit(&read->disk);
        vt_json_obj_deit(&read->target);
        delete read;
    }
};
using read_ptr = std::unique_ptr<vt_read, read_release>;

struct json_release {
    void operator()(vt_json_obj *obj) const { vt_json_obj_deit(&obj); }
};
using json_ptr = std::unique_ptr<vt_json_obj, json_release>;

struct text_release {
    void operator()(char *text) const { free(text); }
};
using text_ptr = std::unique_ptr<char, text_release>;

// The local source: the disk object and its target object.
int read_init_disk(vt_read *read, vt_json_obj *section)
{
    read->kind = VT_READ_DISK;
    if (vt_disk_init(&read->disk, section))
        return VT_ERR("failed to create disk object");
    if (vt_disk_get_target_object(read->disk, &read->target))
        return VT_ERR("failed to get target object");
    return 0;
}

// Fills one unit with n bytes at offset and hands it on. For a unit that
// completes a table, the read position just behind it travels with the unit, so
// the write thread can commit it with the hash state and writer offset of the
// same boundary. The checkpoint is stored before the unit is dispatched: once
// dispatched, the unit belongs to the hash and write threads.
int read_unit(vt_img *img, vt_io *unit, uint64_t n, uint64_t *offset, uint64_t *remaining)
{
    vt_io_mark(unit, n);
    if (vt_io_read_disk(unit, img->read->disk, *offset, n))
        return VT_ERR("failed to read io object");
    if (vt_read_state_update(img->rs, n, offset, remaining))
        return VT_ERR("failed to update read state");
    if (unit->mark) {
        vt_json_obj_deit(&unit->read_checkpoint);
        if (vt_read_state_save(img->rs) ||
            vt_read_state_get_object(img->rs, &unit->read_checkpoint))
            return VT_ERR("failed to save read state");
    }
    if (vt_io_dispatch(unit))
        return VT_ERR("failed to read io object");
    return 0;
}

// Result of the reader's main part: finished the source, failed, or stopped.
enum class read_end { drained, failed, stopped };

// Waits until every unit of the ring has been written once more, marking each as
// finished; a stop while draining leaves the rest unfinished.
read_end drain_ring(vt_img *img, vt_io *unit)
{
    vt_io *const first = unit;
    do {
        if (vt_cond_wait(unit->written_event)) {
            VT_ERR("failed to wait for write event");
            return read_end::failed;
        }
        if (vt_img_get_sentinel(img))
            return read_end::stopped;
        unit->state = VT_IO_FINISHED;
        unit = unit->next;
    } while (unit != first);
    return read_end::drained;
}

// Priming lap over the whole ring without waiting, then refills each unit once
// it has been written, until the source is exhausted.
read_end read_source(vt_img *img)
{
    uint64_t offset = 0, remaining = 0;
    if (vt_read_state_update(img->rs, 0, &offset, &remaining)) {
        VT_ERR("failed to get read state");
        return read_end::failed;
    }
    vt_io *unit = img->ios;
    do {
        const uint64_t n = std::min(unit->size, remaining);
        if (n == 0) {
            VT_ERR("pipeline too large for target");
            return read_end::failed;
        }
        if (read_unit(img, unit, n, &offset, &remaining))
            return read_end::failed;
        unit = unit->next;
    } while (unit != img->ios);

    while (remaining > 0) {
        if (vt_cond_wait(unit->written_event)) {
            VT_ERR("failed to wait for write event");
            return read_end::failed;
        }
        if (vt_img_get_sentinel(img)) {
            VT_ERR("read thread detected sentinel");
            return read_end::stopped;
        }
        const uint64_t n = std::min(unit->size, remaining);
        VT_ERR("bytes to read = %llu and offset %llu.", static_cast<unsigned long long>(n),
               static_cast<unsigned long long>(offset));
        if (read_unit(img, unit, n, &offset, &remaining))
            return read_end::failed;
        unit = unit->next;
    }
    return drain_ring(img, unit);
}

} // namespace

void *vt_img_read_worker_disk(void *job)
{
    auto *img = static_cast<vt_img *>(job);
    if (vt_disk_start(img->read->disk)) {
        VT_ERR("failed to start disk object");
        vt_img_set_fault(img);
        return nullptr;
    }
    const read_end end = read_source(img);
    vt_disk_stop(img->read->disk);
    // Reaching the end of the source ends the run like a stop; the job tells the
    // two apart by its completeness check.
    if (end == read_end::failed)
        vt_img_set_fault(img);
    else
        vt_img_set_sentinel(img);
    return nullptr;
}

int vt_read_init(vt_read **slot, vt_json_obj *doc, vt_syslog *log)
{
    if (VT_NIL(2, slot, doc))
        return 1;
    (void)log; // handed to the sessions of a remote source
    if (*slot)
        return VT_ERR("invalid paramater");
    read_ptr read(new (std::nothrow) vt_read{});
    if (!read)
        return VT_ERR("out of memory");
    if (vt_json_obj_check_key(doc, "vantrel") == 0) {
        read->kind = VT_READ_VANTREL;
        VT_ERR("remote target source is not available in this build");
        return VT_ERR("failed to create examiner object");
    }
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_get_object(doc, "disk", &raw))
        return VT_ERR("failed to get source object");
    json_ptr section(raw);
    if (read_init_disk(read.get(), section.get()))
        return 1;
    *slot = read.release();
    return 0;
}

int vt_read_deit(vt_read **slot)
{
    if (!slot || !*slot)
        return 1;
    read_release{}(*slot);
    *slot = nullptr;
    return 0;
}

int vt_read_reload_object(vt_read *read)
{
    if (VT_NIL(1, read))
        return 1;
    if (read->kind != VT_READ_DISK)
        return VT_ERR("invalid read type -- %d", read->kind);
    vt_json_obj *fresh = nullptr;
    if (vt_disk_get_target_object(read->disk, &fresh))
        return VT_ERR("failed to get target object");
    vt_json_obj_deit(&read->target);
    read->target = fresh;
    return 0;
}

int vt_read_get_size_and_count(vt_read *read, uint64_t *sector_size, uint64_t *sector_count)
{
    if (VT_NIL(3, read, sector_size, sector_count))
        return 1;
    switch (read->kind) {
    case VT_READ_VANTREL:
        if (vt_json_obj_get_number_string(read->target, "block_size", sector_size) ||
            vt_json_obj_get_number_string(read->target, "block_count", sector_count))
            return VT_ERR("failed to read target object");
        return 0;
    case VT_READ_DISK:
        return vt_disk_get_size_and_count(read->disk, sector_size, sector_count);
    default:
        return VT_ERR("invalid read type -- %d", read->kind);
    }
}

int vt_read_start(vt_read *read, vt_img *job)
{
    if (VT_NIL(2, read, job))
        return 1;
    if (read->kind != VT_READ_DISK)
        return VT_ERR("invalid read type -- %d", read->kind);
    if (vt_thread_start_guarantee(&read->thread, vt_img_read_worker_disk, job))
        return VT_ERR("failed to start read thread");
    return 0;
}

int vt_read_stop(vt_read *read)
{
    if (VT_NIL(1, read))
        return 1;
    return vt_thread_stop(&read->thread);
}

int vt_read_log(vt_read *read, vt_syslog *log)
{
    if (VT_NIL(2, read, log))
        return 1;
    uint64_t sector_size = 0, sector_count = 0;
    if (vt_read_get_size_and_count(read, &sector_size, &sector_count))
        return VT_ERR("failed to get sector size and count");
    if (read->kind != VT_READ_DISK)
        return VT_ERR("invalid read type -- %d", read->kind);
    return vt_syslog_log(log, 2,
                         "[Evidence Details]\nPath: %s\nDevice Size: %llu\nSector Size: "
                         "%llu\nSector Count: %llu\n\n",
                         read->disk->path.text,
                         static_cast<unsigned long long>(sector_size * sector_count),
                         static_cast<unsigned long long>(sector_size),
                         static_cast<unsigned long long>(sector_count));
}

int vt_read_check_object(vt_read *read, vt_json_obj *obj)
{
    if (VT_NIL(2, read, obj))
        return 1;
    char *raw = nullptr;
    size_t length = 0, other_length = 0;
    if (vt_json_obj_encode_(read->target, &raw, &length))
        return VT_ERR("failed to encode object");
    text_ptr stored(raw);
    raw = nullptr;
    if (vt_json_obj_encode_(obj, &raw, &other_length))
        return VT_ERR("failed to encode object");
    text_ptr other(raw);
    if (length != other_length || std::memcmp(stored.get(), other.get(), length) != 0)
        return VT_ERR("mismatch object");
    return 0;
}
