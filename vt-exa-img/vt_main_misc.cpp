// The imager's job-control commands (start, stop, restart, remove) and what runs a
// job: the foreground run with its progress line, the daemon that reports its
// start-up over a rendezvous socket, the control loop serving the job control
// socket, the recovery loop after a lost subject, and the job socket protocol.
#include "vt_main_misc.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "vt_aux.h"
#include "vt_buffer.h"
#include "vt_common.h"
#include "vt_img.h"
#include "vt_job.h"
#include "vt_misc.h"
#include "vt_pwd.h"
#include "vt_read_state.h"
#include "vt_thread.h"
#include "vt_unix.h"

#if __has_include("vt_exa.h")
#include "vt_exa.h"
#include "vt_ptr.h"
#define VT_HAVE_REMOTE_SOURCE 1
#endif

volatile sig_atomic_t vt_stop_signal = 0;

namespace {

// Exit codes of the commands.
constexpr int exit_running = 2;     // the job is running
constexpr int exit_not_running = 3; // stop of a job that is not running
constexpr int exit_missing = 4;     // no job document
constexpr int exit_exists = 5;      // start of a name that has a job document
constexpr int exit_subject = 6;     // the subject cannot be resolved
constexpr int exit_connect = 7;     // the trial connection failed
constexpr int exit_job = 8;         // the job cannot be created or started

constexpr unsigned foreground_period_ms = 3000;
constexpr unsigned daemon_period_ms = 1000;
constexpr unsigned recover_period_ms = 3000;
constexpr unsigned daemon_wait_ms = 10000;   // launcher's wait for the daemon's start-up
constexpr unsigned reply_wait_ms = 5000;     // status client's wait for a reply
constexpr uint32_t job_socket_seconds = 1;   // status client's wait for the socket file
constexpr unsigned reconnect_seconds = 5;
constexpr unsigned stop_wait_rounds = 180;   // seconds `stop` waits for the job to end

constexpr const char default_port[] = "3262";
constexpr const char default_path[] = "sub";
constexpr const char job_socket_file[] = "socket";
constexpr const char manager_dir[] = "manager";
constexpr const char manager_pid_file[] = "pid";
// A local-disk job has no subject; its disk is on this machine.
constexpr std::string_view local_subject = "localhost";

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

using img_ptr = vt_owner<vt_img, vt_img_deit>;

using unix_ptr = vt_owner<vt_unix, vt_unix_deit>;

using unix_cfg_ptr = vt_owner<vt_unix_cfg, vt_unix_cfg_deit>;

using cond_ptr = vt_owner<vt_cond, vt_cond_deit>;

using fcache_ptr = vt_owner<vt_fcache, vt_fcache_deit>;

using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

struct string_release {
    void operator()(vt_string *string) const { vt_string_free(string); }
};
using string_guard = std::unique_ptr<vt_string, string_release>;

struct text_release {
    void operator()(char *text) const { free(text); }
};
using text_ptr = std::unique_ptr<char, text_release>;

const char *text_of(const vt_string &string)
{
    return string.text ? string.text : "";
}

bool is_empty(const vt_string &string)
{
    return string.text == nullptr || string.length == 0;
}

// ---- Job directory helpers ----

int socket_path_cb(vt_opt *, vt_fcache *store, void *user)
{
    return vt_fcache_filename2(store, job_socket_file, static_cast<vt_string *>(user));
}

// ---- Job document view ----

// The document as the options record and the job summary read it. A local-disk
// job carries a `disk` section instead of `vantrel`; its view gets a `vantrel`
// section naming this machine as subject and the disk as target, with an empty
// user name and password, so that it loads and prints like any other job.
int job_view(vt_json_obj *doc, json_ptr &view)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_copy(&raw, doc))
        return VT_ERR("failed to copy object");
    view.reset(raw);
    if (vt_json_obj_check_key(doc, "vantrel") == 0)
        return 0;
    raw = nullptr;
    if (vt_json_obj_get_object(doc, "disk", &raw))
        return VT_ERR("failed to get vantrel object");
    json_ptr disk(raw);
    const char *path = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(disk.get(), "path", &path, &length))
        return VT_ERR("failed to get disk path");
    raw = nullptr;
    if (vt_json_obj_init(&raw))
        return VT_ERR("failed to create object");
    json_ptr vantrel(raw);
    const vt_string no_password = {};
    if (vt_json_obj_string(vantrel.get(), "subject", local_subject.data(), local_subject.size()) ||
        vt_json_obj_string(vantrel.get(), "target", path, length) ||
        vt_json_obj_string(vantrel.get(), "username", "", 0) ||
        vt_json_obj_pwd(vantrel.get(), "password", &no_password) ||
        vt_json_obj_object(view.get(), "vantrel", vantrel.get()))
        return VT_ERR("failed to write vantrel object");
    return 0;
}

int print_summary(vt_json_obj *doc, vt_syslog *console)
{
    json_ptr view;
    if (job_view(doc, view) || vt_opt_print_object(view.get(), console))
        return VT_ERR("failed to print object");
    return 0;
}

// Loads the document at opt's config path into opt (credentials, subject and
// target, image path, name and hash, case texts).
int load_job(vt_opt *opt)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_decode_file(&raw, opt->config.text))
        return VT_ERR("failed to read json file -- %s", opt->config.text);
    json_ptr doc(raw);
    json_ptr view;
    if (job_view(doc.get(), view))
        return 1;
    if (vt_opt_get_vantrel_object(opt, view.get()))
        return VT_ERR("failed to get vantrel object");
    if (vt_opt_get_imager_object(opt, view.get()))
        return VT_ERR("failed to get imager object");
    if (vt_opt_get_ewf_object(opt, view.get()))
        return VT_ERR("failed to get ewf object");
    return 0;
}

bool is_restart(const vt_opt *opt)
{
    return opt->command.text && std::string_view(opt->command.text) == "restart";
}

// `restart` resumes from the job's checkpoint. A job that never ran has none (its
// process ended before the first run started): restarting it starts it, which
// cannot harm an image, since a start refuses an existing image file.
int start_or_resume(vt_opt *opt, vt_img *job)
{
    const bool resume = is_restart(opt) && vt_json_obj_check_key(job->doc, "recover") == 0;
    return resume ? vt_img_restart(job) : vt_img_start(job);
}

// ---- Signals ----

int vt_stop_signal_register()
{
    struct sigaction action = {};
    action.sa_handler = vt_stop_signal_cb;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGINT, &action, nullptr))
        return VT_SYSERR("failed to register sigint disposition");
    if (sigaction(SIGTERM, &action, nullptr))
        return VT_SYSERR("failed to register sigterm disposition");
    return 0;
}

// ---- Control loop and runs ----

struct loop_context {
    vt_img *job;
    vt_syslog *console;
    vt_exa_img_loop_fn function;
    int failed; // the loop function failed on its own (not a stop signal)
};

int loop_round(void *argument)
{
    auto *ctx = static_cast<loop_context *>(argument);
    const int result = ctx->function(ctx->job, ctx->console);
    if (result != 0 && !vt_stop_signal)
        ctx->failed = 1;
    return result;
}

// Ends a run after its control loop: sets the job's stop flag when the loop
// failed or the user asked to stop (otherwise the job has set it itself), then
// stops the job. Returns vt_img_stop's result; the caller reports.
int stop_run(vt_img *job, int loop_failed)
{
    if ((loop_failed || vt_stop_signal) && vt_img_set_sentinel(job))
        VT_ERR("failed to set image sentinel");
    return vt_img_stop(job);
}

// Resumes a run whose subject connection was lost, every few seconds, until that
// no longer applies, the user stops the job or a step fails. 0, or 1 on failure.
int vt_exa_img_recovery_loop(vt_opt *opt, vt_img *job, vt_syslog *console, bool foreground)
{
    while (vt_img_check_recover(job) == 1 && !vt_stop_signal) {
        if (vt_img_save_status(job, "reconnecting"))
            return VT_ERR("failed to save status object");
        if (foreground)
            vt_syslog_log(console, 2,
                          "\nSubject has disconnected; attempting to reconnect in 5 seconds.\n");
        sleep(reconnect_seconds);
        if (vt_stop_signal || vt_read_reload_object(job->read))
            continue;
        if (vt_img_restart(job))
            return VT_ERR("failed to start image object");
        const int loop = vt_exa_img_unix_server_loop(
            opt, job, console, foreground ? vt_exa_img_loop_progress : vt_exa_img_loop_silent,
            recover_period_ms);
        if (stop_run(job, loop))
            return VT_ERR("failed to stop image object");
    }
    return 0;
}

int print_foreground_notice(vt_json_obj *doc, vt_syslog *console)
{
    if (print_summary(doc, console) ||
        vt_syslog_log(console, 2,
                      "Image worker has started in the foreground.\nInclude -d,--daemon on "
                      "command line to run in background.\n"))
        return VT_ERR("failed to print image information");
    return 0;
}

// The final line of a foreground run. 1 when the acquisition ended incomplete
// without the user asking for it: the command has failed then, whatever else
// went well.
int print_final_line(vt_opt *opt, vt_img *job, vt_syslog *console)
{
    const char *target = text_of(opt->target), *subject = text_of(opt->subject);
    if (vt_stop_signal) {
        vt_syslog_log(console, 2, "\nStopped imaging operation for %s on %s.\n", target, subject);
        return 0;
    }
    if (vt_img_check_complete(job) == 0) {
        vt_syslog_log(console, 2, "\nCompleted imaging operation for %s on %s.\n", target,
                      subject);
        return 0;
    }
    vt_syslog_log(console, 2, "\nFailed imaging operation for %s on %s.\n", target, subject);
    return 1;
}

// The job of the foreground run, or of a starting daemon: created, then started
// or resumed. The code of the step that failed, 0 when the job runs.
enum class job_step { none, create, start };

job_step create_and_start(vt_opt *opt, img_ptr &job)
{
    vt_img *raw = nullptr;
    if (vt_img_init(&raw, opt))
        return job_step::create;
    job.reset(raw);
    return start_or_resume(opt, job.get()) ? job_step::start : job_step::none;
}

int vt_exa_img_start_foreground(vt_opt *opt, vt_syslog *console)
{
    if (vt_opt_pid_create(opt))
        return VT_ERR("failed to create pid file");
    int result = 0;
    img_ptr job;
    const job_step failed = create_and_start(opt, job);
    if (failed == job_step::create) {
        VT_ERR("failed to create image object");
        result = exit_job;
    } else if (failed == job_step::start) {
        VT_ERR("failed to start image object");
        result = exit_job;
    } else {
        if (print_foreground_notice(job->doc, console))
            result = 1;
        const int loop = vt_exa_img_unix_server_loop(opt, job.get(), console,
                                                     vt_exa_img_loop_progress, foreground_period_ms);
        if (stop_run(job.get(), loop))
            result = VT_ERR("failed to stop image object");
        if (opt->recover && vt_exa_img_recovery_loop(opt, job.get(), console, true))
            result = 1;
        if (print_final_line(opt, job.get(), console))
            result = 1;
    }
    job.reset();
    if (vt_opt_pid_remove(opt)) {
        VT_ERR("failed to remove pid file");
        if (result == 0)
            result = 1;
    }
    return result;
}

// ---- Background run ----

// The launching process: waits for the daemon's start-up report on the rendezvous
// socket, then shows the job it runs. Exit code.
int vt_exa_img_start_client(vt_opt *opt, vt_syslog *console, const vt_string &path)
{
    vt_cond *raw_cond = nullptr;
    if (vt_cond_init(&raw_cond))
        return VT_ERR("failed to create condition object");
    cond_ptr event(raw_cond);
    vt_unix_signal record = {0, event.get()};
    vt_unix_cfg *raw_cfg = nullptr;
    if (vt_unix_cfg_init(&raw_cfg, vt_unix_server, &record))
        return VT_ERR("failed to create unix configuration object");
    unix_cfg_ptr cfg(raw_cfg);
    vt_unix *raw = nullptr;
    if (vt_unix_init(&raw, cfg.get(), path.text, VT_UNIX_SERVER))
        return VT_ERR("failed to create unix object");
    unix_ptr server(raw);
    if (vt_cond_wait_timed(event.get(), daemon_wait_ms))
        return VT_ERR("failed to communicate with daemon");
    server.reset();
    if (record.error != 0) {
        VT_ERR("failed to start daemon");
        return record.error;
    }
    vt_json_obj *reply = nullptr;
    if (vt_exa_img_unix_client_json(opt, nullptr, VT_IMG_OPCODE_DOCUMENT, &reply)) {
        VT_ERR("failed to get image info");
        return 0;
    }
    json_ptr doc(reply);
    if (print_summary(doc.get(), console) ||
        vt_syslog_log(console, 2,
                      "Image worker has started in the background.\nExclude -d,--daemon on "
                      "command line to run in foreground.\n"))
        VT_ERR("failed to print image information");
    return 0;
}

// The daemon: reports its start-up to the launcher (every failure line, then the
// outcome), then runs the job silently.
int vt_exa_img_start_server(vt_opt *opt, vt_syslog *console, const vt_string &path)
{
    if (vt_syslog_set_callback(syserr, vt_syslog_syslog_cb, nullptr) ||
        vt_syslog_set_callback(console, vt_syslog_syslog_cb, nullptr))
        return VT_ERR("failed to redirect syslog");
    vt_unix_cfg *raw_cfg = nullptr;
    if (vt_unix_cfg_init(&raw_cfg, vt_unix_client, nullptr))
        return VT_ERR("failed to create unix configuration object");
    unix_cfg_ptr cfg(raw_cfg);
    vt_unix *raw = nullptr;
    if (vt_unix_init(&raw, cfg.get(), path.text, VT_UNIX_CLIENT))
        return VT_ERR("failed to create unix object");
    unix_ptr client(raw);

    int code = 0;
    bool pid_written = false;
    img_ptr job;
    if (vt_syslog_set_callback(syserr, vt_unix_syslog_cb, client.get())) {
        code = VT_ERR("failed to route syserr to unix object");
    } else if (vt_opt_pid_create(opt)) {
        code = VT_ERR("failed to create pid file");
    } else {
        pid_written = true;
        const job_step failed = create_and_start(opt, job);
        if (failed == job_step::create) {
            VT_ERR("failed to create image object");
            code = exit_job;
        } else if (failed == job_step::start) {
            VT_ERR("failed to start image object");
            code = exit_job;
        }
    }
    if (vt_syslog_set_callback(syserr, vt_syslog_syslog_cb, nullptr) && code == 0)
        code = VT_ERR("failed to route syserr to syslog");
    if (code != 0) {
        // The pid file goes before the launcher is released: the launcher then
        // removes the job document, which it refuses while the job seems to run.
        job.reset();
        if (pid_written && vt_opt_pid_remove(opt))
            VT_ERR("failed to remove pid file");
        if (vt_unix_send_error(client.get(), code))
            VT_ERR("failed to send error code");
        if (vt_unix_send_opcode(client.get(), VT_UNIX_STOP))
            VT_ERR("failed to send stop opcode");
        return code;
    }
    if (vt_unix_send_opcode(client.get(), VT_UNIX_STOP))
        VT_ERR("failed to send stop opcode");
    client.reset();

    int result = 0;
    const int loop = vt_exa_img_unix_server_loop(opt, job.get(), console, vt_exa_img_loop_silent,
                                                 daemon_period_ms);
    if (stop_run(job.get(), loop))
        result = VT_ERR("failed to stop image object");
    if (opt->recover && vt_exa_img_recovery_loop(opt, job.get(), console, false))
        result = 1;
    job.reset();
    if (vt_opt_pid_remove(opt))
        result = VT_ERR("failed to remove pid file");
    return result;
}

int vt_exa_img_start_background(vt_opt *opt, vt_syslog *console)
{
    vt_string path = {};
    string_guard guard(&path);
    if (vt_socket_path(&path))
        return VT_ERR("failed to create socket path");
    // Text still buffered would be written again by each process the fork makes.
    fflush(stdout);
    fflush(stderr);
    switch (upgrade_daemon()) {
    case VT_DAEMON_PARENT:
        return vt_exa_img_start_client(opt, console, path);
    case VT_DAEMON_CHILD:
        // The launcher owns the exit code and the clean-up of a failed start; the
        // daemon's own result only ends the process.
        vt_exa_img_start_server(opt, console, path);
        return 0;
    case VT_DAEMON_EXIT:
        return 0;
    default:
        return VT_ERR("failed to create daemon process");
    }
}

// ---- Trial connection ----

#ifdef VT_HAVE_REMOTE_SOURCE
// One short session of the remote source: connect, log in, find the target.
int exa_probe(vt_json_obj *vantrel, vt_syslog *log)
{
    vt_exa *exa = nullptr;
    if (vt_exa_init(&exa, vantrel, log))
        return VT_ERR("failed to create examiner object");
    vt_json_obj *target = nullptr;
    const int failed = vt_exa_get_target_object(exa, &target);
    vt_json_obj_deit(&target);
    vt_exa_deit(&exa);
    if (failed)
        return VT_ERR("failed to query target from subject");
    return 0;
}
#else
int exa_probe(vt_json_obj *, vt_syslog *)
{
    return VT_ERR("failed to create examiner object; this build has no remote target source");
}
#endif

// ---- Job socket ----

struct reply_context {
    vt_cond *event;
    vt_json_obj *reply; // the job's answer without its opcode
};

// Reply handler of a status client: keeps the first valid reply and wakes the
// asking thread.
int vt_exa_img_unix_client_protocol(int, const uint8_t *bytes, size_t length, void *user)
{
    auto *ctx = static_cast<reply_context *>(user);
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_decode(&raw, bytes, length))
        return VT_ERR("failed to decode object");
    json_ptr frame(raw);
    int64_t opcode = 0;
    if (vt_json_obj_get_number(frame.get(), "opcode", &opcode))
        return VT_ERR("failed to get opcode");
    if (vt_json_obj_remove(frame.get(), "opcode"))
        return VT_ERR("failed to remove opcode");
    if (opcode != VT_IMG_OPCODE_STATUS && opcode != VT_IMG_OPCODE_DOCUMENT)
        return VT_ERR("invalid opcode -- %llu", static_cast<unsigned long long>(opcode));
    if (ctx->reply == nullptr && vt_json_obj_copy(&ctx->reply, frame.get()))
        return VT_ERR("failed to copy object");
    if (vt_cond_signal(ctx->event))
        return VT_ERR("failed to signal reply event");
    return 1; // one request, one reply
}

// The document of a running job, read under its lock (the job replaces parts of
// it when a run starts or stops).
int copy_document(vt_img *job, json_ptr &copy)
{
    if (vt_lock_acquire(job->lock))
        return 1;
    vt_json_obj *raw = nullptr;
    const int failed = vt_json_obj_copy(&raw, job->doc);
    vt_lock_release(job->lock);
    copy.reset(raw);
    return failed;
}

} // namespace

// ---- Public operations ----

void vt_stop_signal_cb(int)
{
    vt_stop_signal = 1;
}

int vt_speed_string(uint64_t rate, vt_string *text)
{
    if (VT_NIL(1, text))
        return 1;
    struct scale {
        unsigned shift;
        const char *unit;
    };
    constexpr scale scales[] = {{40, "TB"}, {30, "GB"}, {20, "MB"}, {10, "KB"}};
    uint64_t value = rate;
    const char *unit = "B";
    for (const scale &s : scales) {
        if (rate >= (uint64_t{1} << s.shift)) {
            value = rate >> s.shift;
            unit = s.unit;
            break;
        }
    }
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, 32))
        return VT_ERR("failed to create buffer object");
    buffer_ptr buffer(raw);
    if (vt_buffer_print(buffer.get(), "%llu %s/s", static_cast<unsigned long long>(value), unit))
        return VT_ERR("failed to write buffer object");
    if (vt_string_copy(text, buffer->data, buffer->used))
        return VT_ERR("failed to copy string");
    return 0;
}

int vt_exa_img_loop_silent(vt_img *, vt_syslog *)
{
    return vt_stop_signal ? 1 : 0;
}

int vt_exa_img_loop_progress(vt_img *job, vt_syslog *console)
{
    uint64_t offset = 0, remaining = 0, rate = 0;
    if (vt_read_state_get_state(job->rs, &offset, &remaining, &rate)) {
        VT_ERR("failed to get read state");
        return 1;
    }
    vt_string text = {};
    string_guard guard(&text);
    if (vt_speed_string(rate, &text)) {
        VT_ERR("failed to convert rbps to string");
        return 1;
    }
    const uint64_t total = offset + remaining;
    // An empty source has nothing to divide by; it shows 0 %.
    const int percent = total == 0 ? 0
                                   : static_cast<int>(static_cast<double>(offset) /
                                                      static_cast<double>(total) * 100.0);
    vt_syslog_log(console, 2, "Read: %8s (%9llu) Progress: %9llu / %9llu (%d%%)\r", text.text,
                  static_cast<unsigned long long>(rate), static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(total), percent);
    if (remaining == 0)
        vt_syslog_log(console, 2, "\n");
    fflush(stdout);
    return vt_stop_signal ? 1 : 0;
}

int vt_exa_img_unix_server_loop(vt_opt *opt, vt_img *job, vt_syslog *console,
                                vt_exa_img_loop_fn loop_fn, unsigned period_ms)
{
    if (VT_NIL(4, opt, job, console, loop_fn))
        return 1;
    vt_string path = {};
    string_guard guard(&path);
    if (vt_fcache_image(opt, socket_path_cb, &path)) {
        VT_ERR("failed to get socket file path");
        return VT_ERR("failed to start unix server");
    }
    vt_unix_cfg *raw_cfg = nullptr;
    if (vt_unix_cfg_init(&raw_cfg, vt_exa_img_unix_server_protocol, job)) {
        VT_ERR("failed to create unix configuration object");
        return VT_ERR("failed to start unix server");
    }
    unix_cfg_ptr cfg(raw_cfg);
    vt_unix *raw = nullptr;
    if (vt_unix_init(&raw, cfg.get(), path.text, VT_UNIX_SERVER)) {
        VT_ERR("failed to create unix object on path -- %s", path.text);
        return VT_ERR("failed to start unix server");
    }
    unix_ptr server(raw);
    loop_context ctx = {job, console, loop_fn, 0};
    // Ends when the job signals its stop event or the loop function asks to stop.
    vt_cond_loop(job->stop_event, &ctx, loop_round, period_ms);
    loop_round(&ctx);
    server.reset();
    int result = ctx.failed;
    if (vt_img_save_status(job, "started"))
        result = VT_ERR("failed to save status object");
    return result;
}

int vt_manager_online(void)
{
    vt_fcache *raw = nullptr;
    if (vt_fcache_init2(&raw, vt_state_dir()))
        return VT_ERR("failed to create fcache object");
    fcache_ptr store(raw);
    if (vt_fcache_push_dir2(store.get(), manager_dir))
        return VT_ERR("failed to push fcache object");
    vt_string path = {};
    string_guard guard(&path);
    if (vt_fcache_filename2(store.get(), manager_pid_file, &path))
        return VT_ERR("failed to get pid file path");
    const bool online = vt_fcache_check_pid(&path, nullptr) == 0;
    if (vt_fcache_pop_dir_(store.get(), 1))
        return VT_ERR("failed to pop fcache object");
    return online ? 0 : 1;
}

int vt_opt_get_subject(vt_opt *opt, vt_string *subject)
{
    if (VT_NIL(2, opt, subject))
        return 1;
    const char *cache = vt_manager_online() == 0 ? VT_CACHE_DIR_MANAGER : VT_CACHE_DIR_MOUNTER;
    vt_fcache *raw = nullptr;
    if (vt_cache_store_init(&raw, cache))
        return VT_ERR("failed create fcache object");
    fcache_ptr store(raw);
    if (vt_subject_name_to_url(store.get(), subject))
        return VT_ERR("failed to find subject -- %s", text_of(*subject));
    if (vt_url_resolve(subject, default_port, default_path))
        return VT_ERR("failed to resolve subject url -- %s", text_of(*subject));
    return 0;
}

int vt_subject_connect(vt_json_obj *doc, vt_syslog *console)
{
    if (VT_NIL(2, doc, console))
        return 1;
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_get_object(doc, "vantrel", &raw))
        return VT_ERR("failed to get vantrel object");
    json_ptr vantrel(raw);
    return exa_probe(vantrel.get(), console);
}

int vt_exa_img_unix_server_protocol(int descriptor, const uint8_t *bytes, size_t length,
                                    void *user)
{
    auto *job = static_cast<vt_img *>(user);
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_decode(&raw, bytes, length))
        return VT_ERR("failed to decode object");
    json_ptr request(raw);
    int64_t opcode = 0;
    if (vt_json_obj_get_number(request.get(), "opcode", &opcode))
        return VT_ERR("failed to get opcode");
    json_ptr reply;
    if (opcode == VT_IMG_OPCODE_STATUS) {
        uint64_t offset = 0, remaining = 0, rate = 0;
        if (vt_read_state_get_state(job->rs, &offset, &remaining, &rate))
            return VT_ERR("failed to get read state");
        json_ptr doc;
        raw = nullptr;
        if (copy_document(job, doc) || vt_json_obj_init(&raw))
            return VT_ERR("failed to create object");
        reply.reset(raw);
        if (vt_set_image_info(doc.get(), reply.get()) ||
            vt_json_obj_number_string(reply.get(), "read_bps", rate) ||
            vt_json_obj_number_string(reply.get(), "offset", offset) ||
            vt_json_obj_number_string(reply.get(), "length", offset + remaining) ||
            vt_json_obj_number(reply.get(), "opcode", opcode))
            return VT_ERR("failed to load object");
    } else if (opcode == VT_IMG_OPCODE_DOCUMENT) {
        if (copy_document(job, reply))
            return VT_ERR("failed to create object");
        if (vt_json_obj_number(reply.get(), "opcode", opcode))
            return VT_ERR("failed to load object");
    } else {
        return VT_ERR("invalid opcode -- %llu", static_cast<unsigned long long>(opcode));
    }
    char *text = nullptr;
    size_t size = 0;
    if (vt_json_obj_encode_(reply.get(), &text, &size))
        return VT_ERR("failed to encode object");
    text_ptr payload(text);
    if (vt_unix_send_frame(descriptor, payload.get(), size))
        return VT_ERR("failed to send object");
    return 1; // one request, one reply
}

int vt_exa_img_unix_client_json(vt_opt *opt, vt_fcache *store, int64_t opcode,
                                vt_json_obj **reply)
{
    if (VT_NIL(2, opt, reply))
        return 1;
    const char *name = text_of(opt->image_name);
    vt_string path = {};
    string_guard guard(&path);
    if (store ? vt_fcache_filename2(store, job_socket_file, &path)
              : vt_fcache_image(opt, socket_path_cb, &path)) {
        VT_ERR("failed to get socket file path");
        return VT_ERR("failed to get image status -- %s", name);
    }
    vt_cond *raw_cond = nullptr;
    if (vt_cond_init(&raw_cond))
        return VT_ERR("failed to get image status -- %s", name);
    cond_ptr event(raw_cond);
    reply_context ctx = {event.get(), nullptr};
    vt_unix_cfg *raw_cfg = nullptr;
    if (vt_unix_cfg_init(&raw_cfg, vt_exa_img_unix_client_protocol, &ctx)) {
        VT_ERR("failed to create unix configuration object");
        VT_ERR("failed to start unix client");
        return VT_ERR("failed to get image status -- %s", name);
    }
    unix_cfg_ptr cfg(raw_cfg);
    if (vt_unix_cfg_seconds(cfg.get(), job_socket_seconds)) {
        VT_ERR("failed to set unix timeout");
        VT_ERR("failed to start unix client");
        return VT_ERR("failed to get image status -- %s", name);
    }
    vt_unix *raw_unix = nullptr;
    if (vt_unix_init(&raw_unix, cfg.get(), path.text, VT_UNIX_CLIENT)) {
        VT_ERR("failed to create unix object on path -- %s", path.text);
        VT_ERR("failed to start unix client");
        return VT_ERR("failed to get image status -- %s", name);
    }
    unix_ptr client(raw_unix);

    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return VT_ERR("failed to create object");
    json_ptr request(raw);
    if (vt_json_obj_number(request.get(), "opcode", opcode))
        return VT_ERR("failed to write opcode");
    char *text = nullptr;
    size_t size = 0;
    if (vt_json_obj_encode_(request.get(), &text, &size))
        return VT_ERR("failed to encode object");
    text_ptr payload(text);
    if (vt_unix_send(client.get(), payload.get(), size))
        return VT_ERR("failed to send frame");
    const int waited = vt_cond_wait_timed(event.get(), reply_wait_ms);
    // Joined before the reply is looked at, so the handler cannot still be writing it.
    client.reset();
    json_ptr answer(ctx.reply);
    if (waited || !answer) {
        VT_ERR("failed to get image status");
        return VT_ERR("failed to get image status -- %s", name);
    }
    *reply = answer.release();
    return 0;
}

int vt_exa_img_start_entry(vt_opt *opt, vt_syslog *console)
{
    if (VT_NIL(2, opt, console))
        return 1;
    if (is_empty(opt->config) && vt_opt_json_get_path(opt, &opt->config))
        return VT_ERR("failed to get json file path");
    if (load_job(opt))
        return VT_ERR("failed to get object from json file -- %s", opt->config.text);
    if (vt_opt_pid_check(opt, nullptr) == 0) {
        vt_syslog_log(console, 0, "Image is currently in progress -- %s.\n",
                      opt->image_name.text);
        return exit_running;
    }
    if (vt_stop_signal_register())
        return VT_ERR("failed to register signals");
    vt_stop_signal = 0;
    return opt->daemon ? vt_exa_img_start_background(opt, console)
                       : vt_exa_img_start_foreground(opt, console);
}

int vt_exa_img_start(vt_opt *opt, vt_syslog *console)
{
    if (VT_NIL(2, opt, console))
        return 1;
    if (is_empty(opt->subject))
        return VT_ERR("missing -s,--subject argument");
    if (is_empty(opt->target))
        return VT_ERR("missing -t,--target argument");
    if (is_empty(opt->username))
        return VT_ERR("missing -u,--username argument");
    if (opt->password.text == nullptr && vt_prompt_password(&opt->password))
        return VT_ERR("missing -p,--password argument");
    if (opt->image_path.text == nullptr && vt_getcwd(&opt->image_path))
        return VT_ERR("missing -o,--output argument");
    if (opt->image_name.text == nullptr && vt_opt_set_default_name(opt))
        return VT_ERR("missing -n,--name argument");
    if (opt->hash.text == nullptr && vt_opt_set_default_hash(opt))
        return VT_ERR("missing -m,--hash argument");
    if (vt_isalnum_string(&opt->image_name))
        return VT_ERR("invalid image name -- %s", opt->image_name.text);
    if (access(opt->image_path.text, R_OK | W_OK))
        return VT_SYSERR("invalid output directory -- %s", opt->image_path.text);
    // A daemon works from "/", so the document must name the directory absolutely.
    vt_string absolute = {};
    if (vt_absolute_path(&absolute, opt->image_path.text))
        return VT_ERR("invalid output directory -- %s", opt->image_path.text);
    vt_string_free(&opt->image_path);
    opt->image_path = absolute;

    if (vt_opt_get_subject(opt, &opt->subject)) {
        vt_syslog_log(console, 0,
                      "Failed to parse subject url or resolve subject name to address.\nInvalid "
                      "subject url or name -- %s.\n",
                      opt->subject.text);
        return exit_subject;
    }
    if (is_empty(opt->config) && vt_opt_json_check(opt) == 0) {
        vt_syslog_log(console, 0,
                      "An image with the same name exists.\nInvalid image name -- %s.\n",
                      opt->image_name.text);
        return exit_exists;
    }
    vt_json_obj *raw = nullptr;
    if (vt_opt_set_object(opt, &raw))
        return VT_ERR("failed to get examiner object");
    json_ptr doc(raw);
    if (vt_subject_connect(doc.get(), console)) {
        vt_syslog_log(console, 0, "Failed to connect to %s on %s.\n", opt->target.text,
                      opt->subject.text);
        return exit_connect;
    }
    // With -c the name may be that of an existing job. A running job keeps its
    // document; another one is replaced only by a job that runs, so a start that
    // fails (an image file is already there, say) leaves a stopped job resumable.
    json_ptr previous;
    if (!is_empty(opt->config) && vt_opt_json_check(opt) == 0) {
        if (vt_opt_pid_check(opt, nullptr) == 0) {
            vt_syslog_log(console, 0, "Image is currently in progress -- %s.\n",
                          opt->image_name.text);
            return exit_running;
        }
        raw = nullptr;
        if (vt_opt_json_get_object(opt, &raw))
            return VT_ERR("failed to read json file");
        previous.reset(raw);
    }
    if (vt_opt_json_create(opt, doc.get()))
        return VT_ERR("failed to write json file");
    doc.reset();
    const int result = vt_exa_img_start_entry(opt, console);
    if (result != exit_job)
        return result;
    // A job that could not be created or started leaves the name as it found it.
    if (previous) {
        if (vt_opt_json_create(opt, previous.get()))
            VT_ERR("failed to restore image %s", opt->image_name.text);
    } else if (vt_opt_json_check(opt) == 0 && vt_opt_json_remove(opt, console) == 1) {
        VT_ERR("failed to remove image %s", opt->image_name.text);
    }
    return result;
}

int vt_exa_img_stop(vt_opt *opt, vt_syslog *console)
{
    if (VT_NIL(2, opt, console))
        return 1;
    if (is_empty(opt->image_name))
        return VT_ERR("missing -n,--name argument");
    if (vt_opt_json_check(opt) != 0) {
        vt_syslog_log(console, 0, "Image does not exist -- %s.\n", opt->image_name.text);
        return exit_missing;
    }
    uint64_t pid = 0;
    if (vt_opt_pid_check(opt, &pid)) {
        vt_syslog_log(console, 0, "Image is not in progress -- %s.\n", opt->image_name.text);
        return exit_not_running;
    }
    const auto shown = static_cast<unsigned long long>(pid);
    const auto process = static_cast<pid_t>(pid);
    if (kill(process, SIGTERM))
        return VT_SYSERR("failed to send sigterm to image process -- %llu", shown);
    vt_syslog_log(console, 2, "Sent sigterm to image process -- %llu.\n", shown);
    constexpr const char *spinner[] = {".   ", "..  ", "... "};
    for (unsigned round = 0; round < stop_wait_rounds; ++round) {
        vt_syslog_log(console, 2, "\rWaiting for image process %s%llu", spinner[round % 3],
                      shown);
        fflush(stdout);
        if (kill(process, 0) != 0 && errno == ESRCH) {
            vt_syslog_log(console, 2, "\nSuccessfully stop image process -- %llu.\n", shown);
            return 0;
        }
        sleep(1);
    }
    vt_syslog_log(console, 2, "\nFailed to wait for image process to exit.\n");
    if (kill(process, SIGQUIT) == 0)
        vt_syslog_log(console, 2, "Sent sigquit to image process -- %llu.\n", shown);
    return 0;
}

int vt_exa_img_restart(vt_opt *opt, vt_syslog *console)
{
    if (VT_NIL(2, opt, console))
        return 1;
    if (is_empty(opt->image_name))
        return VT_ERR("missing -n,--name argument");
    if (vt_opt_json_check(opt) != 0) {
        vt_syslog_log(console, 0, "Image does not exist -- %s.\n", opt->image_name.text);
        return exit_missing;
    }
    return vt_exa_img_start_entry(opt, console);
}

int vt_exa_img_remove(vt_opt *opt, vt_syslog *console)
{
    if (VT_NIL(2, opt, console))
        return 1;
    if (is_empty(opt->image_name))
        return VT_ERR("missing -n,--name argument");
    if (vt_opt_json_remove(opt, console) == 1)
        VT_ERR("failed to remove image %s", opt->image_name.text);
    return 0;
}
