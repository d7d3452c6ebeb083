// The mounter context (connect, log in, watch the connection, log into one target)
// and the read-only FUSE file system that shows the logged-in target as the single
// file of a one-entry directory. Reads are answered from the read completion.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "vt_fuse.h"

namespace {

constexpr fuse_ino_t root_inode = 1; // the directory
constexpr fuse_ino_t file_inode = 2; // the target
constexpr double validity = 1.0;     // seconds the kernel may cache entries and attributes

struct fuse_release {
    void operator()(vt_fuse *ctx) const { vt_fuse_deit(&ctx); }
};
using fuse_ptr = std::unique_ptr<vt_fuse, fuse_release>;

// Holds a lock for a scope; `held` says whether taking it worked.
class scoped_lock {
public:
    explicit scoped_lock(vt_lock *lock) : lock_(lock), held_(lock && vt_lock_acquire(lock) == 0) {}
    ~scoped_lock()
    {
        if (held_)
            vt_lock_release(lock_);
    }
    scoped_lock(const scoped_lock &) = delete;
    scoped_lock &operator=(const scoped_lock &) = delete;
    bool held() const { return held_; }

private:
    vt_lock *lock_;
    bool held_;
};

uint64_t target_size(const vt_db_target *target)
{
    return target->block_size * target->block_count;
}

void directory_attributes(const vt_fuse *ctx, struct stat *st)
{
    *st = {};
    st->st_ino = root_inode;
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    st->st_uid = geteuid();
    st->st_gid = getegid();
    st->st_atime = st->st_mtime = st->st_ctime = ctx->created;
}

void file_attributes(const vt_fuse *ctx, struct stat *st)
{
    *st = {};
    st->st_ino = file_inode;
    st->st_mode = S_IFREG | 0755;
    st->st_nlink = 1;
    st->st_uid = geteuid();
    st->st_gid = getegid();
    st->st_size = off_t(target_size(ctx->target));
    st->st_blksize = blksize_t(ctx->target->block_size);
    st->st_blocks = blkcnt_t(ctx->target->block_count);
    st->st_atime = st->st_mtime = st->st_ctime = time(nullptr);
}

vt_fuse *context_of(fuse_req_t req)
{
    return static_cast<vt_fuse *>(fuse_req_userdata(req));
}

void vt_fuse_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    vt_fuse *ctx = context_of(req);
    if (!ctx) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    scoped_lock lock(ctx->lock);
    if (!lock.held() || parent != root_inode || !ctx->target || !ctx->target->name.text ||
        strcmp(name, ctx->target->name.text) != 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param entry{};
    entry.ino = file_inode;
    entry.generation = 1;
    file_attributes(ctx, &entry.attr);
    entry.attr_timeout = validity;
    entry.entry_timeout = validity;
    fuse_reply_entry(req, &entry);
}

void vt_fuse_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    vt_fuse *ctx = context_of(req);
    if (!ctx) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    scoped_lock lock(ctx->lock);
    struct stat st;
    if (lock.held() && ino == root_inode)
        directory_attributes(ctx, &st);
    else if (lock.held() && ino == file_inode && ctx->target)
        file_attributes(ctx, &st);
    else {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, validity);
}

void vt_fuse_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    if (ino != file_inode)
        fuse_reply_err(req, EISDIR);
    else if ((fi->flags & O_ACCMODE) != O_RDONLY)
        fuse_reply_err(req, EACCES);
    else
        fuse_reply_open(req, fi);
}

// The reply is sent by vt_fuse_read_cb once the subject answered, so several reads
// can be in flight on the one connection.
void vt_fuse_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info *)
{
    vt_fuse *ctx = context_of(req);
    if (ino != file_inode || !ctx) {
        fuse_reply_err(req, EIO);
        return;
    }
    scoped_lock lock(ctx->lock);
    if (!lock.held() || !ctx->target || offset < 0) {
        fuse_reply_err(req, EIO);
        return;
    }
    if (uint64_t(offset) >= target_size(ctx->target)) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    if (vt_subject_target_read_auto(ctx->subject, uint32_t(ctx->target->id), uint64_t(offset),
                                    size, req))
        fuse_reply_err(req, EIO);
}

void vt_fuse_opendir(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
    fi->fh = 0;
    fi->direct_io = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

// Appends one entry; its offset is that of the next entry, the listing's new length.
int listing_add(fuse_req_t req, vt_buffer *listing, const char *name, fuse_ino_t ino)
{
    size_t size = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
    if (vt_buffer_resize(listing, size))
        return 1;
    struct stat st{};
    st.st_ino = ino;
    st.st_mode = ino == root_inode ? S_IFDIR : S_IFREG;
    char *at = reinterpret_cast<char *>(listing->data) + listing->used;
    fuse_add_direntry(req, at, size, name, &st, off_t(listing->used + size));
    listing->used += size;
    return 0;
}

void vt_fuse_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info *)
{
    vt_fuse *ctx = context_of(req);
    if (ino != root_inode || !ctx) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    scoped_lock lock(ctx->lock);
    if (!lock.held()) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    vt_buffer *listing = ctx->listing;
    listing->used = 0;
    const char *name = ctx->options->target.text ? ctx->options->target.text : "";
    if (listing_add(req, listing, ".", root_inode) ||
        listing_add(req, listing, "..", root_inode) ||
        listing_add(req, listing, name, file_inode)) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    if (offset >= 0 && size_t(offset) < listing->used) {
        size_t count = std::min(size, listing->used - size_t(offset));
        fuse_reply_buf(req, reinterpret_cast<char *>(listing->data) + offset, count);
    } else {
        fuse_reply_buf(req, nullptr, 0);
    }
}

void vt_fuse_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info *)
{
    fuse_reply_err(req, 0);
}

fuse_lowlevel_ops make_operations()
{
    fuse_lowlevel_ops ops{};
    ops.lookup = vt_fuse_lookup;
    ops.getattr = vt_fuse_getattr;
    ops.open = vt_fuse_open;
    ops.read = vt_fuse_read;
    ops.opendir = vt_fuse_opendir;
    ops.readdir = vt_fuse_readdir;
    ops.releasedir = vt_fuse_releasedir;
    return ops;
}

const fuse_lowlevel_ops fuse_ops = make_operations();

// Wakes every request still waiting on the channel, so nobody waits for a response
// that will never come. Outstanding reads are not completed.
void wake_waiters(vt_subject *subject)
{
    if (!subject || !subject->web || !subject->web->state || !subject->web->state->tree)
        return;
    vt_tree *tree = subject->web->state->tree;
    if (vt_lock_acquire(tree->lock))
        return;
    for (auto &entry : tree->map)
        vt_cond_signal(vt_task_cond(entry.second));
    vt_lock_release(tree->lock);
}

// Releases what vt_fuse_connect holds once connected: information and monitor.
void connection_release(vt_fuse *ctx)
{
    vt_subject_info_deit(&ctx->info);
    if (ctx->monitor) {
        vt_subject_stop_monitor(ctx->subject);
        vt_monitor_deit(&ctx->monitor);
    }
}

// Subject information and target list; each failure has its own exit status.
int fetch_subject(vt_fuse *ctx)
{
    if (vt_ptc_es_subject_info_req(ctx->subject, &ctx->info)) {
        vt_syslog_log(ctx->output, 0, "Failed to get subject information.\n");
        vt_fuserr = VT_FUSERR_SUBJECT_INFO;
        return 1;
    }
    if (vt_ptc_es_target_list_req(ctx->subject)) {
        vt_syslog_log(ctx->output, 0, "Failed to get target list.\n");
        vt_fuserr = VT_FUSERR_TARGET_LIST;
        return 1;
    }
    return 0;
}

int start_subject(vt_fuse *ctx)
{
    vt_option *opt = ctx->options;
    int started = vt_subject_start(ctx->subject, &opt->subject, &opt->username, &opt->password);
    if (started == vt_subject_start_no_channel) {
        vt_syslog_log(ctx->output, 0, "Failed to connect to subject -- %s @ %s.\n",
                      opt->username.text, opt->subject.text);
        vt_fuserr = VT_FUSERR_CONNECT;
    } else if (started == vt_subject_start_no_login) {
        vt_syslog_log(ctx->output, 0, "Failed to log into subject -- %s @ %s.\n",
                      opt->username.text, opt->subject.text);
        vt_fuserr = VT_FUSERR_LOGIN;
    }
    return started != 0;
}

} // namespace

// ---- Connection monitor ----

int vt_monitor_init(vt_monitor **slot, vt_subject *subject)
{
    if (!slot || *slot || !subject)
        return VT_ERR("invalid paramater");
    std::unique_ptr<vt_monitor> monitor(new (std::nothrow) vt_monitor{});
    if (!monitor)
        return VT_ERR("out of memory");
    if (vt_lock_init(&monitor->lock))
        return VT_ERR("failed to create lock object");
    monitor->subject = subject;
    if (vt_subject_start_monitor(subject, vt_monitor_cb, monitor.get())) {
        vt_lock_deit(&monitor->lock);
        return VT_ERR("failed to monitor the subject connection");
    }
    *slot = monitor.release();
    return 0;
}

int vt_monitor_deit(vt_monitor **slot)
{
    if (!slot || !*slot)
        return 0;
    vt_lock_deit(&(*slot)->lock);
    delete *slot;
    *slot = nullptr;
    return 0;
}

// Runs on the subject's monitor thread: never takes the subject lock, which the
// thread stopping the monitor holds while it joins this one.
void vt_monitor_cb(void *user)
{
    auto *monitor = static_cast<vt_monitor *>(user);
    if (!monitor || vt_lock_acquire(monitor->lock)) {
        VT_ERR("failed to lock monitor object");
        return;
    }
    if (monitor->has_loop_thread)
        pthread_kill(monitor->loop_thread, SIGTERM);
    wake_waiters(monitor->subject);
    monitor->disconnected = 1;
    if (vt_lock_release(monitor->lock))
        VT_ERR("failed to unlock monitor object");
}

int vt_monitor_set_tid(vt_monitor *monitor, pthread_t thread)
{
    if (!monitor || vt_lock_acquire(monitor->lock))
        return VT_ERR("failed to lock monitor object");
    monitor->loop_thread = thread;
    monitor->has_loop_thread = 1;
    if (vt_lock_release(monitor->lock))
        return VT_ERR("failed to unlock monitor object");
    return 0;
}

int vt_monitor_get_status(vt_monitor *monitor)
{
    if (!monitor || vt_lock_acquire(monitor->lock))
        return VT_ERR("failed to lock monitor object");
    int status = monitor->disconnected;
    if (vt_lock_release(monitor->lock))
        return VT_ERR("failed to unlock monitor object");
    return status;
}

// ---- Mounter context ----

int vt_fuse_init(vt_fuse **slot, vt_option *options, vt_fcache *store)
{
    if (!slot || *slot || !options || !store)
        return VT_ERR("failed to create fuse object");
    fuse_ptr ctx(new (std::nothrow) vt_fuse{});
    if (!ctx)
        return VT_ERR("failed to create fuse object");
    ctx->options = options;
    ctx->store = store;
    if (vt_lock_init(&ctx->lock))
        return VT_ERR("failed to create lock object");
    if (vt_buffer_init(&ctx->listing, 0))
        return VT_ERR("failed to create buffer object");
    if (vt_syslog_init_cb(&ctx->output,
                          options->daemon ? vt_syslog_syslog_cb : vt_syslog_stdout_cb, nullptr))
        return VT_ERR("failed to create syslog object");
    if (vt_subject_cfg_init(&ctx->subject_cfg, ctx->output) ||
        vt_subject_cfg_set_cdb(ctx->subject_cfg, vt_fuse_read_cb) ||
        vt_subject_cfg_set_auto(ctx->subject_cfg))
        return VT_ERR("failed to create subject configuration object");
    if (vt_subject_init(&ctx->subject, ctx->subject_cfg))
        return VT_ERR("failed to create subject object");
    ctx->created = time(nullptr);
    *slot = ctx.release();
    return 0;
}

int vt_fuse_deit(vt_fuse **slot)
{
    if (!slot || !*slot)
        return 0;
    vt_fuse *ctx = *slot;
    vt_subject_deit(&ctx->subject);
    vt_subject_cfg_deit(&ctx->subject_cfg);
    vt_syslog_deit(&ctx->output);
    vt_buffer_deit(&ctx->listing);
    vt_lock_deit(&ctx->lock);
    delete ctx;
    *slot = nullptr;
    return 0;
}

int vt_fuse_connect(vt_fuse *ctx, vt_fuse_cb callback, void *user)
{
    if (VT_NIL(2, ctx, callback))
        return 1;
    if (start_subject(ctx))
        return 1;
    int result = 1;
    if (vt_monitor_init(&ctx->monitor, ctx->subject))
        VT_ERR("failed to create monitor object");
    else if (fetch_subject(ctx) == 0)
        result = callback(ctx, user);
    connection_release(ctx);
    if (vt_subject_stop(ctx->subject))
        return VT_ERR("failed to disconnect from subject -- %s @ %s",
                      ctx->options->username.text, ctx->options->subject.text);
    return result;
}

int vt_fuse_login(vt_fuse *ctx, vt_fuse_cb callback, void *user)
{
    if (VT_NIL(2, ctx, callback))
        return 1;
    const vt_string *name = &ctx->options->target;
    uint32_t id = 0;
    vt_db_target target{};
    if (vt_subject_target_by_name(ctx->subject, name, &id) ||
        vt_subject_target_id(ctx->subject, id, &target) || !target.name.text) {
        vt_subject_target_free(&target);
        vt_syslog_log(ctx->output, 0, "Failed to find target -- %s.\n", name->text);
        vt_fuserr = VT_FUSERR_TARGET_FIND;
        return 1;
    }
    if (vt_subject_target_login(ctx->subject, id)) {
        vt_subject_target_free(&target);
        vt_syslog_log(ctx->output, 0, "Failed to log into target -- %s.\n", name->text);
        vt_fuserr = VT_FUSERR_TARGET_LOGIN;
        return 1;
    }
    {
        scoped_lock lock(ctx->lock);
        ctx->target = &target;
    }
    int result = callback(ctx, user);
    // After a lost connection the logout could only wait for its timeout.
    if (vt_monitor_get_status(ctx->monitor) == 0 && vt_subject_target_logout(ctx->subject, id))
        result = VT_ERR("failed to log out of target -- %s", name->text);
    {
        scoped_lock lock(ctx->lock);
        ctx->target = nullptr;
    }
    vt_subject_target_free(&target);
    return result;
}

int vt_fuse_read_cb(const uint8_t *data, size_t length, void *request, uint32_t error)
{
    auto req = static_cast<fuse_req_t>(request);
    if (!req)
        return VT_ERR("invalid fuse request");
    if (error != 0)
        return fuse_reply_err(req, EIO) == 0 ? 0 : 1;
    return fuse_reply_buf(req, reinterpret_cast<const char *>(data), length) == 0 ? 0 : 1;
}

int vt_fuse_loop(fuse_chan *channel, fuse_args *session_args, vt_fuse *ctx)
{
    if (VT_NIL(3, channel, session_args, ctx))
        return 1;
    int failed = 0;
    fuse_session *session = fuse_lowlevel_new(session_args, &fuse_ops, sizeof fuse_ops, ctx);
    if (!session) {
        failed = VT_ERR("failed to create fuse session object");
    } else if (fuse_set_signal_handlers(session) == -1) {
        failed = VT_ERR("failed to setup signals and global session");
    } else {
        vt_monitor_set_tid(ctx->monitor, pthread_self());
        fuse_session_add_chan(session, channel);
        if (fuse_session_loop_mt(session) == -1)
            failed = VT_ERR("failed to exit session event loop");
        fuse_session_remove_chan(channel);
        // The monitor sends SIGTERM once more when it is stopped during tear-down;
        // with the handlers gone it must stay pending rather than end the process.
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        for (int signal_number : {SIGHUP, SIGINT, SIGTERM})
            sigaddset(&stop_signals, signal_number);
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
        fuse_remove_signal_handlers(session);
    }
    if (session)
        fuse_session_destroy(session);
    if (failed) {
        vt_syslog_log(ctx->output, 0, "Failed to start fuse loop.\n");
        vt_fuserr = VT_FUSERR_LOOP;
        return 1;
    }
    return 0;
}
