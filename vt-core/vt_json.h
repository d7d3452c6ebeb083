// Typed operations on JSON documents (jansson underneath) and their one text form:
// indented by four blanks with sorted keys, so equal documents encode to the same
// bytes. Unsigned 64-bit values are stored as decimal strings, raw bytes as Base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include <jansson.h>

struct vt_buffer;
struct vt_syslog;

// Object handle: one reference to root, plus the scratch area vt_json_obj_encode_
// builds its text in (so one handle must not be encoded by two threads at once).
struct vt_json_obj {
    json_t *root;
    char *text;
    size_t used;
    size_t capacity;
};

// Array handle: one reference to a library array.
struct vt_json_arr {
    json_t *array;
};

// Every function returns 0 on success and 1 on failure, except vt_json_obj_is_null
// and vt_json_obj_check_key whose results are answers (see below).

int vt_json_obj_init(vt_json_obj **slot);
int vt_json_obj_deit(vt_json_obj **slot);
// New handle on a deep copy of the source's root.
int vt_json_obj_copy(vt_json_obj **slot, const vt_json_obj *source);

// Setters replace the key's value; a refused value leaves the key as it was.
int vt_json_obj_number(vt_json_obj *obj, const char *key, int64_t value);
int vt_json_obj_string(vt_json_obj *obj, const char *key, const char *text, size_t length);
int vt_json_obj_binary(vt_json_obj *obj, const char *key, const void *bytes, size_t count);
int vt_json_obj_null(vt_json_obj *obj, const char *key);
int vt_json_obj_number_string(vt_json_obj *obj, const char *key, uint64_t value);
// The sub-object and the array are shared with obj (the handles keep their references).
int vt_json_obj_object(vt_json_obj *obj, const char *key, vt_json_obj *sub);
int vt_json_obj_array(vt_json_obj *obj, const char *key, vt_json_arr *arr);

// Getters fail silently on a missing key or a value of another type, except
// vt_json_obj_get_number_string, which reports.
int vt_json_obj_get_number(const vt_json_obj *obj, const char *key, int64_t *out);
// The text points into the document and lives as long as the value does.
int vt_json_obj_get_string(const vt_json_obj *obj, const char *key, const char **text,
                           size_t *length);
// New area holding the decoded Base64 bytes; the caller frees it.
int vt_json_obj_get_binary_(const vt_json_obj *obj, const char *key, uint8_t **bytes,
                            size_t *count);
int vt_json_obj_get_number_string(const vt_json_obj *obj, const char *key, uint64_t *out);
// 0 when the key exists and holds null; 1 otherwise (a missing key gives 1).
int vt_json_obj_is_null(const vt_json_obj *obj, const char *key);
// 0 when the key exists with any value; 1 otherwise.
int vt_json_obj_check_key(const vt_json_obj *obj, const char *key);
int vt_json_obj_remove(vt_json_obj *obj, const char *key);
// New handles on the value under key, shared with the parent document.
int vt_json_obj_get_object(vt_json_obj *obj, const char *key, vt_json_obj **slot);
int vt_json_obj_get_array(vt_json_obj *obj, const char *key, vt_json_arr **slot);
// Logs the encoded text at level 2.
int vt_json_obj_syslog(vt_json_obj *obj, vt_syslog *log);

int vt_json_arr_init(vt_json_arr **slot);
int vt_json_arr_deit(vt_json_arr **slot);
// Appends obj's root, shared.
int vt_json_arr_object(vt_json_arr *arr, vt_json_obj *obj);
int vt_json_arr_size(const vt_json_arr *arr, size_t *out);
// New handle on element index (from 0), which must be an object; shared.
int vt_json_arr_get_object(vt_json_arr *arr, vt_json_obj **slot, size_t index);

// New zero-terminated text; length counts the zero byte; the caller frees the text.
int vt_json_obj_encode_(vt_json_obj *obj, char **text, size_t *length);
// Writes the text and a zero byte into buffer from offset on (the caller keeps its
// header in front); length is that of the text plus the zero byte.
int vt_json_obj_encode_buffer(vt_json_obj *obj, vt_buffer *buffer, size_t offset, size_t *length);
// Parses the first length - 1 bytes (the last one is the sender's zero byte).
int vt_json_obj_decode(vt_json_obj **slot, const void *bytes, size_t length);

// Replaces the file at path atomically with the encoded text (no zero byte, no
// final line feed): a temporary file in the same directory is written, synced and
// renamed over path, so a crash leaves either the old or the new file, never a
// truncated one. The file gets exactly the given permission bits.
int vt_json_obj_encode_file_mode(vt_json_obj *obj, const char *path, mode_t mode);
// The same with permission bits 0755.
int vt_json_obj_encode_file(vt_json_obj *obj, const char *path);
int vt_json_obj_decode_file(vt_json_obj **slot, const char *path);
