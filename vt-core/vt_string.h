// Counted strings, copies, decimal numbers, Base64, console prompts and the
// current directory. Only the console functions report failures themselves.
#pragma once

#include <cstddef>
#include <cstdint>

// Counted, zero-terminated text; empty when text is null.
struct vt_string {
    char *text;
    size_t length;
};

int vt_string_copy(vt_string *string, const void *bytes, size_t count);
int vt_string_dup(vt_string *string, const vt_string *source);
// 0 when both hold the same bytes, non-zero otherwise.
int vt_string_is_equal(const vt_string *a, const vt_string *b);
// Frees the text and clears the string; safe on an empty string.
void vt_string_free(vt_string *string);

int str_copy(char **slot, const void *bytes, size_t count);
int buf_copy(uint8_t **slot, const void *bytes, size_t count);

int uint64_str(uint64_t value, char **text, size_t *length);
int str_uint64(const char *text, size_t length, uint64_t *value);
int str_int32(const char *text, size_t length, int32_t *value);

int vt_b64_encode_new_(const void *bytes, size_t count, char **text, size_t *length);
int vt_b64_decode_new_(const char *text, size_t length, uint8_t **bytes, size_t *count);

int vt_prompt_password(vt_string *string);
int vt_prompt_regular(vt_string *string, const char *label, const char *preset);
int vt_getcwd(vt_string *string);
