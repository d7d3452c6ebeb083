// The channel: creation (state, stacks, connection, optional key negotiation),
// sending under the channel lock with a fresh tag per frame, receiving on the
// reader thread with the task found by the frame's tag, and the task operations
// that let a caller free a task while the reader may still be dispatching it.
#include "vt_web.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

struct web_destroyer {
    void operator()(vt_web *channel) const { vt_web_deit(&channel); }
};
using owned_web = std::unique_ptr<vt_web, web_destroyer>;

} // namespace

static uint32_t load32(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

static void store32(uint8_t *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = uint8_t(value >> (24 - 8 * i));
}

// Tag rule: counter + 1, skipping 0 after the largest value; the counter keeps it.
static uint32_t next_tag(vt_unique *state)
{
    state->tag = state->tag == UINT32_MAX ? 1 : state->tag + 1;
    return state->tag;
}

static void vt_web_fail(vt_web *channel)
{
    channel->failed = 1;
    vt_cond_signal(channel->event);
}

static int vt_unique_send(vt_unique *state, const uint8_t *data, size_t length)
{
    return mg_websocket_write(state->conn, mg_opcode_binary, data, length) != ssize_t(length);
}

uint64_t vt_web_frame_max(size_t stack_size)
{
    // The receive stack grows once by LZ4's worst case when encryption starts; a
    // frame holds at most that much compressed data plus the headers in the slack.
    const uint64_t grown = uint64_t(stack_size) + stack_size / 255 + 16;
    return grown + grown / 255 + 16 + vt_web_frame_slack;
}

// Builds the client record and connects; from here on the reader thread runs.
static int vt_client_init(vt_web *channel)
{
    vt_url *url = channel->url;
    int32_t port = 0;
    if (!url->port || str_int32(url->port, strlen(url->port), &port))
        return 1;
    auto *client = new (std::nothrow) vt_client{};
    if (!client)
        return 1;
    client->data_handler = vt_web_core_recv;
    client->close_handler = vt_client_close;
    client->channel = channel;
    client->init = channel->cfg->init;
    client->init_user_data = channel->cfg->init_user_data;
    client->payload_max = vt_web_frame_max(channel->cfg->stack_size);
    client->response_timeout_ms = channel->cfg->response_timeout_ms;
    channel->client = client;
    if (!mg_connect_websocket_client(url->host, url->port, url->path, client))
        return VT_ERR("failed to connect to %s:%s", url->host ? url->host : "", url->port);
    return 0;
}

// Clear framing: copy, tag, write on sending; tag, (negotiation,) dispatcher on receiving.
static int add_stack_handlers(vt_unique *state, const vt_web_keying *keying)
{
    vt_core *send = state->send;
    vt_core *recv = state->recv;
    if (vt_core_add(send, vt_web_task_send, vt_web_task_send_name, vt_web_tag_size, send->base,
                    vt_core_before) ||
        vt_core_add(send, vt_web_copy_send, vt_web_copy_send_name, 0, send->base, vt_core_before))
        return 1;
    if (keying &&
        vt_core_add(recv, keying->handler, keying->name, 0, recv->base, vt_core_before))
        return 1;
    return vt_core_add(recv, vt_web_task_recv, vt_web_task_recv_name, 0, recv->base, vt_core_before);
}

// Opens key negotiation and waits until the reader reports its end. The wait is
// bounded like the upgrade response, so a peer that upgrades and then stays silent
// cannot hold the caller forever.
static int negotiate(vt_web *channel, const vt_web_keying *keying)
{
    if (keying->start(channel))
        return 1;
    const unsigned ms = channel->cfg->response_timeout_ms ? channel->cfg->response_timeout_ms
                                                          : mg_response_timeout_ms;
    if (vt_cond_wait_timed(channel->event, ms))
        return VT_ERR("timeout on key negotiation after %u ms", ms);
    return channel->failed ? 1 : 0;
}

int vt_unique_init(vt_web *channel)
{
    if (VT_NIL(2, channel, channel ? channel->cfg : nullptr) || channel->state)
        return 1;
    auto *state = new (std::nothrow) vt_unique{};
    if (!state)
        return 1;
    channel->state = state;
    state->web = channel;
    state->tag = 1;
    const vt_cfg *cfg = channel->cfg;
    if (vt_core_init(&state->recv, cfg->caller, vt_web_recv_base_name, cfg->stack_size) ||
        vt_core_init(&state->send, vt_web_send, vt_web_send_base_name, cfg->stack_size) ||
        vt_rng_init(&state->rng) || vt_tree_init(&state->tree))
        return VT_ERR("failed to create web state");
    return 0;
}

int vt_unique_deit(vt_unique **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_unique *state = *slot;
    vt_aes_deit(&state->aes);
    vt_dh_deit(&state->dh);
    vt_tree_deit(&state->tree);
    vt_rng_deit(&state->rng);
    vt_core_deit(&state->recv);
    vt_core_deit(&state->send);
    memset(state->challenge, 0, sizeof state->challenge);
    delete state;
    *slot = nullptr;
    return 0;
}

int vt_web_init(vt_web **slot, int type, const char *url, vt_cfg *settings, void *user_data,
                const vt_web_keying *keying)
{
    if (VT_NIL(3, slot, url, settings) || *slot)
        return 1;
    if (type != vt_web_type_client)
        return VT_ERR("%d is invalid websocket type", type);
    owned_web channel(new (std::nothrow) vt_web{});
    if (!channel || vt_url_init(&channel->url, url, strlen(url)) || vt_lock_init(&channel->lock) ||
        vt_cond_init(&channel->event))
        return VT_ERR("failed to create web object for %s", url);
    channel->cfg = settings;
    channel->type = type;
    channel->user_data = user_data;
    channel->next = channel->prev = channel.get();
    channel->name = "client";
    // The state and its handlers exist before the reader starts, so even a frame that
    // a misbehaving peer sends early meets a complete receive stack.
    if (vt_unique_init(channel.get()) || add_stack_handlers(channel->state, keying))
        return VT_ERR("failed to create web state for %s", url);
    if (vt_client_init(channel.get()))
        return 1;
    vt_lock_acquire(channel->lock);
    channel->state->conn = channel->client->result;
    vt_lock_release(channel->lock);
    if (keying && negotiate(channel.get(), keying))
        return VT_ERR("failed to negotiate keys with %s", url);
    if (channel->failed)
        return VT_ERR("connection to %s failed", url);
    if (settings->cycler &&
        vt_cycler_init(&channel->cycler, channel.get(), settings->cycler, settings->cycler_ms))
        return VT_ERR("failed to start cycler for %s", url);
    *slot = channel.release();
    return 0;
}

int vt_web_deit(vt_web **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_web *channel = *slot;
    vt_cycler_deit(&channel->cycler);
    if (channel->client) {
        // Joins the reader, which runs the close handler before it ends.
        if (channel->client->result)
            mg_close_connection(channel->client->result);
        delete channel->client;
        channel->client = nullptr;
    }
    vt_unique_deit(&channel->state);
    vt_cond_deit(&channel->event);
    vt_lock_deit(&channel->lock);
    vt_url_deit(&channel->url);
    delete channel;
    *slot = nullptr;
    return 0;
}

// The body of a send, with the channel lock held: tag, task, one run of the stack.
static int vt_web_core_send(vt_web *channel, const void *data, size_t length, vt_task **task,
                            vt_buffer *buffer, uint32_t tag, void *user_data)
{
    vt_unique *state = channel->state;
    vt_core_iter_reset(state->send, static_cast<uint8_t *>(const_cast<void *>(data)), length);
    if (channel->type == vt_web_type_client) {
        tag = next_tag(state);
        if (task && (vt_task_init(task, tag, buffer, user_data) || vt_tree_insert(state->tree, *task)))
            return VT_ERR("task node and task tree failed on task tag %u", tag);
    }
    state->send->tag = tag;
    const int result = vt_core_run(state->send, state->conn, channel);
    if (result == vt_handle_done)
        return 0;
    if (result == vt_handle_exception && channel->type == vt_web_type_client)
        vt_web_fail(channel);
    return VT_ERR("failed to send message on task tag %u", tag);
}

int vt_web_send_base(vt_web *channel, const void *data, size_t length, vt_task **task,
                     vt_buffer *buffer, uint32_t tag, void *user_data)
{
    if (VT_NIL(2, channel, data) || !channel->state)
        return 1;
    if (vt_lock_acquire(channel->lock))
        return VT_ERR("failed to lock web object");
    // The lock spans the socket write: frames never interleave and tags go out in order.
    const int result = vt_web_core_send(channel, data, length, task, buffer, tag, user_data);
    if (vt_lock_release(channel->lock))
        return VT_ERR("failed unlock web object");
    return result;
}

int vt_web_conn_fail(vt_web *channel)
{
    if (VT_NIL(1, channel))
        return 1;
    return vt_cond_signal(channel->event);
}

int vt_web_user_data_(vt_web *channel, void **out)
{
    if (!channel || !out)
        return VT_ERR("invalid paramaters");
    if (vt_lock_acquire(channel->lock))
        return VT_ERR("failed to lock web object");
    *out = channel->user_data;
    if (vt_lock_release(channel->lock))
        return VT_ERR("failed to unlock web object");
    return 0;
}

int vt_web_task(vt_web *channel, vt_task **out)
{
    if (!channel || !out || !channel->state)
        return VT_ERR("invalid paramaters");
    if (vt_lock_acquire(channel->lock))
        return VT_ERR("failed to lock web object");
    *out = channel->state->task;
    if (vt_lock_release(channel->lock))
        return VT_ERR("failed to unlock web object");
    return *out ? 0 : VT_ERR("failed to get task node");
}

int vt_web_task_clear(vt_web *channel)
{
    if (!channel || !channel->state)
        return VT_ERR("invalid paramaters");
    if (vt_lock_acquire(channel->lock))
        return VT_ERR("failed to lock web object");
    if (channel->state->task)
        vt_task_unlock(channel->state->task);
    channel->state->task = nullptr;
    if (vt_lock_release(channel->lock))
        return VT_ERR("failed to unlock web object");
    return 0;
}

int vt_web_task_search(vt_web *channel, uint32_t tag)
{
    if (!channel || !channel->state)
        return VT_ERR("invalid paramater");
    if (vt_lock_acquire(channel->lock))
        return VT_ERR("failed to lock web object");
    vt_task *task = nullptr;
    int result = vt_tree_search(channel->state->tree, &task, tag);
    // The task's lock is taken inside the channel lock and kept until the clear, so a
    // caller freeing the task waits for this dispatch.
    if (result == 0 && vt_task_lock(task))
        result = VT_ERR("failed to lock task node");
    else if (result == 0)
        channel->state->task = task;
    if (vt_lock_release(channel->lock))
        return VT_ERR("failed to unlock web object");
    return result;
}

int vt_web_task_free(vt_web *channel, vt_task **task)
{
    if (!channel || !task || !*task || !channel->state)
        return VT_ERR("invalid paramaters");
    if (vt_lock_acquire(channel->lock))
        return VT_ERR("failed to lock web object");
    vt_tree_delete(channel->state->tree, *task);
    if (vt_lock_release(channel->lock))
        return VT_ERR("failed to unlock web object");
    // Outside the channel lock: a reader dispatching this task holds its lock and
    // needs the channel lock to clear it.
    vt_task_lock(*task);
    vt_task_unlock(*task);
    return vt_task_deit(task);
}

int vt_web_copy_send(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    vt_core *stack = channel->state->send;
    if (stack->offset > stack->size || stack->size - stack->offset < length) {
        VT_ERR("message of %zu bytes exceeds the send buffer", length);
        return vt_handle_exception;
    }
    if (length)
        memmove(stack->buffer + stack->offset, data, length);
    stack->data = stack->buffer + stack->offset;
    return vt_handle_next;
}

int vt_web_task_send(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    vt_core *stack = channel->state->send;
    // The tag goes right in front of the data that the previous handler placed.
    if (stack->offset < vt_web_tag_size || data != stack->buffer + stack->offset) {
        VT_ERR("failed to place task tag %u", stack->tag);
        return vt_handle_exception;
    }
    stack->offset -= vt_web_tag_size;
    store32(stack->buffer + stack->offset, stack->tag);
    stack->data = stack->buffer + stack->offset;
    stack->length = length + vt_web_tag_size;
    return vt_handle_next;
}

int vt_web_send(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    if (channel->type != vt_web_type_client && channel->type != vt_web_type_server) {
        VT_ERR("invalid websocket type (%d)", channel->type);
        return vt_handle_exception;
    }
    return vt_unique_send(channel->state, data, length) ? vt_handle_exception : vt_handle_done;
}

int vt_web_task_recv(mg_connection *, int, uint8_t *data, size_t length, vt_web *channel)
{
    vt_core *stack = channel->state->recv;
    if (length < vt_web_tag_size) {
        VT_ERR("failed to read task tag from a frame of %zu bytes", length);
        return vt_handle_exception;
    }
    stack->tag = load32(data);
    // A tag without a task is no error: the dispatcher sees no current task.
    if (channel->type == vt_web_type_client)
        vt_web_task_search(channel, stack->tag);
    stack->data = data + vt_web_tag_size;
    stack->length = length - vt_web_tag_size;
    stack->offset += vt_web_tag_size;
    return vt_handle_next;
}

int vt_web_core_recv(mg_connection *conn, int, uint8_t *payload, size_t length, void *)
{
    auto *channel = static_cast<vt_web *>(mg_get_user_connection_data(conn));
    if (!channel || !channel->state)
        return VT_ERR("failed to get web object");
    vt_core *stack = channel->state->recv;
    vt_core_iter_reset(stack, payload, length);
    stack->offset = 0;
    int stop = 0;
    if (vt_core_run(stack, conn, channel) == vt_handle_exception) {
        VT_ERR("connection disconnected on exception in receiving core");
        if (channel->type == vt_web_type_client)
            vt_web_fail(channel);
        stop = 1;
    }
    if (vt_web_task_clear(channel))
        stop = VT_ERR("failed to clear task object");
    return stop;
}

void vt_client_close(const mg_connection *conn, void *)
{
    auto *channel = static_cast<vt_web *>(mg_get_user_data(mg_get_context(conn)));
    if (channel && channel->event)
        vt_web_fail(channel);
}
