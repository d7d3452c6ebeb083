// Growable byte buffer that can also be linked into rings of buffers.
//
// Growth is exact (no doubling, no shrinking); an emptied buffer keeps its area,
// so an owner that reuses one buffer stops allocating once it reached its size.
// Every function returns 0 on success and 1 on failure and reports nothing.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct vt_buffer {
    size_t used;
    size_t capacity;
    uint8_t *data;
    vt_buffer *next;
    vt_buffer *prev;
};

int vt_buffer_init(vt_buffer **slot, size_t capacity);
int vt_buffer_deit(vt_buffer **slot);
int vt_buffer_write(vt_buffer *buffer, const void *bytes, size_t count);
// Appends printf-formatted text plus a zero byte that is not counted in used.
int vt_buffer_print(vt_buffer *buffer, const char *format, ...) __attribute__((format(printf, 2, 3)));
int vt_buffer_vprint(vt_buffer *buffer, const char *format, va_list args);
int vt_buffer_resize(vt_buffer *buffer, size_t extra);
int vt_buffer_ptr_(vt_buffer *buffer, uint8_t **data, size_t *used);
// Reserves count bytes at offset and sets used to offset.
int vt_buffer_malloc_(vt_buffer *buffer, uint8_t **out, size_t offset, size_t count);
int vt_buffer_calloc_(vt_buffer *buffer, uint8_t **out, size_t offset, size_t count);
// JSON dump callback: 0 on success, -1 on failure.
int vt_buffer_dumps(const char *bytes, size_t count, void *buffer);
int vt_buffer_append(vt_buffer *head, vt_buffer *other);
int vt_buffer_remove(vt_buffer *buffer);

// Debug dumps to standard error: "%3u", "%02x" and "%c" per byte.
void buf_dump(const char *tag, const void *address, size_t length);
void hex_dump(const char *tag, const void *address, size_t length);
void chr_dump(const char *tag, const void *address, size_t length);
