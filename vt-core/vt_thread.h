// Thread handles and auto-reset conditions: the system's only synchronisation
// layer over POSIX threads. Every call returns 0 on success and 1 on failure and
// reports nothing; the callers report.
#pragma once

#include <pthread.h>

// A thread handle; `running` is set between a successful start and its join, so a
// join on a handle that holds no thread fails instead of joining a stale id.
struct vt_thread {
    pthread_t id;
    bool running;
};

// Auto-reset event: a signal sets the flag, the wait that consumes it clears it,
// and a signal sent while nobody waits stays recorded until the next wait.
struct vt_cond {
    int flag;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
};

typedef void *(*vt_thread_fn)(void *argument);
// Called by vt_cond_loop after each interval without a signal; non-zero ends the loop.
typedef int (*vt_cond_loop_fn)(void *argument);

// The slot must be empty; deit frees the handle only (no join, no detach).
int vt_thread_init(vt_thread **slot);
int vt_thread_deit(vt_thread **slot);
// Starts a joinable thread with default attributes; 1 if the handle already holds
// an unjoined thread or the system refuses.
int vt_thread_start(vt_thread *thread, vt_thread_fn function, void *argument);
// Waits for the thread to end and discards its return value; 1 when the handle
// holds no thread or the join fails.
int vt_thread_join(vt_thread *thread);

int vt_cond_init(vt_cond **slot);
int vt_cond_deit(vt_cond **slot);
int vt_cond_signal(vt_cond *cond);
// Waits until signalled, then clears the flag.
int vt_cond_wait(vt_cond *cond);
// Waits until signalled (0, flag cleared) or the deadline passes (1). The deadline
// counts from the current whole calendar second, so the wait may end up to one
// second early; 0 ms returns at once.
int vt_cond_wait_timed(vt_cond *cond, unsigned milliseconds);
// Calls function(argument), with the condition's mutex held, once per interval
// (whole seconds, at least one) until the condition is signalled (result 1, flag
// left set) or the function returns non-zero (result 0). Entered signalled, it
// calls nothing and returns 0. The function must not signal or wait on `cond`.
int vt_cond_loop(vt_cond *cond, void *argument, vt_cond_loop_fn function, unsigned milliseconds);
