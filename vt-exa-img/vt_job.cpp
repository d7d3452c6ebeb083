// The image job file: access to a job's directory in the state store, and the
// job document built from (and loaded into) the options record.
#include "vt_job.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "vt_aux.h"
#include "vt_buffer.h"
#include "vt_misc.h"
#include "vt_pwd.h"
#include "vt_ptr.h"

namespace {

// The job document is rewritten by the running job and holds the obfuscated
// password, so only its owner may read it.
constexpr mode_t job_document_mode = 0600;
constexpr const char image_dir[] = "image";
constexpr const char pid_file[] = "pid";
constexpr const char json_file[] = "json";

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

using fcache_ptr = vt_owner<vt_fcache, vt_fcache_deit>;

using opt_ptr = vt_owner<vt_opt, vt_opt_deit>;

using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

struct string_release {
    void operator()(vt_string *string) const { vt_string_free(string); }
};
// Frees the text of a string that lives on the caller's stack.
using string_guard = std::unique_ptr<vt_string, string_release>;

// A text field of a document section and the record field it maps to.
struct text_key {
    const char *key;
    vt_string vt_opt::*field;
};

constexpr std::array<text_key, 3> vantrel_keys = {{
    {"subject", &vt_opt::subject},
    {"target", &vt_opt::target},
    {"username", &vt_opt::username},
}};

constexpr std::array<text_key, 3> imager_keys = {{
    {"image_path", &vt_opt::image_path},
    {"image_name", &vt_opt::image_name},
    {"hash", &vt_opt::hash},
}};

constexpr std::array<text_key, 5> ewf_keys = {{
    {"case_number", &vt_opt::case_number},
    {"evidence_number", &vt_opt::evidence_number},
    {"examiner_name", &vt_opt::examiner_name},
    {"notes", &vt_opt::notes},
    {"unique_description", &vt_opt::unique_description},
}};

// Asked, in ewf_keys order, for each case text the record does not hold.
constexpr std::array<const char *, 5> ewf_questions = {
    "Enter case number", "Enter evidence number", "Enter examiner name", "Enter notes",
    "Enter unique description",
};

// Fixed values of a new job document.
constexpr const char default_compression[] = "deflate";
constexpr const char default_output_format[] = "ewf";
constexpr uint64_t default_read_size = 524288;
constexpr uint64_t default_chunk_size = 32768;
constexpr uint64_t default_table_size = 65534;

const char *text_or_empty(const vt_string &string)
{
    return string.text ? string.text : "";
}

// Fills an empty string with an allocated text of length 0.
int string_load_empty(vt_string *string)
{
    if (string->text != nullptr)
        return 1;
    string->text = static_cast<char *>(calloc(1, 1));
    string->length = 0;
    return string->text ? 0 : 1;
}

// The job directory name must stay one component below `image`: a name given
// with -n or loaded from a foreign document must not lead out of the store.
int check_image_name(const vt_string &name)
{
    const std::string_view text(text_or_empty(name), name.length);
    if (text == "." || text == ".." || text.find('/') != std::string_view::npos)
        return VT_ERR("invalid image name -- %s", name.text);
    return 0;
}

int get_section(vt_json_obj *doc, const char *name, json_ptr &section)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_get_object(doc, name, &raw))
        return VT_ERR("missing %s key from object", name);
    section.reset(raw);
    return 0;
}

// Replaces the record fields of keys with the section's texts.
int load_texts(vt_opt *opt, vt_json_obj *section, std::span<const text_key> keys)
{
    for (const text_key &row : keys)
        vt_string_free(&(opt->*row.field));
    for (const text_key &row : keys) {
        if (vt_json_obj_load_string(section, row.key, &(opt->*row.field)))
            return 1;
    }
    return 0;
}

int store_text(vt_json_obj *section, const char *key, const vt_string &value)
{
    return vt_json_obj_string(section, key, text_or_empty(value), value.length);
}

int store_texts(const vt_opt *opt, vt_json_obj *section, std::span<const text_key> keys)
{
    for (const text_key &row : keys) {
        if (store_text(section, row.key, opt->*row.field))
            return 1;
    }
    return 0;
}

// Creates a section object, lets fill load it from the record and maps it into doc
// under name; the three messages name the section.
template <typename Fill>
int set_section(vt_json_obj *doc, const char *name, Fill fill)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return VT_ERR("failed to create object");
    json_ptr section(raw);
    if (fill(section.get()))
        return VT_ERR("failed to load %s object", name);
    if (vt_json_obj_object(doc, name, section.get()))
        return VT_ERR("failed to map %s object", name);
    return 0;
}

int fill_vantrel(const vt_opt *opt, vt_json_obj *section)
{
    return store_texts(opt, section, vantrel_keys) ||
           vt_json_obj_pwd(section, "password", &opt->password);
}

int fill_imager(const vt_opt *opt, vt_json_obj *section)
{
    return store_texts(opt, section, imager_keys) ||
           vt_json_obj_string(section, "compression", default_compression,
                              strlen(default_compression)) ||
           vt_json_obj_string(section, "output_format", default_output_format,
                              strlen(default_output_format)) ||
           vt_json_obj_number_string(section, "read_size", default_read_size);
}

// A case text the record holds (even an empty one loaded from a file) is used as
// it is; the others are asked for, in order, with no second chance.
int fill_ewf(const vt_opt *opt, vt_json_obj *section)
{
    for (size_t i = 0; i < ewf_keys.size(); ++i) {
        const vt_string &value = opt->*ewf_keys[i].field;
        const int failed = value.text ? store_text(section, ewf_keys[i].key, value)
                                      : vt_json_obj_string_prompt(section, ewf_keys[i].key,
                                                                  ewf_questions[i], nullptr);
        if (failed)
            return 1;
    }
    return vt_json_obj_number_string(section, "chunk_size", default_chunk_size) ||
           vt_json_obj_number_string(section, "table_size", default_table_size);
}

// Path of name inside the store's current directory, with the given message on failure.
int job_file_path(vt_fcache *store, const char *name, vt_string *path, const char *message)
{
    if (vt_fcache_filename2(store, name, path))
        return VT_ERR("%s", message);
    return 0;
}

bool is_regular_file(const char *path)
{
    struct stat status = {};
    return lstat(path, &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

int vt_fcache_image(vt_opt *opt, vt_fcache_image_cb fn, void *user)
{
    if (VT_NIL(2, opt, fn) || check_image_name(opt->image_name))
        return 1;
    vt_fcache *raw = nullptr;
    if (vt_fcache_init2(&raw, vt_state_dir()))
        return VT_ERR("failed to create fcache object");
    fcache_ptr store(raw);
    if (vt_fcache_push_dir2(store.get(), image_dir))
        return VT_ERR("failed to push directory");
    if (vt_fcache_push_dir(store.get(), &opt->image_name))
        return VT_ERR("failed to push directory");
    const int result = fn(opt, store.get(), user);
    if (vt_fcache_pop_dir_(store.get(), 1) || vt_fcache_pop_dir_(store.get(), 1))
        return VT_ERR("failed to pop directory");
    return result;
}

int vt_fcache_image_walk(vt_opt *opt, vt_fcache_dir_walk_cb fn, void *user)
{
    if (VT_NIL(2, opt, fn))
        return 1;
    vt_fcache *raw = nullptr;
    if (vt_fcache_init2(&raw, vt_state_dir()))
        return VT_ERR("failed to create fcache object");
    fcache_ptr store(raw);
    if (vt_fcache_push_dir2(store.get(), image_dir) ||
        vt_fcache_walk_dir(store.get(), fn, user))
        return VT_ERR("failed to walk image directory");
    if (vt_fcache_pop_dir_(store.get(), 1))
        return VT_ERR("failed to pop directory");
    return 0;
}

int vt_fcache_image_pid_create(vt_opt *, vt_fcache *store, void *)
{
    vt_string path = {};
    if (job_file_path(store, pid_file, &path, "failed to get pid file path"))
        return 1;
    string_guard guard(&path);
    if (vt_create_pid(&path))
        return VT_ERR("failed to write pid file -- %s", path.text);
    return 0;
}

int vt_fcache_image_pid_remove(vt_opt *, vt_fcache *store, void *)
{
    vt_string path = {};
    if (job_file_path(store, pid_file, &path, "failed to get pid file path"))
        return 1;
    string_guard guard(&path);
    if (vt_remove_pid(&path))
        return VT_ERR("failed to write target pid file -- %s", path.text);
    return 0;
}

int vt_fcache_image_pid_check(vt_opt *, vt_fcache *store, void *user)
{
    vt_string path = {};
    if (job_file_path(store, pid_file, &path, "failed to get pid file path"))
        return 1;
    string_guard guard(&path);
    // A missing or irregular pid file is the ordinary "not running" answer, so it
    // is decided here without letting the pid reader report a failure.
    if (!is_regular_file(path.text))
        return 1;
    uint64_t pid = 0;
    if (vt_query_pid(&path, &pid))
        return 1;
    // 0 and values beyond pid_t would make kill() address a process group or
    // another process than the one written, so they never count as running.
    if (pid == 0 || pid > static_cast<uint64_t>(INT_MAX))
        return 1;
    if (kill(static_cast<pid_t>(pid), 0) != 0)
        return 1;
    if (user != nullptr)
        *static_cast<uint64_t *>(user) = pid;
    return 0;
}

int vt_fcache_image_json_get_path(vt_opt *, vt_fcache *store, void *user)
{
    if (VT_NIL(1, user))
        return 1;
    return job_file_path(store, json_file, static_cast<vt_string *>(user),
                         "failed to get json file path");
}

int vt_fcache_image_json_get_object(vt_opt *, vt_fcache *store, void *user)
{
    if (VT_NIL(1, user))
        return 1;
    vt_string path = {};
    if (job_file_path(store, json_file, &path, "failed to get json file path"))
        return 1;
    string_guard guard(&path);
    if (vt_json_obj_decode_file(static_cast<vt_json_obj **>(user), path.text))
        return VT_ERR("failed to read json file");
    return 0;
}

int vt_fcache_image_json_create(vt_opt *, vt_fcache *store, void *user)
{
    if (VT_NIL(1, user))
        return 1;
    vt_string path = {};
    if (job_file_path(store, json_file, &path, "failed to get json file path"))
        return 1;
    string_guard guard(&path);
    if (vt_json_obj_encode_file_mode(static_cast<vt_json_obj *>(user), path.text,
                                     job_document_mode))
        return VT_ERR("failed to write json file -- %s", path.text);
    return 0;
}

int vt_fcache_image_json_check(vt_opt *, vt_fcache *store, void *)
{
    vt_string path = {};
    if (job_file_path(store, json_file, &path, "failed to get json file path"))
        return 1;
    string_guard guard(&path);
    if (access(path.text, F_OK) != 0)
        return VT_SYSERR("failed to locate %s", path.text);
    return 0;
}

int vt_fcache_image_json_remove(vt_opt *opt, vt_fcache *store, void *user)
{
    vt_syslog *console = static_cast<vt_syslog *>(user);
    if (VT_NIL(1, console))
        return 1;
    vt_string path = {};
    if (job_file_path(store, json_file, &path, "failed to get json file path"))
        return 1;
    string_guard guard(&path);
    if (access(path.text, F_OK) != 0) {
        vt_syslog_log(console, 0, "Image does not exist -- %s.\n", opt->image_name.text);
        return 4;
    }
    // Called inside this store's lock: a second store on the same directory
    // would wait for the lock this process already holds.
    if (vt_fcache_image_pid_check(opt, store, nullptr) == 0) {
        vt_syslog_log(console, 0, "Image is in progress -- %s.\n", opt->image_name.text);
        return 2;
    }
    if (unlink(path.text) != 0)
        return VT_SYSERR("failed to remove json file -- %s", path.text);
    vt_syslog_log(console, 2, "Remove %s.\n", path.text);
    return 0;
}

int vt_opt_pid_create(vt_opt *opt)
{
    return vt_fcache_image(opt, vt_fcache_image_pid_create, nullptr);
}

int vt_opt_pid_remove(vt_opt *opt)
{
    return vt_fcache_image(opt, vt_fcache_image_pid_remove, nullptr);
}

int vt_opt_pid_check(vt_opt *opt, uint64_t *pid)
{
    return vt_fcache_image(opt, vt_fcache_image_pid_check, pid);
}

int vt_opt_json_get_path(vt_opt *opt, vt_string *path)
{
    return vt_fcache_image(opt, vt_fcache_image_json_get_path, path);
}

int vt_opt_json_get_object(vt_opt *opt, vt_json_obj **doc)
{
    return vt_fcache_image(opt, vt_fcache_image_json_get_object, doc);
}

int vt_opt_json_create(vt_opt *opt, vt_json_obj *doc)
{
    return vt_fcache_image(opt, vt_fcache_image_json_create, doc);
}

int vt_opt_json_check(vt_opt *opt)
{
    return vt_fcache_image(opt, vt_fcache_image_json_check, nullptr);
}

int vt_opt_json_remove(vt_opt *opt, vt_syslog *console)
{
    return vt_fcache_image(opt, vt_fcache_image_json_remove, console);
}

int vt_opt_get_vantrel_object(vt_opt *opt, vt_json_obj *doc)
{
    if (VT_NIL(2, opt, doc))
        return 1;
    json_ptr section;
    if (get_section(doc, "vantrel", section))
        return 1;
    vt_string_free(&opt->password);
    if (load_texts(opt, section.get(), vantrel_keys) ||
        vt_json_obj_get_pwd(section.get(), "password", &opt->password))
        return VT_ERR("failed to load vantrel object");
    return 0;
}

int vt_opt_get_imager_object(vt_opt *opt, vt_json_obj *doc)
{
    if (VT_NIL(2, opt, doc))
        return 1;
    json_ptr section;
    if (get_section(doc, "imager", section))
        return 1;
    if (load_texts(opt, section.get(), imager_keys))
        return VT_ERR("failed to load imager object");
    return 0;
}

int vt_opt_get_ewf_object(vt_opt *opt, vt_json_obj *doc)
{
    if (VT_NIL(2, opt, doc))
        return 1;
    json_ptr section;
    if (get_section(doc, "ewf", section))
        return 1;
    if (load_texts(opt, section.get(), ewf_keys))
        return VT_ERR("failed to load ewf object");
    return 0;
}

int vt_opt_get_object(vt_opt *opt, vt_json_obj **doc)
{
    if (VT_NIL(1, opt))
        return 1;
    if (opt->config.text == nullptr || opt->config.length == 0)
        return VT_ERR("missing -c,--config argument");
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_decode_file(&raw, opt->config.text))
        return VT_ERR("failed to read json file -- %s", opt->config.text);
    json_ptr parsed(raw);
    if (vt_opt_get_vantrel_object(opt, parsed.get()))
        return VT_ERR("failed to get vantrel object");
    if (vt_opt_get_imager_object(opt, parsed.get()))
        return VT_ERR("failed to get imager object");
    if (vt_opt_get_ewf_object(opt, parsed.get()))
        return VT_ERR("failed to get ewf object");
    if (doc != nullptr)
        *doc = parsed.release();
    return 0;
}

int vt_opt_set_object(vt_opt *opt, vt_json_obj **doc)
{
    if (VT_NIL(2, opt, doc))
        return 1;
    vt_json_obj *raw = nullptr;
    if (*doc != nullptr || vt_json_obj_init(&raw))
        return VT_ERR("failed to create object");
    json_ptr built(raw);
    if (set_section(built.get(), "vantrel", [opt](vt_json_obj *s) { return fill_vantrel(opt, s); }))
        return VT_ERR("failed to set vantrel object");
    if (set_section(built.get(), "imager", [opt](vt_json_obj *s) { return fill_imager(opt, s); }))
        return VT_ERR("failed to set imager object");
    if (set_section(built.get(), "ewf", [opt](vt_json_obj *s) { return fill_ewf(opt, s); }))
        return VT_ERR("failed to set ewf object");
    *doc = built.release();
    return 0;
}

int vt_opt_print_object(vt_json_obj *doc, vt_syslog *console)
{
    if (VT_NIL(2, doc, console))
        return 1;
    vt_opt *raw = nullptr;
    if (vt_opt_init(&raw, 0, nullptr))
        return VT_ERR("failed to create opt object");
    opt_ptr opt(raw);
    if (vt_opt_get_vantrel_object(opt.get(), doc))
        return VT_ERR("failed to get vantrel object");
    if (vt_opt_get_imager_object(opt.get(), doc))
        return VT_ERR("failed to get imager object");
    if (vt_opt_get_ewf_object(opt.get(), doc))
        return VT_ERR("failed to get ewf object");
    const vt_opt &o = *opt;
    if (vt_syslog_log(console, 2,
                      "\nEWF Information\n   Case Number: %s\n   Evidence Number: %s\n"
                      "   Examiner Name: %s\n   Notes: %s\n   Unique Description: %s\n\n"
                      "Examiner Information\n   Subject: %s\n   Target: %s\n\n"
                      "Image Information\n   Image Name: %s\n   Image Path: %s\n"
                      "   Hash Method: %s\n\n",
                      text_or_empty(o.case_number), text_or_empty(o.evidence_number),
                      text_or_empty(o.examiner_name), text_or_empty(o.notes),
                      text_or_empty(o.unique_description), text_or_empty(o.subject),
                      text_or_empty(o.target), text_or_empty(o.image_name),
                      text_or_empty(o.image_path), text_or_empty(o.hash)))
        return VT_ERR("failed to print object");
    return 0;
}

int vt_opt_set_default_name(vt_opt *opt)
{
    if (VT_NIL(1, opt))
        return 1;
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, 0))
        return VT_ERR("failed to create buffer object");
    buffer_ptr name(raw);
    uint8_t *text = nullptr;
    size_t length = 0;
    if (vt_buffer_print(name.get(), "%s_image", text_or_empty(opt->target)) ||
        vt_buffer_ptr_(name.get(), &text, &length) ||
        vt_string_copy(&opt->image_name, text, length))
        return VT_ERR("failed to copy image name string");
    return 0;
}

int vt_opt_set_default_hash(vt_opt *opt)
{
    if (VT_NIL(1, opt))
        return 1;
    constexpr std::string_view md5 = "md5";
    if (vt_string_copy(&opt->hash, md5.data(), md5.size()))
        return VT_ERR("failed to copy hash string");
    return 0;
}

int vt_set_image_info(vt_json_obj *doc, vt_json_obj *out)
{
    if (VT_NIL(2, doc, out))
        return 1;
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, 0))
        return VT_ERR("failed to create buffer object");
    buffer_ptr info(raw);
    json_ptr section;
    vt_json_obj *found = nullptr;
    const char *subject = nullptr, *target = nullptr, *path = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_object(doc, "vantrel", &found) == 0) {
        section.reset(found);
        if (vt_json_obj_get_string(section.get(), "subject", &subject, &length) ||
            vt_json_obj_get_string(section.get(), "target", &target, &length) ||
            vt_buffer_print(info.get(), "%s/%s", subject, target))
            return VT_ERR("failed to get image info from vantrel object");
    } else if (vt_json_obj_get_object(doc, "disk", &found) == 0) {
        section.reset(found);
        if (vt_json_obj_get_string(section.get(), "path", &path, &length) ||
            vt_buffer_print(info.get(), "%s", path))
            return VT_ERR("failed to get image info from disk object");
    } else {
        return VT_ERR("missing vantrel and disk object");
    }
    uint8_t *text = nullptr;
    if (vt_buffer_ptr_(info.get(), &text, &length) ||
        vt_json_obj_string(out, "image_info", reinterpret_cast<const char *>(text), length))
        return VT_ERR("failed to write object");
    return 0;
}

int vt_json_obj_load_string(vt_json_obj *obj, const char *key, vt_string *string)
{
    if (VT_NIL(3, obj, key, string))
        return 1;
    const char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(obj, key, &text, &length))
        return VT_ERR("missing %s key from object", key);
    const int failed = length == 0 ? string_load_empty(string) : vt_string_copy(string, text, length);
    if (failed)
        return VT_ERR("failed to copy %s value", key);
    return 0;
}

int vt_json_obj_string_prompt(vt_json_obj *obj, const char *key, const char *question,
                              const char *preset)
{
    if (VT_NIL(3, obj, key, question))
        return 1;
    vt_string answer = {};
    if (vt_prompt_regular(&answer, question, preset))
        return VT_ERR("failed to read answer -- %s", question);
    string_guard guard(&answer);
    if (vt_isalnum_string(&answer))
        return VT_ERR("invalid string");
    if (vt_json_obj_string(obj, key, text_or_empty(answer), answer.length))
        return VT_ERR("failed to write object");
    return 0;
}
