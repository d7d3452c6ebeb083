// The subject cache commands of vt_accel: add, remove, cache, query, active and stop.
// Results go to standard output as CSV lines or one JSON document, problems to
// standard error; the failure reports of each step go to `syserr`.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "vt_db.h"
#include "vt_fuse.h"
#include "vt_json.h"
#include "vt_misc.h"
#include "vt_url.h"

namespace {

struct json_release {
    void operator()(vt_json_obj *obj) const { vt_json_obj_deit(&obj); }
};
using json_ptr = std::unique_ptr<vt_json_obj, json_release>;

struct array_release {
    void operator()(vt_json_arr *arr) const { vt_json_arr_deit(&arr); }
};
using array_ptr = std::unique_ptr<vt_json_arr, array_release>;

struct url_release {
    void operator()(vt_url *url) const { vt_url_deit(&url); }
};
using url_ptr = std::unique_ptr<vt_url, url_release>;

struct mount_release {
    void operator()(vt_mount_info *info) const { vt_mount_info_deit(&info); }
};
using mount_ptr = std::unique_ptr<vt_mount_info, mount_release>;

struct owned_string : vt_string {
    owned_string() : vt_string{} {}
    ~owned_string() { vt_string_free(this); }
    owned_string(const owned_string &) = delete;
    owned_string &operator=(const owned_string &) = delete;
};

std::string_view view(const vt_string &string)
{
    return {string.text ? string.text : "", string.length};
}

// Writes the document's text (no zero byte, no line feed) to standard output.
int print_document(vt_json_obj *document)
{
    char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_encode_(document, &text, &length))
        return 1;
    size_t count = length ? length - 1 : 0;
    int failed = fwrite(text, 1, count, stdout) != count || fflush(stdout) != 0;
    free(text);
    return failed;
}

// New document {key: []} and a handle on its array.
int new_listing(const char *key, json_ptr *document, array_ptr *array)
{
    vt_json_obj *obj = nullptr;
    vt_json_arr *arr = nullptr;
    if (vt_json_obj_init(&obj))
        return VT_ERR("failed to create object");
    document->reset(obj);
    if (vt_json_arr_init(&arr))
        return VT_ERR("failed to create array");
    array->reset(arr);
    if (vt_json_obj_array(obj, key, arr))
        return VT_ERR("failed to add array to object");
    return 0;
}

int url_from_options(const vt_string &subject, url_ptr *url)
{
    vt_url *raw = nullptr;
    if (vt_url_init(&raw, subject.text, subject.length))
        return 1;
    url->reset(raw);
    return 0;
}

int required(const vt_option *opt, bool username, bool password)
{
    if (!opt->subject.text) {
        fputs("Missing -s,--subject argument.\n", stderr);
        return 1;
    }
    if (username && !opt->username.text) {
        fputs("Missing -u,--username argument.\n", stderr);
        return 1;
    }
    if (password && !opt->password.text) {
        fputs("Missing -p,--password argument.\n", stderr);
        return 1;
    }
    return 0;
}

// Dumps a subject or a target record in the document (--raw) or the readable form.
int dump_subject(const vt_db_subject *subject, bool raw, json_ptr *out)
{
    vt_json_obj *obj = nullptr;
    int failed = raw ? vt_db_subject_dump(subject, &obj) : vt_db_subject_dump_readable(subject, &obj);
    out->reset(obj);
    return failed;
}

int dump_target(const vt_db_target *target, bool raw, json_ptr *out)
{
    vt_json_obj *obj = nullptr;
    int failed = raw ? vt_db_target_dump(target, &obj) : vt_db_target_dump_readable(target, &obj);
    out->reset(obj);
    return failed;
}

int add_mount_info(const vt_mount_info *info, bool raw, vt_json_obj *obj)
{
    return raw ? vt_mount_info_json(info, obj) : vt_mount_info_json_readable(info, obj);
}

// Mount information of a target of the store's current subject, or null.
mount_ptr target_mount_info(vt_fcache *store, const vt_db_target *target)
{
    vt_mount_info *raw = nullptr;
    if (vt_mount_info_init(&raw, store, target->id))
        return nullptr;
    return mount_ptr(raw);
}

// True when path is the root of a mounted file system: its device differs from its
// parent's. A mount ends before its process removes its records, so a record can
// still name a live process for a path that is no longer mounted.
bool is_mount_point(const char *path)
{
    struct stat self{}, parent{};
    const std::string parent_path = std::string(path) + "/..";
    return stat(path, &self) == 0 && stat(parent_path.c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

// Unmounts the target of the store's current directory when its record is live.
int umount_recorded(vt_fcache *store)
{
    if (vt_fcache_pid(store, vt_fcache_check_pid, nullptr))
        return 0;
    owned_string path;
    if (vt_fcache_path(store, vt_fcache_check_path, &path) || !is_mount_point(path.text))
        return 0;
    return vt_fuse_umount_path(path.text);
}

// ---- add ----

int write_cache_files(vt_fuse *ctx, vt_json_obj *subject, vt_json_obj *targets,
                      const vt_string &uuid)
{
    vt_fcache *store = ctx->store;
    if (vt_fcache_push_dir(store, &uuid))
        return VT_ERR("failed to push subject directory -- %s", uuid.text);
    owned_string subject_path, targets_path;
    int result = 0;
    if (vt_fcache_filename2(store, "subject", &subject_path))
        result = VT_ERR("failed to get subject file path");
    else if (vt_fcache_filename2(store, "targets", &targets_path))
        result = VT_ERR("failed to get targets file path");
    else if (vt_json_obj_encode_file(subject, subject_path.text))
        result = VT_ERR("failed to write subject file -- %s", subject_path.text);
    else if (vt_json_obj_encode_file(targets, targets_path.text))
        result = VT_ERR("failed to write targets file -- %s", targets_path.text);
    else
        printf("Cached subject file at %s.\nCached targets file at %s.\n", subject_path.text,
               targets_path.text);
    if (vt_fcache_pop_dir_(store, 0))
        result = VT_ERR("failed to pop subject directory -- %s", uuid.text);
    return result;
}

// The cached "address" is the host the subject was reached at, not what it reports.
void set_cached_address(vt_fuse *ctx, vt_json_obj *subject)
{
    url_ptr url;
    if (url_from_options(ctx->options->subject, &url) || !url->host) {
        VT_ERR("failed to parse subject url");
        return;
    }
    if (vt_json_obj_string(subject, "address", url->host, strlen(url->host)))
        VT_ERR("failed to overwrite subject address");
}

// ---- query ----

struct query_walk {
    const vt_db_subject *subject;
    size_t row;
};

int vt_fuse_query_csv(const vt_db_target *target, void *user)
{
    auto *walk = static_cast<query_walk *>(user);
    return vt_csv_print(walk->subject, target, nullptr, walk->row++);
}

int query_json(vt_fuse *ctx)
{
    json_ptr subject;
    if (dump_subject(&ctx->info->record, false, &subject))
        return VT_ERR("failed to create subject object");
    vt_json_obj *raw = nullptr;
    if (vt_subject_target_json_readable(ctx->subject, &raw))
        return VT_ERR("failed to get target object");
    json_ptr targets(raw);
    vt_json_arr *array = nullptr;
    if (vt_json_obj_get_array(targets.get(), "targets", &array))
        return VT_ERR("failed to get target array");
    array_ptr owned(array);
    if (vt_json_obj_array(subject.get(), "targets", array) || print_document(subject.get()))
        return VT_ERR("failed to encode subject and target object");
    return 0;
}

// ---- remove ----

struct remove_walk {
    vt_url *url;
    int matched;
    int removed;
    int umount_failed;
};

// Unmounts one target of the subject being removed when it is mounted.
int vt_fuse_remove_target_walk_cb(vt_fcache *store, void *user)
{
    auto *walk = static_cast<remove_walk *>(user);
    if (umount_recorded(store)) {
        walk->umount_failed = 1;
        return 1;
    }
    return 0;
}

int vt_fuse_remove_target_cb(vt_fcache *store, const vt_db_target *target, void *user)
{
    vt_fcache_push_target(store, target->id, vt_fuse_remove_target_walk_cb, user);
    return static_cast<remove_walk *>(user)->umount_failed;
}

int remove_file(vt_fcache *store, const char *name, const char *done, const char *failure)
{
    owned_string path;
    if (vt_fcache_filename2(store, name, &path))
        return VT_ERR(failure, name);
    if (unlink(path.text) != 0)
        return VT_SYSERR(failure, path.text);
    printf(done, path.text);
    return 0;
}

int vt_fuse_remove_cb(vt_fcache *store, const vt_db_subject *subject, void *user)
{
    auto *walk = static_cast<remove_walk *>(user);
    if (view(subject->address) != (walk->url->host ? walk->url->host : "") ||
        view(subject->port) != walk->url->port)
        return 0;
    walk->matched = 1;
    if (vt_fcache_walk_targets(store, vt_fuse_remove_target_cb, walk) || walk->umount_failed)
        return 1;
    if (remove_file(store, "subject", "Uncached subject file at %s.\n",
                    "failed to remove subject file -- %s") ||
        remove_file(store, "targets", "Uncached targets file at %s.\n",
                    "failed to remove targets file -- %s"))
        return 1;
    walk->removed = 1;
    return 1;
}

// ---- cache ----

struct cache_walk {
    vt_option *opt;
    vt_json_arr *array; // with --json
    const vt_db_subject *match;
    size_t count;
    int failed;
};

bool subject_matches(const vt_db_subject *subject, std::string_view key)
{
    if (view(subject->hostname) == key || view(subject->address) == key)
        return true;
    owned_string url;
    if (vt_url_make(&subject->address, &subject->port, &subject->path, &url))
        return false;
    return view(url) == key;
}

int append_record(vt_json_arr *array, vt_json_obj *obj, const char *message)
{
    if (vt_json_arr_object(array, obj))
        return VT_ERR("%s", message);
    return 0;
}

int vt_fuse_cache_target_walk(vt_fcache *store, const vt_db_target *target, void *user)
{
    auto *walk = static_cast<cache_walk *>(user);
    const mount_ptr mount = target_mount_info(store, target);
    if (!walk->array) {
        if (vt_csv_print(nullptr, target, mount.get(), walk->count))
            return 1;
        ++walk->count;
        return 0;
    }
    const bool raw = walk->opt->raw;
    json_ptr obj;
    if (dump_target(target, raw, &obj))
        return VT_ERR("failed to encode target");
    if (mount && add_mount_info(mount.get(), raw, obj.get()))
        return VT_ERR("failed to add mount information to target");
    if (append_record(walk->array, obj.get(), "failed to add target to array"))
        return 1;
    ++walk->count;
    return 0;
}

int vt_fuse_cache_subject_walk(vt_fcache *store, const vt_db_subject *subject, void *user)
{
    auto *walk = static_cast<cache_walk *>(user);
    vt_option *opt = walk->opt;
    if (opt->subject.text) {
        if (!subject_matches(subject, view(opt->subject)))
            return 0;
        walk->match = subject;
        if (vt_fcache_walk_targets(store, vt_fuse_cache_target_walk, walk)) {
            fprintf(stderr, "Failed to iterate target list of subject -- %s", opt->subject.text);
            walk->failed = 1;
        }
        return 1;
    }
    if (!walk->array) {
        if (vt_csv_print(subject, nullptr, nullptr, walk->count))
            return 1;
        ++walk->count;
        return 0;
    }
    json_ptr obj;
    if (dump_subject(subject, opt->raw, &obj))
        return VT_ERR("failed to encode subject");
    if (append_record(walk->array, obj.get(), "failed to add subject to array"))
        return 1;
    ++walk->count;
    return 0;
}

// ---- active ----

struct active_walk {
    vt_option *opt;
    vt_json_arr *subjects; // JSON: the collected subjects
    vt_json_arr *targets;  // JSON: the current subject's mounted targets
    const vt_db_subject *subject;
    size_t count;
};

int vt_fuse_active_target_walk_json(vt_fcache *store, const vt_db_target *target, void *user)
{
    auto *walk = static_cast<active_walk *>(user);
    const mount_ptr mount = target_mount_info(store, target);
    if (!mount)
        return 0;
    json_ptr obj;
    if (dump_target(target, walk->opt->raw, &obj))
        return VT_ERR("failed to encoded target into json");
    if (add_mount_info(mount.get(), walk->opt->raw, obj.get()))
        return VT_ERR("failed to add mount path to target");
    if (vt_json_arr_object(walk->targets, obj.get()))
        return VT_ERR("failed to add target to targets array");
    return 0;
}

int vt_fuse_active_subject_walk_json(vt_fcache *store, const vt_db_subject *subject, void *user)
{
    auto *walk = static_cast<active_walk *>(user);
    vt_json_arr *raw = nullptr;
    if (vt_json_arr_init(&raw))
        return VT_ERR("failed to create targets array");
    const array_ptr targets(raw);
    walk->targets = raw;
    if (vt_fcache_walk_targets(store, vt_fuse_active_target_walk_json, walk))
        return VT_ERR("failed to iterate target list");
    size_t size = 0;
    if (vt_json_arr_size(raw, &size) || size == 0)
        return 0;
    json_ptr obj;
    if (dump_subject(subject, walk->opt->raw, &obj))
        return VT_ERR("failed to encoded subject into json");
    if (vt_json_obj_array(obj.get(), "targets", raw))
        return VT_ERR("failed to add targets array to subject");
    if (vt_json_arr_object(walk->subjects, obj.get()))
        return VT_ERR("failed to add subject to subjects array");
    ++walk->count;
    return 0;
}

int vt_fuse_active_target_walk_csv(vt_fcache *store, const vt_db_target *target, void *user)
{
    auto *walk = static_cast<active_walk *>(user);
    const mount_ptr mount = target_mount_info(store, target);
    if (!mount)
        return 0;
    if (vt_csv_print(walk->subject, target, mount.get(), walk->count))
        return 1;
    ++walk->count;
    return 0;
}

int vt_fuse_active_subject_walk_csv(vt_fcache *store, const vt_db_subject *subject, void *user)
{
    auto *walk = static_cast<active_walk *>(user);
    walk->subject = subject;
    return vt_fcache_walk_targets(store, vt_fuse_active_target_walk_csv, walk);
}

// ---- stop ----

int vt_fuse_stop_target_walk_cb(vt_fcache *store, void *)
{
    return umount_recorded(store);
}

// Unmounts every mounted target of the live subject; the first failure stops.
int vt_fuse_stop_target_walk(vt_fuse *ctx)
{
    vt_db_target *targets = nullptr;
    size_t count = 0;
    if (vt_subject_target_list(ctx->subject, &targets, &count))
        return VT_ERR("failed to get target list");
    int result = 0;
    for (size_t i = 0; i < count && result == 0; ++i)
        result = vt_fcache_push_subject_target(ctx->store, &ctx->info->record, &targets[i],
                                               vt_fuse_stop_target_walk_cb, nullptr);
    vt_subject_target_free_list(&targets, count);
    return result;
}

} // namespace

int vt_fuse_call(vt_option *options, vt_fcache *store, vt_fuse_cb callback)
{
    if (VT_NIL(3, options, store, callback))
        return 1;
    if (required(options, true, true))
        return 1;
    if (vt_url_resolve(&options->subject, "3262", "sub")) {
        fputs("Failed to resolve subject url.\n", stderr);
        return 1;
    }
    vt_fuse *ctx = nullptr;
    if (vt_fuse_init(&ctx, options, store)) {
        fputs("Failed to create fuse object.\n", stderr);
        return 1;
    }
    int result = vt_fuse_connect(ctx, callback, nullptr);
    vt_fuse_deit(&ctx);
    return result;
}

int vt_fuse_add_cb(vt_fuse *ctx, void *)
{
    if (VT_NIL(1, ctx))
        return 1;
    vt_json_obj *raw = nullptr;
    if (!ctx->info || vt_json_obj_copy(&raw, ctx->info->document))
        return VT_ERR("failed to get subject object");
    json_ptr subject(raw);
    raw = nullptr;
    if (vt_subject_target_json(ctx->subject, &raw))
        return VT_ERR("failed to get targets object");
    json_ptr targets(raw);
    set_cached_address(ctx, subject.get());
    return write_cache_files(ctx, subject.get(), targets.get(), ctx->info->record.uuid);
}

int vt_fuse_query_cb(vt_fuse *ctx, void *)
{
    if (VT_NIL(1, ctx))
        return 1;
    if (ctx->options->json)
        return query_json(ctx);
    query_walk walk{&ctx->info->record, 0};
    if (vt_subject_target_walk(ctx->subject, vt_fuse_query_csv, &walk)) {
        fputs("Empty target list.\n", stderr);
        return 1;
    }
    return 0;
}

int vt_fuse_stop_cb(vt_fuse *ctx, void *)
{
    if (VT_NIL(1, ctx))
        return 1;
    if (vt_fuse_stop_target_walk(ctx) || vt_ptc_es_shutdown_req(ctx->subject)) {
        fprintf(stderr, "Failed to shutdown subject %s.\n", ctx->options->subject.text);
        return 1;
    }
    printf("Subject %s received shutdown signal.\n", ctx->options->subject.text);
    return 0;
}

int vt_fuse_remove(vt_option *options, vt_fcache *store)
{
    if (VT_NIL(2, options, store))
        return 1;
    if (required(options, false, false))
        return 1;
    if (vt_subject_name_to_url(store, &options->subject)) {
        fprintf(stderr, "Subject %s does not exist.\n", options->subject.text);
        vt_fuserr = VT_FUSERR_NO_SUBJECT;
        return 1;
    }
    url_ptr url;
    if (url_from_options(options->subject, &url)) {
        fprintf(stderr, "Invalid subject url -- %s\n", options->subject.text);
        return 1;
    }
    remove_walk walk{url.get(), 0, 0, 0};
    if (vt_fcache_walk_subject(store, vt_fuse_remove_cb, &walk)) {
        fputs("Failed to iterate subject list in cache.\n", stderr);
        return 1;
    }
    if (!walk.removed) {
        fprintf(stderr, "Failed to remove subject %s from cached.\n", options->subject.text);
        return 1;
    }
    return 0;
}

int vt_fuse_cache(vt_option *options, vt_fcache *store)
{
    if (VT_NIL(2, options, store))
        return 1;
    json_ptr document;
    array_ptr array;
    if (options->json &&
        new_listing(options->subject.text ? "targets" : "subjects", &document, &array))
        return 1;
    cache_walk walk{options, array.get(), nullptr, 0, 0};
    if (vt_fcache_walk_subject(store, vt_fuse_cache_subject_walk, &walk))
        return VT_ERR("failed to walk subject list");
    if (walk.failed)
        return 1;
    if (!options->subject.text && walk.count == 0) {
        fputs("Subject list is empty.\n", stderr);
        return 1;
    }
    if (options->subject.text && !walk.match) {
        fprintf(stderr, "Subject %s does not exist.\n", options->subject.text);
        vt_fuserr = VT_FUSERR_NO_SUBJECT;
        return 1;
    }
    if (options->subject.text && walk.count == 0) {
        fprintf(stderr, "Subject %s target list is empty.\n", options->subject.text);
        return 1;
    }
    if (document && print_document(document.get()))
        return VT_ERR("failed to encode object");
    return 0;
}

int vt_fuse_active_json(vt_option *options, vt_fcache *store)
{
    if (VT_NIL(2, options, store))
        return 1;
    vt_json_obj *obj = nullptr;
    vt_json_arr *arr = nullptr;
    if (vt_json_obj_init(&obj))
        return VT_ERR("failed to create object");
    const json_ptr document(obj);
    if (vt_json_arr_init(&arr))
        return VT_ERR("failed to create subjects array");
    const array_ptr subjects(arr);
    if (vt_json_obj_array(obj, "subjects", arr))
        return VT_ERR("failed to link object and subjects array");
    active_walk walk{options, arr, nullptr, nullptr, 0};
    if (vt_fcache_walk_subject(store, vt_fuse_active_subject_walk_json, &walk))
        return VT_ERR("failed to iterate subject list");
    if (walk.count == 0) {
        fputs("Active target list is empty.\n", stderr);
        return 1;
    }
    if (print_document(obj))
        return VT_ERR("failed to json encode active target list");
    return 0;
}

int vt_fuse_active_csv(vt_option *options, vt_fcache *store)
{
    if (VT_NIL(2, options, store))
        return 1;
    active_walk walk{options, nullptr, nullptr, nullptr, 0};
    if (vt_fcache_walk_subject(store, vt_fuse_active_subject_walk_csv, &walk))
        return VT_ERR("failed to iterate subject list");
    if (walk.count == 0) {
        fputs("Active target list is empty.\n", stderr);
        return 1;
    }
    return 0;
}

int vt_fuse_stop(vt_option *options, vt_fcache *store)
{
    if (VT_NIL(2, options, store))
        return 1;
    if (required(options, true, true))
        return 1;
    const vt_string &subject = options->subject;
    url_ptr url;
    int unknown = memchr(subject.text, ':', subject.length)
                      ? url_from_options(subject, &url)
                      : vt_subject_name_to_url(store, &options->subject);
    if (unknown) {
        fprintf(stderr, "Failed to find subject -- %s\n", options->subject.text);
        vt_fuserr = VT_FUSERR_NO_SUBJECT;
        return 1;
    }
    vt_fuse *ctx = nullptr;
    if (vt_fuse_init(&ctx, options, store))
        return VT_ERR("failed to create fuse object");
    int result = vt_fuse_connect(ctx, vt_fuse_stop_cb, nullptr);
    vt_fuse_deit(&ctx);
    return result;
}
