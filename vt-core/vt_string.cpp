// Counted strings, plain copies, decimal numbers, Base64, the console prompts
// and the current directory. Only the prompts report their own failures.
#include "vt_string.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <termios.h>
#include <unistd.h>

#include "vt_buffer.h"
#include "vt_syslog.h"
#include "vt_ptr.h"

int vt_string_copy(vt_string *string, const void *bytes, size_t count)
{
    if (!string || string->text || !bytes || !count)
        return 1;
    if (str_copy(&string->text, bytes, count))
        return 1;
    string->length = count;
    return 0;
}

int vt_string_dup(vt_string *string, const vt_string *source)
{
    return source ? vt_string_copy(string, source->text, source->length) : 1;
}

int vt_string_is_equal(const vt_string *a, const vt_string *b)
{
    if (!a || !b || a->length != b->length)
        return 1;
    if (!a->length)
        return 0;
    return memcmp(a->text, b->text, a->length) ? 1 : 0;
}

void vt_string_free(vt_string *string)
{
    if (!string)
        return;
    free(string->text);
    string->text = nullptr;
    string->length = 0;
}

int str_copy(char **slot, const void *bytes, size_t count)
{
    if (!slot || *slot || !bytes || !count || count == SIZE_MAX)
        return 1;
    auto *text = static_cast<char *>(malloc(count + 1));
    if (!text)
        return 1;
    memcpy(text, bytes, count);
    text[count] = '\0';
    *slot = text;
    return 0;
}

int buf_copy(uint8_t **slot, const void *bytes, size_t count)
{
    if (!slot || *slot || !bytes || !count)
        return 1;
    auto *copy = static_cast<uint8_t *>(malloc(count));
    if (!copy)
        return 1;
    memcpy(copy, bytes, count);
    *slot = copy;
    return 0;
}

int uint64_str(uint64_t value, char **text, size_t *length)
{
    if (!text || !length)
        return 1;
    char digits[24];
    int count = snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    if (count <= 0)
        return 1;
    *text = nullptr;
    if (str_copy(text, digits, size_t(count)))
        return 1;
    *length = size_t(count);
    return 0;
}

// strtoull/strtoll need a terminated text; numbers never need more than this.
static int terminated_copy(const char *text, size_t length, char (&out)[32])
{
    if (!text || !length || length >= sizeof out)
        return 1;
    memcpy(out, text, length);
    out[length] = '\0';
    return 0;
}

int str_uint64(const char *text, size_t length, uint64_t *value)
{
    char digits[32];
    if (!value || terminated_copy(text, length, digits))
        return 1;
    // strtoull accepts a sign and wraps negative numbers; decimal text only.
    if (digits[0] < '0' || digits[0] > '9')
        return 1;
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(digits, &end, 10);
    if (errno || end != digits + length)
        return 1;
    *value = parsed;
    return 0;
}

int str_int32(const char *text, size_t length, int32_t *value)
{
    char digits[32];
    if (!value || terminated_copy(text, length, digits))
        return 1;
    char *end = nullptr;
    errno = 0;
    long long parsed = strtoll(digits, &end, 10);
    if (errno || end == digits || end != digits + length || parsed < INT32_MIN || parsed > INT32_MAX)
        return 1;
    *value = int32_t(parsed);
    return 0;
}

static constexpr char b64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int vt_b64_encode_new_(const void *bytes, size_t count, char **text, size_t *length)
{
    if (!bytes || !count || !text || !length || count > SIZE_MAX / 4 - 3)
        return 1;
    size_t size = 4 * ((count + 2) / 3);
    auto *out = static_cast<char *>(malloc(size));
    if (!out)
        return 1;
    const auto *in = static_cast<const uint8_t *>(bytes);
    size_t o = 0;
    for (size_t i = 0; i < count; i += 3) {
        uint32_t group = uint32_t(in[i]) << 16;
        if (i + 1 < count)
            group |= uint32_t(in[i + 1]) << 8;
        if (i + 2 < count)
            group |= in[i + 2];
        out[o++] = b64_alphabet[(group >> 18) & 63];
        out[o++] = b64_alphabet[(group >> 12) & 63];
        out[o++] = i + 1 < count ? b64_alphabet[(group >> 6) & 63] : '=';
        out[o++] = i + 2 < count ? b64_alphabet[group & 63] : '=';
    }
    if (o != size) {
        free(out);
        return 1;
    }
    *text = out;
    *length = size;
    return 0;
}

// The 6-bit value of a Base64 character, or -1 for anything outside the alphabet.
static int b64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

int vt_b64_decode_new_(const char *text, size_t length, uint8_t **bytes, size_t *count)
{
    if (!text || !bytes || !count)
        return 1;
    size_t fill = 0;
    while (fill < length && text[length - 1 - fill] == '=')
        ++fill;
    size_t size = (length / 4) * 3 + 1;
    size = size > fill ? size - fill : 1;
    auto *out = static_cast<uint8_t *>(calloc(1, size));
    if (!out)
        return 1;
    // Characters outside the alphabet (line breaks, "=") are skipped; an
    // incomplete last group yields only its complete bytes.
    uint32_t group = 0;
    size_t held = 0, o = 0;
    for (size_t i = 0; i < length; ++i) {
        int value = b64_value(static_cast<unsigned char>(text[i]));
        if (value < 0)
            continue;
        group = (group << 6) | uint32_t(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            if (o == size)
                break;
            out[o++] = uint8_t(group >> held);
        }
    }
    *bytes = out;
    *count = o;
    return 0;
}

namespace {
using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

buffer_ptr buffer_new(size_t capacity)
{
    vt_buffer *buffer = nullptr;
    vt_buffer_init(&buffer, capacity);
    return buffer_ptr(buffer);
}
} // namespace

// Reads standard input byte by byte up to a line feed or the end of input,
// appending to the buffer. Returns 1 when the buffer cannot take a byte.
static int read_line(vt_buffer *line)
{
    char c;
    ssize_t got;
    while ((got = read(STDIN_FILENO, &c, 1)) == 1 || (got < 0 && errno == EINTR)) {
        if (got < 0)
            continue;
        if (c == '\n')
            break;
        if (vt_buffer_write(line, &c, 1))
            return 1;
    }
    return 0;
}

// Reads the password line with echo off and checks its length (1 to 255 bytes).
static int password_read(vt_buffer *line, vt_string *string)
{
    fputs("Enter password: ", stdout);
    fflush(stdout);
    if (read_line(line)) {
        fputc('\n', stdout);
        fflush(stdout);
        return VT_ERR("failed to write buffer object");
    }
    fputc('\n', stdout);
    fflush(stdout);
    if (!line->used) {
        fputs("Password cannot be empty.\n", stderr);
        return VT_ERR("failed on empty password");
    }
    if (line->used >= 256) {
        fputs("Password must be less than 255 characters.\n", stderr);
        return VT_ERR("failed on password length exceeding 255");
    }
    if (vt_string_copy(string, line->data, line->used))
        return VT_ERR("failed to set password");
    return 0;
}

int vt_prompt_password(vt_string *string)
{
    if (!string || string->text)
        return VT_ERR("invalid output string");
    buffer_ptr line = buffer_new(256);
    if (!line)
        return VT_ERR("failed to create buffer object");
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved))
        return VT_ERR("failed to get stdin terminal properties");
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &quiet))
        return VT_ERR("failed to set stdin terminal properties");
    int result = password_read(line.get(), string);
    // The typed bytes never stay in memory longer than needed.
    memset(line->data, 0, line->capacity);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &saved)) {
        vt_string_free(string);
        return VT_ERR("failed to set stdin terminal properties");
    }
    return result;
}

int vt_prompt_regular(vt_string *string, const char *label, const char *preset)
{
    if (!string || string->text)
        return VT_ERR("invalid output string");
    buffer_ptr line = buffer_new(4096);
    if (!line)
        return VT_ERR("failed to create buffer object");
    printf("%s [%s]: ", label ? label : "", preset ? preset : "");
    fflush(stdout);
    if (read_line(line.get()))
        return VT_ERR("failed to write buffer object");
    if (line->used) {
        if (vt_string_copy(string, line->data, line->used))
            return VT_ERR("failed to copy output string");
    } else if (preset && *preset) {
        if (vt_string_copy(string, preset, strlen(preset)))
            return VT_ERR("failed to copy preset string");
    } else {
        string->text = static_cast<char *>(calloc(1, 1));
        if (!string->text)
            return VT_ERR("out of memory");
        string->length = 0;
    }
    return 0;
}

int vt_getcwd(vt_string *string)
{
    if (!string)
        return 1;
    bool made_here = !string->text;
    if (made_here) {
        string->text = static_cast<char *>(calloc(1, 32));
        if (!string->text)
            return 1;
        string->length = 32;
    }
    while (!getcwd(string->text, string->length)) {
        char *bigger = nullptr;
        if (errno == ERANGE && string->length <= SIZE_MAX / 2)
            bigger = static_cast<char *>(realloc(string->text, string->length * 2));
        if (!bigger) {
            if (made_here)
                vt_string_free(string);
            return 1;
        }
        string->text = bigger;
        string->length *= 2;
    }
    string->length = strlen(string->text);
    return 0;
}
