// One examiner connection on its reader thread: the upgrade answer, the serving
// side of the key negotiation in clear frames, then every request opened,
// served and answered in encrypted frames. A frame that breaks the framing or the
// negotiation closes this connection only.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/eventfd.h>
#include <unistd.h>

#include "vt_agent.h"
#include "vt_agent_format.h"
#include "vt_buffer.h"
#include "vt_syslog.h"
#include "vt_web.h"
#include "vt_web_key.h"

namespace fmt = vt_agent_format;
namespace key = vt_key_format;

namespace {

struct session_deleter {
    void operator()(vt_agent_session *session) const { vt_agent_session_deit(&session); }
};

} // namespace

// Before the first frame: answer the upgrade, or close the connection so that the
// reader ends at once (the close handler then hands the session back).
static void session_upgrade_cb(const mg_connection *conn, void *user)
{
    auto *session = static_cast<vt_agent_session *>(user);
    if (vt_agent_upgrade(session->conn, session->server->opt->path)) {
        VT_ERR("failed to upgrade connection");
        mg_connection_close(session->conn);
    }
    (void)conn;
}

// The reader has stopped: tell the server, which joins and frees the connection.
static void session_close_cb(const mg_connection *, void *user)
{
    auto *session = static_cast<vt_agent_session *>(user);
    vt_agent_server *server = session->server;
    session->done = true;
    eventfd_write(server->wake_fd, 1);
}

// A negotiation message: the serving step's answer goes back in clear under the tag.
static int session_negotiate(vt_agent_session *session, const uint8_t *message, size_t length)
{
    if (vt_key_peer_answer(session->peer, message, length, session->reply))
        return VT_ERR("key negotiation failed");
    uint8_t *frame = nullptr;
    size_t size = key::kTagSize + session->reply->used;
    if (vt_buffer_malloc_(session->payload, &frame, 0, size))
        return VT_ERR("failed to reserve %zu bytes", size);
    key::store32(frame, session->tag);
    memcpy(frame + key::kTagSize, session->reply->data, session->reply->used);
    if (mg_websocket_write(session->conn, mg_opcode_binary, frame, size) != ssize_t(size))
        return VT_ERR("failed to send key negotiation message");
    return 0;
}

// Every frame of the connection; a non-zero result ends the reader.
static int session_frame_cb(mg_connection *, int opcode, uint8_t *payload, size_t length,
                            void *user)
{
    auto *session = static_cast<vt_agent_session *>(user);
    if (opcode != mg_opcode_binary || length < key::kTagSize)
        return VT_ERR("invalid frame of opcode %d and %zu bytes", opcode, length);
    session->tag = key::load32(payload);
    if (!vt_key_peer_ready(session->peer))
        return session_negotiate(session, payload + key::kTagSize, length - key::kTagSize);
    uint32_t tag = 0;
    if (vt_key_frame_open(session->peer->aes, payload, length, &tag, session->message,
                          fmt::kStackSize))
        return VT_ERR("failed to open request frame");
    return vt_agent_dispatch(session, session->message->data, session->message->used);
}

int vt_agent_session_send(vt_agent_session *session, const uint8_t *message, size_t length)
{
    if (VT_NIL(2, session, message))
        return 1;
    vt_buffer *payload = session->payload;
    if (vt_key_frame_seal(session->peer->aes, session->peer->rng, session->tag, message, length,
                          payload))
        return VT_ERR("failed to seal answer of %zu bytes", length);
    if (mg_websocket_write(session->conn, mg_opcode_binary, payload->data, payload->used) !=
        ssize_t(payload->used))
        return VT_ERR("failed to send answer of %zu bytes", length);
    return 0;
}

int vt_agent_session_init(vt_agent_session **slot, vt_agent_server *server, int fd)
{
    if (!slot || *slot || !server) {
        if (fd >= 0)
            close(fd);
        return VT_ERR("invalid session slot");
    }
    std::unique_ptr<vt_agent_session, session_deleter> session(new (std::nothrow)
                                                                   vt_agent_session{});
    if (!session) {
        close(fd);
        return VT_ERR("failed to create session object");
    }
    session->server = server;
    // The connection owns the descriptor from here on, also when this fails.
    if (mg_connection_init(&session->conn, fd, mg_role_server, session.get()))
        return VT_ERR("failed to create connection object");
    session->conn->payload_max = vt_web_frame_max(fmt::kStackSize);
    size_t count = server->table->count;
    if (vt_key_peer_init(&session->peer, server->opt->dh_kind) ||
        vt_buffer_init(&session->message, 0) || vt_buffer_init(&session->reply, 0) ||
        vt_buffer_init(&session->payload, 0) ||
        !(session->targets = static_cast<uint8_t *>(calloc(count ? count : 1, 1))))
        return VT_ERR("failed to create session buffers");
    session->client.data_handler = session_frame_cb;
    session->client.close_handler = session_close_cb;
    session->client.channel = session.get();
    session->client.init = session_upgrade_cb;
    session->client.init_user_data = session.get();
    *slot = session.release();
    return 0;
}

int vt_agent_session_start(vt_agent_session *session)
{
    if (VT_NIL(1, session))
        return 1;
    if (mg_start_reader(session->conn, &session->client))
        return VT_ERR("failed to start connection thread");
    return 0;
}

int vt_agent_session_deit(vt_agent_session **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_agent_session *session = *slot;
    // Stops and joins the reader first: nothing uses the buffers after this.
    if (session->conn)
        mg_close_connection(session->conn);
    vt_key_peer_deit(&session->peer);
    vt_buffer_deit(&session->message);
    vt_buffer_deit(&session->reply);
    vt_buffer_deit(&session->payload);
    free(session->targets);
    delete session;
    *slot = nullptr;
    return 0;
}
