// Subject addresses: parsing "host:port/path" from the right, so that an IPv6 host
// keeps its own ":" characters, and formatting the text back from its parts.
#include "vt_url.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>

#include "vt_buffer.h"
#include "vt_string.h"
#include "vt_syslog.h"
#include "vt_ptr.h"

namespace {

// A port has at most this many decimal digits (65535 fits; the range is not checked).
constexpr size_t kPortDigitsMax = 5;

struct text_free {
    void operator()(char *text) const { std::free(text); }
};
using text_ptr = std::unique_ptr<char, text_free>;

using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

// The parts found so far; the URL object receives them only when the parse succeeds.
struct url_parts {
    text_ptr host;
    text_ptr port;
    text_ptr path;
};

} // namespace

static text_ptr copy_part(std::string_view part)
{
    char *text = nullptr;
    if (str_copy(&text, part.data(), part.size()))
        return nullptr;
    return text_ptr(text);
}

static bool is_port(std::string_view digits)
{
    if (digits.size() > kPortDigitsMax)
        return false;
    for (char c : digits)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Why a scan ended early; vt_url_parse turns each into its report.
enum class scan_fault { none, empty_path, second_path, empty_port, invalid_port, no_memory };

// The path runs from the "/" at index slash to end.
static scan_fault take_path(url_parts *parts, std::string_view text, size_t slash, size_t end)
{
    if (end - slash == 1)
        return scan_fault::empty_path;
    if (parts->path)
        return scan_fault::second_path;
    parts->path = copy_part(text.substr(slash, end - slash));
    return parts->path ? scan_fault::none : scan_fault::no_memory;
}

// The port runs from after the ":" at index colon to end.
static scan_fault take_port(url_parts *parts, std::string_view text, size_t colon, size_t end)
{
    const std::string_view digits = text.substr(colon + 1, end - colon - 1);
    if (digits.empty())
        return scan_fault::empty_port;
    if (!is_port(digits))
        return scan_fault::invalid_port;
    parts->port = copy_part(digits);
    return parts->port ? scan_fault::none : scan_fault::no_memory;
}

// Scans from the last character towards the first, taking the path at each "/" and
// the port at the first ":"; what is left before them is the host.
static scan_fault split_url(url_parts *parts, std::string_view text)
{
    size_t end = text.size();
    for (size_t i = text.size(); i-- > 0;) {
        scan_fault fault = scan_fault::none;
        if (text[i] == '/')
            fault = take_path(parts, text, i, end);
        else if (text[i] == ':')
            fault = take_port(parts, text, i, end);
        else
            continue;
        if (fault != scan_fault::none)
            return fault;
        end = i;
        if (text[i] == ':')
            break;
    }
    if (end > 0) {
        parts->host = copy_part(text.substr(0, end));
        if (!parts->host)
            return scan_fault::no_memory;
    }
    return scan_fault::none;
}

int vt_url_parse(vt_url *url, const char *text, size_t length)
{
    if (VT_NIL(1, url))
        return 1;
    if (url->host || url->port || url->path)
        return VT_ERR("invalid argument");
    if (length == 0 || !text)
        return VT_ERR("insufficient length");
    const std::string_view whole(text, length);
    const int size = int(whole.size());
    url_parts parts;
    switch (split_url(&parts, whole)) {
    case scan_fault::none:
        break;
    case scan_fault::empty_path:
        return VT_ERR("empty path in '%.*s'", size, text);
    case scan_fault::second_path:
        return 1; // a second "/" after the port: the caller reports the text
    case scan_fault::empty_port:
        return VT_ERR("empty port in '%.*s'", size, text);
    case scan_fault::invalid_port:
        return VT_ERR("invalid port in '%.*s'", size, text);
    case scan_fault::no_memory:
        return VT_ERR("out of memory");
    }
    // Both gaps are reported, so a bare host names everything that is missing.
    int failed = 0;
    if (!parts.port)
        failed = VT_ERR("missing port in url %.*s", size, text);
    if (!parts.path)
        failed = VT_ERR("missing path in url %.*s", size, text);
    if (failed)
        return 1;
    url->host = parts.host.release();
    url->port = parts.port.release();
    url->path = parts.path.release();
    return 0;
}

int vt_url_init(vt_url **slot, const char *text, size_t length)
{
    if (VT_NIL(1, slot))
        return 1;
    if (*slot)
        return VT_ERR("invalid argument");
    std::unique_ptr<vt_url> url(new (std::nothrow) vt_url{});
    if (!url)
        return VT_ERR("out of memory");
    if (vt_url_parse(url.get(), text, length))
        return VT_ERR("failed to parse url -- %.*s", text ? int(length) : 0, text ? text : "");
    *slot = url.release();
    return 0;
}

int vt_url_deit(vt_url **slot)
{
    if (!slot || !*slot)
        return 0;
    vt_url *url = *slot;
    std::free(url->host);
    std::free(url->port);
    std::free(url->path);
    delete url;
    *slot = nullptr;
    return 0;
}

static const char *part_text(const vt_string *part)
{
    return part && part->text ? part->text : "";
}

static size_t part_length(const vt_string *part)
{
    return part && part->text ? part->length : 0;
}

int vt_url_make(const vt_string *host, const vt_string *port, const vt_string *path,
                vt_string *out)
{
    if (!out || out->text)
        return 1;
    const size_t expected = part_length(host) + part_length(port) + part_length(path) + 1;
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, expected + 1))
        return 1;
    const buffer_ptr buffer(raw);
    if (vt_buffer_print(buffer.get(), "%s:%s%s", part_text(host), part_text(port), part_text(path)))
        return 1;
    // A zero byte inside a part would end its text early and shorten the URL.
    if (buffer->used != expected)
        return 1;
    return vt_string_copy(out, buffer->data, buffer->used);
}
