// A channel's optional periodic thread: calls a callback once per period (whole
// seconds, at least one) until it is stopped or the callback returns non-zero.
#pragma once

#include "vt_cfg.h"
#include "vt_thread.h"

struct vt_cycler {
    void *user_data;
    vt_cycler_cb callback;
    unsigned period_ms;
    vt_cond *event;
    vt_thread *thread;
};

// Both return 0 on success and 1 on failure; init reports nothing and leaves
// nothing behind. deit waits for a callback that is running.
int vt_cycler_init(vt_cycler **slot, void *user_data, vt_cycler_cb callback, unsigned period_ms);
int vt_cycler_deit(vt_cycler **slot);
