// Work units, the locked queue and the compression pool of the image job: a unit
// carries one read's worth of source bytes through hashing, compression and
// writing; the pool compresses units in any order on all processors.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "vt_aux.h"
#include "vt_buffer.h"
#include "vt_deflate.h"
#include "vt_disk.h"
#include "vt_ewf.h"
#include "vt_img.h"
#include "vt_json.h"
#include "vt_thread.h"

namespace {

constexpr const char output_format_ewf[] = "ewf";
constexpr const char compression_deflate[] = "deflate";
constexpr unsigned worker_idle_ms = 5000;

struct deflate_release {
    void operator()(vt_deflate *stream) const { vt_deflate_deit(&stream); }
};
using deflate_ptr = std::unique_ptr<vt_deflate, deflate_release>;

void io_ewf_free(vt_io_ewf *record)
{
    if (!record)
        return;
    delete[] record->size_words;
    delete record;
}

void io_free(vt_io *unit)
{
    if (!unit)
        return;
    vt_buffer_deit(&unit->input);
    vt_buffer_deit(&unit->output);
    vt_cond_deit(&unit->read_event);
    vt_cond_deit(&unit->hashed_event);
    vt_cond_deit(&unit->compressed_event);
    vt_cond_deit(&unit->written_event);
    io_ewf_free(unit->ewf);
    vt_json_obj_deit(&unit->read_checkpoint);
    vt_json_obj_deit(&unit->hash_checkpoint);
    // A pending remote request (unit->task) belongs to the remote reader, which
    // frees it before the unit's next request and when its run ends.
    delete unit;
}

struct io_release {
    void operator()(vt_io *unit) const { io_free(unit); }
};
using io_ptr = std::unique_ptr<vt_io, io_release>;

// The chunk record: chunk size and table capacity exactly as the writer derives
// them, so that a table always ends with the last chunk of a unit.
int vt_io_ewf_init(vt_io_ewf **slot, uint64_t read_size, vt_json_obj *doc)
{
    vt_json_obj *section = nullptr;
    if (vt_json_obj_get_object(doc, "ewf", &section))
        return VT_ERR("failed to get ewf object");
    uint64_t chunk_size = 0, table_size = 0;
    const int no_chunk = vt_json_obj_get_number_string(section, "chunk_size", &chunk_size);
    const int no_table = vt_json_obj_get_number_string(section, "table_size", &table_size);
    vt_json_obj_deit(&section);
    if (no_chunk)
        return VT_ERR("failed to get chunk size");
    if (no_table)
        return VT_ERR("failed to get table size");
    std::unique_ptr<vt_io_ewf, decltype(&io_ewf_free)> record(new (std::nothrow) vt_io_ewf{},
                                                               io_ewf_free);
    if (!record)
        return VT_ERR("out of memory");
    record->chunk_size = chunk_size;
    if (vt_ewf_chunks_per_read(read_size, chunk_size, &record->chunks_per_read))
        return VT_ERR("failed to calculate chunks per read");
    if (vt_ewf_table_capacity(read_size, chunk_size, table_size, &record->table_capacity))
        return VT_ERR("failed to align table size");
    record->size_words = new (std::nothrow) uint32_t[record->chunks_per_read]();
    if (!record->size_words)
        return VT_ERR("out of memory");
    *slot = record.release();
    return 0;
}

// Checks that the job writes E01 and builds the unit's E01 bookkeeping.
int vt_io_format_load(vt_io *unit, vt_json_obj *doc)
{
    vt_json_obj *imager = nullptr;
    if (vt_json_obj_get_object(doc, "imager", &imager))
        return VT_ERR("failed to get imager object");
    const char *format = nullptr;
    size_t length = 0;
    const int missing = vt_json_obj_get_string(imager, "output_format", &format, &length);
    const bool is_ewf = !missing && std::string_view(format, length) == output_format_ewf;
    const std::string shown = missing ? std::string() : std::string(format, length);
    vt_json_obj_deit(&imager);
    if (missing)
        return VT_ERR("failed to get output format string");
    if (!is_ewf)
        return VT_ERR("unsupported output format -- %s", shown.c_str());
    unit->kind = VT_IO_OUTPUT_EWF;
    if (vt_io_ewf_init(&unit->ewf, unit->size, doc))
        return VT_ERR("failed to create io ewf object");
    return 0;
}

} // namespace

// ---- Work units ----

int vt_io_init(vt_io **slot, uint64_t read_size, vt_iocp *pool, vt_json_obj *doc)
{
    if (!slot || !doc || !pool || read_size == 0 || *slot)
        return VT_ERR("invalid paramater");
    io_ptr unit(new (std::nothrow) vt_io{});
    if (!unit)
        return VT_ERR("out of memory");
    unit->size = read_size;
    unit->pool = pool;
    if (vt_buffer_init(&unit->input, read_size) || vt_buffer_init(&unit->output, read_size))
        return VT_ERR("failed to create buffer object");
    if (vt_cond_init(&unit->read_event) || vt_cond_init(&unit->hashed_event) ||
        vt_cond_init(&unit->compressed_event) || vt_cond_init(&unit->written_event))
        return VT_ERR("failed to create cond object");
    unit->state = VT_IO_NORMAL;
    if (vt_io_format_load(unit.get(), doc))
        return VT_ERR("failed to load format");
    unit->next = unit->prev = unit.get();
    *slot = unit.release();
    return 0;
}

int vt_io_deit(vt_io **slot)
{
    if (!slot || !*slot)
        return 1;
    io_free(*slot);
    *slot = nullptr;
    return 0;
}

int vt_io_deflate(vt_io *unit, vt_deflate *stream)
{
    if (VT_NIL(2, unit, stream))
        return 1;
    if (unit->kind != VT_IO_OUTPUT_EWF)
        return VT_ERR("output format is not ewf");
    vt_io_ewf *record = unit->ewf;
    const uint8_t *data = unit->input->data;
    const uint64_t length = unit->input->used;
    uint64_t produced = 0;
    for (uint64_t at = 0; at < length; at += record->chunk_size, ++produced) {
        if (produced >= record->chunks_per_read)
            return VT_ERR("chunk size table overflow");
        const uint64_t chunk = std::min(record->chunk_size, length - at);
        if (vt_deflate_e01_compress(stream, data + at, chunk, unit->output,
                                    &record->size_words[produced]))
            return VT_ERR("failed to deflate chunk");
    }
    record->chunk_count = produced;
    return 0;
}

int vt_io_write(vt_io *unit, vt_ewf *writer)
{
    if (VT_NIL(2, unit, writer))
        return 1;
    if (vt_ewf_sector_write(writer, unit->output))
        return VT_ERR("failed to write sector data");
    if (vt_ewf_table_update(writer, unit->ewf->size_words, unit->ewf->chunk_count))
        return VT_ERR("failed to update table");
    return 0;
}

int vt_io_mark(vt_io *unit, uint64_t n)
{
    if (VT_NIL(1, unit))
        return 1;
    vt_io_ewf *record = unit->ewf;
    const uint64_t previous = unit->prev->ewf->table_fill;
    const uint64_t chunks = (n + record->chunk_size - 1) / record->chunk_size;
    record->table_fill = (previous == record->table_capacity ? 0 : previous) + chunks;
    unit->mark = record->table_fill == record->table_capacity ? 1 : 0;
    return 0;
}

int vt_io_read_disk(vt_io *unit, vt_disk *disk, uint64_t offset, uint64_t n)
{
    if (VT_NIL(2, unit, disk))
        return 1;
    unit->input->used = 0;
    unit->output->used = 0;
    if (n > unit->input->capacity)
        return VT_ERR("failed on invalid length");
    if (vt_disk_read_at(disk, offset, unit->input->data, n))
        return VT_ERR("failed to dispatch read request");
    unit->input->used = n;
    return 0;
}

int vt_io_dispatch(vt_io *unit)
{
    if (VT_NIL(1, unit))
        return 1;
    if (vt_iocp_post(unit->pool, VT_FIFO_COMPRESS, unit))
        return VT_ERR("failed to post iocp object");
    if (vt_cond_signal(unit->read_event))
        return VT_ERR("failed to signal read event");
    return 0;
}

// ---- Locked queue ----

namespace {

void node_unlink(vt_fifo_node *node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = node->prev = node;
}

void node_append(vt_fifo_node *sentinel, vt_fifo_node *node)
{
    node->prev = sentinel->prev;
    node->next = sentinel;
    sentinel->prev->next = node;
    sentinel->prev = node;
}

void node_free_list(vt_fifo_node *sentinel)
{
    while (sentinel->next != sentinel) {
        vt_fifo_node *node = sentinel->next;
        node_unlink(node);
        delete node;
    }
}

// Runs step under the queue's mutex; 1 after reporting a lock failure.
template <typename Step> int with_fifo_lock(vt_fifo *fifo, Step step)
{
    if (vt_lock_acquire(fifo->lock))
        return VT_ERR("failed to lock fifo object");
    const int result = step();
    if (vt_lock_release(fifo->lock))
        return VT_ERR("failed to unlock fifo object");
    return result;
}

} // namespace

int vt_fifo_init(vt_fifo **slot)
{
    if (VT_NIL(1, slot))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    auto *fifo = new (std::nothrow) vt_fifo{};
    if (!fifo)
        return VT_ERR("out of memory");
    fifo->active.next = fifo->active.prev = &fifo->active;
    fifo->spare.next = fifo->spare.prev = &fifo->spare;
    if (vt_lock_init(&fifo->lock)) {
        delete fifo;
        return VT_ERR("failed to create lock object");
    }
    *slot = fifo;
    return 0;
}

int vt_fifo_deit(vt_fifo **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_fifo *fifo = *slot;
    node_free_list(&fifo->active);
    node_free_list(&fifo->spare);
    vt_lock_deit(&fifo->lock);
    delete fifo;
    *slot = nullptr;
    return 0;
}

int vt_fifo_post(vt_fifo *fifo, uint32_t value, vt_io *unit)
{
    if (VT_NIL(1, fifo))
        return 1;
    return with_fifo_lock(fifo, [&]() {
        vt_fifo_node *node = fifo->spare.next;
        if (node != &fifo->spare) {
            node_unlink(node);
        } else {
            node = new (std::nothrow) vt_fifo_node{};
            if (!node)
                return VT_ERR("out of memory");
        }
        node->value = value;
        node->unit = unit;
        node_append(&fifo->active, node);
        ++fifo->count;
        return 0;
    });
}

int vt_fifo_take(vt_fifo *fifo, uint32_t *value, vt_io **unit, int *taken, int *more)
{
    if (VT_NIL(5, fifo, value, unit, taken, more))
        return 1;
    return with_fifo_lock(fifo, [&]() {
        vt_fifo_node *node = fifo->active.next;
        *taken = node != &fifo->active;
        if (*taken) {
            *value = node->value;
            *unit = node->unit;
            node_unlink(node);
            node->value = 0;
            node->unit = nullptr;
            node_append(&fifo->spare, node);
            --fifo->count;
        }
        *more = fifo->count > 0;
        return 0;
    });
}

// ---- Compression pool ----

namespace {

// Compresses one unit taken from the queue and hands it to the write thread.
int compress_unit(vt_io *unit, vt_deflate *stream)
{
    if (unit->state == VT_IO_FAILED)
        return VT_ERR("failed on io object");
    if (vt_io_deflate(unit, stream))
        return VT_ERR("failed to deflate io object");
    if (vt_cond_signal(unit->compressed_event))
        return VT_ERR("failed to signal compress event");
    return 0;
}

// The worker loop: 0 when told to stop or the job stopped, 1 on a failure.
int deflate_loop(vt_img *img, vt_iocp *pool, vt_deflate *stream)
{
    for (;;) {
        uint32_t value = 0;
        vt_io *unit = nullptr;
        int taken = 0, more = 0;
        if (vt_fifo_take(pool->fifo, &value, &unit, &taken, &more))
            return VT_ERR("failed to take iocp fifo object");
        if (!taken) {
            vt_cond_wait_timed(pool->event, worker_idle_ms);
            continue;
        }
        // Signals coalesce in the auto-reset event; passing the wake-up on lets an
        // idle worker see the items behind this one without waiting out its timeout.
        if (more)
            vt_cond_signal(pool->event);
        if (vt_img_get_sentinel(img) || value == VT_FIFO_STOP)
            return 0;
        if (compress_unit(unit, stream))
            return 1;
    }
}

} // namespace

int vt_iocp_init(vt_iocp **slot)
{
    if (VT_NIL(1, slot))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    auto *pool = new (std::nothrow) vt_iocp{};
    if (!pool)
        return VT_ERR("out of memory");
    std::unique_ptr<vt_iocp, int (*)(vt_iocp *)> guard(pool, [](vt_iocp *p) {
        return vt_iocp_deit(&p);
    });
    if (vt_get_proc_count(&pool->count))
        return VT_ERR("failed to get logical processor count");
    if (vt_cond_init(&pool->event))
        return VT_ERR("failed to create cond object");
    if (vt_fifo_init(&pool->fifo))
        return VT_ERR("failed to create fifo object");
    pool->threads = new (std::nothrow) vt_thread *[pool->count]();
    if (!pool->threads)
        return VT_ERR("out of memory");
    *slot = guard.release();
    return 0;
}

int vt_iocp_deit(vt_iocp **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_iocp *pool = *slot;
    if (pool->threads && pool->fifo && pool->event)
        vt_iocp_stop(pool);
    delete[] pool->threads;
    vt_fifo_deit(&pool->fifo);
    vt_cond_deit(&pool->event);
    delete pool;
    *slot = nullptr;
    return 0;
}

void *vt_iocp_deflate_worker(void *job)
{
    auto *img = static_cast<vt_img *>(job);
    vt_deflate *raw = nullptr;
    if (vt_deflate_init(&raw)) {
        VT_ERR("failed to create deflate object");
        vt_img_set_fault(img);
        return nullptr;
    }
    deflate_ptr stream(raw);
    if (deflate_loop(img, img->pool, stream.get()))
        vt_img_set_fault(img);
    return nullptr;
}

int vt_iocp_start(vt_iocp *pool, const char *compression, vt_img *job)
{
    if (VT_NIL(3, pool, compression, job))
        return 1;
    if (std::strcmp(compression, compression_deflate) != 0)
        return VT_ERR("unsupported compression method -- %s", compression);
    for (int64_t i = 0; i < pool->count; ++i) {
        if (vt_thread_start_guarantee(&pool->threads[i], vt_iocp_deflate_worker, job))
            return VT_ERR("failed to start deflate thread");
    }
    return 0;
}

int vt_iocp_post(vt_iocp *pool, uint32_t value, vt_io *unit)
{
    if (VT_NIL(1, pool))
        return 1;
    if (vt_fifo_post(pool->fifo, value, unit))
        return VT_ERR("failed to post iocp fifo object");
    if (vt_cond_signal(pool->event))
        return VT_ERR("failed to signal cond object");
    return 0;
}

int vt_iocp_stop(vt_iocp *pool)
{
    if (VT_NIL(1, pool))
        return 1;
    int result = 0;
    for (int64_t i = 0; i < pool->count; ++i) {
        if (pool->threads[i] && vt_iocp_post(pool, VT_FIFO_STOP, nullptr))
            result = VT_ERR("failed to post iocp object");
    }
    for (int64_t i = 0; i < pool->count; ++i) {
        if (vt_thread_stop(&pool->threads[i]))
            result = 1;
    }
    return result;
}
