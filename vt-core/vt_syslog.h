// Log objects, the mutex wrapper and the process-wide failure reporter.
//
// A log object composes a message in its own buffer and hands the finished text
// to a callback (discard, stderr, stdout, system log, a file, a control socket).
// Every failure in the system is reported once per call level through `syserr`.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <pthread.h>

#include "vt_source.h"

struct vt_buffer;
struct vt_string;

// Mutex wrapper: the owner keeps a pointer slot that holds one allocated mutex.
typedef pthread_mutex_t vt_lock;
int vt_lock_init(vt_lock **slot);
int vt_lock_deit(vt_lock **slot);
int vt_lock_acquire(vt_lock *mutex);
int vt_lock_release(vt_lock *mutex);

// Log callback: (text, length, user data, level). Level 0 marks an error.
typedef void (*vt_syslog_cb)(const char *text, size_t length, void *user, unsigned level);

struct vt_syslog {
    vt_lock *lock;
    vt_buffer *text;
    vt_syslog_cb callback;
    void *user;
    vt_string *path;
    FILE *stream;
};

void vt_syslog_empty_cb(const char *text, size_t length, void *user, unsigned level);
void vt_syslog_stderr_cb(const char *text, size_t length, void *user, unsigned level);
void vt_syslog_stdout_cb(const char *text, size_t length, void *user, unsigned level);
void vt_syslog_syslog_cb(const char *text, size_t length, void *user, unsigned level);
void vt_syslog_file_log(const char *text, size_t length, void *user, unsigned level);

int vt_syslog_init_cb(vt_syslog **slot, vt_syslog_cb callback, void *user);
// With path null: writes to standard error and records the path "stderr".
int vt_syslog_init_path(vt_syslog **slot, const char *path);
int vt_syslog_deit(vt_syslog **slot);

int vt_syslog_log(vt_syslog *log, unsigned level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int vt_syslog_set_callback(vt_syslog *log, vt_syslog_cb callback, void *user);

// Composing primitives: the caller holds the lock around them.
int vt_syslog_lock(vt_syslog *log);
int vt_syslog_unlock(vt_syslog *log);
int vt_syslog_reset(vt_syslog *log);
int vt_syslog_write(vt_syslog *log, const char *format, ...) __attribute__((format(printf, 2, 3)));
int vt_syslog_write_va(vt_syslog *log, const char *format, va_list args);
int vt_syslog_callback(vt_syslog *log, unsigned level);

// The process-wide failure sink; created lazily on standard error.
extern vt_syslog *syserr;

// Reporters: always return 1 (syserr_nil_log: 0 when every pointer is present).
int syserr_msg_log(const char *source, const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int syserr_win_log(const char *source, const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int syserr_nil_log(const char *source, const char *function, int line, int count, ...);

// Call-site shorthands: the source, function and line of the reporting statement.
#define VT_ERR(...) syserr_msg_log(VT_SOURCE, __func__, __LINE__, __VA_ARGS__)
#define VT_SYSERR(...) syserr_win_log(VT_SOURCE, __func__, __LINE__, __VA_ARGS__)
#define VT_NIL(count, ...) syserr_nil_log(VT_SOURCE, __func__, __LINE__, count, __VA_ARGS__)
