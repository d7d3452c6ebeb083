// Log objects, the mutex wrapper and the three failure reporters.
//
// A log object formats into its own reusable buffer under its own lock and
// delivers the finished text to its callback while still holding the lock, so
// messages from concurrent threads never interleave.
#include "vt_syslog.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <syslog.h>

#include "vt_buffer.h"
#include "vt_string.h"

vt_syslog *syserr = nullptr;

int vt_lock_init(vt_lock **slot)
{
    if (!slot || *slot)
        return 1;
    auto *mutex = static_cast<vt_lock *>(malloc(sizeof(vt_lock)));
    if (!mutex)
        return 1;
    if (pthread_mutex_init(mutex, nullptr)) {
        free(mutex);
        return 1;
    }
    *slot = mutex;
    return 0;
}

int vt_lock_deit(vt_lock **slot)
{
    if (!slot || !*slot)
        return 1;
    pthread_mutex_destroy(*slot);
    free(*slot);
    *slot = nullptr;
    return 0;
}

int vt_lock_acquire(vt_lock *mutex)
{
    return !mutex || pthread_mutex_lock(mutex) ? 1 : 0;
}

int vt_lock_release(vt_lock *mutex)
{
    return !mutex || pthread_mutex_unlock(mutex) ? 1 : 0;
}

void vt_syslog_empty_cb(const char *, size_t, void *, unsigned) {}

void vt_syslog_stderr_cb(const char *text, size_t length, void *, unsigned)
{
    fwrite(text, 1, length, stderr);
}

void vt_syslog_stdout_cb(const char *text, size_t length, void *, unsigned level)
{
    fwrite(text, 1, length, level == 0 ? stderr : stdout);
}

void vt_syslog_syslog_cb(const char *text, size_t, void *, unsigned)
{
    syslog(LOG_USER | LOG_INFO, "%s", text);
}

void vt_syslog_file_log(const char *text, size_t length, void *user, unsigned)
{
    auto *log = static_cast<vt_syslog *>(user);
    if (!log || !log->stream)
        return;
    fwrite(text, 1, length, log->stream);
    fflush(log->stream);
}

// Releases everything a (possibly half-built) log object holds.
static void syslog_free(vt_syslog *log)
{
    if (!log)
        return;
    if (log->stream && log->stream != stderr)
        fclose(log->stream);
    if (log->path) {
        vt_string_free(log->path);
        free(log->path);
    }
    vt_buffer_deit(&log->text);
    vt_lock_deit(&log->lock);
    free(log);
}

using syslog_ptr = std::unique_ptr<vt_syslog, decltype(&syslog_free)>;

// A new log object with its lock and buffer, and an empty path string.
static syslog_ptr syslog_new()
{
    syslog_ptr log(static_cast<vt_syslog *>(calloc(1, sizeof(vt_syslog))), syslog_free);
    if (!log)
        return log;
    log->path = static_cast<vt_string *>(calloc(1, sizeof(vt_string)));
    if (!log->path || vt_lock_init(&log->lock) || vt_buffer_init(&log->text, 0))
        log.reset();
    return log;
}

int vt_syslog_init_cb(vt_syslog **slot, vt_syslog_cb callback, void *user)
{
    if (!slot || *slot || !callback)
        return 1;
    syslog_ptr log = syslog_new();
    if (!log)
        return 1;
    log->callback = callback;
    log->user = user;
    *slot = log.release();
    return 0;
}

int vt_syslog_init_path(vt_syslog **slot, const char *path)
{
    if (!slot || *slot)
        return 1;
    syslog_ptr log = syslog_new();
    if (!log)
        return 1;
    if (!path) {
        static constexpr char name[] = "stderr";
        if (vt_string_copy(log->path, name, sizeof name - 1))
            return 1;
        log->stream = stderr;
    } else {
        char resolved[4096];
        if (!realpath(path, resolved) || vt_string_copy(log->path, resolved, strlen(resolved)))
            return 1;
        log->stream = fopen(resolved, "a");
        if (!log->stream)
            return 1;
    }
    log->callback = vt_syslog_file_log;
    log->user = log.get();
    *slot = log.release();
    return 0;
}

int vt_syslog_deit(vt_syslog **slot)
{
    if (!slot || !*slot)
        return 1;
    syslog_free(*slot);
    *slot = nullptr;
    return 0;
}

int vt_syslog_lock(vt_syslog *log)
{
    return log ? vt_lock_acquire(log->lock) : 1;
}

int vt_syslog_unlock(vt_syslog *log)
{
    return log ? vt_lock_release(log->lock) : 1;
}

int vt_syslog_reset(vt_syslog *log)
{
    if (!log || !log->text)
        return 1;
    log->text->used = 0;
    return 0;
}

int vt_syslog_write_va(vt_syslog *log, const char *format, va_list args)
{
    return log ? vt_buffer_vprint(log->text, format, args) : 1;
}

int vt_syslog_write(vt_syslog *log, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vt_syslog_write_va(log, format, args);
    va_end(args);
    return result;
}

int vt_syslog_callback(vt_syslog *log, unsigned level)
{
    if (!log || !log->callback || !log->text || !log->text->used)
        return 1;
    log->callback(reinterpret_cast<const char *>(log->text->data), log->text->used, log->user, level);
    return 0;
}

int vt_syslog_log(vt_syslog *log, unsigned level, const char *format, ...)
{
    if (!log || vt_syslog_lock(log))
        return 1;
    va_list args;
    va_start(args, format);
    vt_syslog_reset(log);
    int result = vt_syslog_write_va(log, format, args);
    va_end(args);
    if (!result)
        result = vt_syslog_callback(log, level);
    if (vt_syslog_unlock(log))
        result = 1;
    return result;
}

int vt_syslog_set_callback(vt_syslog *log, vt_syslog_cb callback, void *user)
{
    if (!log || !callback || vt_syslog_lock(log))
        return 1;
    log->callback = callback;
    log->user = user;
    return vt_syslog_unlock(log);
}

// Makes sure `syserr` exists, creating it on standard error when absent.
static int syserr_ready()
{
    return syserr || !vt_syslog_init_path(&syserr, nullptr) ? 0 : 1;
}

// Composes "[syserr]: source (function:line); message." into the locked syserr
// buffer. Returns 0 when every piece was appended.
static int syserr_compose(const char *source, const char *function, int line,
                          const char *format, va_list args)
{
    vt_syslog_reset(syserr);
    return vt_syslog_write(syserr, "[syserr]: %s (%s:%d); ", source, function, line) ||
           vt_syslog_write_va(syserr, format, args) || vt_syslog_write(syserr, ".\n");
}

int syserr_msg_log(const char *source, const char *function, int line, const char *format, ...)
{
    if (syserr_ready() || vt_syslog_lock(syserr))
        return 1;
    va_list args;
    va_start(args, format);
    if (!syserr_compose(source, function, line, format, args))
        vt_syslog_callback(syserr, 0);
    va_end(args);
    vt_syslog_unlock(syserr);
    return 1;
}

int syserr_win_log(const char *source, const char *function, int line, const char *format, ...)
{
    // Taken first, so that nothing done while composing can change it.
    int error = errno;
    if (syserr_ready() || vt_syslog_lock(syserr))
        return 1;
    va_list args;
    va_start(args, format);
    if (!syserr_compose(source, function, line, format, args)) {
        if (error) {
            vt_syslog_write(syserr, "[syserr]: -> Error Number: %d\n", error);
            const char *description = strerror(error);
            if (description && *description)
                vt_syslog_write(syserr, "[syserr]: -> Description: %s\n", description);
        }
        vt_syslog_callback(syserr, 0);
    }
    va_end(args);
    vt_syslog_unlock(syserr);
    return 1;
}

int syserr_nil_log(const char *source, const char *function, int line, int count, ...)
{
    va_list args;
    va_start(args, count);
    int missing = 0;
    for (int i = 1; i <= count && !missing; ++i)
        if (!va_arg(args, const void *))
            missing = i;
    va_end(args);
    if (!missing)
        return 0;
    if (!syserr_ready())
        vt_syslog_log(syserr, 0, "[syserr]: %s (%s:%d); detected invalid reference for argument %d.\n",
                      source, function, line, missing);
    return 1;
}
