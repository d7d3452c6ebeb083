// The serving side of the WebSocket upgrade: read the examiner's request head
// (bounded by the connection's receive timeout), check it, and answer with
// "101 Switching Protocols" and the accept value, or refuse it with 404 or 400.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <strings.h>

#include "vt_agent.h"
#include "vt_agent_format.h"
#include "vt_buffer.h"
#include "vt_syslog.h"

namespace fmt = vt_agent_format;

namespace {

struct free_deleter {
    void operator()(void *p) const { free(p); }
};

constexpr char kNotFound[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr char kBadRequest[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

} // namespace

static const char *header_value(const mg_connection *conn, const char *name)
{
    for (int i = 0; i < conn->num_headers; ++i)
        if (conn->headers[i].name && strcasecmp(conn->headers[i].name, name) == 0)
            return conn->headers[i].value;
    return nullptr;
}

// True when a comma-separated header value holds `token` (any letter case).
static bool has_token(const char *value, std::string_view token)
{
    std::string_view rest(value ? value : "");
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        if (item.size() == token.size() && strncasecmp(item.data(), token.data(), token.size()) == 0)
            return true;
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return false;
}

static int write_text(mg_connection *conn, std::string_view text)
{
    iovec piece{const_cast<char *>(text.data()), text.size()};
    return pushv_all(conn, std::span<iovec>(&piece, 1)) != ssize_t(text.size());
}

// Base64 of SHA-1 over the client's key and the protocol's fixed text.
static int accept_value(const char *key, std::string *value)
{
    std::string input = std::string(key) + fmt::kWebSocketGuid;
    vt_range range{reinterpret_cast<uint8_t *>(input.data()), input.size()};
    vt_range digest{};
    if (vt_sha1(&range, &digest))
        return 1;
    std::unique_ptr<uint8_t, free_deleter> owned(digest.data);
    char *text = nullptr;
    size_t length = 0;
    if (vt_b64_encode_new_(digest.data, digest.length, &text, &length))
        return 1;
    std::unique_ptr<char, free_deleter> owned_text(text);
    value->assign(text, length);
    return 0;
}

// The request's path without a query part equals the agent's path.
static bool path_matches(const char *target, const char *path)
{
    std::string_view requested(target ? target : "");
    requested = requested.substr(0, requested.find('?'));
    return requested == path;
}

int vt_agent_upgrade(mg_connection *conn, const char *path)
{
    if (VT_NIL(2, conn, path))
        return 1;
    if (next_request(conn)) {
        // Not even an HTTP head (or none in time): nothing worth answering.
        return VT_ERR("failed to read websocket upgrade request");
    }
    // A request line's tokens are method, target and version; a response's are not.
    if (!conn->status_tokens[0] || strcmp(conn->status_tokens[0], "GET") != 0) {
        write_text(conn, kBadRequest);
        return VT_ERR("invalid websocket upgrade request");
    }
    if (!path_matches(conn->status_tokens[1], path)) {
        write_text(conn, kNotFound);
        return VT_ERR("no websocket service on path '%s'", conn->status_tokens[1]);
    }
    const char *key = header_value(conn, "Sec-WebSocket-Key");
    const char *version = header_value(conn, "Sec-WebSocket-Version");
    std::string accept;
    if (!has_token(header_value(conn, "Upgrade"), "websocket") ||
        !has_token(header_value(conn, "Connection"), "upgrade") || !key ||
        strlen(key) != fmt::kWebSocketKeyLength || !version || strcmp(version, "13") != 0 ||
        accept_value(key, &accept)) {
        write_text(conn, kBadRequest);
        return VT_ERR("invalid websocket upgrade request");
    }
    std::string answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                         "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                         accept + "\r\n\r\n";
    if (write_text(conn, answer))
        return VT_ERR("failed to answer websocket upgrade request");
    return 0;
}
