// Local control socket: unix-domain stream sockets carrying length-prefixed JSON
// frames between processes of one program. Each object runs one thread that reads
// frames and hands them to its handler; every send holds the object's lock.
#include "vt_unix.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "vt_buffer.h"
#include "vt_json.h"
#include "vt_thread.h"
#include "vt_ptr.h"

namespace {

constexpr int kAcceptWaitMs = 1000;        // a server notices its stop flag this often when idle
constexpr int kReadWaitMs = 10000;         // ...and this often while a connection is open
constexpr int kSocketTimeoutSeconds = 30;  // receive and send timeouts of a connection
constexpr auto kConnectPeriod = std::chrono::seconds(15); // a client's connection attempts
constexpr int kBacklog = 64;
constexpr mode_t kSocketMode = 0600;       // only the owner may talk to a job or a daemon
constexpr size_t kMessageStart = 256;      // first size of the message formatting area

static_assert(VT_UNIX_PATH_MAX <= sizeof(sockaddr_un::sun_path));
static_assert(VT_UNIX_FRAME_HEADER == sizeof(uint32_t));

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

struct text_free {
    void operator()(char *text) const { free(text); }
};
using text_ptr = std::unique_ptr<char, text_free>;

using buffer_ptr = vt_owner<vt_buffer, vt_buffer_deit>;

// Closes the descriptor it holds unless released.
struct fd_holder {
    int fd = -1;
    ~fd_holder() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    int release()
    {
        const int held = fd;
        fd = -1;
        return held;
    }
};

// --- byte transfer: the one place that handles partial transfers and EINTR ---

// Writes all count bytes; 0 on success, 1 with errno set on failure. MSG_NOSIGNAL
// turns a vanished peer into a failed send instead of a SIGPIPE that ends the process.
int write_full(int fd, const void *bytes, size_t count)
{
    const auto *next = static_cast<const uint8_t *>(bytes);
    while (count > 0) {
        const ssize_t put = send(fd, next, count, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return 1;
        next += put;
        count -= size_t(put);
    }
    return 0;
}

// Reads count bytes and returns how many arrived. Fewer means the stream ended
// (errno 0) or a read failed (errno set; EAGAIN when the receive timeout expired).
size_t read_full(int fd, void *bytes, size_t count)
{
    auto *area = static_cast<uint8_t *>(bytes);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = recv(fd, area + got, count - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = 0;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    return got;
}

// 1 when fd is readable (or closed), 0 when the wait timed out or was interrupted,
// -1 on failure.
int wait_readable(int fd, int milliseconds)
{
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, milliseconds);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
}

// --- frames ---

enum class frame_fault { none, too_long, header, payload };

struct frame_result {
    frame_fault fault = frame_fault::none;
    int error = 0;
};

// Writes one frame without reporting, so that it can run under the object's lock.
frame_result frame_write(int fd, const void *bytes, size_t length)
{
    if (length > VT_UNIX_FRAME_MAX)
        return {frame_fault::too_long, 0};
    const uint8_t header[VT_UNIX_FRAME_HEADER] = {
        uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
    if (write_full(fd, header, sizeof header))
        return {frame_fault::header, errno};
    if (length > 0 && write_full(fd, bytes, length))
        return {frame_fault::payload, errno};
    return {};
}

uint32_t frame_length(const uint8_t (&header)[VT_UNIX_FRAME_HEADER])
{
    return uint32_t(header[0]) << 24 | uint32_t(header[1]) << 16 | uint32_t(header[2]) << 8 |
           uint32_t(header[3]);
}

// Room for a payload of length bytes at the start of buffer. A length that no
// legitimate frame has is refused before anything is allocated for it.
int frame_area(vt_buffer *buffer, uint32_t length, uint8_t **area)
{
    if (length == 0 || length > VT_UNIX_FRAME_MAX)
        return VT_ERR("invalid frame length -- %u", length);
    if (vt_buffer_malloc_(buffer, area, 0, length))
        return VT_ERR("failed to allocate frame buffer -- %u", length);
    return 0;
}

// --- payloads of the standard messages ---

// New object {"opcode": opcode}; empty when it cannot be built.
json_ptr opcode_object(int opcode)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return nullptr;
    json_ptr obj(raw);
    return vt_json_obj_number(obj.get(), "opcode", opcode) ? nullptr : std::move(obj);
}

// The encoded text of obj with its zero byte; empty when encoding fails.
text_ptr encode(vt_json_obj *obj, size_t *length)
{
    char *text = nullptr;
    return vt_json_obj_encode_(obj, &text, length) ? nullptr : text_ptr(text);
}

enum class message_fault { none, create, write, encode };

// Encodes {"message": text, "opcode": 3} without reporting.
message_fault message_payload(const char *text, size_t length, text_ptr *payload, size_t *size)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return message_fault::create;
    json_ptr obj(raw);
    if (vt_json_obj_number(obj.get(), "opcode", VT_UNIX_MESSAGE) ||
        vt_json_obj_string(obj.get(), "message", text, length))
        return message_fault::write;
    *payload = encode(obj.get(), size);
    return *payload ? message_fault::none : message_fault::encode;
}

// --- the object ---

// Where this object's frames go: a client's own socket, or the connection its server
// thread is serving (-1 between connections). Called with the lock held.
int peer_descriptor(const vt_unix *object)
{
    return object->type == VT_UNIX_SERVER ? object->connection : object->descriptor;
}

sockaddr_un socket_address(const vt_string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.text, path.length);
    return address;
}

// 0 unless examining path says that nothing is there.
int path_missing(const char *path)
{
    struct stat status;
    return lstat(path, &status) != 0 && errno == ENOENT;
}

// Receive and send timeouts of a connection, so a stalled peer cannot hold a
// reading thread or a sender forever.
int set_timeouts(int fd)
{
    const timeval timeout{kSocketTimeoutSeconds, 0};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) ||
                   setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout)
               ? 1
               : 0;
}

// Makes connection the one a server's senders reach (or none with -1).
int publish_connection(vt_unix *object, int connection)
{
    if (vt_lock_acquire(object->lock))
        return 1;
    object->connection = connection;
    return vt_lock_release(object->lock);
}

// Sets the stop flag, wakes the thread out of its waits and joins it. A client's
// socket and a server's current connection are shut down for reading, so a thread
// blocked on them sees the end of the stream at once.
int stop_thread(vt_unix *object)
{
    object->stop = 1;
    if (object->descriptor >= 0)
        shutdown(object->descriptor, SHUT_RD);
    if (vt_lock_acquire(object->lock) == 0) {
        if (object->connection >= 0)
            shutdown(object->connection, SHUT_RD);
        vt_lock_release(object->lock);
    }
    return vt_thread_join(object->thread);
}

// Releases everything the object holds, whatever state creation reached.
int destroy(vt_unix *object)
{
    int result = 0;
    if (object->thread && object->thread->running && stop_thread(object))
        result = VT_ERR("failed to join master thread");
    if (object->descriptor >= 0) {
        // A server's descriptor is set only once bind created the file, so the
        // file removed here is always this server's own.
        if (object->type == VT_UNIX_SERVER && unlink(object->path.text))
            result = VT_SYSERR("failed to remove socket file -- %s", object->path.text);
        close(object->descriptor);
    }
    vt_buffer_deit(&object->message);
    vt_lock_deit(&object->lock);
    vt_thread_deit(&object->thread);
    vt_cond_deit(&object->stopped);
    vt_string_free(&object->path);
    delete object;
    return result;
}

struct unix_free {
    void operator()(vt_unix *object) const { destroy(object); }
};
using unix_ptr = std::unique_ptr<vt_unix, unix_free>;

unix_ptr new_object()
{
    unix_ptr object(new (std::nothrow) vt_unix{});
    if (!object)
        return nullptr;
    object->descriptor = -1;
    object->connection = -1;
    if (vt_cond_init(&object->stopped) || vt_thread_init(&object->thread) ||
        vt_lock_init(&object->lock) || vt_buffer_init(&object->message, kMessageStart))
        return nullptr;
    return object;
}

} // namespace

// Reports what frame_write found wrong. It carries the public function's name so the
// report reads the same whether the frame went out directly or under an object's
// lock, where the report has to wait until the lock is released: with the failure
// reporter routed into that object (vt_unix_syslog_cb), reporting under the lock
// would re-enter it. 0 when the frame went out.
static int vt_unix_send_frame(const frame_result &result)
{
    errno = result.error;
    switch (result.fault) {
    case frame_fault::none:
        return 0;
    case frame_fault::too_long:
        return VT_ERR("buffer length exceeded %u", VT_UNIX_FRAME_MAX);
    case frame_fault::header:
        return VT_SYSERR("failed to send frame length");
    case frame_fault::payload:
        return VT_SYSERR("failed to send frame");
    }
    return 1;
}

// Examines path without following a link. A server accepts a missing file and
// removes a socket file left by an earlier run; a client needs an existing socket.
static int vt_unix_sock(const char *path, int32_t type)
{
    struct stat status;
    if (lstat(path, &status)) {
        if (errno == ENOENT && type == VT_UNIX_SERVER)
            return 0;
        return VT_SYSERR("failed to open socket file -- %s", path);
    }
    if (!S_ISSOCK(status.st_mode))
        return VT_ERR("invalid socket file path -- %s", path);
    if (type == VT_UNIX_SERVER && unlink(path))
        return VT_SYSERR("failed to remove socket file -- %s", path);
    return 0;
}

// Reading loop of one connection: every frame goes to the handler until the peer
// closes, a frame is refused, the handler ends the connection or the object stops.
// A frame that cannot be read whole fails the connection; nothing is read past it.
static int vt_unix_worker_thread(vt_unix *object, int descriptor)
{
    vt_buffer *raw = nullptr;
    if (vt_buffer_init(&raw, object->cfg->buffer_size))
        return VT_ERR("failed to create buffer object");
    const buffer_ptr buffer(raw);
    while (!object->stop) {
        const int ready = wait_readable(descriptor, kReadWaitMs);
        if (ready < 0)
            return VT_SYSERR("failed to wait for frame");
        if (ready == 0)
            continue;
        uint8_t header[VT_UNIX_FRAME_HEADER];
        const size_t got = read_full(descriptor, header, sizeof header);
        if (got == 0 && errno == 0)
            break; // the peer closed between frames
        if (got < sizeof header)
            return VT_SYSERR("failed to get frame length");
        const uint32_t length = frame_length(header);
        uint8_t *frame = nullptr;
        if (frame_area(buffer.get(), length, &frame))
            return VT_ERR("failed to resize frame buffer -- %u", length);
        if (read_full(descriptor, frame, length) < length)
            return VT_SYSERR("failed to read frame -- %u", length);
        if (object->cfg->handler(descriptor, frame, length, object->cfg->user))
            break;
    }
    return 0;
}

// Serves one accepted connection to its end, published so that senders and
// vt_unix_deit can reach it.
static int vt_unix_serve(vt_unix *object, int connection)
{
    fd_holder held{connection};
    if (set_timeouts(connection))
        return VT_SYSERR("failed to set unix connection timeouts");
    if (publish_connection(object, connection))
        return VT_ERR("failed to lock unix object");
    const int result = vt_unix_worker_thread(object, connection);
    // Unpublished before it is closed, so no sender writes to a reused descriptor.
    if (publish_connection(object, -1))
        return VT_ERR("failed to lock unix object");
    if (result)
        return VT_ERR("failed to serve connection -- %s", object->path.text);
    return 0;
}

static void *vt_unix_server_thread(void *argument)
{
    auto *object = static_cast<vt_unix *>(argument);
    while (!object->stop) {
        if (wait_readable(object->descriptor, kAcceptWaitMs) <= 0)
            continue;
        const int connection = accept4(object->descriptor, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            vt_unix_serve(object, connection);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ||
            errno == ECONNABORTED || object->stop)
            continue;
        VT_SYSERR("failed to accept unix connection -- %s", object->path.text);
        // A lasting failure (no descriptors left) must not turn into a busy loop.
        poll(nullptr, 0, kAcceptWaitMs);
    }
    vt_cond_signal(object->stopped);
    return nullptr;
}

static void *vt_unix_client_thread(void *argument)
{
    auto *object = static_cast<vt_unix *>(argument);
    if (vt_unix_worker_thread(object, object->descriptor))
        VT_ERR("failed to serve connection -- %s", object->path.text);
    vt_cond_signal(object->stopped);
    return nullptr;
}

static int vt_unix_server_init(vt_unix *object)
{
    const char *path = object->path.text;
    if (vt_unix_sock(path, VT_UNIX_SERVER))
        return VT_ERR("failed to open socket file -- %s", path);
    // Non-blocking, so an accept after a connection vanished between poll and
    // accept (or after deit shut the socket down) returns instead of blocking.
    fd_holder listener{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (listener.fd < 0)
        return VT_SYSERR("failed to create unix socket");
    const sockaddr_un address = socket_address(object->path);
    if (bind(listener.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address))
        return VT_SYSERR("failed to bind unix socket -- %s", path);
    // From here the file is ours: the object owns the descriptor and deletes the file.
    object->descriptor = listener.release();
    // A daemon runs with file-creation mask 0; the mode is set before listen, so no
    // other user can connect in between.
    if (chmod(path, kSocketMode))
        return VT_SYSERR("failed to set socket file mode -- %s", path);
    if (listen(object->descriptor, kBacklog))
        return VT_SYSERR("failed to passive unix socket");
    if (vt_thread_start(object->thread, vt_unix_server_thread, object))
        return VT_ERR("failed to create master thread");
    return 0;
}

static int vt_unix_client_init(vt_unix *object)
{
    const char *path = object->path.text;
    for (uint32_t slept = 0; path_missing(path) && slept < object->cfg->seconds; ++slept)
        sleep(1);
    if (path_missing(path))
        return VT_ERR("failed find socket file -- %s", path);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (vt_unix_sock(path, VT_UNIX_CLIENT))
            return VT_ERR("failed to open socket file -- %s", path);
        fd_holder connection{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        if (connection.fd < 0)
            return VT_SYSERR("failed to create unix socket");
        const sockaddr_un address = socket_address(object->path);
        if (connect(connection.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            object->descriptor = connection.release();
            break;
        }
        VT_SYSERR("failed to connect to socket file -- %s", path);
        connection.reset();
        sleep(1);
        // The last attempt's failure is this level's report.
        if (std::chrono::steady_clock::now() - start >= kConnectPeriod)
            return 1;
    }
    if (set_timeouts(object->descriptor))
        return VT_SYSERR("failed to set unix socket timeouts");
    if (vt_thread_start(object->thread, vt_unix_client_thread, object))
        return VT_ERR("failed to create master thread");
    return 0;
}

int vt_unix_cfg_init(vt_unix_cfg **slot, vt_unix_handler handler, void *user)
{
    if (VT_NIL(2, slot, handler))
        return 1;
    if (*slot)
        return VT_ERR("failed for create unix cfg object");
    *slot = new (std::nothrow) vt_unix_cfg{VT_UNIX_SECONDS, VT_UNIX_BUFFER_SIZE, handler, user};
    if (!*slot)
        return VT_ERR("failed for create unix cfg object");
    return 0;
}

int vt_unix_cfg_deit(vt_unix_cfg **slot)
{
    if (!slot || !*slot)
        return 1;
    delete *slot;
    *slot = nullptr;
    return 0;
}

int vt_unix_cfg_seconds(vt_unix_cfg *cfg, uint32_t seconds)
{
    if (VT_NIL(1, cfg))
        return 1;
    cfg->seconds = seconds;
    return 0;
}

int vt_unix_init(vt_unix **slot, const vt_unix_cfg *cfg, const char *path, int32_t type)
{
    if (VT_NIL(2, slot, cfg))
        return 1;
    unix_ptr object = *slot ? nullptr : new_object();
    if (!object)
        return VT_ERR("failed to create unix object");
    if (!path || !*path)
        return VT_ERR("invalid socket file path");
    if (vt_string_copy(&object->path, path, strlen(path)))
        return VT_ERR("failed to copy socket file path -- %s", path);
    object->cfg = cfg;
    object->type = type;
    if (object->path.length >= VT_UNIX_PATH_MAX)
        return VT_ERR("socket file path exceeded %u", unsigned(VT_UNIX_PATH_MAX));
    if (type == VT_UNIX_SERVER) {
        if (vt_unix_server_init(object.get()))
            return VT_ERR("failed to create unix server -- %s", path);
    } else if (type == VT_UNIX_CLIENT) {
        if (vt_unix_client_init(object.get()))
            return VT_ERR("failed to create unix client -- %s", path);
    } else {
        return VT_ERR("unknown type -- %d", type);
    }
    *slot = object.release();
    return 0;
}

int vt_unix_deit(vt_unix **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_unix *object = *slot;
    *slot = nullptr;
    return destroy(object);
}

int vt_unix_send_frame(int descriptor, const void *bytes, size_t length)
{
    if (length > 0 && VT_NIL(1, bytes))
        return 1;
    return vt_unix_send_frame(frame_write(descriptor, bytes, length));
}

int vt_unix_send(vt_unix *object, const void *bytes, size_t length)
{
    if (VT_NIL(1, object) || (length > 0 && VT_NIL(1, bytes)))
        return 1;
    if (vt_lock_acquire(object->lock))
        return VT_ERR("failed to lock unix object");
    const frame_result sent = frame_write(peer_descriptor(object), bytes, length);
    const int unlocked = vt_lock_release(object->lock);
    if (vt_unix_send_frame(sent))
        return VT_ERR("failed to send frame on socket -- %s", object->path.text);
    if (unlocked)
        return VT_ERR("failed to unlock unix object");
    return 0;
}

int vt_unix_send_opcode(vt_unix *object, int opcode)
{
    if (VT_NIL(1, object))
        return 1;
    const json_ptr obj = opcode_object(opcode);
    size_t length = 0;
    const text_ptr text = obj ? encode(obj.get(), &length) : nullptr;
    if (!text || vt_unix_send(object, text.get(), length))
        return VT_ERR("failed to send opcode -- %d", opcode);
    return 0;
}

int vt_unix_send_error(vt_unix *object, int code)
{
    if (VT_NIL(1, object))
        return 1;
    const json_ptr obj = opcode_object(VT_UNIX_ERROR);
    size_t length = 0;
    const text_ptr text =
        obj && vt_json_obj_number(obj.get(), "error", code) == 0 ? encode(obj.get(), &length) : nullptr;
    if (!text || vt_unix_send(object, text.get(), length))
        return VT_ERR("failed to send error -- %d", code);
    return 0;
}

int vt_unix_send_message(vt_unix *object, const char *format, ...)
{
    if (VT_NIL(2, object, format))
        return 1;
    if (vt_lock_acquire(object->lock))
        return VT_ERR("failed to lock unix object");
    object->message->used = 0;
    va_list args;
    va_start(args, format);
    const int formatted = vt_buffer_vprint(object->message, format, args);
    va_end(args);
    text_ptr payload;
    size_t size = 0;
    const message_fault built =
        formatted ? message_fault::none
                  : message_payload(reinterpret_cast<const char *>(object->message->data),
                                    object->message->used, &payload, &size);
    frame_result sent;
    if (!formatted && built == message_fault::none)
        sent = frame_write(peer_descriptor(object), payload.get(), size);
    const int unlocked = vt_lock_release(object->lock);
    // Reported only now that the lock is free (see vt_unix_send_frame above).
    if (formatted)
        return VT_ERR("failed to write message to buffer object");
    if (built == message_fault::create)
        return VT_ERR("failed to create json object");
    if (built == message_fault::write)
        return VT_ERR("failed to write opcode and message into json object");
    if (built == message_fault::encode)
        return VT_ERR("failed to encode json object");
    if (vt_unix_send_frame(sent))
        return VT_ERR("failed to send message -- %s", object->path.text);
    if (unlocked)
        return VT_ERR("failed to unlock unix object");
    return 0;
}

int vt_unix_server(int descriptor, const uint8_t *bytes, size_t length, void *user)
{
    (void)descriptor;
    auto *signal = static_cast<vt_unix_signal *>(user);
    if (VT_NIL(2, bytes, signal))
        return 1;
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_decode(&raw, bytes, length))
        return VT_ERR("failed to decode frame");
    const json_ptr frame(raw);
    int64_t opcode = 0;
    if (vt_json_obj_get_number(frame.get(), "opcode", &opcode))
        return VT_ERR("failed to get frame opcode");
    if (opcode == VT_UNIX_MESSAGE) {
        const char *text = nullptr;
        size_t size = 0;
        if (vt_json_obj_get_string(frame.get(), "message", &text, &size))
            return VT_ERR("failed to get message");
        fwrite(text, 1, size, stdout);
        fflush(stdout);
        return 0;
    }
    if (opcode == VT_UNIX_ERROR) {
        int64_t code = 0;
        if (vt_json_obj_get_number(frame.get(), "error", &code))
            return VT_ERR("failed to get error");
        signal->error = int32_t(code);
        return 0;
    }
    if (opcode == VT_UNIX_START)
        return vt_cond_signal(signal->event) ? VT_ERR("failed to send start signal") : 0;
    signal->stopped = 1;
    if (vt_cond_signal(signal->event))
        return VT_ERR("failed to send stop signal");
    return 1;
}

int vt_unix_client(int descriptor, const uint8_t *bytes, size_t length, void *user)
{
    (void)descriptor;
    (void)bytes;
    (void)length;
    (void)user;
    return 0;
}

void vt_unix_syslog_cb(const char *text, size_t length, void *user, unsigned level)
{
    (void)level;
    auto *object = static_cast<vt_unix *>(user);
    text_ptr payload;
    size_t size = 0;
    if (!object || !text || message_payload(text, length, &payload, &size) != message_fault::none)
        return;
    if (vt_lock_acquire(object->lock))
        return;
    frame_write(peer_descriptor(object), payload.get(), size);
    vt_lock_release(object->lock);
}
