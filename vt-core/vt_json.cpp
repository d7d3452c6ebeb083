// JSON document helpers: handle records over jansson values, typed setters and
// getters, and the encodings to text, byte buffers and files. Every encoding is
// indented by four blanks with sorted keys, so equal documents give equal bytes.
#include "vt_json.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "vt_buffer.h"
#include "vt_string.h"
#include "vt_misc.h"
#include "vt_syslog.h"

namespace {

// The one dump format of every document: JSON_INDENT(4) | JSON_SORT_KEYS.
constexpr size_t kDumpFlags = JSON_INDENT(4) | JSON_SORT_KEYS;
static_assert(kDumpFlags == 0x84);

// The encode scratch area starts at this size and grows by whole multiples of it.
constexpr size_t kScratchStart = 256;

struct json_deleter {
    void operator()(json_t *value) const { json_decref(value); }
};
using json_ptr = std::unique_ptr<json_t, json_deleter>;

struct fd_closer {
    int fd = -1;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Wraps one reference to root in a new object handle stored in the empty slot.
// The reference is consumed in every case.
int adopt_obj(vt_json_obj **slot, json_t *root)
{
    json_ptr owned(root);
    if (!slot || *slot || !owned)
        return 1;
    auto *obj = static_cast<vt_json_obj *>(calloc(1, sizeof(vt_json_obj)));
    if (!obj)
        return 1;
    obj->root = owned.release();
    *slot = obj;
    return 0;
}

int adopt_arr(vt_json_arr **slot, json_t *array)
{
    json_ptr owned(array);
    if (!slot || *slot || !owned)
        return 1;
    auto *arr = static_cast<vt_json_arr *>(calloc(1, sizeof(vt_json_arr)));
    if (!arr)
        return 1;
    arr->array = owned.release();
    *slot = arr;
    return 0;
}

// Stores a new value under key; the library drops the value when it refuses
// the key, which leaves the old value in place.
int set_value(vt_json_obj *obj, const char *key, json_t *value)
{
    if (!value)
        return 1;
    return json_object_set_new(obj->root, key, value) ? 1 : 0;
}

const json_t *value_of(const vt_json_obj *obj, const char *key)
{
    return json_object_get(obj->root, key);
}

// Grows the scratch area to cover `needed` bytes: the capacity is raised by the
// smallest whole multiple of itself that covers the shortfall, so it at least
// doubles and repeated small pieces do not reallocate every time.
int scratch_grow(vt_json_obj *obj, size_t needed)
{
    if (needed <= obj->capacity)
        return 0;
    size_t step = obj->capacity ? obj->capacity : kScratchStart;
    size_t shortfall = needed - obj->capacity;
    size_t multiples = shortfall / step + (shortfall % step != 0);
    size_t extra, capacity;
    if (__builtin_mul_overflow(multiples, step, &extra) ||
        __builtin_add_overflow(obj->capacity, extra, &capacity))
        return 1;
    auto *text = static_cast<char *>(realloc(obj->text, capacity));
    if (!text)
        return 1;
    obj->text = text;
    obj->capacity = capacity;
    return 0;
}

int scratch_dump_cb(const char *bytes, size_t count, void *data)
{
    auto *obj = static_cast<vt_json_obj *>(data);
    size_t needed;
    if (__builtin_add_overflow(obj->used, count, &needed) || scratch_grow(obj, needed))
        return -1;
    memcpy(obj->text + obj->used, bytes, count);
    obj->used = needed;
    return 0;
}

void scratch_free(vt_json_obj *obj)
{
    free(obj->text);
    obj->text = nullptr;
    obj->used = obj->capacity = 0;
}

// Terminates the scratch text, growing by exactly one byte when it is full.
int scratch_terminate(vt_json_obj *obj)
{
    if (obj->used == obj->capacity) {
        auto *text = static_cast<char *>(realloc(obj->text, obj->capacity + 1));
        if (!text)
            return 1;
        obj->text = text;
        obj->capacity += 1;
    }
    obj->text[obj->used++] = '\0';
    return 0;
}

// Reader over a byte range for json_load_callback: hands out what the library
// asks for from a moving position and 0 at the end.
struct range_reader {
    const uint8_t *next;
    size_t left;
};

size_t range_read_cb(void *out, size_t size, void *data)
{
    auto *reader = static_cast<range_reader *>(data);
    size_t count = size < reader->left ? size : reader->left;
    memcpy(out, reader->next, count);
    reader->next += count;
    reader->left -= count;
    return count;
}

// Reader over a file descriptor; a read error ends the parse and keeps errno so
// the caller can report it under its own name.
struct file_reader {
    int fd;
    int error;
};

size_t file_read_cb(void *out, size_t size, void *data)
{
    auto *reader = static_cast<file_reader *>(data);
    for (;;) {
        ssize_t count = read(reader->fd, out, size);
        if (count >= 0)
            return size_t(count);
        if (errno != EINTR) {
            reader->error = errno;
            return size_t(-1);
        }
    }
}

} // namespace

int vt_json_obj_init(vt_json_obj **slot)
{
    if (!slot || *slot)
        return 1;
    return adopt_obj(slot, json_object());
}

int vt_json_obj_deit(vt_json_obj **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_json_obj *obj = *slot;
    json_decref(obj->root);
    free(obj->text);
    free(obj);
    *slot = nullptr;
    return 0;
}

int vt_json_obj_copy(vt_json_obj **slot, const vt_json_obj *source)
{
    if (!slot || *slot || !source)
        return 1;
    return adopt_obj(slot, json_deep_copy(source->root));
}

int vt_json_obj_number(vt_json_obj *obj, const char *key, int64_t value)
{
    if (VT_NIL(2, obj, key))
        return 1;
    return set_value(obj, key, json_integer(json_int_t(value)));
}

int vt_json_obj_string(vt_json_obj *obj, const char *key, const char *text, size_t length)
{
    if (VT_NIL(3, obj, key, text))
        return 1;
    return set_value(obj, key, json_stringn(text, length));
}

int vt_json_obj_binary(vt_json_obj *obj, const char *key, const void *bytes, size_t count)
{
    if (VT_NIL(3, obj, key, bytes))
        return 1;
    if (!count)
        return 1;
    char *text = nullptr;
    size_t length = 0;
    if (vt_b64_encode_new_(bytes, count, &text, &length))
        return 1;
    int result = set_value(obj, key, json_stringn(text, length));
    free(text);
    return result;
}

int vt_json_obj_null(vt_json_obj *obj, const char *key)
{
    if (VT_NIL(2, obj, key))
        return 1;
    return set_value(obj, key, json_null());
}

int vt_json_obj_number_string(vt_json_obj *obj, const char *key, uint64_t value)
{
    if (!obj || !key)
        return 1;
    char *text = nullptr;
    size_t length = 0;
    if (uint64_str(value, &text, &length))
        return VT_ERR("failed to convert %llu to string", (unsigned long long)value);
    int result = set_value(obj, key, json_stringn(text, length));
    free(text);
    return result;
}

int vt_json_obj_object(vt_json_obj *obj, const char *key, vt_json_obj *sub)
{
    if (VT_NIL(3, obj, key, sub))
        return 1;
    return json_object_set(obj->root, key, sub->root) ? 1 : 0;
}

int vt_json_obj_array(vt_json_obj *obj, const char *key, vt_json_arr *arr)
{
    if (VT_NIL(3, obj, key, arr))
        return 1;
    return json_object_set(obj->root, key, arr->array) ? 1 : 0;
}

int vt_json_obj_get_number(const vt_json_obj *obj, const char *key, int64_t *out)
{
    if (VT_NIL(3, obj, key, out))
        return 1;
    const json_t *value = value_of(obj, key);
    if (!json_is_integer(value))
        return 1;
    *out = int64_t(json_integer_value(value));
    return 0;
}

int vt_json_obj_get_string(const vt_json_obj *obj, const char *key, const char **text,
                           size_t *length)
{
    if (VT_NIL(4, obj, key, text, length))
        return 1;
    const json_t *value = value_of(obj, key);
    if (!json_is_string(value))
        return 1;
    *text = json_string_value(value);
    *length = json_string_length(value);
    return 0;
}

int vt_json_obj_get_binary_(const vt_json_obj *obj, const char *key, uint8_t **bytes,
                            size_t *count)
{
    if (VT_NIL(4, obj, key, bytes, count))
        return 1;
    const json_t *value = value_of(obj, key);
    if (!json_is_string(value))
        return 1;
    return vt_b64_decode_new_(json_string_value(value), json_string_length(value), bytes, count);
}

int vt_json_obj_get_number_string(const vt_json_obj *obj, const char *key, uint64_t *out)
{
    if (!obj || !key || !out)
        return 1;
    const json_t *value = value_of(obj, key);
    if (!json_is_string(value))
        return VT_ERR("failed to get number string by key %s", key);
    std::string_view text(json_string_value(value), json_string_length(value));
    uint64_t number = 0;
    if (str_uint64(text.data(), text.size(), &number))
        return VT_ERR("failed to convert %s to uint64_t", text.data());
    *out = number;
    return 0;
}

int vt_json_obj_is_null(const vt_json_obj *obj, const char *key)
{
    if (VT_NIL(2, obj, key))
        return 1;
    return json_is_null(value_of(obj, key)) ? 0 : 1;
}

int vt_json_obj_check_key(const vt_json_obj *obj, const char *key)
{
    if (!obj || !key)
        return 1;
    return value_of(obj, key) ? 0 : 1;
}

int vt_json_obj_remove(vt_json_obj *obj, const char *key)
{
    if (!obj || !key)
        return 1;
    return json_object_del(obj->root, key) ? 1 : 0;
}

int vt_json_obj_get_object(vt_json_obj *obj, const char *key, vt_json_obj **slot)
{
    if (VT_NIL(3, obj, key, slot))
        return 1;
    json_t *value = json_object_get(obj->root, key);
    if (*slot || !json_is_object(value))
        return 1;
    return adopt_obj(slot, json_incref(value));
}

int vt_json_obj_get_array(vt_json_obj *obj, const char *key, vt_json_arr **slot)
{
    if (VT_NIL(3, obj, key, slot))
        return 1;
    json_t *value = json_object_get(obj->root, key);
    if (*slot || !json_is_array(value))
        return 1;
    return adopt_arr(slot, json_incref(value));
}

int vt_json_obj_syslog(vt_json_obj *obj, vt_syslog *log)
{
    if (!obj || !log)
        return 1;
    char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_encode_(obj, &text, &length))
        return VT_ERR("failed to encode object");
    int result = vt_syslog_log(log, 2, "%s", text);
    free(text);
    return result;
}

int vt_json_arr_init(vt_json_arr **slot)
{
    if (!slot || *slot)
        return 1;
    return adopt_arr(slot, json_array());
}

int vt_json_arr_deit(vt_json_arr **slot)
{
    if (!slot || !*slot)
        return 1;
    json_decref((*slot)->array);
    free(*slot);
    *slot = nullptr;
    return 0;
}

int vt_json_arr_object(vt_json_arr *arr, vt_json_obj *obj)
{
    if (VT_NIL(2, arr, obj))
        return 1;
    return json_array_append(arr->array, obj->root) ? 1 : 0;
}

int vt_json_arr_size(const vt_json_arr *arr, size_t *out)
{
    if (VT_NIL(2, arr, out))
        return 1;
    *out = json_array_size(arr->array);
    return 0;
}

int vt_json_arr_get_object(vt_json_arr *arr, vt_json_obj **slot, size_t index)
{
    if (VT_NIL(2, arr, slot))
        return 1;
    json_t *value = json_array_get(arr->array, index);
    if (*slot || !json_is_object(value))
        return 1;
    return adopt_obj(slot, json_incref(value));
}

int vt_json_obj_encode_(vt_json_obj *obj, char **text, size_t *length)
{
    if (VT_NIL(3, obj, text, length))
        return 1;
    scratch_free(obj);
    obj->text = static_cast<char *>(calloc(1, kScratchStart));
    if (!obj->text)
        return 1;
    obj->capacity = kScratchStart;
    if (json_dump_callback(obj->root, scratch_dump_cb, obj, kDumpFlags) ||
        scratch_terminate(obj)) {
        scratch_free(obj);
        return 1;
    }
    // The area now belongs to the caller; the handle forgets it.
    *text = obj->text;
    *length = obj->used;
    obj->text = nullptr;
    obj->used = obj->capacity = 0;
    return 0;
}

int vt_json_obj_encode_buffer(vt_json_obj *obj, vt_buffer *buffer, size_t offset, size_t *length)
{
    if (!obj || !buffer || !length)
        return 1;
    uint8_t *start = nullptr;
    if (vt_buffer_calloc_(buffer, &start, offset, 32))
        return 1;
    if (json_dump_callback(obj->root, vt_buffer_dumps, buffer, kDumpFlags))
        return 1;
    if (vt_buffer_write(buffer, "", 1))
        return 1;
    *length = buffer->used - offset;
    return 0;
}

int vt_json_obj_decode(vt_json_obj **slot, const void *bytes, size_t length)
{
    if (!slot || *slot || !bytes)
        return 1;
    if (length < 2)
        return VT_ERR("failed to decode json; %s", "input shorter than two bytes");
    range_reader reader{static_cast<const uint8_t *>(bytes), length - 1};
    json_error_t error;
    json_t *root = json_load_callback(range_read_cb, &reader, 0, &error);
    if (!root)
        return VT_ERR("failed to decode json; %s", error.text);
    return adopt_obj(slot, root);
}

int vt_json_obj_encode_file_mode(vt_json_obj *obj, const char *path, mode_t mode)
{
    if (!obj || !path)
        return 1;
    char *raw = nullptr;
    size_t length = 0;
    if (vt_json_obj_encode_(obj, &raw, &length))
        return VT_ERR("failed to encode json object");
    std::unique_ptr<char, decltype(&free)> text(raw, &free);
    while (length && text.get()[length - 1] == '\0')
        --length;

    switch (vt_file_replace(path, text.get(), length, mode)) {
    case VT_REPLACE_DONE:
        return 0;
    case VT_REPLACE_CREATE:
        return VT_SYSERR("failed to create json file on '%s'", path);
    case VT_REPLACE_WRITE:
        break;
    }
    return VT_SYSERR("failed to write json file");
}

int vt_json_obj_encode_file(vt_json_obj *obj, const char *path)
{
    return vt_json_obj_encode_file_mode(obj, path, 0755);
}

int vt_json_obj_decode_file(vt_json_obj **slot, const char *path)
{
    if (!path)
        return 1;
    fd_closer file{open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return VT_SYSERR("failed to open json file '%s'", path);
    if (!slot || *slot)
        return VT_ERR("failed to create json object");
    file_reader reader{file.fd, 0};
    json_error_t error;
    json_t *root = json_load_callback(file_read_cb, &reader, 0, &error);
    if (reader.error) {
        json_decref(root);
        errno = reader.error;
        return VT_SYSERR("failed to read json object");
    }
    if (!root)
        return VT_ERR("failed to decode json; %s", error.text);
    if (adopt_obj(slot, root))
        return VT_ERR("failed to create json object");
    return 0;
}
