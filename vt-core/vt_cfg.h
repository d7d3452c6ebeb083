// Transport settings: what a channel is created from. The protocol dispatcher that
// ends every receive stack and the stacks' buffer size, optional callbacks, and
// Diffie-Hellman parameters (certificate or raw form) for key negotiation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_core.h"
#include "vt_string.h"
#include "vt_websocket.h"

// Periodic callback of a channel's cycler, called with the channel; non-zero stops it.
typedef int (*vt_cycler_cb)(void *user);
// Listening channels only (never created by the examiner).
typedef void (*vt_closed_cb)(vt_web *channel);

inline constexpr unsigned vt_cfg_cycler_min_ms = 1000;

struct vt_cfg {
    vt_handle_fn caller;
    size_t stack_size;
    mg_init_handler init;
    void *init_user_data;
    vt_cycler_cb cycler;
    unsigned cycler_ms;
    vt_closed_cb closed;
    uint8_t *certificate;
    size_t certificate_length;
    int32_t inherit; // copy the next server's parameters into these settings, once
    vt_string prime;
    vt_string base;
    // How long the peer may take to answer the upgrade and each negotiation step;
    // 0 selects mg_response_timeout_ms.
    unsigned response_timeout_ms;
};

// All return 0 on success and 1 on failure.
int vt_cfg_init(vt_cfg **slot);
int vt_cfg_deit(vt_cfg **slot);
int vt_cfg_set_caller(vt_cfg *cfg, vt_handle_fn caller, size_t stack_size);
int vt_cfg_set_init(vt_cfg *cfg, mg_init_handler init, void *user);
int vt_cfg_set_cycler(vt_cfg *cfg, vt_cycler_cb cycler, unsigned milliseconds);
int vt_cfg_set_closed(vt_cfg *cfg, vt_closed_cb closed);
int vt_cfg_set_diffie(vt_cfg *cfg, const char *path);
int vt_cfg_set_diffie_buf(vt_cfg *cfg, const uint8_t *der, size_t length);
int vt_cfg_set_diffie_link(vt_cfg *cfg);
int vt_cfg_set_diffie_raw(vt_cfg *cfg, const uint8_t *prime, size_t prime_length, const uint8_t *base,
                          size_t base_length);
