// Growable byte buffers with ring links, and the debug byte dumps.
//
// Growth is exact: an append that does not fit reallocates to exactly what is
// needed. Every size sum is checked for overflow before it is used.
#include "vt_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Adds two sizes; returns 1 on overflow.
static int size_add(size_t a, size_t b, size_t *sum)
{
    return __builtin_add_overflow(a, b, sum) ? 1 : 0;
}

// Grows the data area to exactly `capacity` bytes, zero-filling the new part.
// A failed growth leaves the old area and content in place.
static int grow_to(vt_buffer *buffer, size_t capacity)
{
    if (capacity <= buffer->capacity)
        return 0;
    auto *data = static_cast<uint8_t *>(realloc(buffer->data, capacity));
    if (!data)
        return 1;
    memset(data + buffer->capacity, 0, capacity - buffer->capacity);
    buffer->data = data;
    buffer->capacity = capacity;
    return 0;
}

int vt_buffer_init(vt_buffer **slot, size_t capacity)
{
    if (!slot || *slot)
        return 1;
    auto *buffer = static_cast<vt_buffer *>(calloc(1, sizeof(vt_buffer)));
    if (!buffer)
        return 1;
    if (capacity && grow_to(buffer, capacity)) {
        free(buffer);
        return 1;
    }
    buffer->next = buffer->prev = buffer;
    *slot = buffer;
    return 0;
}

int vt_buffer_deit(vt_buffer **slot)
{
    if (!slot || !*slot)
        return 1;
    free((*slot)->data);
    free(*slot);
    *slot = nullptr;
    return 0;
}

int vt_buffer_write(vt_buffer *buffer, const void *bytes, size_t count)
{
    size_t needed;
    if (!buffer || !bytes || !count || size_add(buffer->used, count, &needed))
        return 1;
    if (grow_to(buffer, needed))
        return 1;
    memcpy(buffer->data + buffer->used, bytes, count);
    buffer->used = needed;
    return 0;
}

int vt_buffer_vprint(vt_buffer *buffer, const char *format, va_list args)
{
    if (!buffer || !format)
        return 1;
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    size_t needed;
    if (length <= 0 || size_add(buffer->used, size_t(length) + 1, &needed))
        return 1;
    if (grow_to(buffer, needed))
        return 1;
    int written = vsnprintf(reinterpret_cast<char *>(buffer->data + buffer->used),
                            size_t(length) + 1, format, args);
    if (written != length)
        return 1;
    buffer->used += size_t(length);
    return 0;
}

int vt_buffer_print(vt_buffer *buffer, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vt_buffer_vprint(buffer, format, args);
    va_end(args);
    return result;
}

int vt_buffer_resize(vt_buffer *buffer, size_t extra)
{
    size_t needed;
    if (!buffer || !extra || size_add(buffer->used, extra, &needed))
        return 1;
    return grow_to(buffer, needed);
}

int vt_buffer_ptr_(vt_buffer *buffer, uint8_t **data, size_t *used)
{
    if (!buffer || !data || !used)
        return 1;
    *data = buffer->data;
    *used = buffer->used;
    return 0;
}

int vt_buffer_malloc_(vt_buffer *buffer, uint8_t **out, size_t offset, size_t count)
{
    size_t needed;
    if (!buffer || !out || !count || size_add(offset, count, &needed))
        return 1;
    if (offset < buffer->capacity) {
        buffer->used = offset;
        if (grow_to(buffer, needed))
            return 1;
    } else {
        buffer->used = buffer->capacity;
        if (grow_to(buffer, needed))
            return 1;
        buffer->used = offset;
    }
    *out = buffer->data + offset;
    return 0;
}

int vt_buffer_calloc_(vt_buffer *buffer, uint8_t **out, size_t offset, size_t count)
{
    if (vt_buffer_malloc_(buffer, out, offset, count))
        return 1;
    memset(*out, 0, count);
    return 0;
}

int vt_buffer_dumps(const char *bytes, size_t count, void *buffer)
{
    return vt_buffer_write(static_cast<vt_buffer *>(buffer), bytes, count) ? -1 : 0;
}

int vt_buffer_append(vt_buffer *head, vt_buffer *other)
{
    if (!head || !other)
        return 1;
    // The ring of `other` is opened after `other`, so its successor comes first
    // and `other` itself lands last, just in front of `head`.
    vt_buffer *first = other->next;
    vt_buffer *tail = head->prev;
    tail->next = first;
    first->prev = tail;
    other->next = head;
    head->prev = other;
    return 0;
}

int vt_buffer_remove(vt_buffer *buffer)
{
    if (!buffer)
        return 1;
    buffer->prev->next = buffer->next;
    buffer->next->prev = buffer->prev;
    buffer->next = buffer->prev = buffer;
    return 0;
}

// Writes the dump header and the bytes, one format per byte, sixteen per line.
static void dump(const char *tag, const void *address, size_t length, const char *format)
{
    if (!length)
        return;
    fprintf(stderr, "TAG[%s] ADDRESS [%p] LENGTH[%zu]\n", tag, address, length);
    const auto *bytes = static_cast<const uint8_t *>(address);
    for (size_t i = 0; i < length; ++i) {
        fprintf(stderr, format, bytes[i]);
        fputc((i + 1) % 16 == 0 ? '\n' : ' ', stderr);
    }
    fputc('\n', stderr);
}

void buf_dump(const char *tag, const void *address, size_t length)
{
    dump(tag, address, length, "%3u");
}

void hex_dump(const char *tag, const void *address, size_t length)
{
    dump(tag, address, length, "%02x");
}

void chr_dump(const char *tag, const void *address, size_t length)
{
    dump(tag, address, length, "%c");
}
