// Target operations of a subject object: the target table filled from the target
// list response and its lookups and JSON forms, target login and logout, reads and
// their completion piece by piece, and the buffer cache of auto pilot.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "vt_examiner.h"
#include "vt_ptr.h"

namespace {

using json_obj_deleter = vt_deit_deleter<vt_json_obj_deit>;
using json_arr_deleter = vt_deit_deleter<vt_json_arr_deit>;
using json_obj_ptr = std::unique_ptr<vt_json_obj, json_obj_deleter>;
using json_arr_ptr = std::unique_ptr<vt_json_arr, json_arr_deleter>;

// The list being filled by the select, one element per row.
struct list_fill {
    vt_db_target *array;
    size_t filled;
    size_t allocated;
};

// The by-id lookup: the caller's record and whether a row already filled it.
struct id_fill {
    vt_db_target *record;
    bool found;
};

} // namespace

// ---- helpers ----

// The numbers of a row, and an owned copy of its name (none for an empty name).
static int copy_target(vt_db_target *out, const vt_db_target *row)
{
    *out = *row;
    out->name = {};
    return row->name.length ? vt_string_copy(&out->name, row->name.text, row->name.length) : 0;
}

static int vt_subject_target_list_walk(const vt_db_target *record, void *user)
{
    auto *fill = static_cast<list_fill *>(user);
    if (fill->filled == fill->allocated)
        return VT_ERR("target list overflow on %zu of %zu targets", fill->filled, fill->allocated);
    if (copy_target(&fill->array[fill->filled], record))
        return VT_ERR("out of memory");
    ++fill->filled;
    return 0;
}

static int vt_subject_target_id_walk(const vt_db_target *record, void *user)
{
    auto *fill = static_cast<id_fill *>(user);
    // Two rows with one id (the list was fetched twice) leave the id ambiguous.
    if (fill->found || copy_target(fill->record, record))
        return 1;
    fill->found = true;
    return 0;
}

static int vt_subject_target_json_walk(const vt_db_target *record, void *user)
{
    vt_json_obj *document = nullptr;
    if (vt_db_target_dump(record, &document))
        return VT_ERR("failed to encode target");
    json_obj_ptr owned(document);
    if (vt_json_arr_object(static_cast<vt_json_arr *>(user), document))
        return VT_ERR("failed to add target to array");
    return 0;
}

static int vt_subject_target_json_readable_walk(const vt_db_target *record, void *user)
{
    vt_json_obj *document = nullptr;
    if (vt_db_target_dump_readable(record, &document))
        return VT_ERR("failed to encode target");
    json_obj_ptr owned(document);
    if (vt_json_arr_object(static_cast<vt_json_arr *>(user), document))
        return VT_ERR("failed to add target to array");
    return 0;
}

// {"targets": [...]} from a walk of the table with the given row callback.
static int target_json(vt_subject *subject, vt_json_obj **document, vt_db_target_cb walk)
{
    if (!subject || !document || *document)
        return VT_ERR("invalid parameter");
    vt_json_arr *raw_array = nullptr;
    if (vt_json_arr_init(&raw_array))
        return VT_ERR("failed to create array object");
    json_arr_ptr array(raw_array);
    if (vt_subject_target_walk(subject, walk, raw_array))
        return VT_ERR("failed to traverse target list");
    vt_json_obj *raw_object = nullptr;
    if (vt_json_obj_init(&raw_object))
        return VT_ERR("failed to create object");
    json_obj_ptr object(raw_object);
    if (vt_json_obj_array(raw_object, "targets", raw_array))
        return VT_ERR("failed to add array to object");
    *document = object.release();
    return 0;
}

// Status request whose body is {"id": id}.
static int target_id_request(vt_subject *subject, uint8_t opcode, uint32_t id, const char *name)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return 1;
    json_obj_ptr body(raw);
    if (vt_json_obj_number(raw, "id", id))
        return 1;
    return vt_ptc_status_send_json(subject, opcode, raw, name);
}

// Runs the completion callback, if one is configured: 0 when it succeeded.
static int complete_read(const vt_subject *subject, vt_task *task, const uint8_t *data,
                         size_t length, uint32_t error)
{
    void *user = nullptr;
    vt_task_get_user_data_(task, &user);
    return subject->cdb ? subject->cdb(data, length, user, error) : 0;
}

// ---- the target table ----

int vt_ptc_se_target_list_cb(vt_subject *subject, vt_ptc_req *response)
{
    vt_json_arr *raw = nullptr;
    size_t count = 0;
    if (VT_NIL(2, subject, response) || !response->body ||
        vt_json_obj_get_array(response->body, "targets", &raw))
        return VT_ERR("failed to load target list");
    json_arr_ptr targets(raw);
    if (vt_json_arr_size(raw, &count))
        return VT_ERR("failed to load target list");
    for (size_t i = 0; i < count; ++i) {
        vt_json_obj *element = nullptr;
        if (vt_json_arr_get_object(raw, &element, i))
            return VT_ERR("failed to load target list");
        json_obj_ptr owned(element);
        // The record borrows the element's name for the insert.
        vt_db_target record = {};
        if (vt_db_target_load(&record, element) || vt_db_target_insert(subject->db, &record))
            return VT_ERR("failed to load target list");
    }
    return 0;
}

int vt_subject_target_list(vt_subject *subject, vt_db_target **array, size_t *count)
{
    if (VT_NIL(3, subject, array, count))
        return 1;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock the subject object");
    size_t rows = 0;
    int result = 0;
    list_fill fill = {};
    if (vt_db_target_count_all(subject->db, &rows)) {
        result = VT_ERR("failed to get the number of targets");
    } else if (rows > 0) {
        fill = {static_cast<vt_db_target *>(std::calloc(rows, sizeof(vt_db_target))), 0, rows};
        if (!fill.array) {
            result = VT_ERR("out of memory");
        } else if (vt_db_target_select(subject->db, vt_subject_target_list_walk, &fill)) {
            vt_subject_target_free_list(&fill.array, fill.filled);
            result = VT_ERR("failed to get the list of targets");
        }
    }
    if (vt_lock_release(subject->lock)) {
        vt_subject_target_free_list(&fill.array, fill.filled);
        return VT_ERR("failed to unlock the subject object");
    }
    if (result == 0 && fill.array) {
        *array = fill.array;
        *count = fill.filled;
    }
    return result;
}

int vt_subject_target_free_list(vt_db_target **array, size_t count)
{
    if (!array || !*array)
        return 1;
    for (size_t i = 0; i < count; ++i)
        vt_string_free(&(*array)[i].name);
    std::free(*array);
    *array = nullptr;
    return 0;
}

int vt_subject_target_by_name(vt_subject *subject, const vt_string *name, uint32_t *id)
{
    if (VT_NIL(3, subject, name, id))
        return 1;
    vt_db_target *targets = nullptr;
    size_t count = 0;
    if (vt_subject_target_list(subject, &targets, &count))
        return VT_ERR("failed to get target list");
    int result = 1;
    for (size_t i = 0; i < count && result; ++i) {
        const vt_string &candidate = targets[i].name;
        if (candidate.length == name->length &&
            (name->length == 0 || std::memcmp(candidate.text, name->text, name->length) == 0)) {
            *id = static_cast<uint32_t>(targets[i].id);
            result = 0;
        }
    }
    vt_subject_target_free_list(&targets, count);
    return result;
}

int vt_subject_target_id(vt_subject *subject, uint32_t id, vt_db_target *record)
{
    if (VT_NIL(2, subject, record))
        return 1;
    *record = {};
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    id_fill fill = {record, false};
    int result = 0;
    if (vt_db_target_select_id(subject->db, vt_subject_target_id_walk, &fill, id)) {
        vt_subject_target_free(record);
        *record = {};
        result = VT_ERR("failed to search for target by '%d'", static_cast<int>(id));
    }
    if (vt_lock_release(subject->lock))
        return VT_ERR("failed to unlock subject object");
    return result;
}

int vt_subject_target_free(vt_db_target *record)
{
    if (!record)
        return 1;
    vt_string_free(&record->name);
    return 0;
}

int vt_subject_target_walk(vt_subject *subject, vt_db_target_cb callback, void *user)
{
    if (VT_NIL(2, subject, callback))
        return 1;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    const int result = vt_db_target_select(subject->db, callback, user);
    if (vt_lock_release(subject->lock))
        return VT_ERR("failed to unlock subject object");
    return result;
}

int vt_subject_target_json(vt_subject *subject, vt_json_obj **document)
{
    return target_json(subject, document, vt_subject_target_json_walk);
}

int vt_subject_target_json_readable(vt_subject *subject, vt_json_obj **document)
{
    return target_json(subject, document, vt_subject_target_json_readable_walk);
}

// ---- login, logout, reads ----

int vt_subject_target_login(vt_subject *subject, uint32_t id)
{
    return target_id_request(subject, VT_PTC_TARGET_LOGIN_REQ, id, "target login");
}

int vt_subject_target_logout(vt_subject *subject, uint32_t id)
{
    return target_id_request(subject, VT_PTC_TARGET_LOGOUT_REQ, id, "target logout");
}

int vt_subject_target_read(vt_subject *subject, uint32_t id, uint64_t offset, uint64_t length,
                           vt_buffer *buffer, vt_task **task, void *user)
{
    if (VT_NIL(2, subject, task))
        return 1;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    // Pieces may fill a whole frame behind their header.
    const uint64_t limit = subject->transport->stack_size - vt_ptc_format::kHeaderSize;
    uint8_t *message = nullptr;
    size_t size = 0;
    int result = 0;
    if (!subject->web || vt_ptc_read_req(subject->scratch, id, offset, length, limit, &message, &size) ||
        vt_web_send_base(subject->web, message, size, task, buffer, 0, user)) {
        if (subject->web)
            vt_web_conn_fail(subject->web);
        result = VT_ERR("failed to send target read request");
    }
    if (vt_lock_release(subject->lock))
        return VT_ERR("failed to unlock subject object");
    return result;
}

int vt_subject_target_read_auto(vt_subject *subject, uint32_t id, uint64_t offset, uint64_t length,
                                void *user)
{
    if (VT_NIL(1, subject))
        return 1;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    vt_buffer *buffer = nullptr;
    int result = 0;
    if (!(subject->flags & vt_subject_flag_auto))
        result = VT_ERR("auto pilot must be set by calling vt_examiner_cfg_set_auto_pilot");
    else if (vt_cache_alloc(subject->cache, &buffer))
        result = VT_ERR("failed to get new buffer from cache");
    vt_web *web = subject->web;
    if (vt_lock_release(subject->lock)) {
        vt_buffer_deit(&buffer);
        return VT_ERR("failed to unlock subject object");
    }
    if (result)
        return result;
    vt_task *task = nullptr;
    if (vt_subject_target_read(subject, id, offset, length, buffer, &task, user) == 0)
        return 0; // the completion recycles buffer and task
    // The read never went out, so no completion will recycle them.
    if (task)
        vt_web_task_free(web, &task);
    if (vt_lock_acquire(subject->lock) == 0) {
        vt_cache_free(subject->cache, &buffer);
        vt_lock_release(subject->lock);
    }
    vt_buffer_deit(&buffer);
    return VT_ERR("failed to read target %u", id);
}

// One response to a read: a piece of data or the subject's error code. Called by
// the dispatcher with the subject lock held.
int vt_ptc_se_target_read_res(vt_subject *subject, vt_web *channel, uint8_t *message, size_t size)
{
    constexpr size_t header_size = vt_ptc_format::kHeaderSize;
    if (size < header_size)
        return VT_ERR("target read response of %zu bytes is shorter than its header", size);
    auto *header = reinterpret_cast<vt_ptc_read_hdr *>(message);
    vt_ptc_read_ntoh(header);
    const uint32_t error = header->error;
    const bool last = (header->flags & vt_ptc_format::kReadFlagLast) != 0;
    vt_task *task = nullptr;
    int failed = 0;
    if (error) {
        vt_syslog_log(subject->logger, 0, "Error code %x on target read response.\n", error);
        if (vt_web_task(channel, &task)) {
            failed = VT_ERR("failed to get task node");
        } else {
            if (complete_read(subject, task, nullptr, 0, error))
                failed = VT_ERR("failed to complete cdb");
            if (vt_cond_signal(vt_task_cond(task)))
                failed = VT_ERR("failed to complete target read request");
        }
        if (error != VT_PTC_ERR_READ_RECOVERABLE)
            failed = VT_ERR("target read failed on error code %x", error);
    } else if (size - header_size != header->length) {
        // The peer's length is checked before anything is appended.
        failed = VT_ERR("mismatch in length on target read response");
    } else if (vt_web_task(channel, &task)) {
        failed = VT_ERR("failed to get task node");
    } else if (vt_task_write(task, message + header_size, header->length)) {
        failed = VT_ERR("failed to copy buffer");
    } else if (last) {
        uint8_t *data = nullptr;
        size_t used = 0;
        vt_task_get_buffer_(task, &data, &used);
        if (complete_read(subject, task, data, used, 0))
            failed = VT_ERR("failed to complete cdb");
        if (vt_cond_signal(vt_task_cond(task)))
            failed = VT_ERR("failed to complete target read request");
    }
    // An error answer completes the read as a last piece does: with auto pilot both
    // recycle the read's buffer and task, whatever happened above.
    if ((subject->flags & vt_subject_flag_auto) && (last || error)) {
        vt_buffer *buffer = nullptr;
        if (vt_web_task(channel, &task) || vt_task_get_buffer_object(task, &buffer) || !buffer)
            failed = VT_ERR("failed to get task node and buffer");
        else if (vt_cache_free(subject->cache, &buffer) || vt_web_task_clear(channel) ||
                 vt_web_task_free(channel, &task))
            failed = VT_ERR("failed to free buffer and task object");
    }
    return failed;
}

// ---- buffer cache ----

int vt_cache_init(vt_cache **slot, uint32_t capacity)
{
    if (!slot || *slot)
        return 1;
    auto *cache = new (std::nothrow) vt_cache{};
    if (!cache)
        return 1;
    cache->capacity = capacity;
    *slot = cache;
    return 0;
}

int vt_cache_deit(vt_cache **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_cache *cache = *slot;
    while (cache->buffers) {
        vt_buffer *buffer = nullptr;
        vt_cache_alloc(cache, &buffer);
        vt_buffer_deit(&buffer);
    }
    delete cache;
    *slot = nullptr;
    return 0;
}

int vt_cache_alloc(vt_cache *cache, vt_buffer **out)
{
    if (!cache || !out || *out)
        return 1;
    if (!cache->buffers)
        return vt_buffer_init(out, 0);
    // The tail is the buffer returned last.
    vt_buffer *tail = cache->buffers->prev;
    if (tail == cache->buffers)
        cache->buffers = nullptr;
    else
        vt_buffer_remove(tail);
    --cache->idle;
    tail->used = 0;
    *out = tail;
    return 0;
}

int vt_cache_free(vt_cache *cache, vt_buffer **slot)
{
    if (!cache || !slot || !*slot)
        return 1;
    vt_buffer *buffer = *slot;
    *slot = nullptr;
    if (cache->idle >= cache->capacity)
        return vt_buffer_deit(&buffer);
    buffer->next = buffer->prev = buffer;
    if (cache->buffers)
        vt_buffer_append(cache->buffers, buffer);
    else
        cache->buffers = buffer;
    ++cache->idle;
    return 0;
}
