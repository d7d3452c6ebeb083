// The image job: one acquisition described by a job document, run as a pipeline
// of work units (reader -> hash -> compression pool -> writer) around a fixed
// ring, stopped, resumed from a consistent checkpoint, and logged when complete.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_string.h"
#include "vt_syslog.h"

struct vt_buffer;
struct vt_cond;
struct vt_deflate;
struct vt_disk;
struct vt_ewf;
struct vt_exa;
struct vt_hash;
struct vt_json_obj;
struct vt_opt;
struct vt_read_state;
struct vt_task;
struct vt_thread;
struct vt_img;
struct vt_iocp;

// ---- Work units ----

// Unit states.
inline constexpr uint32_t VT_IO_NORMAL = 0;
inline constexpr uint32_t VT_IO_FAILED = 1;   // the read of the unit failed
inline constexpr uint32_t VT_IO_FINISHED = 2; // written, and the source is exhausted
// Output kinds; E01 is the only one.
inline constexpr uint32_t VT_IO_OUTPUT_EWF = 0;

// E01 bookkeeping of one unit.
struct vt_io_ewf {
    uint64_t chunk_size;
    uint64_t table_capacity;  // the writer's capacity (vt_ewf_table_capacity)
    uint64_t table_fill;      // chunks in the current table once this unit is written
    uint64_t chunk_count;     // chunks this unit holds
    uint64_t chunks_per_read; // slots in size_words
    uint32_t *size_words;     // stored size of each chunk (E01 size words)
};

struct vt_io {
    uint64_t size;          // read size: capacity of both buffers
    vt_iocp *pool;
    vt_task *task;          // pending remote read, remote sources only
    uint64_t read_length;   // bytes the pending remote read asks for
    vt_buffer *input;       // source bytes of the current read
    vt_buffer *output;      // stored chunks, back to back
    vt_cond *read_event;
    vt_cond *hashed_event;
    vt_cond *compressed_event;
    vt_cond *written_event;
    uint32_t state;         // VT_IO_NORMAL, VT_IO_FAILED, VT_IO_FINISHED
    uint32_t kind;          // VT_IO_OUTPUT_EWF
    vt_io_ewf *ewf;
    uint32_t mark;          // 1 when this unit's last chunk completes a table
    // The checkpoint parts of a marked unit travel with it: the reader stores the
    // read position just behind the unit, the hash thread the digest state after
    // it; the write thread commits both with its own offset as one checkpoint.
    vt_json_obj *read_checkpoint;
    vt_json_obj *hash_checkpoint;
    // The compression workers share a unit chunk by chunk, so a slow unit (random
    // bytes deflate several times slower than text) never leaves a processor idle
    // while the units behind it wait to be written in order. Chunk i is stored in
    // its own slot of the output buffer, output_base + i * (chunk size + 4); the
    // worker that completes the last chunk packs the slots together. The counters
    // and open_next are guarded by the pool's lock.
    size_t output_base;
    uint64_t chunks_claimed;
    uint64_t chunks_done;
    vt_io *open_next;       // next unit in the pool's list of units with chunks to claim
    vt_io *next;
    vt_io *prev;
};

// Every function returns 0 on success and 1 after reporting a failure.

// Builds a unit linked to itself with buffers of read_size bytes; the document's
// `imager` and `ewf` sections give output format, chunk size and table size.
int vt_io_init(vt_io **slot, uint64_t read_size, vt_iocp *pool, vt_json_obj *doc);
int vt_io_deit(vt_io **slot);
// Compresses the input buffer chunk by chunk into the output buffer and size words.
int vt_io_deflate(vt_io *unit, vt_deflate *stream);
// Appends the unit's stored chunks to the image and records them in its table.
int vt_io_write(vt_io *unit, vt_ewf *writer);
// Marks the unit before it is filled with n bytes: its table fill follows the
// previous unit's and the mark is set when the fill reaches the table capacity.
int vt_io_mark(vt_io *unit, uint64_t n);
// Reads n bytes of the disk at offset into the unit's emptied input buffer.
int vt_io_read_disk(vt_io *unit, vt_disk *disk, uint64_t offset, uint64_t n);
// Hands a filled unit on: posts it to the compression pool, then signals its read event.
int vt_io_dispatch(vt_io *unit);
// Issues the remote read of n bytes at offset into the unit's emptied input buffer
// and returns at once; vt_exa_read_cdb_worker hands the unit on when it is filled.
int vt_io_read_vantrel(vt_io *unit, vt_exa *exa, uint64_t offset, uint64_t n);
// Waits until the unit's remote read is answered or the job's stop flag is set.
// A read left unanswered for the session's request timeout fails: the connection
// is then treated as lost (its failure event is signalled).
int vt_io_wait_vantrel(vt_io *unit, vt_exa *exa, vt_img *job);
// Completion of a remote read (user is the unit), on the session's reader thread:
// a refused or incomplete read marks the unit failed; either way it is handed on.
int vt_exa_read_cdb_worker(const uint8_t *data, size_t length, void *user, uint32_t error);
// The session's disconnect handler: sets the job's stop flag.
void vt_exa_sentinel_worker(void *job);

// ---- Locked queue ----

struct vt_fifo_node {
    uint32_t value; // 0 compress the unit, 1 stop the worker
    vt_io *unit;
    vt_fifo_node *next;
    vt_fifo_node *prev;
};

struct vt_fifo {
    vt_fifo_node active; // sentinel of the FIFO list
    vt_fifo_node spare;  // sentinel of the recycled nodes
    size_t count;        // items on the active list
    vt_lock *lock;
};

inline constexpr uint32_t VT_FIFO_COMPRESS = 0;
inline constexpr uint32_t VT_FIFO_STOP = 1;

int vt_fifo_init(vt_fifo **slot);
int vt_fifo_deit(vt_fifo **slot);
int vt_fifo_post(vt_fifo *fifo, uint32_t value, vt_io *unit);
// Takes the oldest item: *taken is 1 with value and unit filled, or 0 when the
// queue is empty; *more tells whether items are left behind it.
int vt_fifo_take(vt_fifo *fifo, uint32_t *value, vt_io **unit, int *taken, int *more);

// ---- Compression pool ----

struct vt_iocp {
    int64_t count;        // workers
    vt_cond *event;       // wakes idle workers
    vt_fifo *fifo;
    vt_thread **threads;  // count handles
    vt_lock *lock;        // guards the open list and the chunk counters of its units
    vt_io *open_head;     // units taken from the queue whose chunks are not all claimed,
    vt_io *open_tail;     // oldest first
};

int vt_iocp_init(vt_iocp **slot);
// Stops workers still running, then frees the pool.
int vt_iocp_deit(vt_iocp **slot);
// Starts one deflate worker per handle for the job; compression must be "deflate".
int vt_iocp_start(vt_iocp *pool, const char *compression, vt_img *job);
int vt_iocp_post(vt_iocp *pool, uint32_t value, vt_io *unit);
// Asks every started worker to stop and joins it.
int vt_iocp_stop(vt_iocp *pool);
void *vt_iocp_deflate_worker(void *job);

// ---- Source object ----

inline constexpr int32_t VT_READ_VANTREL = 1; // remote target
inline constexpr int32_t VT_READ_DISK = 2;    // local disk device

struct vt_read {
    int32_t kind;
    vt_exa *exa;         // remote kind only
    vt_disk *disk;       // local kind only
    vt_json_obj *target; // target object of the source
    vt_thread *thread;   // reader thread
};

// Chooses the source from the document (`vantrel`, else `disk`); log is the job's
// acquisition log, used by remote sessions.
int vt_read_init(vt_read **slot, vt_json_obj *doc, vt_syslog *log);
int vt_read_deit(vt_read **slot);
// Replaces the stored target object with a fresh one from the source.
int vt_read_reload_object(vt_read *read);
int vt_read_get_size_and_count(vt_read *read, uint64_t *sector_size, uint64_t *sector_count);
// Starts the reader thread of the source's kind for the job.
int vt_read_start(vt_read *read, vt_img *job);
// Joins the reader thread (none running is not a failure).
int vt_read_stop(vt_read *read);
// Writes the "[Evidence Details]" block of the acquisition log.
int vt_read_log(vt_read *read, vt_syslog *log);
// 0 when obj encodes to the same text as the stored target object.
int vt_read_check_object(vt_read *read, vt_json_obj *obj);
void *vt_img_read_worker_disk(void *job);
void *vt_img_read_worker_vantrel(void *job);

// ---- Image job ----

inline constexpr uint32_t VT_IMG_RUNNING = 0;
inline constexpr uint32_t VT_IMG_READY = 1;

// Test hook. A marked unit's checkpoint is saved in three steps on three threads
// (reader, hash thread, write thread), and a stop can fall between any two of
// them; by chance a test rarely hits those moments. The hook lets a test hold a
// pipeline thread at a named moment of a marked unit, set the stop flag and let
// the thread go on, so every such stop is exercised on purpose. It is called on
// the pipeline thread named below, for marked units only, with no lock held.
// Production jobs leave it null, which costs one test per call site.
// Hash thread: the unit is hashed and its hash state stored, and the unit is not
// yet handed to the write thread.
inline constexpr uint32_t VT_IMG_HOOK_HASHED_MARK = 0;
// Write thread: the unit is hashed and compressed, before the stop flag is looked
// at and the unit written.
inline constexpr uint32_t VT_IMG_HOOK_WRITE_MARK = 1;
// Write thread: the unit is written, and its checkpoint is not yet committed.
inline constexpr uint32_t VT_IMG_HOOK_WRITTEN_MARK = 2;

using vt_img_test_hook_fn = void (*)(vt_img *job, uint32_t point, vt_io *unit, void *user);

struct vt_img_test_hook {
    vt_img_test_hook_fn fn; // null in production
    void *user;
};

struct vt_img {
    vt_string path;            // where the document was loaded from; empty if in memory
    vt_json_obj *doc;          // deep copy with defaults; `state`, `recover` kept here
    uint64_t read_size;
    vt_string hash_method;
    vt_string compression;
    vt_string output_format;
    vt_string image_name;
    vt_string image_path;
    vt_syslog *log;            // acquisition log "%s/%s.log"
    vt_lock *lock;             // state, stop flag, fault, committed checkpoint
    vt_cond *stop_event;       // signalled once when the stop flag is set
    vt_iocp *pool;
    vt_io *ios;                // first unit of the ring
    vt_hash *hash;
    vt_read *read;
    vt_ewf *ewf;
    vt_read_state *rs;
    uint32_t state;            // VT_IMG_READY or VT_IMG_RUNNING
    vt_thread *write_thread;
    vt_thread *hash_thread;
    uint32_t sentinel;         // the stop flag of the current run
    uint32_t fault;            // a pipeline stage failed in the current run
    uint32_t finished;         // the image file was finished without failure
    // The last committed checkpoint: read position, hash state and writer offset
    // of one and the same table boundary.
    vt_json_obj *checkpoint_read;
    vt_json_obj *checkpoint_hash;
    vt_json_obj *checkpoint_write;
    vt_img_test_hook test_hook; // see above; null in production
};

// Reads the document at opt's config path and builds the job from it.
int vt_img_init(vt_img **slot, vt_opt *opt);
// Builds the job from a document in memory; path (may be null) is where it was
// loaded from, which is where the job saves it.
int vt_img_json_init(vt_img **slot, vt_json_obj *doc, const char *path);
int vt_img_deit(vt_img **slot);

int vt_img_start(vt_img *img);
int vt_img_restart(vt_img *img);
// Ends a run whose stop flag is set: joins the pipeline, finishes the image file,
// stores status and checkpoint and, when complete, writes the acquisition log.
int vt_img_stop(vt_img *img);
// Sets the stop flag (once per run) and wakes every pipeline thread.
int vt_img_set_sentinel(vt_img *img);
// Reads the stop flag under the job lock: 1 when set (or unreadable).
int vt_img_get_sentinel(vt_img *img);
// A pipeline stage failed: records the fault (the run cannot be complete) and
// sets the stop flag.
int vt_img_set_fault(vt_img *img);
// 0 when the last run is complete.
int vt_img_check_complete(vt_img *img);
// 1 when an automatic resumption applies, else 0.
int vt_img_check_recover(vt_img *img);
int vt_img_save_status(vt_img *img, const char *status);
int vt_img_save_json(vt_img *img);
// Builds the ring for a source with length bytes left to read: twice as many
// units as the pool has workers, but never more than the reads left (at least one).
int vt_img_ios_load(vt_img *img, uint64_t length);
void vt_img_ios_unload(vt_img *img);
