// Handler stacks: the ring of named handlers, its shared buffer and one run of a
// message through it. The ring is circular and starts at the base; a run walks it
// backwards from the base's predecessor and ends with the base.
#include "vt_core.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "vt_syslog.h"

static vt_handle *handle_new(vt_handle_fn function, const char *name, size_t reserve)
{
    if (!function || !name || !*name)
        return nullptr;
    auto *handle = new (std::nothrow) vt_handle{};
    if (!handle)
        return nullptr;
    if (vt_string_copy(&handle->name, name, strlen(name))) {
        delete handle;
        return nullptr;
    }
    handle->function = function;
    handle->reserve = reserve;
    handle->next = handle->prev = handle;
    return handle;
}

static void handle_free(vt_handle *handle)
{
    vt_string_free(&handle->name);
    delete handle;
}

// Links `handle` into the ring after (position 1) or before (position 2) `reference`.
static int vt_handle_append(vt_handle *reference, vt_handle *handle, int position)
{
    if (VT_NIL(2, reference, handle))
        return 1;
    if (position != vt_core_after && position != vt_core_before)
        return 1;
    vt_handle *prev = position == vt_core_after ? reference : reference->prev;
    vt_handle *next = prev->next;
    handle->prev = prev;
    handle->next = next;
    prev->next = handle;
    next->prev = handle;
    return 0;
}

static int vt_handle_remove(vt_handle *handle)
{
    if (VT_NIL(1, handle))
        return 1;
    handle->prev->next = handle->next;
    handle->next->prev = handle->prev;
    handle->next = handle->prev = handle;
    return 0;
}

static vt_handle *find_handle(vt_core *stack, const char *name)
{
    if (!name)
        return nullptr;
    vt_handle *handle = stack->base;
    do {
        if (strcmp(handle->name.text, name) == 0)
            return handle;
        handle = handle->next;
    } while (handle != stack->base);
    return nullptr;
}

int vt_core_init(vt_core **slot, vt_handle_fn function, const char *name, size_t size)
{
    if (!slot || *slot || !function || !name || !size)
        return 1;
    auto *stack = new (std::nothrow) vt_core{};
    if (!stack)
        return 1;
    stack->buffer = static_cast<uint8_t *>(calloc(1, size));
    stack->base = handle_new(function, name, 0);
    if (!stack->buffer || !stack->base) {
        free(stack->buffer);
        if (stack->base)
            handle_free(stack->base);
        delete stack;
        return 1;
    }
    stack->size = size;
    stack->cursor = stack->base;
    *slot = stack;
    return 0;
}

int vt_core_deit(vt_core **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_core *stack = *slot;
    while (stack->base->next != stack->base) {
        vt_handle *handle = stack->base->next;
        vt_handle_remove(handle);
        handle_free(handle);
    }
    handle_free(stack->base);
    free(stack->buffer);
    delete stack;
    *slot = nullptr;
    return 0;
}

int vt_core_resize(vt_core *stack, size_t amount, int shrink)
{
    if (VT_NIL(1, stack))
        return 1;
    if (amount == 0)
        return 0;
    // A buffer of zero bytes would leave no room for any message.
    if (shrink && amount >= stack->size)
        return VT_ERR("protocol stack cannot be set to zero");
    if (!shrink && stack->size + amount < stack->size)
        return 1;
    const size_t size = shrink ? stack->size - amount : stack->size + amount;
    auto *buffer = static_cast<uint8_t *>(realloc(stack->buffer, size));
    if (!buffer)
        return 1;
    if (size > stack->size)
        memset(buffer + stack->size, 0, size - stack->size);
    stack->buffer = buffer;
    stack->size = size;
    return 0;
}

int vt_core_add(vt_core *stack, vt_handle_fn function, const char *name, size_t reserve,
                vt_handle *reference, int position)
{
    if (VT_NIL(1, stack))
        return 1;
    vt_handle *handle = handle_new(function, name, reserve);
    if (!handle)
        return VT_ERR("failed to create handle object for '%s'", name ? name : "");
    if (vt_handle_append(reference, handle, position)) {
        handle_free(handle);
        return VT_ERR("failed to append '%s'", name);
    }
    if (vt_core_resize(stack, reserve, 0)) {
        vt_handle_remove(handle);
        handle_free(handle);
        return VT_ERR("failed to allocate %zu for handle '%s'", reserve, name);
    }
    return 0;
}

int vt_core_add_by_name(vt_core *stack, vt_handle_fn function, const char *name, size_t reserve,
                        const char *existing)
{
    if (VT_NIL(2, stack, existing))
        return 1;
    vt_handle *reference = find_handle(stack, existing);
    if (!reference)
        return VT_ERR("failed to search for handle '%s'", existing);
    return vt_core_add(stack, function, name, reserve, reference, vt_core_after);
}

int vt_core_rem(vt_core *stack, const char *name)
{
    if (VT_NIL(2, stack, name))
        return 1;
    vt_handle *handle = find_handle(stack, name);
    if (!handle)
        return VT_ERR("failed to search for handle '%s'", name);
    if (handle == stack->base)
        return VT_ERR("failed to remove base handle object");
    if (stack->cursor == handle)
        stack->cursor = handle->prev;
    if (vt_handle_remove(handle))
        return VT_ERR("failed to remove handle '%s'", name);
    // The handler is gone from the ring whatever the buffer does next.
    const size_t reserve = handle->reserve;
    handle_free(handle);
    if (vt_core_resize(stack, reserve, 1))
        return VT_ERR("failed to deallocate %zu for handle '%s'", reserve, name);
    return 0;
}

int vt_core_iter_reset(vt_core *stack, uint8_t *data, size_t length)
{
    if (!stack)
        return 1;
    size_t reserves = 0;
    vt_handle *handle = stack->base;
    do {
        reserves += handle->reserve;
        handle = handle->next;
    } while (handle != stack->base);
    stack->cursor = stack->base->prev;
    stack->data = data;
    stack->length = length;
    stack->offset = reserves;
    return 0;
}

int vt_core_iter(vt_core *stack, mg_connection *conn, vt_web *channel)
{
    if (!stack)
        return vt_handle_exception;
    vt_handle *handle = stack->cursor;
    const bool base = handle == stack->base;
    // The cursor moves before the call: a handler may change the ring while it runs,
    // even remove itself (key negotiation does, when it completes).
    stack->cursor = handle->prev;
    int result = handle->function(conn, 0, stack->data, stack->length, channel);
    // Nothing runs after the base: a base that passes the message on has lost it.
    if (base && result == vt_handle_next)
        result = vt_handle_exception;
    return result;
}

int vt_core_run(vt_core *stack, mg_connection *conn, vt_web *channel)
{
    int result;
    while ((result = vt_core_iter(stack, conn, channel)) == vt_handle_next)
        ;
    return result;
}
