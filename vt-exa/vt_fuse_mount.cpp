// The mount lifecycle of vt_accel: `mount` in the foreground or as a daemon that
// reports its progress and outcome to the waiting command over a control socket,
// the mount directory and the pid and path records, and `umount`.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "vt_fuse.h"
#include "vt_misc.h"
#include "vt_thread.h"
#include "vt_unix.h"
#include "vt_url.h"

namespace {

// What the callbacks of a running mount share.
struct mount_run {
    fuse_chan *channel;
    vt_syslog *progress; // stdout in the foreground, the parent's socket in a daemon
    vt_unix *control;    // connection to the waiting parent; null in the foreground
    int end_pending;     // 1 until the end signal has been sent
};

// The daemon's link to the process that ran the command.
struct background_link {
    const char *socket_path;
    int not_contacted; // 1 until the parent's socket was reached
};

struct owned_string : vt_string {
    owned_string() : vt_string{} {}
    ~owned_string() { vt_string_free(this); }
    owned_string(const owned_string &) = delete;
    owned_string &operator=(const owned_string &) = delete;
};

struct url_release {
    void operator()(vt_url *url) const { vt_url_deit(&url); }
};
using url_ptr = std::unique_ptr<vt_url, url_release>;

struct unix_release {
    void operator()(vt_unix *object) const { vt_unix_deit(&object); }
};
using unix_ptr = std::unique_ptr<vt_unix, unix_release>;

struct unix_cfg_release {
    void operator()(vt_unix_cfg *cfg) const { vt_unix_cfg_deit(&cfg); }
};
using unix_cfg_ptr = std::unique_ptr<vt_unix_cfg, unix_cfg_release>;

struct syslog_release {
    void operator()(vt_syslog *log) const { vt_syslog_deit(&log); }
};
using syslog_ptr = std::unique_ptr<vt_syslog, syslog_release>;

struct fuse_release {
    void operator()(vt_fuse *ctx) const { vt_fuse_deit(&ctx); }
};
using fuse_ptr = std::unique_ptr<vt_fuse, fuse_release>;

struct cond_release {
    void operator()(vt_cond *cond) const { vt_cond_deit(&cond); }
};
using cond_ptr = std::unique_ptr<vt_cond, cond_release>;

// ---- pid and path records (callbacks of vt_fcache_push_subject_target) ----

int vt_fuse_subject_target_check(vt_fcache *store, void *)
{
    return vt_fcache_pid(store, vt_fcache_check_pid, nullptr);
}

int vt_fuse_target_pid_path_create(vt_fcache *store, void *mount_path)
{
    return vt_fcache_pid(store, vt_fcache_create_pid, nullptr) ||
           vt_fcache_path(store, vt_fcache_create_path, mount_path);
}

int vt_fuse_target_pid_path_remove(vt_fcache *store, void *)
{
    int pid_failed = vt_fcache_pid(store, vt_fcache_remove_pid, nullptr);
    int path_failed = vt_fcache_path(store, vt_fcache_remove_path, nullptr);
    return pid_failed || path_failed;
}

int target_records(vt_fuse *ctx, vt_fcache_cb callback, void *user)
{
    return vt_fcache_push_subject_target(ctx->store, &ctx->info->record, ctx->target, callback,
                                         user);
}

// ---- while logged into the target ----

int route_verbose(vt_fuse *ctx)
{
    if (!ctx->options->verbose)
        return 0;
    vt_syslog_cb sink = ctx->options->daemon ? vt_syslog_syslog_cb : vt_syslog_stdout_cb;
    if (vt_syslog_set_callback(syserr, sink, nullptr))
        return VT_ERR("failed to route syserr to syslog");
    return 0;
}

void log_online(vt_fuse *ctx, mount_run *run)
{
    if (ctx->options->daemon)
        vt_syslog_log(run->progress, 2,
                      "Examiner worker is online and running in  the background.\n"
                      "Exclude -d,--daemon on command line to run in foreground.\n");
    else
        vt_syslog_log(run->progress, 2,
                      "Examiner worker is online and running in  the foreground.\n"
                      "Specify -d,--daemon on command line to run in background.\n"
                      "Press Ctrl+C or invoke `kill %llu` on another terminal to exit.\n",
                      static_cast<unsigned long long>(getpid()));
}

// Exported: the parent may return now. Without the parent the target is not served.
int send_end_signal(mount_run *run)
{
    if (!run->control)
        return 0;
    if (vt_unix_send_opcode(run->control, VT_UNIX_STOP))
        return VT_ERR("failed to send end signal");
    run->end_pending = 0;
    return 0;
}

int vt_fuse_mount_login_cb(vt_fuse *ctx, void *user)
{
    auto *run = static_cast<mount_run *>(user);
    vt_option *opt = ctx->options;
    if (target_records(ctx, vt_fuse_subject_target_check, nullptr) == 0) {
        vt_syslog_log(ctx->output, 0, "Target %s is already mounted.\n", opt->target.text);
        vt_fuserr = VT_FUSERR_MOUNTED;
        return 1;
    }
    vt_syslog_log(run->progress, 2, "Connected to target %s.\n", opt->target.text);
    if (target_records(ctx, vt_fuse_target_pid_path_create, &opt->mount_path))
        return VT_ERR("failed to create pid and path file");
    int result = route_verbose(ctx);
    if (result == 0) {
        vt_syslog_log(run->progress, 2, "Exported target on %s.\n", opt->mount_path.text);
        log_online(ctx, run);
        result = send_end_signal(run);
    }
    if (result == 0 && vt_fuse_loop(run->channel, &opt->session_args, ctx))
        result = VT_ERR("failed to export target on %s", opt->mount_path.text);
    if (target_records(ctx, vt_fuse_target_pid_path_remove, nullptr))
        result = VT_ERR("failed to remove pid and path file");
    return result;
}

int vt_fuse_mount_connect_cb(vt_fuse *ctx, void *user)
{
    auto *run = static_cast<mount_run *>(user);
    vt_syslog_log(run->progress, 2, "Connected to subject %s.\n", ctx->options->subject.text);
    return vt_fuse_login(ctx, vt_fuse_mount_login_cb, run);
}

// ---- mounting the channel ----

// Mounts the channel, then leaves the mount directory's levels without removing
// them: the mount sits on them, and their locks would block the other mounts of
// the same subject.
fuse_chan *mount_channel(vt_option *opt, vt_fcache *mount_store)
{
    fuse_chan *channel = fuse_mount(opt->mount_path.text, &opt->channel_args);
    if (!channel) {
        VT_ERR("failed to create fuse channel on path -- %s", opt->mount_path.text);
        return nullptr;
    }
    if (vt_fcache_reset_dir_keep(mount_store))
        VT_ERR("failed to release mount path locks -- %s", opt->mount_path.text);
    return channel;
}

// Connects, logs in and serves with the given progress log and control connection.
int serve_mount(vt_option *opt, vt_fcache *store, mount_run *run)
{
    vt_fuse *raw = nullptr;
    if (vt_fuse_init(&raw, opt, store))
        return VT_ERR("failed to create fuse object");
    fuse_ptr ctx(raw);
    return vt_fuse_connect(ctx.get(), vt_fuse_mount_connect_cb, run);
}

int vt_fuse_mount_foreground(vt_option *opt, vt_fcache *store, vt_fcache *mount_store, void *)
{
    fuse_chan *channel = mount_channel(opt, mount_store);
    if (!channel)
        return 1;
    int result = 1;
    vt_syslog *raw = nullptr;
    if (vt_syslog_init_cb(&raw, vt_syslog_stdout_cb, nullptr)) {
        VT_ERR("failed to create syslog object");
    } else {
        syslog_ptr progress(raw);
        mount_run run{channel, progress.get(), nullptr, 0};
        result = serve_mount(opt, store, &run);
    }
    fuse_unmount(opt->mount_path.text, channel);
    return result;
}

// The exit status the parent takes over: a failure always gives a non-zero code.
int outcome_code(int result)
{
    if (vt_fuserr)
        return vt_fuserr;
    return result ? 1 : 0;
}

int vt_fuse_mount_background_server_cb(vt_option *opt, vt_fcache *store, vt_fcache *mount_store,
                                       void *user)
{
    auto *link = static_cast<background_link *>(user);
    fuse_chan *channel = mount_channel(opt, mount_store);
    if (!channel)
        return 1;
    int result = 1;
    vt_unix_cfg *cfg_raw = nullptr;
    vt_unix *control_raw = nullptr;
    if (vt_unix_cfg_init(&cfg_raw, vt_unix_client, nullptr)) {
        VT_ERR("failed to create unix configuration object");
        fuse_unmount(opt->mount_path.text, channel);
        return 1;
    }
    unix_cfg_ptr cfg(cfg_raw);
    if (vt_unix_init(&control_raw, cfg.get(), link->socket_path, VT_UNIX_CLIENT)) {
        VT_ERR("failed to connect to parent process -- %s", link->socket_path);
        fuse_unmount(opt->mount_path.text, channel);
        return 1;
    }
    unix_ptr control(control_raw);
    link->not_contacted = 0;
    vt_syslog *raw = nullptr;
    if (vt_unix_send_opcode(control.get(), VT_UNIX_START)) {
        VT_ERR("failed to send unix_start signal");
    } else if (vt_syslog_init_cb(&raw, vt_unix_syslog_cb, control.get())) {
        VT_ERR("failed to create syslog object");
    } else {
        syslog_ptr progress(raw);
        mount_run run{channel, progress.get(), control.get(), 1};
        result = serve_mount(opt, store, &run);
        if (run.end_pending &&
            (vt_unix_send_error(control.get(), outcome_code(result)) ||
             vt_unix_send_opcode(control.get(), VT_UNIX_STOP)))
            VT_ERR("failed to send end signal");
    }
    fuse_unmount(opt->mount_path.text, channel);
    return result;
}

// The failure happened before the parent was reached: tell it, so that it does not
// wait out its time limit, and let it exit with the failure's code.
int signal_parent_failure(const char *socket_path)
{
    vt_unix_cfg *cfg_raw = nullptr;
    if (vt_unix_cfg_init(&cfg_raw, vt_unix_client, nullptr) || vt_unix_cfg_seconds(cfg_raw, 3)) {
        vt_unix_cfg_deit(&cfg_raw);
        return VT_ERR("failed to connect to %s", socket_path);
    }
    unix_cfg_ptr cfg(cfg_raw);
    vt_unix *raw = nullptr;
    if (vt_unix_init(&raw, cfg.get(), socket_path, VT_UNIX_CLIENT))
        return VT_ERR("failed to connect to %s", socket_path);
    unix_ptr control(raw);
    if (vt_unix_send_message(control.get(), "A failure occurred during the mounting process.\n"
                                            "Please check your syslogs for additional details.\n") ||
        vt_unix_send_error(control.get(), outcome_code(1)) ||
        vt_unix_send_opcode(control.get(), VT_UNIX_START) ||
        vt_unix_send_opcode(control.get(), VT_UNIX_STOP))
        return VT_ERR("failed to signal parent process via unix socket");
    return 1;
}

int mount_daemon(vt_option *opt, vt_fcache *store, const char *socket_path)
{
    vt_syslog_set_callback(syserr, vt_syslog_syslog_cb, nullptr);
    background_link link{socket_path, 1};
    int result = vt_fuse_mount_path(opt, store, vt_fuse_mount_background_server_cb, &link);
    if (link.not_contacted) {
        signal_parent_failure(socket_path);
        return 1;
    }
    return result;
}

// The process that ran the command: relay the daemon's lines and take its code.
int wait_for_daemon(vt_option *opt, const char *socket_path)
{
    vt_cond *cond_raw = nullptr;
    if (vt_cond_init(&cond_raw))
        return VT_ERR("failed to create condition object");
    cond_ptr cond(cond_raw);
    vt_unix_signal handshake{0, cond.get()};
    vt_unix_cfg *cfg_raw = nullptr;
    if (vt_unix_cfg_init(&cfg_raw, vt_unix_server, &handshake))
        return VT_ERR("failed to create unix configuration object");
    unix_cfg_ptr cfg(cfg_raw);
    vt_unix *raw = nullptr;
    if (vt_unix_init(&raw, cfg.get(), socket_path, VT_UNIX_SERVER))
        return VT_ERR("failed to create unix object");
    unix_ptr server(raw);
    unsigned wait = unsigned(opt->wait);
    // The end may already have come with the start (one auto-reset signal for both).
    if (vt_cond_wait_timed(cond.get(), wait) ||
        (!handshake.stopped && vt_cond_wait_timed(cond.get(), wait)))
        return VT_ERR("failed to wait for start and end signal");
    server.reset();
    fflush(stdout);
    vt_fuserr = handshake.error;
    return handshake.error != 0;
}

int mount_background(vt_option *opt, vt_fcache *store)
{
    owned_string socket_path;
    if (vt_socket_path(&socket_path))
        return VT_ERR("failed to create unix socket path");
    fflush(stdout);
    fflush(stderr);
    switch (upgrade_daemon()) {
    case VT_DAEMON_EXIT:
        return 0;
    case VT_DAEMON_CHILD:
        return mount_daemon(opt, store, socket_path.text);
    case VT_DAEMON_PARENT:
        return wait_for_daemon(opt, socket_path.text);
    default:
        return VT_ERR("failed to create daemon process");
    }
}

// A subject given as a URL is taken as it is; anything else must be cached.
int resolve_subject(vt_option *opt, vt_fcache *store)
{
    const vt_string &subject = opt->subject;
    if (memchr(subject.text, ':', subject.length) && memchr(subject.text, '/', subject.length)) {
        vt_url *url = nullptr;
        if (vt_url_init(&url, subject.text, subject.length))
            return 1;
        vt_url_deit(&url);
        return 0;
    }
    return vt_subject_name_to_url(store, &opt->subject);
}

int check_mount_arguments(const vt_option *opt)
{
    const struct {
        const vt_string *value;
        const char *message;
    } required[] = {
        {&opt->subject, "Missing -s,--subject argument.\n"},
        {&opt->target, "Missing -t,--target argument.\n"},
        {&opt->mount_path, "Missing -m,--path argument.\n"},
        {&opt->username, "Missing -u,--username argument.\n"},
        {&opt->password, "Missing -p,--password argument.\n"},
    };
    for (const auto &entry : required) {
        if (!entry.value->text) {
            fputs(entry.message, stderr);
            return 1;
        }
    }
    return 0;
}

// Enters <mount path>/<subject name>/<target name> in the mount-path store.
int enter_mount_directory(vt_option *opt, vt_fcache *store, vt_fcache *mount_store,
                          vt_string *name)
{
    vt_url *raw = nullptr;
    if (vt_url_init(&raw, opt->subject.text, opt->subject.length))
        return VT_ERR("invalid subject url -- %s", opt->subject.text);
    const url_ptr url(raw);
    if (vt_subject_url_to_name(store, url.get(), name)) {
        vt_fuserr = VT_FUSERR_NO_SUBJECT;
        return VT_ERR("failed to resolve subject name -- %s", opt->subject.text);
    }
    if (vt_fcache_push_dir(mount_store, name))
        return VT_ERR("failed to push subject name on mount path -- %s", name->text);
    if (vt_fcache_push_dir(mount_store, &opt->target))
        return VT_ERR("failed to push target name on mount path -- %s", opt->target.text);
    owned_string full;
    if (vt_fcache_get_dir(mount_store, &full))
        return VT_ERR("failed to get mount path");
    vt_string_free(&opt->mount_path);
    opt->mount_path = full;
    static_cast<vt_string &>(full) = vt_string{};
    if (vt_is_path_empty(opt->mount_path.text)) {
        vt_fuserr = VT_FUSERR_MOUNTED;
        return VT_ERR("failed to mount on non-empty path");
    }
    return 0;
}

// Puts the directories made for the mount away again: closing the store removes
// the levels it holds when they are empty.
void leave_mount_directory(vt_option *opt, vt_fcache **mount_store, const vt_string &name)
{
    vt_fcache_reset_dir_keep(*mount_store);
    if (name.text && vt_fcache_push_dir(*mount_store, &name) == 0)
        vt_fcache_push_dir(*mount_store, &opt->target);
    vt_fcache_deit(mount_store);
}

} // namespace

int vt_fuse_mount_path(vt_option *options, vt_fcache *store, vt_fuse_mount_cb callback, void *user)
{
    if (VT_NIL(3, options, store, callback))
        return 1;
    vt_fcache *mount_store = nullptr;
    if (vt_fcache_init(&mount_store, &options->mount_path))
        return VT_ERR("invalid mount path -- %s", options->mount_path.text);
    owned_string name;
    int result = enter_mount_directory(options, store, mount_store, &name);
    if (result == 0)
        result = callback(options, store, mount_store, user);
    leave_mount_directory(options, &mount_store, name);
    return result;
}

int vt_fuse_mount(vt_option *options, vt_fcache *store)
{
    if (VT_NIL(2, options, store))
        return 1;
    if (check_mount_arguments(options))
        return 1;
    size_t active = 0;
    if (vt_active_target_count(store, &active) || active >= VT_FUSE_MOUNT_LIMIT) {
        fputs("Exceeded the maximum number of fuse filesystems allowed.\n", stderr);
        vt_fuserr = VT_FUSERR_TOO_MANY;
        return 1;
    }
    uint64_t pid = 0;
    if (vt_subject_target_pid(store, options->subject.text, options->target.text, &pid) == 0) {
        fprintf(stderr, "Target %s is already mounted.\n", options->target.text);
        vt_fuserr = VT_FUSERR_MOUNTED;
        return 1;
    }
    if (resolve_subject(options, store)) {
        fprintf(stderr, "Subject %s does not exist.\n", options->subject.text);
        vt_fuserr = VT_FUSERR_NO_SUBJECT;
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    if (options->daemon)
        return mount_background(options, store);
    return vt_fuse_mount_path(options, store, vt_fuse_mount_foreground, nullptr);
}

int vt_fuse_umount(vt_option *options, vt_fcache *store)
{
    if (VT_NIL(2, options, store))
        return 1;
    if (!options->subject.text) {
        fputs("Missing -s,--subject argument.\n", stderr);
        return 1;
    }
    if (!options->target.text) {
        fputs("Missing -t,--target argument.\n", stderr);
        return 1;
    }
    vt_mount_info *info = nullptr;
    if (vt_subject_target_mount_info(store, options->subject.text, options->target.text, &info)) {
        fprintf(stderr, "Subject %s and target %s is not mounted.\n", options->subject.text,
                options->target.text);
        vt_fuserr = VT_FUSERR_NOT_MOUNTED;
        return 1;
    }
    printf("Found subject %s.\nFound target %s.\n", options->subject.text, options->target.text);
    fflush(stdout);
    int result = vt_fuse_umount_path(info->mount_path.text);
    vt_mount_info_deit(&info);
    return result;
}

namespace {

// Child side of the unmount command: stdin from the (empty) pipe, then exec. An exec
// failure is sent back through the close-on-exec pipe as the errno value.
[[noreturn]] void exec_unmount(const char *path, int input, int report)
{
    if (dup2(input, STDIN_FILENO) < 0)
        _exit(127);
    close(input);
    const char *argv[] = {"fusermount", "-u", path, nullptr};
    execvp(argv[0], const_cast<char *const *>(argv));
    int error = errno;
    vt_write_all(report, &error, sizeof error);
    _exit(127);
}

// Runs the command and returns its exit status, or -1 when it could not be started.
int run_unmount(const char *path)
{
    int input[2], report[2];
    if (pipe2(input, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return -1;
    }
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        exec_unmount(path, input[0], report[1]);
    }
    close(input[0]);
    close(report[1]);
    // Nothing is written: the command reads end of file if it asks for input.
    close(input[1]);
    int status = -1, error = 0;
    if (child > 0) {
        ssize_t got;
        do
            got = read(report[0], &error, sizeof error);
        while (got < 0 && errno == EINTR);
        int wstatus = 0;
        while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
        }
        if (got <= 0)
            status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    close(report[0]);
    return status;
}

} // namespace

int vt_fuse_umount_path(const char *path)
{
    if (VT_NIL(1, path))
        return 1;
    int status = run_unmount(path);
    if (status < 0)
        return VT_SYSERR("failed to execute fusermount -u %s", path);
    if (status != 0) {
        fprintf(stderr,
                "Failed to unmount %s; target is busy.\nPlease close all applications using "
                "the target.\n",
                path);
        return 1;
    }
    printf("Successfully unmounted %s.\n", path);
    fflush(stdout);
    return 0;
}
