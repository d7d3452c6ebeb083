// Handler stacks: an ordered ring of named message handlers sharing one working
// buffer. A channel runs every outgoing message through its send stack and every
// incoming frame through its receive stack; handlers are swapped by name while the
// channel runs (clear framing before key negotiation, encrypted framing after).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_string.h"

struct mg_connection;
struct vt_web;

// Handler results.
inline constexpr int vt_handle_next = 0;      // pass the message on
inline constexpr int vt_handle_done = 1;      // sent or consumed
inline constexpr int vt_handle_exception = 2; // dropped; the channel fails

// Positions for vt_core_add relative to the reference handler in the ring.
inline constexpr int vt_core_after = 1;  // runs immediately before the reference
inline constexpr int vt_core_before = 2; // runs immediately after the reference

// (connection, always 0, data, length, channel) -> vt_handle_next/done/exception.
// A handler that changes the message stores the new data, length and offset in the
// stack before returning vt_handle_next.
typedef int (*vt_handle_fn)(mg_connection *conn, int zero, uint8_t *data, size_t length,
                            vt_web *channel);

struct vt_handle {
    vt_string name;
    vt_handle_fn function;
    size_t reserve; // header bytes this handler adds on sending (removes on receiving)
    vt_handle *next;
    vt_handle *prev;
};

struct vt_core {
    uint8_t *buffer;
    size_t size;
    vt_handle *base;   // runs last; never removed
    vt_handle *cursor; // the handler the next vt_core_iter calls
    uint8_t *data;
    size_t length;
    size_t offset; // sending: where the next header goes; receiving: header bytes removed
    uint32_t tag;
};

// All return 0 on success and 1 on failure.
int vt_core_init(vt_core **slot, vt_handle_fn function, const char *name, size_t size);
int vt_core_deit(vt_core **slot);
int vt_core_add(vt_core *stack, vt_handle_fn function, const char *name, size_t reserve,
                vt_handle *reference, int position);
int vt_core_add_by_name(vt_core *stack, vt_handle_fn function, const char *name, size_t reserve,
                        const char *existing);
int vt_core_rem(vt_core *stack, const char *name);
int vt_core_resize(vt_core *stack, size_t amount, int shrink);
int vt_core_iter_reset(vt_core *stack, uint8_t *data, size_t length);
// Runs the cursor handler and returns its result (0, 1 or 2).
int vt_core_iter(vt_core *stack, mg_connection *conn, vt_web *channel);
// Runs the whole stack from a reset to the first non-zero result.
int vt_core_run(vt_core *stack, mg_connection *conn, vt_web *channel);
