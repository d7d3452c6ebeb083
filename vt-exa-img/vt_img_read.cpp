// The image job's source object and its reader thread: which source the job
// document names, the target object that identifies it, and the thread that fills
// the ring of work units in source order from the read state's position on.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "vt_aux.h"
#include "vt_disk.h"
#include "vt_exa.h"
#include "vt_img.h"
#include "vt_json.h"
#include "vt_read_state.h"
#include "vt_task.h"
#include "vt_thread.h"
#include "vt_ptr.h"

namespace {

struct read_release {
    void operator()(vt_read *read) const
    {
        vt_read_stop(read);
        vt_exa_deit(&read->exa);
        vt_disk_deit(&read->disk);
        vt_json_obj_deit(&read->target);
        delete read;
    }
};
using read_ptr = std::unique_ptr<vt_read, read_release>;

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

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

// The remote source: the examiner object and the target object it fetches.
int read_init_vantrel(vt_read *read, vt_json_obj *section, vt_syslog *log)
{
    read->kind = VT_READ_VANTREL;
    if (vt_exa_init(&read->exa, section, log))
        return VT_ERR("failed to create examiner object");
    if (vt_exa_get_target_object(read->exa, &read->target))
        return VT_ERR("failed to get target object");
    return 0;
}

// Fills one unit with n bytes at offset and hands it on: a disk is read here, a
// remote target gets a request whose completion hands the unit on. For a unit
// that completes a table, the read position just behind it travels with the
// unit, so the write thread can commit it with the hash state and writer offset
// of the same boundary. The checkpoint is stored before the unit is handed on
// (or its request issued, whose completion may come first): from then on the
// unit belongs to the hash and write threads.
int read_unit(vt_img *img, vt_io *unit, uint64_t n, uint64_t *offset, uint64_t *remaining)
{
    vt_read *read = img->read;
    const uint64_t at = *offset;
    vt_io_mark(unit, n);
    if (read->kind == VT_READ_DISK && vt_io_read_disk(unit, read->disk, at, n))
        return VT_ERR("failed to read io object");
    if (vt_read_state_update(img->rs, n, offset, remaining))
        return VT_ERR("failed to update read state");
    if (unit->mark) {
        vt_json_obj_deit(&unit->read_checkpoint);
        if (vt_read_state_save(img->rs) ||
            vt_read_state_get_object(img->rs, &unit->read_checkpoint))
            return VT_ERR("failed to save read state");
    }
    const int handed_on = read->kind == VT_READ_VANTREL
                              ? vt_io_read_vantrel(unit, read->exa, at, n)
                              : vt_io_dispatch(unit);
    if (handed_on)
        return VT_ERR("failed to read io object");
    return 0;
}

// Waits until the unit has been written and may be refilled. A remote unit's read
// is waited for first, so a subject that stops answering ends the run.
int wait_written(vt_img *img, vt_io *unit)
{
    if (img->read->kind == VT_READ_VANTREL &&
        vt_io_wait_vantrel(unit, img->read->exa, img))
        return 1;
    if (vt_cond_wait(unit->written_event))
        return VT_ERR("failed to wait for write event");
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
        if (wait_written(img, unit))
            return read_end::failed;
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
        if (wait_written(img, unit))
            return read_end::failed;
        if (vt_img_get_sentinel(img)) {
            VT_ERR("read thread detected sentinel");
            return read_end::stopped;
        }
        const uint64_t n = std::min(unit->size, remaining);
        if (img->read->kind == VT_READ_DISK)
            VT_ERR("bytes to read = %llu and offset %llu.", static_cast<unsigned long long>(n),
                   static_cast<unsigned long long>(offset));
        if (read_unit(img, unit, n, &offset, &remaining))
            return read_end::failed;
        unit = unit->next;
    }
    return drain_ring(img, unit);
}

// Frees the requests of a closed session, which no task table holds any more.
void release_requests(vt_img *img)
{
    vt_io *unit = img->ios;
    do {
        vt_task_deit(&unit->task);
        unit = unit->next;
    } while (unit != img->ios);
}

// The end of a run: reaching the end of the source ends it like a stop; the job
// tells the two apart by its completeness check.
void read_finish(vt_img *img, read_end end)
{
    if (end == read_end::failed)
        vt_img_set_fault(img);
    else
        vt_img_set_sentinel(img);
}

} // namespace

void *vt_img_read_worker_vantrel(void *job)
{
    auto *img = static_cast<vt_img *>(job);
    vt_exa *exa = img->read->exa;
    if (vt_exa_start(exa, vt_exa_read_cdb_worker, vt_exa_sentinel_worker, img)) {
        VT_ERR("failed to start examiner");
        vt_img_set_fault(img);
        return nullptr;
    }
    const read_end end = read_source(img);
    // Reads still in flight are answered before the logout (the subject answers
    // in order) or dropped with the connection; either way the session is closed
    // before their requests are freed.
    vt_exa_stop(exa);
    release_requests(img);
    read_finish(img, end);
    return nullptr;
}

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
    read_finish(img, end);
    return nullptr;
}

int vt_read_init(vt_read **slot, vt_json_obj *doc, vt_syslog *log)
{
    if (VT_NIL(2, slot, doc))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    read_ptr read(new (std::nothrow) vt_read{});
    if (!read)
        return VT_ERR("out of memory");
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_get_object(doc, "vantrel", &raw) == 0) {
        json_ptr section(raw);
        if (read_init_vantrel(read.get(), section.get(), log))
            return 1;
    } else {
        if (vt_json_obj_get_object(doc, "disk", &raw))
            return VT_ERR("failed to get source object");
        json_ptr section(raw);
        if (read_init_disk(read.get(), section.get()))
            return 1;
    }
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
    vt_json_obj *fresh = nullptr;
    switch (read->kind) {
    case VT_READ_VANTREL:
        if (vt_exa_get_target_object(read->exa, &fresh))
            return VT_ERR("failed to get target object");
        break;
    case VT_READ_DISK:
        if (vt_disk_get_target_object(read->disk, &fresh))
            return VT_ERR("failed to get target object");
        break;
    default:
        return VT_ERR("invalid read type -- %d", read->kind);
    }
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
    vt_thread_fn worker = nullptr;
    switch (read->kind) {
    case VT_READ_VANTREL:
        worker = vt_img_read_worker_vantrel;
        break;
    case VT_READ_DISK:
        worker = vt_img_read_worker_disk;
        break;
    default:
        return VT_ERR("invalid read type -- %d", read->kind);
    }
    if (vt_thread_start_guarantee(&read->thread, worker, job))
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
    const auto size = static_cast<unsigned long long>(sector_size * sector_count);
    if (read->kind == VT_READ_VANTREL)
        return vt_syslog_log(log, 2,
                             "[Evidence Details]\nSubject: %s\nTarget: %s\nDevice Size: "
                             "%llu\nSector Size: %llu\nSector Count: %llu\n\n",
                             read->exa->subject.text, read->exa->target.text, size,
                             static_cast<unsigned long long>(sector_size),
                             static_cast<unsigned long long>(sector_count));
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
