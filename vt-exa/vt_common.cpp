// The subject cache shared by both programs: name and URL look-ups over the cached
// subjects, the pid and path files that record a mounted target, the active-mount
// count and the CSV lines of the listings. Every path comes from a vt_fcache store.
#include "vt_common.h"

#include <endian.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "vt_buffer.h"
#include "vt_db.h"
#include "vt_json.h"
#include "vt_misc.h"
#include "vt_syslog.h"
#include "vt_url.h"
#include "vt_ptr.h"

namespace {

// Permission bits of a mount path file.
constexpr mode_t kPathFileMode = 0600;

using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

struct string_free {
    void operator()(vt_string *string) const { vt_string_free(string); }
};
// Frees the text of a string that lives on the stack, whatever path is taken.
using string_guard = std::unique_ptr<vt_string, string_free>;

// Closes a descriptor, keeping errno for the caller's report.
struct fd_guard {
    int fd = -1;
    ~fd_guard()
    {
        if (fd >= 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
        }
    }
};

struct name_to_url_walk_ctx {
    const vt_string *subject;
    vt_string url; // the matching subject's URL
    bool matched;
};

struct url_to_name_walk_ctx {
    const vt_url *url;
    vt_string *name;
    bool matched;
    bool failed;
};

struct mount_info_ctx {
    vt_mount_info **slot;
    bool recheck; // signal the process once more before handing out the record
};

} // namespace

static std::string_view view(const vt_string *string)
{
    return string && string->text ? std::string_view(string->text, string->length)
                                  : std::string_view();
}

// Both texts are present and hold the same bytes; an empty text matches nothing.
static bool same_text(std::string_view a, std::string_view b)
{
    return !a.empty() && a == b;
}




// Only a positive pid within pid_t names one process: kill() with 0 or a negative
// number would test a process group or every process, and a wider number would be
// truncated into one of those.
static bool process_alive(uint64_t pid)
{
    if (pid == 0 || pid > uint64_t(std::numeric_limits<pid_t>::max()))
        return false;
    return kill(pid_t(pid), 0) == 0;
}

// Reads the pid and path files of the current (target) directory; 1 when the target
// is not active. path must be empty and is filled only on success.
static int read_mount_record(vt_fcache *store, uint64_t *pid, vt_string *path)
{
    if (vt_fcache_pid(store, vt_fcache_check_pid, pid))
        return 1;
    return vt_fcache_path(store, vt_fcache_check_path, path);
}

static int mount_info_build(vt_fcache *store, void *user)
{
    auto *ctx = static_cast<mount_info_ctx *>(user);
    uint64_t pid = 0;
    vt_string path{};
    string_guard path_guard(&path);
    if (read_mount_record(store, &pid, &path))
        return 1;
    if (ctx->recheck && !process_alive(pid))
        return 1;
    auto *info = new (std::nothrow) vt_mount_info{pid, path};
    if (!info)
        return VT_ERR("out of memory");
    path = vt_string{}; // the record owns the text now
    *ctx->slot = info;
    return 0;
}

static int vt_subject_name_to_url_walk(vt_fcache *, const vt_db_subject *record, void *user)
{
    auto *ctx = static_cast<name_to_url_walk_ctx *>(user);
    vt_string url{};
    if (vt_url_make(&record->address, &record->port, &record->path, &url))
        return VT_ERR("out of memory");
    const std::string_view subject = view(ctx->subject);
    if (same_text(subject, view(&record->hostname)) || same_text(subject, view(&url)) ||
        same_text(subject, view(&record->address))) {
        ctx->url = url;
        ctx->matched = true;
        return 1;
    }
    vt_string_free(&url);
    return 0;
}

static int vt_subject_url_to_name_walk(vt_fcache *, const vt_db_subject *record, void *user)
{
    auto *ctx = static_cast<url_to_name_walk_ctx *>(user);
    const std::string_view host = ctx->url->host ? ctx->url->host : "";
    const std::string_view port = ctx->url->port ? ctx->url->port : "";
    if (view(&record->port) != port || view(&record->address) != host)
        return 0;
    ctx->matched = true;
    // A subject without a host name gives an empty name.
    if (record->hostname.length && vt_string_dup(ctx->name, &record->hostname)) {
        ctx->failed = true;
        return VT_ERR("out of memory");
    }
    return 1;
}

static int active_target_cb(vt_fcache *store, void *user)
{
    uint64_t pid = 0;
    vt_string path{};
    string_guard path_guard(&path);
    if (read_mount_record(store, &pid, &path) == 0)
        ++*static_cast<size_t *>(user);
    return 0;
}

// A target directory that cannot be entered counts as not active; the count goes on.
static int active_target_walk(vt_fcache *store, const vt_db_target *target, void *user)
{
    vt_fcache_push_target(store, target->id, active_target_cb, user);
    return 0;
}

// A subject without a readable target list has no active target; the count goes on.
static int active_subject_walk(vt_fcache *store, const vt_db_subject *, void *user)
{
    vt_fcache_walk_targets(store, active_target_walk, user);
    return 0;
}

static int subject_target_pid_cb(vt_fcache *store, void *user)
{
    return vt_fcache_pid(store, vt_fcache_check_pid, user);
}

static int csv_header(vt_buffer *line, const vt_db_subject *subject, const vt_db_target *target)
{
    if (subject && vt_buffer_print(line, "name,platform,url,version%s", target ? "," : ""))
        return 1;
    if (target && vt_buffer_print(line, "name,block_size,block_count,pid,mount_path"))
        return 1;
    return vt_buffer_print(line, "\n");
}

static int csv_subject(vt_buffer *line, const vt_db_subject *subject, bool target_follows)
{
    const std::string_view host = view(&subject->hostname), platform = view(&subject->platform),
                           address = view(&subject->address), port = view(&subject->port),
                           path = view(&subject->path), version = view(&subject->version);
    return vt_buffer_print(line, "\"%.*s\",\"%.*s\",\"%.*s:%.*s%.*s\",\"%.*s\"%s", int(host.size()),
                           host.data(), int(platform.size()), platform.data(), int(address.size()),
                           address.data(), int(port.size()), port.data(), int(path.size()),
                           path.data(), int(version.size()), version.data(),
                           target_follows ? "," : "");
}

static int csv_target(vt_buffer *line, const vt_db_target *target, const vt_mount_info *mount)
{
    const std::string_view name = view(&target->name);
    if (vt_buffer_print(line, "\"%.*s\",\"%llu\",\"%llu\",", int(name.size()), name.data(),
                        (unsigned long long)target->block_size,
                        (unsigned long long)target->block_count))
        return 1;
    if (!mount)
        return vt_buffer_print(line, "\"0\",\"\"");
    const std::string_view path = view(&mount->mount_path);
    return vt_buffer_print(line, "\"%llu\",\"%.*s\"", (unsigned long long)mount->pid,
                           int(path.size()), path.data());
}

int vt_cache_store_init(vt_fcache **slot, const char *name)
{
    if (VT_NIL(2, slot, name))
        return 1;
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, 256))
        return VT_ERR("failed to create buffer object");
    const buffer_ptr root(raw);
    if (vt_buffer_print(root.get(), "%s/%s", vt_state_dir(), name))
        return VT_ERR("failed to write cache path");
    if (vt_fcache_init2(slot, reinterpret_cast<const char *>(root->data)))
        return VT_ERR("failed to create fcache object");
    return 0;
}

int vt_subject_name_to_url(vt_fcache *store, vt_string *subject)
{
    if (VT_NIL(2, store, subject))
        return 1;
    name_to_url_walk_ctx ctx{subject, {}, false};
    const int walked = vt_fcache_walk_subject(store, vt_subject_name_to_url_walk, &ctx);
    string_guard url_guard(&ctx.url);
    if (walked)
        return VT_ERR("failed to iterate subject list");
    if (!ctx.matched)
        return 1;
    // Only a URL the channel can parse replaces the caller's text.
    vt_url *url = nullptr;
    if (vt_url_init(&url, ctx.url.text, ctx.url.length))
        return VT_ERR("invalid url -- %s", ctx.url.text);
    vt_url_deit(&url);
    vt_string_free(subject);
    *subject = ctx.url;
    ctx.url = vt_string{};
    return 0;
}

int vt_subject_url_to_name(vt_fcache *store, const vt_url *url, vt_string *name)
{
    if (VT_NIL(3, store, url, name))
        return 1;
    if (name->text)
        return VT_ERR("invalid argument");
    url_to_name_walk_ctx ctx{url, name, false, false};
    if (vt_fcache_walk_subject(store, vt_subject_url_to_name_walk, &ctx))
        return VT_ERR("failed to iterate subject list");
    return ctx.matched && !ctx.failed ? 0 : 1;
}

int vt_fcache_pid(vt_fcache *store, vt_fcache_file_cb callback, void *user)
{
    if (VT_NIL(2, store, callback))
        return 1;
    vt_string path{};
    string_guard path_guard(&path);
    if (vt_fcache_filename2(store, VT_CACHE_PID_FILE, &path))
        return VT_ERR("failed to build pid file path");
    return callback(&path, user);
}

int vt_fcache_path(vt_fcache *store, vt_fcache_file_cb callback, void *user)
{
    if (VT_NIL(2, store, callback))
        return 1;
    vt_string path{};
    string_guard path_guard(&path);
    // The words are those of the pid file on purpose: callers match on them.
    if (vt_fcache_filename2(store, VT_CACHE_PATH_FILE, &path))
        return VT_ERR("failed to build pid file path");
    return callback(&path, user);
}

int vt_fcache_check_pid(const vt_string *path, void *pid)
{
    if (!path || !path->text)
        return 1;
    struct stat info;
    if (lstat(path->text, &info) || !S_ISREG(info.st_mode))
        return 1;
    uint64_t found = 0;
    if (vt_query_pid(path, &found) || !process_alive(found))
        return 1;
    if (pid)
        *static_cast<uint64_t *>(pid) = found;
    return 0;
}

int vt_fcache_check_path(const vt_string *path, void *text)
{
    auto *out = static_cast<vt_string *>(text);
    if (!path || !path->text || !out || out->text)
        return 1;
    fd_guard file{open(path->text, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return 1;
    const off_t size = lseek(file.fd, 0, SEEK_END);
    if (size < 0 || lseek(file.fd, 0, SEEK_SET) != 0)
        return VT_SYSERR("failed seek file -- %s", path->text);
    std::unique_ptr<char, decltype(&std::free)> area(
        static_cast<char *>(std::calloc(size_t(size) + 1, 1)), &std::free);
    if (!area)
        return VT_ERR("failed to create buffer object");
    size_t got = 0;
    while (got < size_t(size)) {
        const ssize_t part = read(file.fd, area.get() + got, size_t(size) - got);
        if (part < 0 && errno == EINTR)
            continue;
        if (part < 0)
            return VT_SYSERR("failed to read file -- %s", path->text);
        if (part == 0)
            return VT_ERR("failed to read file -- %s", path->text);
        got += size_t(part);
    }
    out->text = area.release();
    out->length = got;
    return 0;
}

int vt_fcache_create_pid(const vt_string *path, void *copy)
{
    if (VT_NIL(1, path))
        return 1;
    if (vt_create_pid(path))
        return VT_ERR("failed to write pid file -- %s", path->text);
    if (copy && vt_string_dup(static_cast<vt_string *>(copy), path))
        return VT_ERR("failed to copy pid file -- %s", path->text);
    return 0;
}

int vt_fcache_remove_pid(const vt_string *path, void *copy)
{
    if (VT_NIL(1, path))
        return 1;
    if (vt_remove_pid(path))
        return VT_ERR("failed to write target pid file -- %s", path->text);
    if (copy && vt_string_dup(static_cast<vt_string *>(copy), path))
        return VT_ERR("failed to copy pid file -- %s", path->text);
    return 0;
}

int vt_fcache_create_path(const vt_string *path, void *mount_path)
{
    if (VT_NIL(3, path, path ? path->text : nullptr, mount_path))
        return 1;
    const auto *mount = static_cast<const vt_string *>(mount_path);
    const std::string_view text = view(mount);
    switch (vt_file_replace(path->text, text.data(), text.size(), kPathFileMode)) {
    case VT_REPLACE_DONE:
        return 0;
    case VT_REPLACE_CREATE:
        return VT_SYSERR("failed to create mount file -- %s", path->text);
    case VT_REPLACE_WRITE:
        return VT_SYSERR("failed to write mount path -- %.*s", int(text.size()), text.data());
    }
    return 1;
}

int vt_fcache_remove_path(const vt_string *path, void *)
{
    if (VT_NIL(2, path, path ? path->text : nullptr))
        return 1;
    if (unlink(path->text))
        return VT_SYSERR("failed to remove mount file path -- %s", path->text);
    return 0;
}

int vt_fcache_push_subject_target(vt_fcache *store, const vt_db_subject *subject,
                                  const vt_db_target *target, vt_fcache_cb callback, void *user)
{
    if (VT_NIL(4, store, subject, target, callback))
        return 1;
    const std::string_view uuid = view(&subject->uuid);
    if (vt_fcache_push_dir(store, &subject->uuid))
        return VT_ERR("failed to push subject directory -- %.*s", int(uuid.size()), uuid.data());
    const int result = vt_fcache_push_target(store, target->id, callback, user);
    if (vt_fcache_pop_dir_(store, 1))
        return VT_ERR("failed to pop subject directory -- %.*s", int(uuid.size()), uuid.data());
    return result;
}

int vt_subject_target_pid(vt_fcache *store, const char *key, const char *target_name,
                          uint64_t *pid)
{
    if (VT_NIL(4, store, key, target_name, pid))
        return 1;
    return vt_fcache_subject_target(store, key, target_name, subject_target_pid_cb, pid);
}

int vt_subject_target_mount_info(vt_fcache *store, const char *key, const char *target_name,
                                 vt_mount_info **slot)
{
    if (VT_NIL(4, store, key, target_name, slot))
        return 1;
    if (*slot)
        return VT_ERR("invalid argument");
    mount_info_ctx ctx{slot, true};
    return vt_fcache_subject_target(store, key, target_name, mount_info_build, &ctx);
}

int vt_mount_info_init(vt_mount_info **slot, vt_fcache *store, uint64_t target_id)
{
    if (VT_NIL(2, slot, store))
        return 1;
    if (*slot)
        return VT_ERR("invalid argument");
    mount_info_ctx ctx{slot, false};
    return vt_fcache_push_target(store, target_id, mount_info_build, &ctx);
}

int vt_mount_info_deit(vt_mount_info **slot)
{
    if (!slot || !*slot)
        return 0;
    vt_string_free(&(*slot)->mount_path);
    delete *slot;
    *slot = nullptr;
    return 0;
}

static int add_mount_path(const vt_mount_info *info, vt_json_obj *object)
{
    const std::string_view path = view(&info->mount_path);
    return vt_json_obj_string(object, "mount_path", path.empty() ? "" : path.data(), path.size());
}

int vt_mount_info_json(const vt_mount_info *info, vt_json_obj *object)
{
    if (VT_NIL(2, info, object))
        return 1;
    // Little-endian, unlike the big-endian Base64 numbers of the subject records.
    const uint64_t bytes = htole64(info->pid);
    if (vt_json_obj_binary(object, "pid", &bytes, sizeof bytes))
        return VT_ERR("failed to add pid to object");
    if (add_mount_path(info, object))
        return VT_ERR("failed to add mount path to object");
    return 0;
}

int vt_mount_info_json_readable(const vt_mount_info *info, vt_json_obj *object)
{
    if (VT_NIL(2, info, object))
        return 1;
    if (vt_json_obj_number_string(object, "pid", info->pid))
        return VT_ERR("failed to add pid to object");
    if (add_mount_path(info, object))
        return VT_ERR("failed to add mount path to object");
    return 0;
}

int vt_active_target_count(vt_fcache *store, size_t *count)
{
    if (VT_NIL(2, store, count))
        return 1;
    size_t found = 0;
    if (vt_fcache_walk_subject(store, active_subject_walk, &found))
        return VT_ERR("failed to iterate subject list");
    *count = found;
    return 0;
}

int vt_csv_print(const vt_db_subject *subject, const vt_db_target *target,
                 const vt_mount_info *mount, size_t row)
{
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, 256))
        return VT_ERR("failed to create buffer object");
    const buffer_ptr line(raw);
    // The line is composed first and written in one call, so it is never split.
    if ((row == 0 && csv_header(line.get(), subject, target)) ||
        (subject && csv_subject(line.get(), subject, target != nullptr)) ||
        (target && csv_target(line.get(), target, mount)) || vt_buffer_print(line.get(), "\n"))
        return VT_ERR("failed to write csv line");
    if (fwrite(line->data, 1, line->used, stdout) != line->used)
        return VT_SYSERR("failed to write csv line to standard output");
    return 0;
}
