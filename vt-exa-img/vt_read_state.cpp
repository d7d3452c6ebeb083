// The image job's read progress, shared by the reader, the job thread, the status
// handler and the progress printer. Every operation works under the object's lock
// and reports its failures only after releasing it, so no other lock is ever taken
// while it is held.
#include "vt_read_state.h"

#include <cstdlib>
#include <memory>

#include "vt_json.h"
#include "vt_misc.h"

namespace {

struct read_state_free {
    void operator()(vt_read_state *rs) const
    {
        vt_json_obj_deit(&rs->object);
        vt_string_free(&rs->start_date);
        vt_string_free(&rs->end_date);
        if (rs->lock != nullptr)
            vt_lock_deit(&rs->lock);
        free(rs);
    }
};

// Lock and unlock report under the name of the operation that asked for them.
int lock_state(vt_read_state *rs, const char *function)
{
    if (rs == nullptr)
        return syserr_nil_log(VT_SOURCE, function, __LINE__, 1, rs);
    if (vt_lock_acquire(rs->lock) != 0)
        return syserr_msg_log(VT_SOURCE, function, __LINE__, "failed to lock read state object");
    return 0;
}

int unlock_state(vt_read_state *rs, const char *function)
{
    if (vt_lock_release(rs->lock) != 0)
        return syserr_msg_log(VT_SOURCE, function, __LINE__, "failed to unlock read state object");
    return 0;
}

uint64_t now_seconds()
{
    uint64_t time = 0;
    vt_get_system_time(&time);
    return time / VT_TIME_UNITS_PER_SECOND - VT_TIME_UNIX_EPOCH_SECONDS;
}

// The current local wall-clock time as "%FT%TZ" into an empty string.
int vt_get_local_datetime(vt_string *date)
{
    uint64_t time = 0;
    char *text = nullptr;
    size_t length = 0;
    vt_get_system_time(&time);
    if (vt_acquire_local_date(time, &text, &length) != 0)
        return VT_ERR("failed to get local date time");
    date->text = text;
    date->length = length;
    return 0;
}

// Writes the checkpoint keys; null on success, else the failure text.
const char *save_locked(vt_read_state *rs)
{
    if (vt_json_obj_number_string(rs->object, "offset", rs->offset) != 0)
        return "failed to write offset in object";
    if (vt_json_obj_number_string(rs->object, "length", rs->remaining) != 0)
        return "failed to write length in object";
    if (rs->start_date.text == nullptr ||
        vt_json_obj_string(rs->object, "start_date", rs->start_date.text, rs->start_date.length) != 0)
        return "failed to write start date in object";
    return nullptr;
}

// Takes the three checkpoint values from obj together, or none of them.
const char *load_locked(vt_read_state *rs, const vt_json_obj *obj)
{
    vt_string_free(&rs->start_date);
    vt_string_free(&rs->end_date);
    uint64_t offset = 0, remaining = 0;
    const char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_number_string(obj, "offset", &offset) != 0)
        return "failed to get read offset";
    if (vt_json_obj_get_number_string(obj, "length", &remaining) != 0)
        return "failed to get read length";
    if (vt_json_obj_get_string(obj, "start_date", &text, &length) != 0 ||
        vt_string_copy(&rs->start_date, text, length) != 0)
        return "failed to get read start date";
    rs->offset = offset;
    rs->remaining = remaining;
    return nullptr;
}

// A date that was never set stays empty in the copy.
int copy_date(const vt_string &date, vt_string *copy)
{
    return date.text == nullptr ? 0 : vt_string_dup(copy, &date);
}

// The average since the previous query; a query in the sample's own first second
// gives the bytes undivided and keeps the sample going.
uint64_t take_rate_locked(vt_read_state *rs, uint64_t now)
{
    if (now == rs->sample_start)
        return rs->sample_bytes;
    uint64_t rate = now > rs->sample_start ? rs->sample_bytes / (now - rs->sample_start) : 0;
    rs->sample_bytes = 0;
    rs->sample_start = 0;
    return rate;
}

} // namespace

int vt_read_state_init(vt_read_state **slot)
{
    if (slot == nullptr || *slot != nullptr)
        return VT_ERR("failed to create object");
    std::unique_ptr<vt_read_state, read_state_free> rs(
        static_cast<vt_read_state *>(calloc(1, sizeof(vt_read_state))));
    if (rs == nullptr)
        return VT_ERR("failed to create object");
    if (vt_lock_init(&rs->lock) != 0)
        return VT_ERR("failed to create lock object");
    if (vt_json_obj_init(&rs->object) != 0)
        return VT_ERR("failed to create object");
    *slot = rs.release();
    return 0;
}

int vt_read_state_deit(vt_read_state **slot)
{
    if (slot == nullptr || *slot == nullptr)
        return 1;
    read_state_free()(*slot);
    *slot = nullptr;
    return 0;
}

int vt_read_state_start(vt_read_state *rs, uint64_t offset, uint64_t length)
{
    vt_string date{};
    if (vt_get_local_datetime(&date) != 0)
        return VT_ERR("failed to get start date");
    if (lock_state(rs, __func__) != 0) {
        vt_string_free(&date);
        return 1;
    }
    rs->offset = offset;
    rs->remaining = length;
    vt_string_free(&rs->start_date);
    rs->start_date = date;
    const char *failure = save_locked(rs);
    if (unlock_state(rs, __func__) != 0)
        return 1;
    return failure != nullptr ? VT_ERR("failed initialize read state object") : 0;
}

int vt_read_state_update(vt_read_state *rs, uint64_t count, uint64_t *offset, uint64_t *remaining)
{
    uint64_t now = now_seconds();
    if (lock_state(rs, __func__) != 0)
        return 1;
    uint64_t left = rs->remaining;
    bool fits = count <= left;
    if (fits) {
        rs->sample_bytes += count;
        if (rs->sample_start == 0)
            rs->sample_start = now;
        rs->offset += count;
        rs->remaining -= count;
        if (offset != nullptr)
            *offset = rs->offset;
        if (remaining != nullptr)
            *remaining = rs->remaining;
    }
    if (unlock_state(rs, __func__) != 0)
        return 1;
    // Handing out more than remains would wrap the remaining count to a huge value.
    if (!fits)
        return VT_ERR("read of %llu bytes beyond the %llu remaining", (unsigned long long)count,
                      (unsigned long long)left);
    return 0;
}

int vt_read_state_save(vt_read_state *rs)
{
    if (lock_state(rs, __func__) != 0)
        return 1;
    const char *failure = save_locked(rs);
    if (unlock_state(rs, __func__) != 0)
        return 1;
    return failure != nullptr ? VT_ERR("%s", failure) : 0;
}

int vt_read_state_load(vt_read_state *rs, const vt_json_obj *obj)
{
    if (VT_NIL(2, rs, obj) || lock_state(rs, __func__) != 0)
        return 1;
    const char *failure = load_locked(rs, obj);
    if (unlock_state(rs, __func__) != 0)
        return 1;
    return failure != nullptr ? VT_ERR("%s", failure) : 0;
}

int vt_read_state_clear(vt_read_state *rs)
{
    if (lock_state(rs, __func__) != 0)
        return 1;
    int missing = 0;
    for (const char *key : {"offset", "length", "start_date"})
        missing |= vt_json_obj_remove(rs->object, key) != 0;
    if (unlock_state(rs, __func__) != 0)
        return 1;
    return missing ? VT_ERR("failed to remove read state keys") : 0;
}

int vt_read_state_end(vt_read_state *rs)
{
    vt_string date{};
    if (vt_get_local_datetime(&date) != 0)
        return VT_ERR("failed to get end date");
    if (lock_state(rs, __func__) != 0) {
        vt_string_free(&date);
        return 1;
    }
    vt_string_free(&rs->end_date);
    rs->end_date = date;
    return unlock_state(rs, __func__);
}

int vt_read_state_get_state(vt_read_state *rs, uint64_t *offset, uint64_t *remaining,
                            uint64_t *rate)
{
    if (VT_NIL(4, rs, offset, remaining, rate))
        return 1;
    uint64_t now = now_seconds();
    if (lock_state(rs, __func__) != 0)
        return 1;
    *offset = rs->offset;
    *remaining = rs->remaining;
    *rate = take_rate_locked(rs, now);
    return unlock_state(rs, __func__);
}

int vt_read_state_get_object(vt_read_state *rs, vt_json_obj **copy)
{
    if (VT_NIL(2, rs, copy) || lock_state(rs, __func__) != 0)
        return 1;
    int failed = vt_json_obj_copy(copy, rs->object) != 0;
    if (unlock_state(rs, __func__) != 0) {
        vt_json_obj_deit(copy);
        return 1;
    }
    return failed ? VT_ERR("failed to copy object") : 0;
}

int vt_read_state_check_complete(vt_read_state *rs, uint64_t total)
{
    if (lock_state(rs, __func__) != 0)
        return 1;
    uint64_t offset = rs->offset, remaining = rs->remaining;
    if (unlock_state(rs, __func__) != 0)
        return 1;
    if (remaining != 0 || offset != total)
        return VT_ERR("read state at %llu out of %llu bytes", (unsigned long long)offset,
                      (unsigned long long)total);
    return 0;
}

int vt_read_state_log_date(vt_read_state *rs, vt_syslog *log)
{
    if (VT_NIL(2, rs, log) || lock_state(rs, __func__) != 0)
        return 1;
    vt_string start{}, end{};
    bool copied = copy_date(rs->start_date, &start) == 0 && copy_date(rs->end_date, &end) == 0;
    int unlock_failed = unlock_state(rs, __func__);
    if (unlock_failed || !copied) {
        vt_string_free(&start);
        vt_string_free(&end);
        return unlock_failed ? 1 : VT_ERR("failed to copy dates");
    }
    // The log object has its own lock: it is written only after ours is released.
    int failed = vt_syslog_log(log, 2, "Acquisition Start Time: %s\nAcquisition End Time: %s\n",
                               start.text != nullptr ? start.text : "",
                               end.text != nullptr ? end.text : "");
    vt_string_free(&start);
    vt_string_free(&end);
    return failed ? VT_ERR("failed to write acquisition dates") : 0;
}
