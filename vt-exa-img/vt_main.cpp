// Entry point of vt_imager: parse the command line, print the header or help,
// route failure reports by --verbose, run one command and return its exit code.
// The status command lives here too: one job or all jobs, as CSV lines or JSON,
// live from a running job's control socket or else from its job document.
#include <sys/utsname.h>

#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include "vt_aux.h"
#include "vt_job.h"
#include "vt_json.h"
#include "vt_main_misc.h"
#include "vt_opt.h"
#include "vt_syslog.h"
#include "vt_ptr.h"

namespace {

constexpr int exit_missing = 4; // no job document for the name

constexpr const char status_header[] =
    "status,image_name,image_info,read_bytes_per_sec,offset,length\n";

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

// What a status run collects: the console, and the result object with --json.
struct status_context {
    vt_opt *opt;
    vt_syslog *console;
    vt_json_obj *result;
};

// The live figures of a running job, or null when it is not running or does not
// answer (the job document speaks for it then).
json_ptr ask_running_job(vt_opt *opt, vt_fcache *store)
{
    vt_json_obj *raw = nullptr;
    if (vt_fcache_image_pid_check(opt, store, nullptr) != 0 ||
        vt_exa_img_unix_client_json(opt, store, VT_IMG_OPCODE_STATUS, &raw) != 0)
        return nullptr;
    return json_ptr(raw);
}

// The `state` object of a document when it holds every status key, else null.
json_ptr complete_state(vt_json_obj *doc)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_get_object(doc, "state", &raw))
        return nullptr;
    json_ptr state(raw);
    for (const char *key : {"status", "read_bps", "offset", "length"}) {
        if (vt_json_obj_check_key(state.get(), key))
            return nullptr;
    }
    return state;
}

int get_figures(vt_json_obj *obj, uint64_t *rate, uint64_t *offset, uint64_t *length)
{
    return vt_json_obj_get_number_string(obj, "read_bps", rate) ||
           vt_json_obj_get_number_string(obj, "offset", offset) ||
           vt_json_obj_get_number_string(obj, "length", length);
}

int status_list_entry(vt_fcache *store, const char *name, status_context *ctx,
                      int (*report)(status_context *ctx, vt_fcache *store))
{
    vt_opt *opt = ctx->opt;
    if (vt_string_copy(&opt->image_name, name, strlen(name)))
        return VT_ERR("failed to copy image name");
    int result = 0;
    if (vt_fcache_push_dir2(store, name)) {
        result = VT_ERR("failed to push image directory");
    } else {
        if (report(ctx, store))
            result = VT_ERR("failed to print image status");
        if (vt_fcache_pop_dir_(store, 1))
            result = VT_ERR("failed to pop image directory");
    }
    vt_string_free(&opt->image_name);
    return result;
}

int json_report(status_context *ctx, vt_fcache *store)
{
    return vt_exa_img_json_status(ctx->opt, store, ctx->result);
}

int csv_report(status_context *ctx, vt_fcache *store)
{
    return vt_exa_img_print_status(ctx->opt, store, ctx->console);
}

int status_one_cb(vt_opt *, vt_fcache *store, void *user)
{
    auto *ctx = static_cast<status_context *>(user);
    return ctx->result ? json_report(ctx, store) : csv_report(ctx, store);
}

constexpr const char imager_version[] = "8.0.0.57";

struct command_entry {
    std::string_view word;
    int (*run)(vt_opt *opt, vt_syslog *console);
};

constexpr std::array<command_entry, 5> commands = {{
    {"start", vt_exa_img_start},
    {"stop", vt_exa_img_stop},
    {"status", vt_exa_img_status},
    {"restart", vt_exa_img_restart},
    {"remove", vt_exa_img_remove},
}};

std::string_view command_word(const vt_opt *opt)
{
    return opt->command.text ? std::string_view(opt->command.text, opt->command.length)
                             : std::string_view();
}

// Prints "Vantrel <system> Imager <version>"; the macOS kernel name is shown as OSX.
int vt_header(vt_syslog *console)
{
    struct utsname system = {};
    if (uname(&system) != 0)
        return VT_SYSERR("failed to get system information");
    const char *name = strcmp(system.sysname, "Darwin") == 0 ? "OSX" : system.sysname;
    return vt_syslog_log(console, 2, "Vantrel %s Imager %s\n", name, imager_version);
}

// Replaces the failure reporter: stderr under --verbose, silent otherwise.
int vt_verbose(const vt_opt *opt)
{
    vt_syslog_deit(&syserr);
    if (vt_syslog_init_cb(&syserr, opt->verbose ? vt_syslog_stderr_cb : vt_syslog_empty_cb,
                          nullptr))
        return VT_ERR("failed to create syslog object");
    return 0;
}

int dispatch(vt_opt *opt, vt_syslog *console)
{
    const std::string_view word = command_word(opt);
    if (word.empty()) {
        vt_syslog_log(console, 0,
                      "Missing command; specify -h or --help for available commands and usage.\n");
        return 1;
    }
    for (const command_entry &entry : commands) {
        if (entry.word == word)
            return entry.run(opt, console);
    }
    vt_syslog_log(console, 0,
                  "Invalid command -- %s; specify -h or --help for available commands and "
                  "usage.\n",
                  opt->command.text);
    return 1;
}

} // namespace

int vt_exa_img_json_status(vt_opt *opt, vt_fcache *store, vt_json_obj *result)
{
    if (VT_NIL(3, opt, store, result))
        return 1;
    const char *name = opt->image_name.text;
    if (json_ptr live = ask_running_job(opt, store)) {
        if (vt_json_obj_string(live.get(), "status", "started", 7) ||
            vt_json_obj_object(result, name, live.get()))
            return VT_ERR("failed to write object");
        return 0;
    }
    vt_json_obj *raw = nullptr;
    if (vt_fcache_image_json_get_object(opt, store, &raw))
        return VT_ERR("failed to read json file");
    json_ptr doc(raw);
    json_ptr state;
    raw = nullptr;
    if (vt_json_obj_get_object(doc.get(), "state", &raw) == 0) {
        state.reset(raw);
    } else {
        if (vt_json_obj_init(&raw))
            return VT_ERR("failed to create object");
        state.reset(raw);
        if (vt_json_obj_string(state.get(), "status", "staged", 6) ||
            vt_json_obj_number_string(state.get(), "read_bps", 0) ||
            vt_json_obj_number_string(state.get(), "offset", 0) ||
            vt_json_obj_number_string(state.get(), "length", 0))
            return VT_ERR("failed to create object");
    }
    if (vt_set_image_info(doc.get(), state.get()) ||
        vt_json_obj_object(result, name, state.get()))
        return VT_ERR("failed to write object");
    return 0;
}

int vt_exa_img_print_status(vt_opt *opt, vt_fcache *store, vt_syslog *console)
{
    if (VT_NIL(3, opt, store, console))
        return 1;
    const char *name = opt->image_name.text;
    const char *info = nullptr;
    size_t length = 0;
    uint64_t rate = 0, offset = 0, total = 0;
    if (json_ptr live = ask_running_job(opt, store)) {
        if (vt_json_obj_get_string(live.get(), "image_info", &info, &length) ||
            get_figures(live.get(), &rate, &offset, &total))
            return VT_ERR("failed to read object");
        return vt_syslog_log(console, 2, "started,%s,%s,%llu,%llu,%llu\n", name, info,
                             (unsigned long long)rate, (unsigned long long)offset,
                             (unsigned long long)total);
    }
    vt_json_obj *raw = nullptr;
    if (vt_fcache_image_json_get_object(opt, store, &raw))
        return VT_ERR("failed to read json file");
    json_ptr doc(raw);
    raw = nullptr;
    if (vt_json_obj_init(&raw))
        return VT_ERR("failed to get image info");
    json_ptr label(raw);
    if (vt_set_image_info(doc.get(), label.get()) ||
        vt_json_obj_get_string(label.get(), "image_info", &info, &length))
        return VT_ERR("failed to get image info");
    const char *status = nullptr;
    json_ptr state = complete_state(doc.get());
    if (state && vt_json_obj_get_string(state.get(), "status", &status, &length) == 0 &&
        get_figures(state.get(), &rate, &offset, &total) == 0)
        return vt_syslog_log(console, 2, "%s,%s,%s,%llu,%llu,%llu\n", status, name, info,
                             (unsigned long long)rate, (unsigned long long)offset,
                             (unsigned long long)total);
    return vt_syslog_log(console, 2, "staged,%s,%s,0,0,0\n", name, info);
}

int vt_exa_img_json_status_list_handler(vt_fcache *store, const char *name, void *user)
{
    return status_list_entry(store, name, static_cast<status_context *>(user), json_report);
}

int vt_exa_img_print_status_list_handler(vt_fcache *store, const char *name, void *user)
{
    return status_list_entry(store, name, static_cast<status_context *>(user), csv_report);
}

int vt_exa_img_status(vt_opt *opt, vt_syslog *console)
{
    if (VT_NIL(2, opt, console))
        return 1;
    json_ptr result;
    if (opt->json) {
        vt_json_obj *raw = nullptr;
        if (vt_json_obj_init(&raw))
            return VT_ERR("failed to create object");
        result.reset(raw);
    }
    status_context ctx = {opt, console, result.get()};
    if (opt->image_name.text) {
        if (vt_opt_json_check(opt)) {
            vt_syslog_log(console, 0, "Image does not exist -- %s.\n", opt->image_name.text);
            return exit_missing;
        }
        if (!opt->json && vt_syslog_log(console, 2, "%s", status_header))
            return VT_ERR("failed to print image status");
        if (vt_fcache_image(opt, status_one_cb, &ctx))
            return VT_ERR("failed to print image status");
    } else {
        if (!opt->json && vt_syslog_log(console, 2, "%s", status_header))
            return VT_ERR("failed to print image status");
        // An entry that cannot be reported on ends the listing there; the command
        // still succeeds with what it printed.
        if (vt_fcache_image_walk(opt,
                                 opt->json ? vt_exa_img_json_status_list_handler
                                           : vt_exa_img_print_status_list_handler,
                                 &ctx))
            return VT_ERR("failed to walk image directory");
    }
    if (opt->json && vt_json_obj_syslog(result.get(), console))
        return VT_ERR("failed to print image status");
    return 0;
}

int main(int argc, char **argv)
{
    vt_syslog *console = nullptr;
    if (vt_syslog_init_cb(&console, vt_syslog_stdout_cb, nullptr))
        return VT_ERR("failed to create syslog object");
    vt_opt *opt = nullptr;
    int result = 1;
    if (vt_opt_init(&opt, argc, argv))
        VT_ERR("failed to parse command line arguments");
    else if (command_word(opt) != "status" && vt_header(console))
        VT_ERR("failed to write header text");
    else if (opt->help)
        result = vt_help(console) ? VT_ERR("failed to write help text") : 0;
    else if (vt_verbose(opt))
        VT_ERR("failed to create syserr object");
    else if ((result = dispatch(opt, console)) != 0 && !opt->verbose)
        vt_syslog_log(console, 0, "Try again with -v,--verbose option to troubleshoot.\n");
    vt_opt_deit(&opt);
    vt_syslog_deit(&console);
    vt_syslog_deit(&syserr);
    return result;
}
