// The image job: builds the pipeline from a job document, starts and resumes runs,
// ends them with a finished image file, a status record and a checkpoint that
// always names one table boundary, and writes the acquisition log of a complete run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <string_view>

#include "vt_aux.h"
#include "vt_buffer.h"
#include "vt_ewf.h"
#include "vt_exa.h"
#include "vt_hash.h"
#include "vt_img.h"
#include "vt_job.h"
#include "vt_json.h"
#include "vt_opt.h"
#include "vt_read_state.h"
#include "vt_thread.h"
#include "vt_ptr.h"

namespace {

constexpr const char image_version[] = "8.0.0.57";
constexpr mode_t log_file_mode = 0755;

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

using opt_ptr = vt_owner<vt_opt, vt_opt_deit>;

struct string_release {
    void operator()(vt_string *string) const { vt_string_free(string); }
};
using string_guard = std::unique_ptr<vt_string, string_release>;

const char *text_of(const vt_string &string)
{
    return string.text ? string.text : "";
}

void img_free(vt_img *img);
struct img_release {
    void operator()(vt_img *img) const { img_free(img); }
};
using img_ptr = std::unique_ptr<vt_img, img_release>;

// ---- Building the job ----

// A default for one key of a document section, filled in when the key is missing.
struct default_key {
    const char *section;
    const char *key;
    const char *value;
    const char *message;
};

constexpr default_key default_keys[] = {
    {"imager", "compression", "deflate", "failed to set default compression to deflate"},
    {"imager", "output_format", "ewf", "failed to set default output format to ewf"},
    {"imager", "read_size", "524288", "failed to set default read size to 524288"},
    {"ewf", "chunk_size", "32768", "failed to set default chunk size to 32768"},
    {"ewf", "table_size", "65534", "failed to set default table size to 65534"},
};

int vt_img_json_set_default(vt_img *img)
{
    for (const default_key &entry : default_keys) {
        vt_json_obj *raw = nullptr;
        if (vt_json_obj_get_object(img->doc, entry.section, &raw))
            continue;
        json_ptr section(raw);
        if (vt_json_obj_check_key(section.get(), entry.key) == 0)
            continue;
        if (vt_json_obj_string(section.get(), entry.key, entry.value,
                               std::char_traits<char>::length(entry.value)))
            return VT_ERR("%s", entry.message);
    }
    return 0;
}

// A text key of `imager` and the job field it is loaded into.
struct text_field {
    const char *key;
    vt_string vt_img::*field;
    const char *message;
};

constexpr text_field imager_texts[] = {
    {"hash", &vt_img::hash_method, "failed to get hash string"},
    {"compression", &vt_img::compression, "failed to get compression string"},
    {"output_format", &vt_img::output_format, "failed to get output format string"},
    {"image_name", &vt_img::image_name, "failed to get image name string"},
    {"image_path", &vt_img::image_path, "failed to get image path string"},
};

int vt_img_json_load(vt_img *img)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_get_object(img->doc, "imager", &raw))
        return VT_ERR("failed to get imager object");
    json_ptr imager(raw);
    if (vt_json_obj_get_number_string(imager.get(), "read_size", &img->read_size))
        return VT_ERR("failed to get read size");
    for (const text_field &entry : imager_texts) {
        const char *text = nullptr;
        size_t length = 0;
        if (vt_json_obj_get_string(imager.get(), entry.key, &text, &length) ||
            vt_string_copy(&(img->*entry.field), text, length))
            return VT_ERR("%s", entry.message);
    }
    return 0;
}

// Empties the log of any previous run, then opens the job's acquisition log on it.
int vt_img_syslog_load(vt_img *img)
{
    if (vt_path_exist(text_of(img->image_path)))
        return 1;
    const std::string path =
        std::string(text_of(img->image_path)) + "/" + text_of(img->image_name) + ".log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, log_file_mode);
    if (fd < 0)
        return VT_SYSERR("failed to create syslog file -- %s", path.c_str());
    ::close(fd);
    if (vt_syslog_init_path(&img->log, path.c_str()))
        return VT_ERR("failed to create syslog object -- %s", path.c_str());
    return 0;
}

// Bytes the source holds: sector size times sector count.
int source_length(vt_img *img, uint64_t *length)
{
    uint64_t sector_size = 0, sector_count = 0;
    if (vt_read_get_size_and_count(img->read, &sector_size, &sector_count))
        return 1;
    *length = sector_size * sector_count;
    return 0;
}

int build_parts(vt_img *img)
{
    if (vt_lock_init(&img->lock))
        return VT_ERR("failed to create lock object");
    if (vt_cond_init(&img->stop_event))
        return VT_ERR("failed to create cond object");
    if (vt_iocp_init(&img->pool))
        return VT_ERR("failed to create iocp object");
    if (vt_hash_init(&img->hash, &img->hash_method))
        return VT_ERR("failed to create hash object");
    if (vt_read_init(&img->read, img->doc, img->log))
        return VT_ERR("failed to create read object");
    if (vt_ewf_init(&img->ewf, img->read_size, text_of(img->image_path),
                    text_of(img->image_name), img->doc))
        return VT_ERR("failed to create ewf object");
    if (vt_read_state_init(&img->rs))
        return VT_ERR("failed to create read state object");
    // The ring is sized by the source, so it is built once the source is known.
    uint64_t length = 0;
    if (source_length(img, &length) || vt_img_ios_load(img, length))
        return VT_ERR("failed to create io object list");
    return 0;
}

void checkpoint_free(vt_img *img)
{
    vt_json_obj_deit(&img->checkpoint_read);
    vt_json_obj_deit(&img->checkpoint_hash);
    vt_json_obj_deit(&img->checkpoint_write);
}

void img_free(vt_img *img)
{
    if (!img)
        return;
    vt_read_state_deit(&img->rs);
    vt_ewf_deit(&img->ewf);
    vt_read_deit(&img->read);
    vt_hash_deit(&img->hash);
    vt_img_ios_unload(img);
    vt_iocp_deit(&img->pool);
    vt_cond_deit(&img->stop_event);
    vt_lock_deit(&img->lock);
    vt_syslog_deit(&img->log);
    checkpoint_free(img);
    for (vt_string *text : {&img->path, &img->hash_method, &img->compression,
                            &img->output_format, &img->image_name, &img->image_path})
        vt_string_free(text);
    vt_json_obj_deit(&img->doc);
    delete img;
}

// ---- The checkpoint ----

// Runs body under the job lock.
template <typename Body> int with_img_lock(vt_img *img, Body body)
{
    if (vt_lock_acquire(img->lock))
        return VT_ERR("failed to lock image object");
    const int result = body();
    if (vt_lock_release(img->lock))
        return VT_ERR("failed to unlock image object");
    return result;
}


// Puts part into slot and leaves the slot's previous object in part, which
// frees it.
void swap_part(vt_json_obj *&slot, json_ptr &part)
{
    vt_json_obj *fresh = part.release();
    part.reset(slot);
    slot = fresh;
}

// Installs one table boundary's three parts as the job's checkpoint, taking
// ownership of them; they replace the previous ones together or not at all. The
// caller holds the job lock.
int install_checkpoint(vt_img *img, json_ptr read, json_ptr hash, json_ptr write)
{
    if (!read || !hash || !write)
        return VT_ERR("incomplete checkpoint");
    swap_part(img->checkpoint_read, read);
    swap_part(img->checkpoint_hash, hash);
    swap_part(img->checkpoint_write, write);
    return 0;
}

// Commits the current read, hash and writer checkpoint objects, which the caller
// has just saved while no pipeline thread runs; the caller holds the job lock.
int commit_current(vt_img *img)
{
    vt_json_obj *read = nullptr, *hash = nullptr, *write = nullptr;
    vt_read_state_get_object(img->rs, &read);
    json_ptr read_part(read);
    vt_hash_get_object(img->hash, &hash);
    json_ptr hash_part(hash);
    vt_ewf_get_object(img->ewf, &write);
    json_ptr write_part(write);
    return install_checkpoint(img, std::move(read_part), std::move(hash_part),
                              std::move(write_part));
}

// The write thread's part at a unit that completed a table: the writer offset of
// the fresh sectors section joins the read and hash parts that travelled with the
// unit, and the three become the job's checkpoint together.
int commit_unit(vt_img *img, vt_io *unit)
{
    vt_json_obj *write = nullptr;
    if (vt_ewf_save(img->ewf) || vt_ewf_get_object(img->ewf, &write))
        return VT_ERR("failed to save ewf state");
    json_ptr write_part(write);
    json_ptr read_part(unit->read_checkpoint);
    json_ptr hash_part(unit->hash_checkpoint);
    unit->read_checkpoint = unit->hash_checkpoint = nullptr;
    return with_img_lock(img, [&]() {
        return install_checkpoint(img, std::move(read_part), std::move(hash_part),
                                  std::move(write_part));
    });
}

// Copies part into obj under key.
int put_copy(vt_json_obj *obj, const char *key, const vt_json_obj *part, const char *get_message,
             const char *write_message)
{
    vt_json_obj *raw = nullptr;
    if (!part || vt_json_obj_copy(&raw, part))
        return VT_ERR("%s", get_message);
    json_ptr copy(raw);
    if (vt_json_obj_object(obj, key, copy.get()))
        return VT_ERR("%s", write_message);
    return 0;
}

int vt_img_save_checkpoint(vt_img *img)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return VT_ERR("failed to create object");
    json_ptr recover(raw);
    if (put_copy(recover.get(), "target", img->read->target, "failed to write target object",
                 "failed to write target object") ||
        put_copy(recover.get(), "read", img->checkpoint_read, "failed to get read state object",
                 "failed to write read state object") ||
        put_copy(recover.get(), "hash", img->checkpoint_hash, "failed to get hash state object",
                 "failed to write hash state object") ||
        put_copy(recover.get(), "write", img->checkpoint_write, "failed to get ewf state object",
                 "failed to write ewf state object"))
        return 1;
    if (vt_json_obj_object(img->doc, "recover", recover.get()))
        return VT_ERR("failed to write recover object");
    return 0;
}

// Loads the stored checkpoint into read state, hash object and writer; returns
// the bytes left to read.
int vt_img_recover(vt_img *img, uint64_t *remaining)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_get_object(img->doc, "recover", &raw))
        return VT_ERR("failed to get recovery object");
    json_ptr recover(raw);
    constexpr std::pair<const char *, const char *> parts[] = {
        {"target", "failed to get target object"},
        {"read", "failed to get read state object"},
        {"hash", "failed to get hash state object"},
        {"write", "failed to get write state object"},
    };
    json_ptr objects[4];
    for (size_t i = 0; i < 4; ++i) {
        raw = nullptr;
        if (vt_json_obj_get_object(recover.get(), parts[i].first, &raw))
            return VT_ERR("%s", parts[i].second);
        objects[i].reset(raw);
    }
    if (vt_read_check_object(img->read, objects[0].get()))
        return VT_ERR("failed to check target object");
    if (vt_json_obj_get_number_string(objects[1].get(), "length", remaining) ||
        vt_read_state_load(img->rs, objects[1].get()))
        return VT_ERR("failed to load read state");
    if (vt_hash_load(img->hash, objects[2].get()))
        return VT_ERR("failed to load hash state");
    if (vt_ewf_load(img->ewf, objects[3].get()))
        return VT_ERR("failed to load ewf state");
    return 0;
}

// ---- Pipeline threads ----

// Lets a test hold this pipeline thread at a moment of a marked unit (see
// vt_img_test_hook); nothing happens while the hook is null.
void at_marked_unit(vt_img *img, uint32_t point, vt_io *unit)
{
    if (img->test_hook.fn && unit->mark)
        img->test_hook.fn(img, point, unit, img->test_hook.user);
}

int hash_unit(vt_img *img, vt_io *unit)
{
    if (unit->state == VT_IO_FAILED)
        return VT_ERR("failed on io object");
    if (vt_hash_update(img->hash, unit->input->data, unit->input->used))
        return VT_ERR("failed to hash io object");
    if (unit->mark) {
        vt_json_obj_deit(&unit->hash_checkpoint);
        if (vt_hash_save(img->hash) || vt_hash_get_object(img->hash, &unit->hash_checkpoint))
            return VT_ERR("failed to save hash state");
        at_marked_unit(img, VT_IMG_HOOK_HASHED_MARK, unit);
    }
    if (vt_cond_signal(unit->hashed_event))
        return VT_ERR("failed to signal hash event");
    return 0;
}

void *vt_img_hash_worker(void *job)
{
    auto *img = static_cast<vt_img *>(job);
    int failed = 0;
    for (vt_io *unit = img->ios;; unit = unit->next) {
        if (vt_cond_wait(unit->read_event)) {
            failed = VT_ERR("failed to wait for read event");
            break;
        }
        if (vt_img_get_sentinel(img))
            break;
        if (hash_unit(img, unit)) {
            failed = 1;
            break;
        }
    }
    if (vt_hash_final(img->hash))
        failed = VT_ERR("failed to compute hash digest");
    if (failed)
        vt_img_set_fault(img);
    return nullptr;
}

int write_unit(vt_img *img, vt_io *unit)
{
    if (unit->state == VT_IO_FAILED)
        return VT_ERR("failed on io object");
    if (vt_io_write(unit, img->ewf))
        return VT_ERR("failed to write ewf object");
    at_marked_unit(img, VT_IMG_HOOK_WRITTEN_MARK, unit);
    if (unit->mark && commit_unit(img, unit))
        return VT_ERR("failed to save ewf state");
    if (vt_cond_signal(unit->written_event))
        return VT_ERR("failed to signal hash event");
    return 0;
}

void *vt_img_write_worker(void *job)
{
    auto *img = static_cast<vt_img *>(job);
    for (vt_io *unit = img->ios;; unit = unit->next) {
        if (vt_cond_wait(unit->hashed_event) || vt_cond_wait(unit->compressed_event)) {
            VT_ERR("failed to wait for hash and compress event");
            break;
        }
        at_marked_unit(img, VT_IMG_HOOK_WRITE_MARK, unit);
        if (vt_img_get_sentinel(img))
            return nullptr;
        if (write_unit(img, unit))
            break;
    }
    // A failed write leaves the last committed checkpoint in place: it names an
    // earlier table boundary, which the file still holds intact.
    vt_img_set_fault(img);
    return nullptr;
}

// Signals every event of every unit so that no pipeline thread stays blocked.
void wake_units(vt_img *img)
{
    vt_io *unit = img->ios;
    if (!unit)
        return;
    do {
        vt_cond_signal(unit->read_event);
        vt_cond_signal(unit->hashed_event);
        vt_cond_signal(unit->compressed_event);
        vt_cond_signal(unit->written_event);
        unit = unit->next;
    } while (unit != img->ios);
}

// Joins the pipeline in the order its stages end: reader, pool, hash, writer.
void pipeline_join(vt_img *img)
{
    vt_read_stop(img->read);
    vt_iocp_stop(img->pool);
    vt_thread_stop(&img->hash_thread);
    vt_thread_stop(&img->write_thread);
}

// Starts writer, hash thread, pool and reader; called with the job lock held.
int pipeline_start(vt_img *img)
{
    img->sentinel = 0;
    img->fault = 0;
    img->finished = 0;
    if (vt_thread_start_guarantee(&img->write_thread, vt_img_write_worker, img))
        return VT_ERR("failed to start write thread");
    if (vt_thread_start_guarantee(&img->hash_thread, vt_img_hash_worker, img))
        return VT_ERR("failed to start hash thread");
    if (vt_iocp_start(img->pool, text_of(img->compression), img))
        return VT_ERR("failed to start iocp thread pool");
    if (vt_read_start(img->read, img))
        return VT_ERR("failed to start read thread");
    return 0;
}

// Ends a run that could not be started completely: the lock is no longer held,
// so the threads already running can see the stop flag and be joined. The image
// file is finished so that it stays well-formed.
void pipeline_unwind(vt_img *img)
{
    wake_units(img);
    pipeline_join(img);
    vt_ewf_close(img->ewf, img->hash->md5_digest, img->hash->sha1_digest);
    img->sentinel = 0;
}

// Starts the pipeline and marks the job running; on a failure the stop flag is
// set (the lock is held) and *unwind asks the caller to join what started.
int run_locked(vt_img *img, bool *unwind)
{
    if (pipeline_start(img)) {
        img->sentinel = 1;
        img->fault = 1;
        *unwind = true;
        return 1;
    }
    img->state = VT_IMG_RUNNING;
    if (vt_img_save_status(img, "started"))
        return VT_ERR("failed to save status object");
    return 0;
}

// Whether a start would overwrite an image file. Its absence is the normal case, so
// it reports nothing: a daemon passes every report of its start-up on to the
// launcher's terminal. A path that cannot be examined at all is left to
// vt_ewf_create, which reports why it cannot create the file.
bool image_file_present(const char *path)
{
    struct stat info;
    return ::lstat(path, &info) == 0;
}

int start_locked(vt_img *img, bool *unwind)
{
    if (img->state != VT_IMG_READY)
        return VT_ERR("failed on image state");
    uint64_t sector_size = 0, sector_count = 0;
    if (vt_read_get_size_and_count(img->read, &sector_size, &sector_count))
        return VT_ERR("failed to get sector size and count");
    if (image_file_present(img->ewf->path.text))
        return VT_ERR("failed on existing image file -- %s", img->ewf->path.text);
    if (vt_ewf_create(img->ewf, sector_size, sector_count))
        return VT_ERR("failed to create ewf file");
    if (vt_read_state_start(img->rs, 0, sector_size * sector_count))
        return VT_ERR("failed to start read state");
    if (vt_hash_save(img->hash))
        return VT_ERR("failed to save initial hash state");
    if (vt_ewf_save(img->ewf))
        return VT_ERR("failed to save initial ewf state");
    // The first checkpoint is offset 0, the empty digests and the first sectors
    // section: a run stopped before its first table starts again from there.
    if (commit_current(img))
        return VT_ERR("failed to save initial checkpoint");
    return run_locked(img, unwind);
}

int restart_locked(vt_img *img, bool *unwind)
{
    if (img->state != VT_IMG_READY)
        return VT_ERR("failed on image state");
    uint64_t sector_size = 0, sector_count = 0;
    if (vt_read_get_size_and_count(img->read, &sector_size, &sector_count))
        return VT_ERR("failed to get sector size and count");
    // Units point at their pool, so both are built anew together.
    vt_img_ios_unload(img);
    vt_iocp_deit(&img->pool);
    if (vt_iocp_init(&img->pool))
        return VT_ERR("failed to create iocp object");
    if (vt_img_ios_load(img, sector_size * sector_count))
        return VT_ERR("failed to create io object list");
    uint64_t remaining = 0;
    if (vt_img_recover(img, &remaining))
        return VT_ERR("failed to recover state");
    // The ring is sized for what is left, so a resumption near the end of the
    // source still gets a unit for every read.
    vt_img_ios_unload(img);
    if (vt_img_ios_load(img, remaining))
        return VT_ERR("failed to create io object list");
    if (vt_ewf_open(img->ewf))
        return VT_ERR("failed to open ewf file");
    if (vt_read_state_save(img->rs))
        return VT_ERR("failed to save read state");
    if (vt_hash_save(img->hash))
        return VT_ERR("failed to save hash state");
    if (vt_ewf_save(img->ewf))
        return VT_ERR("failed to save ewf state");
    if (commit_current(img))
        return VT_ERR("failed to save checkpoint");
    return run_locked(img, unwind);
}

// Completeness without the lock: the whole source was read, every unit of the
// ring was written at the end, no stage failed and the image file was finished.
int check_complete_unlocked(vt_img *img)
{
    if (img->state != VT_IMG_READY)
        return VT_ERR("failed on img object state -- %d", static_cast<int>(img->state));
    uint64_t total = 0;
    if (source_length(img, &total))
        return VT_ERR("failed to get sector size and count");
    if (vt_read_state_check_complete(img->rs, total))
        return VT_ERR("failed on incomplete read state");
    if (!img->ios)
        return VT_ERR("empty io object list");
    int result = 0;
    vt_io *unit = img->ios;
    do {
        if (unit->state != VT_IO_FINISHED)
            result = VT_ERR("failed on io object state -- %d", static_cast<int>(unit->state));
        unit = unit->next;
    } while (unit != img->ios);
    if (img->fault)
        result = VT_ERR("failed on pipeline fault");
    if (!img->finished)
        result = VT_ERR("failed on unfinished image file");
    return result;
}

int vt_img_log(vt_img *img)
{
    const vt_ewf *ewf = img->ewf;
    if (vt_syslog_log(img->log, 2,
                      "[Collection Information]\nExaminer Name: %s\nCase Number: %s\nEvidence "
                      "Number: %s\nUnique Description: %s\nCase Notes: %s\n\n",
                      text_of(ewf->examiner_name), text_of(ewf->case_number),
                      text_of(ewf->evidence_number), text_of(ewf->unique_description),
                      text_of(ewf->notes)))
        return VT_ERR("failed to write collection information");
    if (vt_read_log(img->read, img->log))
        return VT_ERR("failed to write evidence details");
    if (vt_syslog_log(img->log, 2,
                      "[Image Details]\nCreated using Vantrel Imager Version %s.\nImage Format: "
                      "%s\nImage Type: Full Physical (Contains Unallocated Space)\n",
                      image_version, text_of(img->output_format)))
        return VT_ERR("failed to write image details");
    if (vt_hash_log(img->hash, img->log))
        return VT_ERR("failed to write hash");
    if (vt_syslog_log(img->log, 2, "Image File Segment List:\n%s\n", ewf->path.text))
        return VT_ERR("failed to write file list");
    if (vt_read_state_log_date(img->rs, img->log))
        return VT_ERR("failed to write date time");
    return 0;
}

// Steps of a stop that run under the lock once the pipeline has been joined.
int stop_locked(vt_img *img)
{
    if (vt_cond_reset(img->stop_event))
        return VT_ERR("failed to reset condition");
    img->sentinel = 0;
    img->state = VT_IMG_READY;
    int result = 0;
    const bool complete = check_complete_unlocked(img) == 0;
    if (vt_img_save_status(img, complete ? "completed" : "stopped"))
        result = VT_ERR("failed to save status object");
    if (vt_img_save_checkpoint(img))
        result = VT_ERR("failed to save checkpoint");
    if (vt_img_save_json(img))
        result = VT_ERR("failed to save object");
    if (complete && vt_img_log(img))
        result = VT_ERR("failed to save log");
    return result;
}

// The job-directory callback of vt_img_save_json: writes the document only when
// this directory's `json` is the file the job was loaded from.
int save_json_cb(vt_opt *, vt_fcache *store, void *user)
{
    auto *img = static_cast<vt_img *>(user);
    vt_string path = {};
    string_guard guard(&path);
    if (vt_fcache_filename2(store, "json", &path))
        return VT_ERR("failed to get json file path");
    if (vt_string_is_equal(&path, &img->path) != 0)
        return 0;
    if (vt_fcache_image_json_create(nullptr, store, img->doc))
        return VT_ERR("failed to write json file -- %s", path.text);
    return 0;
}

} // namespace

// ---- Ring ----

int vt_img_ios_load(vt_img *img, uint64_t length)
{
    if (VT_NIL(1, img))
        return 1;
    if (img->ios)
        return VT_ERR("invalid paramater");
    const uint64_t reads = (length + img->read_size - 1) / img->read_size;
    const uint64_t workers = img->pool->count > 0 ? static_cast<uint64_t>(img->pool->count) : 1;
    // One unit per worker leaves the workers idle while the hash and write threads,
    // which walk the ring in order, finish the oldest unit; a second unit per worker
    // keeps every processor busy (and, for a remote source, twice the reads in flight).
    const uint64_t depth = std::max<uint64_t>(1, std::min(2 * workers, reads));
    if (vt_io_init(&img->ios, img->read_size, img->pool, img->doc))
        return VT_ERR("failed to create io object");
    for (uint64_t i = 1; i < depth; ++i) {
        vt_io *unit = nullptr;
        if (vt_io_init(&unit, img->read_size, img->pool, img->doc)) {
            vt_img_ios_unload(img);
            return VT_ERR("failed to create io object");
        }
        // Inserted just before the first unit, so the ring runs in creation order.
        unit->next = img->ios;
        unit->prev = img->ios->prev;
        img->ios->prev->next = unit;
        img->ios->prev = unit;
    }
    return 0;
}

void vt_img_ios_unload(vt_img *img)
{
    if (!img || !img->ios)
        return;
    vt_io *unit = img->ios->next;
    while (unit != img->ios) {
        vt_io *next = unit->next;
        vt_io_deit(&unit);
        unit = next;
    }
    vt_io_deit(&img->ios);
}

// ---- Job object ----

int vt_img_json_init(vt_img **slot, vt_json_obj *doc, const char *path)
{
    if (VT_NIL(2, slot, doc))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    img_ptr img(new (std::nothrow) vt_img{});
    if (!img)
        return VT_ERR("out of memory");
    if (path && vt_string_copy(&img->path, path, std::char_traits<char>::length(path)))
        return VT_ERR("failed to copy json path");
    if (vt_json_obj_copy(&img->doc, doc))
        return VT_ERR("failed to copy json object");
    if (vt_img_json_set_default(img.get()))
        return VT_ERR("failed to set default");
    if (vt_img_json_load(img.get()))
        return VT_ERR("failed to load json file");
    if (vt_img_syslog_load(img.get()))
        return VT_ERR("failed to load syslog file");
    if (build_parts(img.get()))
        return 1;
    img->state = VT_IMG_READY;
    *slot = img.release();
    return 0;
}

int vt_img_init(vt_img **slot, vt_opt *opt)
{
    if (VT_NIL(2, slot, opt))
        return 1;
    if (!opt->config.text || opt->config.length == 0)
        return VT_ERR("empty path to json file");
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_decode_file(&raw, opt->config.text))
        return VT_ERR("failed to load json file %s", opt->config.text);
    json_ptr doc(raw);
    return vt_img_json_init(slot, doc.get(), opt->config.text);
}

int vt_img_deit(vt_img **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_img *img = *slot;
    // A job released while running is stopped first, so no thread outlives it.
    if (img->state == VT_IMG_RUNNING) {
        vt_img_set_sentinel(img);
        vt_img_stop(img);
    }
    img_free(img);
    *slot = nullptr;
    return 0;
}

int vt_img_set_sentinel(vt_img *img)
{
    if (VT_NIL(1, img))
        return 1;
    const int result = with_img_lock(img, [&]() {
        if (img->sentinel)
            return 0;
        img->sentinel = 1;
        if (vt_cond_signal(img->stop_event))
            return VT_ERR("failed to signal sentinel");
        return 0;
    });
    wake_units(img);
    return result;
}

int vt_img_get_sentinel(vt_img *img)
{
    if (!img || vt_lock_acquire(img->lock))
        return 1;
    const int set = img->sentinel ? 1 : 0;
    vt_lock_release(img->lock);
    return set;
}

int vt_img_set_fault(vt_img *img)
{
    if (VT_NIL(1, img))
        return 1;
    if (with_img_lock(img, [&]() {
            img->fault = 1;
            return 0;
        }))
        return 1;
    return vt_img_set_sentinel(img);
}

int vt_img_start(vt_img *img)
{
    if (VT_NIL(1, img))
        return 1;
    bool unwind = false;
    const int result = with_img_lock(img, [&]() { return start_locked(img, &unwind); });
    if (unwind)
        pipeline_unwind(img);
    return result;
}

int vt_img_restart(vt_img *img)
{
    if (VT_NIL(1, img))
        return 1;
    bool unwind = false;
    const int result = with_img_lock(img, [&]() { return restart_locked(img, &unwind); });
    if (unwind)
        pipeline_unwind(img);
    return result;
}

int vt_img_stop(vt_img *img)
{
    if (VT_NIL(1, img))
        return 1;
    if (with_img_lock(img, [&]() {
            return img->state == VT_IMG_RUNNING ? 0 : VT_ERR("failed on image state");
        }))
        return 1;
    pipeline_join(img);
    // Every run ends with a finished file; whether that worked decides, with the
    // rest of the completeness check, between "completed" and "stopped".
    img->finished =
        vt_ewf_close(img->ewf, img->hash->md5_digest, img->hash->sha1_digest) == 0 ? 1 : 0;
    int result = 0;
    if (vt_read_state_end(img->rs))
        result = VT_ERR("failed to end read state");
    if (with_img_lock(img, [&]() { return stop_locked(img); }))
        result = 1;
    return result;
}

int vt_img_check_complete(vt_img *img)
{
    if (VT_NIL(1, img))
        return 1;
    return with_img_lock(img, [&]() { return check_complete_unlocked(img); });
}

int vt_img_check_recover(vt_img *img)
{
    if (!img || vt_img_check_complete(img) == 0)
        return 0;
    // Only a remote session that lost its connection is resumed automatically (its
    // logout failed at the end of the run); a local disk never is.
    const vt_read *read = img->read;
    return read && read->kind == VT_READ_VANTREL && read->exa && !read->exa->logged_in ? 1 : 0;
}

int vt_img_save_status(vt_img *img, const char *status)
{
    if (VT_NIL(2, img, status))
        return 1;
    uint64_t offset = 0, remaining = 0, rate = 0;
    if (vt_read_state_get_state(img->rs, &offset, &remaining, &rate))
        return VT_ERR("failed to get read state");
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return VT_ERR("failed to write object");
    json_ptr state(raw);
    if (vt_json_obj_string(state.get(), "status", status, std::char_traits<char>::length(status)) ||
        vt_json_obj_number_string(state.get(), "read_bps", 0) ||
        vt_json_obj_number_string(state.get(), "offset", offset) ||
        vt_json_obj_number_string(state.get(), "length", offset + remaining))
        return VT_ERR("failed to write object");
    if (vt_json_obj_object(img->doc, "state", state.get()))
        return VT_ERR("failed to map object");
    if (vt_img_save_json(img))
        return VT_ERR("failed to save status object");
    return 0;
}

int vt_img_save_json(vt_img *img)
{
    if (VT_NIL(1, img))
        return 1;
    if (!img->path.text || img->path.length == 0)
        return 0;
    vt_opt *raw = nullptr;
    if (vt_opt_init(&raw, 0, nullptr))
        return VT_ERR("failed to create opt object");
    opt_ptr opt(raw);
    if (vt_string_copy(&opt->image_name, img->image_name.text, img->image_name.length))
        return VT_ERR("failed to copy image name");
    return vt_fcache_image(opt.get(), save_json_cb, img);
}
