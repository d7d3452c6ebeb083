// The cycler thread runs the callback from the event's timed loop, with the
// event's mutex held, so stopping it (signal, then join) waits for a callback
// that is still running and never cuts one short.
#include "vt_cycler.h"

#include <new>

static void *vt_cycler_thread(void *argument)
{
    auto *cycler = static_cast<vt_cycler *>(argument);
    vt_cond_loop(cycler->event, cycler->user_data, cycler->callback, cycler->period_ms);
    return nullptr;
}

int vt_cycler_init(vt_cycler **slot, void *user_data, vt_cycler_cb callback, unsigned period_ms)
{
    if (!slot || *slot || !callback)
        return 1;
    auto *cycler = new (std::nothrow) vt_cycler{user_data, callback, period_ms, nullptr, nullptr};
    if (!cycler)
        return 1;
    if (vt_cond_init(&cycler->event) || vt_thread_init(&cycler->thread) ||
        vt_thread_start(cycler->thread, vt_cycler_thread, cycler)) {
        vt_thread_deit(&cycler->thread);
        vt_cond_deit(&cycler->event);
        delete cycler;
        return 1;
    }
    *slot = cycler;
    return 0;
}

int vt_cycler_deit(vt_cycler **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_cycler *cycler = *slot;
    vt_cond_signal(cycler->event);
    vt_thread_join(cycler->thread);
    vt_thread_deit(&cycler->thread);
    vt_cond_deit(&cycler->event);
    delete cycler;
    *slot = nullptr;
    return 0;
}
