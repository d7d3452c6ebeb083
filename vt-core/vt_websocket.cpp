// The WebSocket connection layer: bounded connect, upgrade handshake, frame
// writer, the reader thread and close. Every socket read goes through pull (and
// pull_all, the one read-everything loop); every write through pushv (the one
// write-everything loop); both handle EINTR and sort errors the same way.
#include "vt_websocket.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include "vt_syslog.h"

namespace {

struct connection_closer {
    void operator()(mg_connection *conn) const
    {
        mg_connection_close(conn);
        mg_connection_deit(&conn);
    }
};
using owned_connection = std::unique_ptr<mg_connection, connection_closer>;

struct addrinfo_freer {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};

struct fd_closer {
    int fd = -1;
    ~fd_closer()
    {
        if (fd >= 0 && close(fd) != 0)
            VT_SYSERR("failed to close socket");
    }
    int release() { return std::exchange(fd, -1); }
};

} // namespace

// Errors that end a transfer without a report: the peer went away, or the send or
// receive timeout expired. Everything else is worth a system-call report.
static bool io_error_is_quiet(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED ||
           error == ETIMEDOUT || error == ECONNRESET || error == EPIPE;
}

static bool stop_requested(const mg_connection *conn)
{
    return conn->ctx && conn->ctx->stop_flag.load() != 0;
}

static int set_fd_nonblock(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return VT_ERR("failed to set non-blocking flag on socket");
    return 0;
}

static int set_fd_block(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return VT_ERR("failed to clear non-blocking flag on socket");
    return 0;
}

static int set_fd_cloexec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0)
        return VT_ERR("failed to set cloexec flag on socket");
    return 0;
}

static int set_receive_timeout(int fd, unsigned milliseconds)
{
    const timeval value{time_t(milliseconds / 1000), suseconds_t(milliseconds % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0;
}

static uint64_t read_be(const uint8_t *bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// One recv of up to `length` bytes: the count, 0 when the peer closed, -1 on failure
// or when the connection is being stopped.
static ssize_t pull(mg_connection *conn, void *buffer, size_t length)
{
    if (!buffer || length == 0) {
        VT_ERR("invalid buffer or length");
        return -1;
    }
    ssize_t count;
    do
        count = recv(conn->fd, buffer, length, 0);
    while (count < 0 && errno == EINTR && !stop_requested(conn));
    if (count < 0 && !io_error_is_quiet(errno) && !stop_requested(conn))
        VT_SYSERR("failed to read from socket");
    if (stop_requested(conn))
        return -1;
    return count < 0 ? -1 : count;
}

// Reads exactly `length` bytes, first from what arrived together with the HTTP head.
// 0 on success, 1 when the peer closed or a read failed first.
static int pull_all(mg_connection *conn, uint8_t *buffer, size_t length)
{
    size_t done = 0;
    if (conn->pending_offset < conn->data_length) {
        done = std::min(length, conn->data_length - conn->pending_offset);
        memcpy(buffer, conn->buf + conn->pending_offset, done);
        conn->pending_offset += done;
    }
    while (done < length) {
        const ssize_t count = pull(conn, buffer + done, length - done);
        if (count <= 0)
            return 1;
        done += size_t(count);
    }
    return 0;
}

// Drops the pieces that `written` bytes completed and advances into the next one.
static size_t advance_pieces(std::span<iovec> pieces, size_t first, size_t written)
{
    while (first < pieces.size() && written >= pieces[first].iov_len) {
        written -= pieces[first].iov_len;
        ++first;
    }
    if (first < pieces.size()) {
        pieces[first].iov_base = static_cast<uint8_t *>(pieces[first].iov_base) + written;
        pieces[first].iov_len -= written;
    }
    return first;
}

// The write loop: gathers the remaining pieces until all are written, the peer is
// gone, the send timeout expired or the connection is being stopped.
static size_t pushv(mg_connection *conn, std::span<iovec> pieces)
{
    size_t total = 0;
    size_t first = advance_pieces(pieces, 0, 0);
    while (first < pieces.size()) {
        msghdr message{};
        message.msg_iov = &pieces[first];
        message.msg_iovlen = pieces.size() - first;
        // MSG_NOSIGNAL: a peer that closed makes the write fail, in either role.
        const ssize_t count = sendmsg(conn->fd, &message, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR && !stop_requested(conn))
            continue;
        if (count < 0 && !io_error_is_quiet(errno) && !stop_requested(conn))
            VT_SYSERR("failed to write vector io object");
        if (count <= 0 || stop_requested(conn))
            break;
        total += size_t(count);
        first = advance_pieces(pieces, first, size_t(count));
    }
    return total;
}

ssize_t pushv_all(mg_connection *conn, std::span<iovec> pieces)
{
    if (!conn || pieces.empty()) {
        VT_ERR("invalid buffer count for vector io");
        return -1;
    }
    const size_t total = pushv(conn, pieces);
    if (total == 0) {
        VT_ERR("failed to send vector io object");
        return -1;
    }
    return ssize_t(total);
}

// Tries one resolved address; the descriptor on success, -1 otherwise.
static int connect_socket_loop(const addrinfo *address, unsigned timeout_ms, mg_connection *conn)
{
    fd_closer sock{socket(address->ai_family, address->ai_socktype, address->ai_protocol)};
    if (sock.fd < 0)
        return -1;
    if (set_fd_nonblock(sock.fd)) {
        VT_SYSERR("failed to set non-blocking flag on socket");
        return -1;
    }
    if (set_fd_cloexec(sock.fd)) {
        VT_SYSERR("failed to set cloexec flag on socket");
        return -1;
    }
    const int receive_size = mg_receive_buffer_size;
    if (setsockopt(sock.fd, SOL_SOCKET, SO_RCVBUF, &receive_size, sizeof receive_size) != 0) {
        VT_SYSERR("failed to set socket receive buffer size");
        return -1;
    }
    if (connect(sock.fd, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS)
        return -1;
    if (set_fd_block(sock.fd)) {
        VT_SYSERR("failed to set blocking flag on socket");
        return -1;
    }
    // poll rather than select: a descriptor above FD_SETSIZE must not corrupt memory.
    pollfd waiting{sock.fd, POLLOUT, 0};
    int ready;
    do
        ready = poll(&waiting, 1, int(timeout_ms / 1000 * 1000));
    while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t error_length = sizeof error;
    if (ready != 1 || getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0 || error)
        return -1;
    socklen_t local_length = sizeof conn->local_addr;
    if (getsockname(sock.fd, reinterpret_cast<sockaddr *>(&conn->local_addr), &local_length) != 0) {
        VT_SYSERR("failed to get the local socket address structure");
        return -1;
    }
    const timeval send_timeout{mg_send_timeout_s, 0};
    if (setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout) != 0) {
        VT_SYSERR("failed to set socket timeout");
        return -1;
    }
    memcpy(&conn->peer_addr, address->ai_addr, std::min<size_t>(address->ai_addrlen, sizeof conn->peer_addr));
    conn->peer_addr_len = address->ai_addrlen;
    return sock.release();
}

// Resolves host and port and connects to the first address that answers in time.
static int connect_socket(const char *host, const char *port, mg_connection *conn, unsigned timeout_ms)
{
    if (!host || !port)
        return VT_ERR("invalid host and port");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int resolved = getaddrinfo(host, port, &hints, &found);
    if (resolved != 0)
        return VT_ERR("failed to get connect socket addresses; %s", gai_strerror(resolved));
    std::unique_ptr<addrinfo, addrinfo_freer> list(found);
    for (const addrinfo *address = list.get(); address; address = address->ai_next) {
        conn->fd = connect_socket_loop(address, timeout_ms, conn);
        if (conn->fd >= 0)
            return 0;
    }
    return VT_ERR("failed to connect socket to %s:%s", host, port);
}

// A record with its buffers and no socket; the limits take their defaults.
static mg_connection *connection_new(void)
{
    auto *conn = new (std::nothrow) mg_connection{};
    if (!conn)
        return nullptr;
    conn->fd = -1;
    conn->buf_size = mg_header_buffer_size;
    conn->payload_max = mg_payload_max;
    conn->response_timeout_ms = mg_response_timeout_ms;
    conn->buf = static_cast<char *>(calloc(1, conn->buf_size));
    if (!conn->buf || vt_buffer_init(&conn->text, 256)) {
        mg_connection_deit(&conn);
        return nullptr;
    }
    return conn;
}

static int context_new(mg_connection *conn, int role, void *user_data)
{
    auto *ctx = new (std::nothrow) mg_context{};
    if (!ctx)
        return 1;
    ctx->role = role;
    ctx->user_data = user_data;
    conn->ctx = ctx;
    return 0;
}

// Creates a record and connects it within the connect timeout.
static int mg_connection_client_init(mg_connection **slot, const char *host, const char *port,
                                     void *channel)
{
    owned_connection conn(connection_new());
    if (!conn)
        return 1;
    conn->channel = channel;
    if (connect_socket(host, port, conn.get(), mg_connect_timeout_ms))
        return 1;
    *slot = conn.release();
    return 0;
}

// Cuts one token at `p`: up to the next run of spaces, or with `to_line_end` up to
// CR LF; the token is zero-terminated in place and `p` moves past its end.
static const char *cut_token(char *&p, char *end, bool to_line_end)
{
    const char *token = p;
    while (p < end && *p != '\r' && *p != '\n' && (to_line_end || *p != ' '))
        ++p;
    if (p < end && *p == ' ') {
        *p++ = '\0';
        while (p < end && *p == ' ')
            ++p;
    } else if (to_line_end && p + 1 < end && p[0] == '\r' && p[1] == '\n') {
        *p = '\0';
        p += 2;
    }
    return token;
}

int parse_http_headers(char **text, size_t length, mg_connection *conn)
{
    char *p = *text;
    char *const end = *text + length;
    while (p < end) {
        if (p + 1 < end && p[0] == '\r' && p[1] == '\n') {
            p += 2; // the empty line that ends the head
            break;
        }
        if (conn->num_headers == mg_header_max)
            return VT_ERR("exceeded http header array size");
        mg_header &header = conn->headers[conn->num_headers];
        header.name = p;
        header.value = nullptr;
        while (p < end && *p != ':' && *p != '\r' && *p != '\n')
            ++p;
        if (p < end && *p == ':') {
            *p++ = '\0';
            while (p < end && *p == ' ')
                ++p;
            if (p == end || *p == '\r' || *p == '\n')
                return VT_ERR("invalid http header format; empty header value");
            header.value = p;
            while (p < end && *p != '\r' && *p != '\n')
                ++p;
        }
        if (p == end || *p == '\n')
            return VT_ERR("invalid http header format; missing header crlf");
        if (p + 1 == end || p[1] != '\n')
            return VT_ERR("invalid http header format; cr without lf");
        *p = '\0';
        p += 2;
        ++conn->num_headers;
    }
    *text = p;
    return 0;
}

// Splits the status (or request) line into its three tokens, then the header lines.
static int parse_http_message(mg_connection *conn)
{
    char *p = conn->buf;
    char *const end = conn->buf + conn->header_length;
    while (p < end && (*p == ' ' || *p == '\r' || *p == '\n'))
        ++p;
    // A head of blank lines only has no tokens: cut from its end, they would be the
    // bytes behind the head (the first frame), not text the peer sent as its status.
    if (p == end)
        return VT_ERR("invalid http message; empty head");
    conn->status_tokens[0] = cut_token(p, end, false);
    conn->status_tokens[1] = cut_token(p, end, false);
    conn->status_tokens[2] = cut_token(p, end, true);
    if (strncmp(conn->status_tokens[0], "HTTP/", 5) != 0) {
        if (strcmp(conn->status_tokens[0], "GET") != 0)
            return VT_ERR("'%s' is an invalid request method", conn->status_tokens[0]);
        if (strncmp(conn->status_tokens[2], "HTTP/", 5) != 0)
            return VT_ERR("'%s' is an invalid http version", conn->status_tokens[2]);
    }
    if (parse_http_headers(&p, size_t(end - p), conn))
        return VT_ERR("failed to parse request headers");
    return 0;
}

static bool head_byte_valid(uint8_t byte)
{
    return byte >= 0x80 || (byte >= 0x20 && byte < 0x7F) || byte == '\r' || byte == '\n';
}

// Reads until the head's CR LF CR LF; 0 with header_length and data_length set.
static int read_http_head(mg_connection *conn)
{
    size_t used = 0;
    // One byte stays free for the zero that terminates the last token.
    while (used < conn->buf_size - 1) {
        const ssize_t count = pull(conn, conn->buf + used, conn->buf_size - 1 - used);
        if (count <= 0)
            return 1;
        // Byte by byte, so a terminator split across reads is found and bytes after it
        // (the start of a first frame) are not judged as header text.
        for (size_t i = used; i < used + size_t(count); ++i) {
            if (!head_byte_valid(uint8_t(conn->buf[i])))
                return 1;
            if (i >= 3 && memcmp(conn->buf + i - 3, "\r\n\r\n", 4) == 0) {
                conn->header_length = i + 1;
                conn->data_length = used + size_t(count);
                return 0;
            }
        }
        used += size_t(count);
    }
    return 1;
}

int next_request(mg_connection *conn)
{
    memset(conn->status_tokens, 0, sizeof conn->status_tokens);
    conn->num_headers = 0;
    conn->header_length = conn->data_length = conn->pending_offset = 0;
    // The receive timeout bounds a peer that accepts TCP and never answers; the reader
    // that follows blocks without one.
    if (set_receive_timeout(conn->fd, conn->response_timeout_ms))
        return VT_SYSERR("failed to set socket receive timeout");
    const int failed = read_http_head(conn);
    if (set_receive_timeout(conn->fd, 0))
        return VT_SYSERR("failed to clear socket receive timeout");
    if (failed) {
        conn->closing = 1;
        conn->header_length = conn->data_length = 0;
        return 1;
    }
    conn->pending_offset = conn->header_length;
    return parse_http_message(conn);
}

static int send_upgrade_request(mg_connection *conn, const char *host, const char *port,
                                const char *path)
{
    conn->text->used = 0;
    if (vt_buffer_print(conn->text,
                        "GET %s HTTP/1.1\r\n"
                        "Host: %s:%s\r\n"
                        "Upgrade: websocket\r\n"
                        "Connection: Upgrade\r\n"
                        "Sec-WebSocket-Key: %s\r\n"
                        "Sec-WebSocket-Version: 13\r\n"
                        "\r\n",
                        path, host, port, mg_websocket_key))
        return 1;
    iovec piece{conn->text->data, conn->text->used};
    return pushv_all(conn, std::span(&piece, 1)) != ssize_t(conn->text->used);
}

// The frame loop of the reader thread; returns when the peer closes, sends a close
// frame, breaks the framing, the handler refuses a frame or the connection stops.
static void read_websocket(mg_connection *conn, mg_data_handler handler, void *user)
{
    std::unique_ptr<uint8_t, decltype(&free)> payload(nullptr, &free);
    uint64_t capacity = 0;
    while (!stop_requested(conn)) {
        uint8_t head[2], extended[8], mask[mg_frame_mask_key_size];
        if (pull_all(conn, head, sizeof head))
            break;
        const int opcode = head[0] & mg_frame_opcode_mask;
        if (opcode == mg_opcode_close)
            break;
        uint64_t length = head[1] & mg_frame_length_mask;
        const size_t extended_size = length == mg_frame_length_16 ? 2 : length == mg_frame_length_64 ? 8 : 0;
        if (extended_size) {
            if (pull_all(conn, extended, extended_size)) {
                VT_ERR("failed to read websocket length");
                break;
            }
            length = read_be(extended, extended_size);
        }
        // The announced length is the peer's word: check it before allocating or reading.
        if (length > conn->payload_max) {
            VT_ERR("invalid websocket length %llu exceeds %llu", (unsigned long long)length,
                   (unsigned long long)conn->payload_max);
            break;
        }
        const bool masked = head[1] & mg_frame_mask_bit;
        if (masked && pull_all(conn, mask, sizeof mask)) {
            VT_ERR("failed to read websocket mask key");
            break;
        }
        if (length > capacity) {
            payload.reset(static_cast<uint8_t *>(malloc(size_t(length))));
            capacity = payload ? length : 0;
            if (!payload) {
                VT_ERR("failed to create websocket payload buffer");
                break;
            }
        }
        if (length && pull_all(conn, payload.get(), size_t(length))) {
            VT_ERR("failed to read websocket payload");
            break;
        }
        for (uint64_t i = 0; masked && i < length; ++i)
            payload.get()[i] ^= mask[i % sizeof mask];
        if (handler(conn, opcode, payload.get(), size_t(length), user) != 0)
            break;
    }
}

static void *websocket_client_thread(void *argument)
{
    auto *client = static_cast<vt_client *>(argument);
    if (client->init)
        client->init(client->conn, client->init_user_data);
    if (client->data_handler)
        read_websocket(client->conn, client->data_handler, client->channel);
    if (client->close_handler)
        client->close_handler(client->conn, client->channel);
    return nullptr;
}

int mg_connection_init(mg_connection **slot, int fd, int role, void *user_data)
{
    fd_closer sock{fd};
    if (!slot || *slot || fd < 0)
        return 1;
    owned_connection conn(connection_new());
    if (!conn || context_new(conn.get(), role, user_data))
        return 1;
    conn->fd = sock.release();
    conn->channel = conn->user_connection_data = user_data;
    socklen_t length = sizeof conn->local_addr;
    getsockname(conn->fd, reinterpret_cast<sockaddr *>(&conn->local_addr), &length);
    conn->peer_addr_len = sizeof conn->peer_addr;
    getpeername(conn->fd, reinterpret_cast<sockaddr *>(&conn->peer_addr), &conn->peer_addr_len);
    *slot = conn.release();
    return 0;
}

int mg_start_reader(mg_connection *conn, vt_client *client)
{
    if (!conn || !conn->ctx || !client || conn->ctx->thread)
        return 1;
    client->conn = client->result = conn;
    conn->user_connection_data = client->channel;
    if (vt_thread_init(&conn->ctx->thread) == 0 &&
        vt_thread_start(conn->ctx->thread, websocket_client_thread, client) == 0)
        return 0;
    vt_thread_deit(&conn->ctx->thread);
    client->conn = client->result = nullptr;
    return 1;
}

mg_connection *mg_connect_websocket_client(const char *host, const char *port, const char *path,
                                           vt_client *client)
{
    if (VT_NIL(4, host, port, path, client))
        return nullptr;
    signal(SIGPIPE, SIG_IGN);
    mg_connection *raw = nullptr;
    if (mg_connection_client_init(&raw, host, port, client->channel)) {
        VT_ERR("failed to create connection object");
        return nullptr;
    }
    owned_connection conn(raw);
    if (client->payload_max)
        conn->payload_max = client->payload_max;
    if (client->response_timeout_ms)
        conn->response_timeout_ms = client->response_timeout_ms;
    if (context_new(conn.get(), mg_role_client, client->channel)) {
        VT_ERR("failed to create context object");
        return nullptr;
    }
    if (send_upgrade_request(conn.get(), host, port, path) || next_request(conn.get()) ||
        !conn->status_tokens[1] || strcmp(conn->status_tokens[1], "101") != 0) {
        VT_ERR("failed to complete websocket upgrade request");
        return nullptr;
    }
    if (mg_start_reader(conn.get(), client)) {
        VT_ERR("failed to start client worker thread");
        return nullptr;
    }
    return conn.release();
}

size_t mg_frame_header(uint8_t header[mg_frame_header_max], int opcode, uint64_t length)
{
    header[0] = uint8_t(mg_frame_fin | (opcode & mg_frame_opcode_mask));
    size_t extended = 0;
    if (length <= mg_frame_short_max) {
        header[1] = uint8_t(length);
    } else if (length <= mg_frame_medium_max) {
        header[1] = mg_frame_length_16;
        extended = 2;
    } else {
        header[1] = mg_frame_length_64;
        extended = 8;
    }
    for (size_t i = 0; i < extended; ++i)
        header[2 + i] = uint8_t(length >> (8 * (extended - 1 - i)));
    return 2 + extended;
}

ssize_t mg_websocket_write(mg_connection *conn, int opcode, const void *data, size_t length)
{
    if (!conn || (!data && length))
        return -1;
    uint8_t header[mg_frame_header_max];
    const size_t header_size = mg_frame_header(header, opcode, length);
    iovec pieces[2] = {{header, header_size}, {const_cast<void *>(data), length}};
    const ssize_t written = pushv_all(conn, pieces);
    return written - ssize_t(header_size);
}

void mg_connection_close(mg_connection *conn)
{
    if (!conn)
        return;
    conn->closing = 1;
    if (conn->ctx)
        conn->ctx->stop_flag = 1;
    if (conn->fd < 0)
        return;
    set_fd_block(conn->fd);
    // The shutdown wakes a reader blocked in recv. The descriptor itself is closed
    // only after the reader has been joined (mg_connection_deit), so the reader can
    // never read from a number the process has meanwhile given to another file.
    shutdown(conn->fd, SHUT_RDWR);
}

void mg_connection_deit(mg_connection **slot)
{
    if (!slot || !*slot)
        return;
    mg_connection *conn = *slot;
    if (conn->ctx) {
        if (conn->ctx->thread && conn->ctx->thread->running)
            vt_thread_join(conn->ctx->thread);
        vt_thread_deit(&conn->ctx->thread);
        delete conn->ctx;
    }
    if (conn->fd >= 0 && close(conn->fd) != 0)
        VT_SYSERR("failed to close socket");
    vt_buffer_deit(&conn->text);
    free(conn->buf);
    delete conn;
    *slot = nullptr;
}

void mg_close_connection(mg_connection *conn)
{
    mg_connection_close(conn);
    mg_connection_deit(&conn);
}

void *mg_get_user_connection_data(const mg_connection *conn)
{
    return conn ? conn->user_connection_data : nullptr;
}

mg_context *mg_get_context(const mg_connection *conn)
{
    return conn ? conn->ctx : nullptr;
}

void *mg_get_user_data(const mg_context *ctx)
{
    return ctx ? ctx->user_data : nullptr;
}
