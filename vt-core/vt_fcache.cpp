// The state directory store: path bookkeeping, per-directory flock() locks, and the
// walks over the subject cache layout (a directory per subject uuid holding its
// "subject" and "targets" files, and a directory per target id below it).
#include "vt_fcache.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vt_buffer.h"
#include "vt_db.h"
#include "vt_json.h"
#include "vt_misc.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_url.h"
#include "vt_ptr.h"

namespace {

constexpr size_t path_capacity = 4096;
constexpr mode_t directory_mode = 0755;
constexpr const char *default_cache_name = "subject";
constexpr const char *subject_file_name = "subject";
constexpr const char *targets_file_name = "targets";
constexpr const char *targets_key = "targets";

// Room for a target id in decimal: at most 20 digits, the text is capped at 63.
using id_text = char[64];

struct fcache_deleter {
    void operator()(vt_fcache *store) const
    {
        vt_fcache *slot = store;
        vt_fcache_deit(&slot);
    }
};
using fcache_ptr = std::unique_ptr<vt_fcache, fcache_deleter>;

using json_obj_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

using json_arr_ptr = vt_owner<vt_json_arr, vt_json_arr_deit>;

struct dir_deleter {
    void operator()(DIR *dir) const { closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_deleter>;

// A counted string that frees its text when it goes out of scope.
struct owned_string : vt_string {
    owned_string() : vt_string{} {}
    ~owned_string() { vt_string_free(this); }
    owned_string(const owned_string &) = delete;
    owned_string &operator=(const owned_string &) = delete;
};

// What a subject walk hands each entry of the cache root.
struct subject_walk {
    vt_fcache_subject_walk_cb callback;
    void *user;
};

// State of one vt_fcache_subject_target look-up.
struct subject_target_search {
    std::string_view key;
    std::string_view target_name;
    vt_fcache_cb callback;
    void *user;
    bool found;
    int result;
};

std::string_view view(const vt_string &string)
{
    return string.text ? std::string_view(string.text, string.length) : std::string_view();
}

} // namespace

// The path buffer always holds a zero byte after its used length.
static const char *path_text(const vt_fcache *store)
{
    return reinterpret_cast<const char *>(store->path->data);
}

static void path_cut(vt_fcache *store, size_t length)
{
    store->path->used = length;
    store->path->data[length] = '\0';
}

// Appends "/" and name, remembering the previous length in saved_length.
static int path_append(vt_fcache *store, const char *name)
{
    size_t before = store->path->used;
    if (vt_buffer_print(store->path, "/%s", name) || store->path->used > UINT32_MAX) {
        path_cut(store, before);
        return 1;
    }
    store->saved_length = uint32_t(before);
    return 0;
}

// A directory name is one path component: never empty, never "." or "..", no
// slash. Names such as subject uuids come from peers, and a name that climbs out
// of the store or spans two levels would leave the path and the lock stack apart.
static bool is_component(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

static int format_id(uint64_t id, id_text &text)
{
    int length = snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(id));
    return length > 0 && size_t(length) < sizeof text ? 0 : 1;
}

// Makes sure path is a directory (a symbolic link is not one), creating the last
// component when it is missing.
static int fcache_make_dir(const char *path)
{
    struct stat info;
    for (int attempt = 0;; ++attempt) {
        if (lstat(path, &info) == 0)
            break;
        if (errno != ENOENT)
            return VT_SYSERR("cache directory stat failed -- %s", path);
        if (mkdir(path, directory_mode) == 0)
            return 0;
        // Another process may have created it since the lstat: examine it once more.
        if (errno != EEXIST || attempt > 0)
            return VT_SYSERR("failed to create directory -- %s", path);
    }
    if (!S_ISDIR(info.st_mode))
        return VT_ERR("cache path is not a directory -- %s", path);
    return 0;
}

// Creates the missing ancestors of a store's root, as "mkdir -p" would: on a fresh
// machine the state directory does not exist yet, and every command must still work.
// The root itself is left to fcache_make_dir, which checks what it finds.
static int fcache_make_parents(const char *path)
{
    std::string prefix(path);
    for (size_t slash = prefix.find('/', 1); slash != std::string::npos;
         slash = prefix.find('/', slash + 1)) {
        const std::string parent = prefix.substr(0, slash);
        if (mkdir(parent.c_str(), directory_mode) != 0 && errno != EEXIST)
            return VT_SYSERR("failed to create directory -- %s", parent.c_str());
    }
    return 0;
}

// True when the innermost lock no longer guards the directory at the current path:
// its previous holder removed the directory while this store waited for the lock.
static bool innermost_lock_is_stale(const vt_fcache *store)
{
    struct stat held, named;
    if (fstat(store->locks[store->lock_count - 1], &held) != 0 ||
        lstat(path_text(store), &named) != 0)
        return true;
    return held.st_dev != named.st_dev || held.st_ino != named.st_ino;
}

static int fcache_reset(vt_fcache *store, int remove)
{
    if (VT_NIL(1, store))
        return 1;
    while (store->path->used > store->root_length) {
        if (vt_fcache_pop_dir_(store, remove))
            return 1;
    }
    return 0;
}

// Loads the subject file at path and hands its record to the walker's callback;
// the record points into the document, so both end with the call.
static int fcache_call_with_subject(vt_fcache *store, const char *path, const subject_walk *walk)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_decode_file(&raw, path))
        return VT_ERR("failed to decode subject file -- %s", path);
    json_obj_ptr document(raw);
    vt_db_subject subject{};
    if (vt_db_subject_load(&subject, document.get()))
        return VT_ERR("failed to load subject file -- %s", path);
    return walk->callback(store, &subject, walk->user);
}

// One entry of the subject cache: the callback runs inside the subject's directory.
static int vt_fcache_subject_entry_walk(vt_fcache *store, const char *name, void *user)
{
    if (vt_fcache_push_dir2(store, name))
        return VT_ERR("failed to push subject directory -- %s", name);
    int result = 1;
    owned_string path;
    if (vt_fcache_filename2(store, subject_file_name, &path))
        VT_ERR("failed to get subject file path in subject directory -- %s", name);
    else
        result = fcache_call_with_subject(store, path.text, static_cast<subject_walk *>(user));
    if (vt_fcache_pop_dir_(store, 1))
        result = VT_ERR("failed to pop subject directory -- %s", name);
    return result;
}

// Loads element index of the targets list and hands its record to callback;
// *stop is set when the callback asks to end the walk.
static int fcache_call_with_target(vt_fcache *store, vt_json_arr *targets, size_t index,
                                   const char *path, vt_fcache_target_walk_cb callback, void *user,
                                   bool *stop)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_arr_get_object(targets, &raw, index))
        return VT_ERR("failed to get target info from targets file -- %zu - %s", index, path);
    json_obj_ptr entry(raw);
    vt_db_target target{};
    if (vt_db_target_load(&target, entry.get()))
        return VT_ERR("failed to load target info from targets file -- %zu - %s", index, path);
    *stop = callback(store, &target, user) != 0;
    return 0;
}

// A key names a subject by its host name, or by any prefix of its URL
// (address:port/path), so "10.0.0.5:3262" finds "10.0.0.5:3262/sub".
static int subject_matches(const vt_db_subject *subject, std::string_view key, bool *match)
{
    *match = view(subject->hostname) == key;
    if (*match)
        return 0;
    owned_string url;
    if (vt_url_make(&subject->address, &subject->port, &subject->path, &url))
        return VT_ERR("out of memory");
    *match = view(url).starts_with(key);
    return 0;
}

static int vt_fcache_subject_target_walk(vt_fcache *store, const vt_db_target *target, void *user)
{
    auto *search = static_cast<subject_target_search *>(user);
    if (view(target->name) != search->target_name)
        return 0;
    search->found = true;
    search->result = 1;
    id_text name;
    if (format_id(target->id, name))
        return VT_ERR("failed to write target id into buffer");
    if (vt_fcache_push_dir2(store, name))
        return VT_ERR("failed to push target directory -- %s", name);
    search->result = search->callback(store, search->user);
    if (vt_fcache_pop_dir_(store, 1))
        search->result = VT_ERR("failed to pop target directory -- %s", name);
    return 1;
}

// The first matching subject ends the subject walk, found target or not.
static int vt_fcache_subject_uuid(vt_fcache *store, const vt_db_subject *subject, void *user)
{
    auto *search = static_cast<subject_target_search *>(user);
    bool match;
    if (subject_matches(subject, search->key, &match))
        return VT_ERR("failed to match subject");
    if (!match)
        return 0;
    if (vt_fcache_walk_targets(store, vt_fcache_subject_target_walk, search))
        VT_ERR("failed to iterate target list");
    return 1;
}

int vt_fcache_init(vt_fcache **slot, const vt_string *root)
{
    if (VT_NIL(1, slot))
        return 1;
    if (*slot)
        return VT_ERR("invalid argument");
    fcache_ptr store(new (std::nothrow) vt_fcache{});
    if (!store || vt_buffer_init(&store->path, path_capacity))
        return VT_ERR("failed to create file cache object");
    for (auto &fd : store->locks)
        fd = -1;
    int unwritten = root && root->length
                        ? vt_buffer_print(store->path, "%s", root->text)
                        : vt_buffer_print(store->path, "%s/%s", vt_state_dir(), default_cache_name);
    if (unwritten || store->path->used > UINT32_MAX)
        return VT_ERR("failed to write cache path");
    store->root_length = store->saved_length = uint32_t(store->path->used);
    if (fcache_make_parents(path_text(store.get())) || fcache_make_dir(path_text(store.get())))
        return 1;
    store->lock_capacity = VT_FCACHE_LOCK_CAPACITY;
    *slot = store.release();
    return 0;
}

int vt_fcache_init2(vt_fcache **slot, const char *root)
{
    vt_string text{const_cast<char *>(root), root ? strlen(root) : 0};
    return vt_fcache_init(slot, &text);
}

int vt_fcache_deit(vt_fcache **slot)
{
    if (VT_NIL(1, slot))
        return 1;
    vt_fcache *store = *slot;
    if (!store)
        return 0;
    int result = 0;
    if (store->path && vt_fcache_reset_dir(store))
        result = 1;
    // Locks taken with vt_fcache_acquire and never released end with the store.
    while (store->lock_count > 0)
        close(store->locks[--store->lock_count]);
    vt_buffer_deit(&store->path);
    delete store;
    *slot = nullptr;
    return result;
}

int vt_fcache_push_dir(vt_fcache *store, const vt_string *name)
{
    if (VT_NIL(2, store, name))
        return 1;
    if (!is_component(view(*name)))
        return VT_ERR("invalid argument");
    // Checked before anything is created, so a refused push leaves no directory.
    if (store->lock_count >= store->lock_capacity)
        return VT_ERR("too many directory locks -- %s", path_text(store));
    size_t before = store->path->used;
    if (path_append(store, name->text))
        return VT_ERR("failed to add directory component -- '%s'", name->text);
    for (;;) {
        if (fcache_make_dir(path_text(store)))
            break;
        if (vt_fcache_acquire(store)) {
            VT_ERR("failed to lock directory -- %s", path_text(store));
            break;
        }
        if (!innermost_lock_is_stale(store))
            return 0;
        // The previous holder removed the directory while this store waited for
        // its lock, which therefore guards nothing: take the directory afresh.
        if (vt_fcache_release(store)) {
            VT_ERR("failed to lock directory -- %s", path_text(store));
            break;
        }
    }
    path_cut(store, before);
    return 1;
}

int vt_fcache_push_dir2(vt_fcache *store, const char *name)
{
    if (VT_NIL(1, name))
        return 1;
    vt_string text{const_cast<char *>(name), strlen(name)};
    return vt_fcache_push_dir(store, &text);
}

int vt_fcache_pop_dir_(vt_fcache *store, int remove)
{
    if (VT_NIL(1, store))
        return 1;
    std::string_view path(path_text(store), store->path->used);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash < store->root_length)
        return VT_ERR("failed to pop cache directory -- %s", path_text(store));
    // rmdir() removes only an empty directory; one with entries simply stays.
    if (remove)
        rmdir(path_text(store));
    int result = vt_fcache_release(store);
    // The descriptor is closed even when unlocking failed, so the directory is left.
    path_cut(store, slash);
    return result;
}

int vt_fcache_reset_dir(vt_fcache *store)
{
    return fcache_reset(store, 1);
}

int vt_fcache_reset_dir_keep(vt_fcache *store)
{
    return fcache_reset(store, 0);
}

int vt_fcache_acquire(vt_fcache *store)
{
    if (VT_NIL(1, store))
        return 1;
    const char *path = path_text(store);
    if (store->lock_count >= store->lock_capacity)
        return VT_ERR("too many directory locks -- %s", path);
    // Close-on-exec: a program the process starts must not inherit (and so keep
    // holding) the lock; O_NOFOLLOW keeps a swapped-in symbolic link out.
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return VT_SYSERR("failed to open directory path -- %s", path);
    int rc;
    do
        rc = flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return VT_SYSERR("failed to lock directory path -- %s", path);
    }
    store->locks[store->lock_count++] = fd;
    return 0;
}

int vt_fcache_release(vt_fcache *store)
{
    if (VT_NIL(1, store))
        return 1;
    if (store->lock_count == 0)
        return VT_ERR("no directory lock held -- %s", path_text(store));
    int fd = store->locks[--store->lock_count];
    store->locks[store->lock_count] = -1;
    int result = 0;
    if (flock(fd, LOCK_UN) != 0)
        result = VT_SYSERR("failed to unlock directory path -- %s", path_text(store));
    close(fd);
    return result;
}

int vt_fcache_get_dir(vt_fcache *store, vt_string *out)
{
    if (VT_NIL(2, store, out))
        return 1;
    if (vt_string_copy(out, store->path->data, store->path->used))
        return VT_ERR("out of memory");
    return 0;
}

int vt_fcache_filename(vt_fcache *store, const vt_string *name, vt_string *out)
{
    if (VT_NIL(3, store, name, out))
        return 1;
    if (!name->text)
        return VT_ERR("invalid argument");
    if (path_append(store, name->text))
        return VT_ERR("failed to create path for filename -- %s", name->text);
    int result = 0;
    if (vt_string_copy(out, store->path->data, store->path->used))
        result = VT_ERR("out of memory");
    path_cut(store, store->saved_length);
    return result;
}

int vt_fcache_filename2(vt_fcache *store, const char *name, vt_string *out)
{
    if (VT_NIL(1, name))
        return 1;
    vt_string text{const_cast<char *>(name), strlen(name)};
    return vt_fcache_filename(store, &text, out);
}

int vt_fcache_walk_dir(vt_fcache *store, vt_fcache_dir_walk_cb callback, void *user)
{
    if (VT_NIL(2, store, callback))
        return 1;
    owned_string path;
    if (vt_fcache_get_dir(store, &path))
        return VT_ERR("failed to get cache path");
    // The callbacks may move the store, so the listing works on its own copy.
    dir_ptr dir(opendir(path.text));
    if (!dir)
        return VT_SYSERR("failed to open cache path -- %s", path.text);
    while (const dirent *entry = readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (callback(store, entry->d_name, user))
            break;
    }
    return 0;
}

int vt_fcache_walk_subject(vt_fcache *store, vt_fcache_subject_walk_cb callback, void *user)
{
    if (VT_NIL(2, store, callback))
        return 1;
    if (vt_fcache_reset_dir(store))
        return VT_ERR("failed to return to cache root");
    // The root lock serialises walkers of one cache; a subject directory that
    // another process holds keeps this walker waiting at that directory.
    if (vt_fcache_acquire(store))
        return VT_ERR("failed to lock cache");
    subject_walk walk{callback, user};
    int result = 0;
    if (vt_fcache_walk_dir(store, vt_fcache_subject_entry_walk, &walk))
        result = VT_ERR("failed to traverse the cache directory");
    if (vt_fcache_release(store))
        result = 1;
    return result;
}

int vt_fcache_walk_targets(vt_fcache *store, vt_fcache_target_walk_cb callback, void *user)
{
    if (VT_NIL(2, store, callback))
        return 1;
    owned_string path;
    if (vt_fcache_filename2(store, targets_file_name, &path))
        return VT_ERR("failed to get targets file path");
    vt_json_obj *raw_document = nullptr;
    if (vt_json_obj_decode_file(&raw_document, path.text))
        return VT_ERR("failed to decode targets file -- %s", path.text);
    json_obj_ptr document(raw_document);
    vt_json_arr *raw_targets = nullptr;
    if (vt_json_obj_get_array(document.get(), targets_key, &raw_targets))
        return VT_ERR("failed to get target list from targets file -- %s", path.text);
    json_arr_ptr targets(raw_targets);
    size_t count;
    if (vt_json_arr_size(targets.get(), &count))
        return VT_ERR("failed to get target size from targets file -- %s", path.text);
    bool stop = false;
    for (size_t index = 0; index < count && !stop; ++index) {
        if (fcache_call_with_target(store, targets.get(), index, path.text, callback, user, &stop))
            return 1;
    }
    return 0;
}

int vt_fcache_push_target(vt_fcache *store, uint64_t id, vt_fcache_cb callback, void *user)
{
    if (VT_NIL(2, store, callback))
        return 1;
    id_text name;
    if (format_id(id, name))
        return VT_ERR("failed to convert target id to string");
    if (vt_fcache_push_dir2(store, name))
        return VT_ERR("failed to push target directory");
    int result = callback(store, user);
    if (vt_fcache_pop_dir_(store, 1))
        return VT_ERR("failed to pop target directory");
    return result;
}

int vt_fcache_subject_target(vt_fcache *store, const char *key, const char *target_name,
                             vt_fcache_cb callback, void *user)
{
    if (VT_NIL(4, store, key, target_name, callback))
        return 1;
    subject_target_search search{key, target_name, callback, user, false, 1};
    if (vt_fcache_walk_subject(store, vt_fcache_subject_uuid, &search))
        return VT_ERR("failed to iterate subject list");
    return search.found ? search.result : 1;
}
