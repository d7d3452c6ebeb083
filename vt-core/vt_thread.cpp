// Thread handles and auto-reset conditions over POSIX threads. Deadlines are
// absolute calendar times built from whole seconds, which is what the condition
// variable's default clock (the realtime clock) expects.
#include "vt_thread.h"

#include <cerrno>
#include <ctime>
#include <memory>
#include <new>

namespace {

struct cond_free {
    void operator()(vt_cond *cond) const { delete cond; }
};
using cond_ptr = std::unique_ptr<vt_cond, cond_free>;

// The current calendar second on the condition variables' clock. time() may read
// a coarser clock that lags the one the deadlines are measured against.
time_t calendar_second()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// Deadline `milliseconds` after the start of the current calendar second.
timespec whole_second_deadline(unsigned milliseconds)
{
    timespec deadline{};
    deadline.tv_sec = calendar_second() + time_t(milliseconds / 1000);
    deadline.tv_nsec = long(milliseconds % 1000) * 1000000L;
    return deadline;
}

// Consumes a pending signal; 0 when there was one. Called with the mutex held.
int take_flag(vt_cond *cond)
{
    if (!cond->flag)
        return 1;
    cond->flag = 0;
    return 0;
}

} // namespace

int vt_thread_init(vt_thread **slot)
{
    if (!slot || *slot)
        return 1;
    *slot = new (std::nothrow) vt_thread{};
    return *slot ? 0 : 1;
}

int vt_thread_deit(vt_thread **slot)
{
    if (!slot || !*slot)
        return 1;
    delete *slot;
    *slot = nullptr;
    return 0;
}

int vt_thread_start(vt_thread *thread, vt_thread_fn function, void *argument)
{
    // A second start would lose the only id through which the first thread can be joined.
    if (!thread || !function || thread->running)
        return 1;
    if (pthread_create(&thread->id, nullptr, function, argument) != 0)
        return 1;
    thread->running = true;
    return 0;
}

int vt_thread_join(vt_thread *thread)
{
    if (!thread || !thread->running)
        return 1;
    if (pthread_join(thread->id, nullptr) != 0)
        return 1;
    // The id is dead now; joining it again would be undefined.
    thread->running = false;
    return 0;
}

int vt_cond_init(vt_cond **slot)
{
    if (!slot || *slot)
        return 1;
    cond_ptr cond(new (std::nothrow) vt_cond{});
    if (!cond || pthread_mutex_init(&cond->mutex, nullptr) != 0)
        return 1;
    if (pthread_cond_init(&cond->cond, nullptr) != 0) {
        pthread_mutex_destroy(&cond->mutex);
        return 1;
    }
    *slot = cond.release();
    return 0;
}

int vt_cond_deit(vt_cond **slot)
{
    if (!slot || !*slot)
        return 1;
    cond_ptr cond(*slot);
    *slot = nullptr;
    int failed = pthread_cond_destroy(&cond->cond) != 0;
    failed |= pthread_mutex_destroy(&cond->mutex) != 0;
    return failed;
}

int vt_cond_signal(vt_cond *cond)
{
    if (!cond || pthread_mutex_lock(&cond->mutex) != 0)
        return 1;
    cond->flag = 1;
    // Wake while still holding the mutex: a waiter cannot return before the unlock,
    // so an owner that frees the condition right after its wait (a completed task)
    // never has it freed under a signal still in progress.
    int failed = pthread_cond_signal(&cond->cond) != 0;
    failed |= pthread_mutex_unlock(&cond->mutex) != 0;
    return failed;
}

int vt_cond_wait(vt_cond *cond)
{
    if (!cond || pthread_mutex_lock(&cond->mutex) != 0)
        return 1;
    int error = 0;
    while (!cond->flag && error == 0)
        error = pthread_cond_wait(&cond->cond, &cond->mutex);
    int result = take_flag(cond);
    result |= pthread_mutex_unlock(&cond->mutex) != 0;
    return result;
}

int vt_cond_wait_timed(vt_cond *cond, unsigned milliseconds)
{
    if (!cond)
        return 1;
    // Computed before locking: time spent waiting for the mutex counts against the wait.
    const timespec deadline = whole_second_deadline(milliseconds);
    if (pthread_mutex_lock(&cond->mutex) != 0)
        return 1;
    int error = 0;
    while (!cond->flag && error == 0)
        error = pthread_cond_timedwait(&cond->cond, &cond->mutex, &deadline);
    int result = take_flag(cond);
    result |= pthread_mutex_unlock(&cond->mutex) != 0;
    return result;
}

int vt_cond_loop(vt_cond *cond, void *argument, vt_cond_loop_fn function, unsigned milliseconds)
{
    if (!cond || !function || pthread_mutex_lock(&cond->mutex) != 0)
        return 1;
    // Shorter intervals count as one second rather than calling the function back to back.
    const time_t interval = milliseconds < 1000 ? 1 : time_t(milliseconds / 1000);
    time_t previous = 0;
    int result = 0;
    while (!cond->flag) {
        // Deadlines strictly increase, so the function runs at most once per calendar
        // second even when the clock has not moved past the previous deadline.
        time_t seconds = calendar_second() + interval;
        if (seconds <= previous)
            seconds = previous + 1;
        previous = seconds;
        const timespec deadline{seconds, 0};
        int error = 0;
        // A wake-up without the flag is spurious: keep waiting for the same deadline.
        while (!cond->flag && error == 0)
            error = pthread_cond_timedwait(&cond->cond, &cond->mutex, &deadline);
        if (cond->flag || error != ETIMEDOUT) {
            result = 1;
            break;
        }
        if (function(argument) != 0)
            break;
    }
    result |= pthread_mutex_unlock(&cond->mutex) != 0;
    return result;
}
