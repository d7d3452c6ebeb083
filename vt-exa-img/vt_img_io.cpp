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
#include "vt_ewf_format.h"
#include "vt_img.h"
#include "vt_json.h"
#include "vt_task.h"
#include "vt_thread.h"
#include "vt_ptr.h"

namespace {

constexpr const char output_format_ewf[] = "ewf";
constexpr const char compression_deflate[] = "deflate";
constexpr unsigned worker_idle_ms = 5000;

using deflate_ptr = vt_owner<vt_deflate, vt_deflate_deit>;

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
    // The remote reader frees a unit's request through the channel before the
    // unit's next read; a request left when the session has closed is no longer
    // in any task table and is freed here.
    vt_task_deit(&unit->task);
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

// Bytes between two chunk slots of the output buffer: the longest stored form.
size_t chunk_stride(const vt_io *unit)
{
    return unit->ewf->chunk_size + vt_ewf_format::kChunkChecksumSize;
}

// Prepares a filled unit for compression: counts its chunks and makes room for
// one slot per chunk behind what the output buffer already holds.
int io_deflate_open(vt_io *unit)
{
    if (unit->kind != VT_IO_OUTPUT_EWF)
        return VT_ERR("output format is not ewf");
    vt_io_ewf *record = unit->ewf;
    const uint64_t length = unit->input->used;
    const uint64_t chunks = (length + record->chunk_size - 1) / record->chunk_size;
    if (chunks > record->chunks_per_read)
        return VT_ERR("chunk size table overflow");
    if (chunks > 0 && vt_buffer_resize(unit->output, chunks * chunk_stride(unit)))
        return VT_ERR("failed to resize buffer object");
    unit->output_base = unit->output->used;
    unit->chunks_claimed = 0;
    unit->chunks_done = 0;
    record->chunk_count = chunks;
    return 0;
}

// Compresses chunk `index` of the unit into its slot and sets its size word.
int io_deflate_chunk(vt_io *unit, vt_deflate *stream, uint64_t index)
{
    vt_io_ewf *record = unit->ewf;
    const uint64_t at = index * record->chunk_size;
    const uint64_t n = std::min(record->chunk_size, unit->input->used - at);
    uint8_t *slot = unit->output->data + unit->output_base + index * chunk_stride(unit);
    if (vt_deflate_e01_compress_to(stream, unit->input->data + at, n, slot,
                                   &record->size_words[index]))
        return VT_ERR("failed to deflate chunk");
    return 0;
}

// Moves the stored chunks out of their slots so they follow each other, as the
// writer appends them.
void io_deflate_pack(vt_io *unit)
{
    const vt_io_ewf *record = unit->ewf;
    uint8_t *base = unit->output->data + unit->output_base;
    const size_t stride = chunk_stride(unit);
    size_t packed = 0;
    for (uint64_t i = 0; i < record->chunk_count; ++i) {
        const size_t size = record->size_words[i] & vt_ewf_format::kChunkLengthMask;
        if (packed != i * stride)
            std::memmove(base + packed, base + i * stride, size);
        packed += size;
    }
    unit->output->used = unit->output_base + packed;
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
    // Room for every chunk of a read in its longest stored form, allocated once.
    if (vt_buffer_resize(unit->output, unit->ewf->chunks_per_read * chunk_stride(unit.get())))
        return VT_ERR("failed to create buffer object");
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
    if (io_deflate_open(unit))
        return 1;
    for (uint64_t i = 0; i < unit->ewf->chunk_count; ++i) {
        if (io_deflate_chunk(unit, stream, i))
            return 1;
    }
    io_deflate_pack(unit);
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

// Runs step under the pool's lock; 1 after reporting a lock failure.
template <typename Step> int with_pool_lock(vt_iocp *pool, Step step)
{
    if (vt_lock_acquire(pool->lock))
        return VT_ERR("failed to lock iocp object");
    step();
    if (vt_lock_release(pool->lock))
        return VT_ERR("failed to unlock iocp object");
    return 0;
}

// Claims the next chunk of the oldest open unit; *unit stays null when no open
// unit has a chunk left. A unit leaves the list with its last claim, so no worker
// can reach it after it has been written and refilled.
int pool_claim(vt_iocp *pool, vt_io **unit, uint64_t *index)
{
    return with_pool_lock(pool, [&]() {
        vt_io *head = pool->open_head;
        if (!head)
            return;
        *unit = head;
        *index = head->chunks_claimed++;
        if (head->chunks_claimed == head->ewf->chunk_count) {
            pool->open_head = head->open_next;
            if (!pool->open_head)
                pool->open_tail = nullptr;
            head->open_next = nullptr;
        }
    });
}

// Adds a unit with chunks to compress at the end of the open list.
int pool_open(vt_iocp *pool, vt_io *unit)
{
    return with_pool_lock(pool, [&]() {
        unit->open_next = nullptr;
        if (pool->open_tail)
            pool->open_tail->open_next = unit;
        else
            pool->open_head = unit;
        pool->open_tail = unit;
    });
}

// Counts one compressed chunk of the unit; *last is set for the one that completes it.
int pool_complete(vt_iocp *pool, vt_io *unit, bool *last)
{
    return with_pool_lock(pool, [&]() { *last = ++unit->chunks_done == unit->ewf->chunk_count; });
}

// Every chunk is stored: packs them and hands the unit to the write thread.
int finish_unit(vt_io *unit)
{
    io_deflate_pack(unit);
    if (vt_cond_signal(unit->compressed_event))
        return VT_ERR("failed to signal compress event");
    return 0;
}

// A unit taken from the queue: its chunks become claimable by every worker.
int begin_unit(vt_iocp *pool, vt_io *unit)
{
    if (unit->state == VT_IO_FAILED)
        return VT_ERR("failed on io object");
    if (io_deflate_open(unit))
        return VT_ERR("failed to deflate io object");
    if (unit->ewf->chunk_count == 0)
        return finish_unit(unit);
    if (pool_open(pool, unit))
        return 1;
    // Wakes an idle worker to share the chunks.
    if (unit->ewf->chunk_count > 1)
        vt_cond_signal(pool->event);
    return 0;
}

int compress_chunk(vt_iocp *pool, vt_io *unit, vt_deflate *stream, uint64_t index)
{
    if (io_deflate_chunk(unit, stream, index))
        return VT_ERR("failed to deflate io object");
    bool last = false;
    if (pool_complete(pool, unit, &last))
        return 1;
    return last ? finish_unit(unit) : 0;
}

// The worker loop: chunks of open units first, oldest unit first, so units are
// finished in the order they are written; then the next unit from the queue.
// 0 when told to stop or the job stopped, 1 on a failure.
int deflate_loop(vt_img *img, vt_iocp *pool, vt_deflate *stream)
{
    for (;;) {
        vt_io *unit = nullptr;
        uint64_t index = 0;
        if (pool_claim(pool, &unit, &index))
            return 1;
        if (unit) {
            if (compress_chunk(pool, unit, stream, index))
                return 1;
            continue;
        }
        uint32_t value = 0;
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
        if (begin_unit(pool, unit))
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
    if (vt_lock_init(&pool->lock))
        return VT_ERR("failed to create lock object");
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
    vt_lock_deit(&pool->lock);
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
    // Units left half-claimed by a stopped run are refilled by the next one.
    pool->open_head = pool->open_tail = nullptr;
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
