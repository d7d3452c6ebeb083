// The requests the agent serves on a negotiated connection: subject login (the
// only one served before it succeeds), subject information, the target list,
// target login and logout, target reads in pieces, and shutdown.
#include <algorithm>
#include <cstring>
#include <endian.h>
#include <memory>
#include <string>

#include "vt_agent.h"
#include "vt_agent_format.h"
#include "vt_buffer.h"
#include "vt_json.h"
#include "vt_syslog.h"

namespace fmt = vt_agent_format;
namespace ptc = vt_ptc_format;

namespace {

struct obj_deleter {
    void operator()(vt_json_obj *obj) const { vt_json_obj_deit(&obj); }
};
using obj_ptr = std::unique_ptr<vt_json_obj, obj_deleter>;

struct request_holder {
    vt_ptc_req request{};
    ~request_holder() { vt_ptc_req_deit(&request); }
};

// The answer to each JSON-layout request the agent serves.
constexpr uint8_t response_opcode(uint8_t opcode)
{
    switch (opcode) {
    case VT_PTC_TARGET_LIST_REQ:
        return VT_PTC_TARGET_LIST_RES;
    case VT_PTC_TARGET_LOGIN_REQ:
        return VT_PTC_TARGET_LOGIN_RES;
    case VT_PTC_TARGET_LOGOUT_REQ:
        return VT_PTC_TARGET_LOGOUT_RES;
    case VT_PTC_SUBJECT_LOGIN_REQ:
        return VT_PTC_SUBJECT_LOGIN_RES;
    case VT_PTC_SUBJECT_SHUTDOWN_REQ:
        return VT_PTC_SUBJECT_SHUTDOWN_RES;
    case VT_PTC_SUBJECT_INFO_REQ:
        return VT_PTC_SUBJECT_INFO_RES;
    default:
        // Not a request of ours; the next opcode keeps the request/response pairing.
        return opcode < ptc::kOpcodeMax ? uint8_t(opcode + 1) : opcode;
    }
}

} // namespace

// A JSON-layout answer: the document as body, or no body at all.
static int send_json(vt_agent_session *session, uint8_t opcode, uint32_t error,
                     vt_json_obj *document)
{
    uint8_t *message = nullptr;
    size_t size = 0;
    int failed = document ? vt_ptc_res_json(session->reply, document, opcode, error, &message, &size)
                          : vt_ptc_res_header(session->reply, opcode, error, &message, &size);
    if (failed)
        return VT_ERR("failed to build answer with opcode %u", unsigned(opcode));
    return vt_agent_session_send(session, message, size);
}

static int error_document(const std::string &text, obj_ptr *document)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return 1;
    document->reset(raw);
    return vt_json_obj_string(raw, "error", text.data(), text.size());
}

// A refusal: the code and its text under "error". The connection goes on.
static int send_error(vt_agent_session *session, uint8_t opcode, uint32_t error,
                      const std::string &text)
{
    obj_ptr document;
    if (error_document(text, &document))
        return VT_ERR("failed to build error answer");
    if (session->server->opt->verbose)
        vt_syslog_log(session->server->out, 1, "Refused request with code %x: %s.\n",
                      unsigned(error), text.c_str());
    return send_json(session, opcode, error, document.get());
}

// Read-layout header of one answer piece, numbers in network order.
static void read_header(uint8_t *bytes, const vt_ptc_read_hdr &request, uint32_t error,
                        uint64_t offset, uint64_t length, bool last)
{
    vt_ptc_read_hdr header{};
    header.opcode = VT_PTC_TARGET_READ_RES;
    header.id = htobe32(request.id);
    header.error = htobe32(error);
    header.offset = htobe64(offset);
    header.length = htobe64(length);
    header.flags = htobe32(last ? ptc::kReadFlagLast : 0);
    memcpy(bytes, &header, sizeof header);
}

// A refused read: the read layout carries the error code, and the "error" text
// follows as a body that a reader of the length field can find.
static int send_read_error(vt_agent_session *session, const vt_ptc_read_hdr &request,
                           uint32_t error, const std::string &text)
{
    obj_ptr document;
    size_t body = 0;
    uint8_t *header = nullptr;
    if (error_document(text, &document) ||
        vt_json_obj_encode_buffer(document.get(), session->reply, ptc::kHeaderSize, &body) ||
        vt_buffer_calloc_(session->reply, &header, 0, ptc::kHeaderSize))
        return VT_ERR("failed to build read error answer");
    read_header(header, request, error, request.offset, body, true);
    if (session->server->opt->verbose)
        vt_syslog_log(session->server->out, 1, "Refused read with code %x: %s.\n",
                      unsigned(error), text.c_str());
    return vt_agent_session_send(session, header, ptc::kHeaderSize + body);
}

static int serve_login(vt_agent_session *session, const vt_ptc_req &request)
{
    const char *user = nullptr, *password = nullptr;
    size_t user_length = 0, password_length = 0;
    if (!request.body ||
        vt_json_obj_get_string(request.body, "username", &user, &user_length) ||
        vt_json_obj_get_string(request.body, "password", &password, &password_length))
        return send_error(session, VT_PTC_SUBJECT_LOGIN_RES, VT_AGENT_ERR_REQUEST,
                          "subject login needs a username and a password");
    if (vt_agent_login_check(&session->server->login, user, user_length, password,
                             password_length)) {
        vt_syslog_log(session->server->out, 0, "Refused subject login.\n");
        return send_error(session, VT_PTC_SUBJECT_LOGIN_RES, VT_AGENT_ERR_LOGIN,
                          "invalid user name or password");
    }
    session->logged_in = true;
    return send_json(session, VT_PTC_SUBJECT_LOGIN_RES, 0, nullptr);
}

static int serve_info(vt_agent_session *session)
{
    vt_json_obj *raw = nullptr;
    if (vt_agent_subject_info(session->server, session->conn, &raw))
        return send_error(session, VT_PTC_SUBJECT_INFO_RES, VT_AGENT_ERR_INTERNAL,
                          "failed to gather subject information");
    obj_ptr document(raw);
    return send_json(session, VT_PTC_SUBJECT_INFO_RES, 0, document.get());
}

static int serve_target_list(vt_agent_session *session)
{
    vt_json_obj *raw = nullptr;
    if (vt_agent_table_json(session->server->table, &raw))
        return send_error(session, VT_PTC_TARGET_LIST_RES, VT_AGENT_ERR_INTERNAL,
                          "failed to list targets");
    obj_ptr document(raw);
    return send_json(session, VT_PTC_TARGET_LIST_RES, 0, document.get());
}

// Target login (`login` true) and logout: {"id": target id}.
static int serve_target_login(vt_agent_session *session, const vt_ptc_req &request, bool login)
{
    uint8_t opcode = login ? VT_PTC_TARGET_LOGIN_RES : VT_PTC_TARGET_LOGOUT_RES;
    int64_t id = 0;
    if (!request.body || vt_json_obj_get_number(request.body, "id", &id))
        return send_error(session, opcode, VT_AGENT_ERR_REQUEST, "target request needs an id");
    const vt_agent_target *target =
        id > 0 ? vt_agent_table_find(session->server->table, uint64_t(id)) : nullptr;
    if (!target)
        return send_error(session, opcode, VT_AGENT_ERR_TARGET,
                          "no target with id " + std::to_string(id));
    uint8_t &state = session->targets[target->id - 1];
    if (login && state)
        return send_error(session, opcode, VT_AGENT_ERR_TARGET_AGAIN,
                          std::string("target ") + target->name.text + " is already logged in");
    if (!login && !state)
        return send_error(session, opcode, VT_AGENT_ERR_TARGET_LOGIN,
                          std::string("target ") + target->name.text + " is not logged in");
    state = login;
    return send_json(session, opcode, 0, nullptr);
}

// Answers a read in pieces of at most the examiner's limit (and our own), the last
// one flagged; a range running past the end is clipped to the end.
static int serve_read(vt_agent_session *session, const uint8_t *message, size_t length)
{
    vt_ptc_read_hdr request;
    if (length != sizeof request)
        return VT_ERR("invalid read request of %zu bytes", length);
    memcpy(&request, message, sizeof request);
    vt_ptc_read_ntoh(&request);
    const vt_agent_target *target = vt_agent_table_find(session->server->table, request.id);
    if (!target)
        return send_read_error(session, request, VT_AGENT_ERR_TARGET,
                               "no target with id " + std::to_string(request.id));
    if (!session->targets[target->id - 1])
        return send_read_error(session, request, VT_AGENT_ERR_TARGET_LOGIN,
                               std::string("target ") + target->name.text + " is not logged in");
    if (request.offset >= target->size)
        return send_read_error(session, request, VT_AGENT_ERR_READ,
                               "read at " + std::to_string(request.offset) + " is beyond the end (" +
                                   std::to_string(target->size) + " bytes)");
    if (request.length == 0 || request.limit == 0)
        return send_read_error(session, request, VT_AGENT_ERR_READ,
                               "read of no bytes or in pieces of no bytes");
    uint64_t end = request.offset + std::min(request.length, target->size - request.offset);
    uint64_t piece = std::min(request.limit, fmt::kPieceMax);
    for (uint64_t at = request.offset; at < end;) {
        size_t count = size_t(std::min(piece, end - at));
        uint8_t *bytes = nullptr;
        if (vt_buffer_malloc_(session->reply, &bytes, 0, ptc::kHeaderSize + count))
            return VT_ERR("failed to reserve read piece of %zu bytes", count);
        if (vt_agent_target_read(target, at, bytes + ptc::kHeaderSize, count))
            return send_read_error(session, request, VT_AGENT_ERR_READ,
                                   "input/output error at " + std::to_string(at));
        read_header(bytes, request, 0, at, count, at + count == end);
        if (vt_agent_session_send(session, bytes, ptc::kHeaderSize + count))
            return 1;
        at += count;
    }
    return 0;
}

static int serve_shutdown(vt_agent_session *session)
{
    if (send_json(session, VT_PTC_SUBJECT_SHUTDOWN_RES, 0, nullptr))
        return 1;
    vt_syslog_log(session->server->out, 1, "Shutdown requested by the examiner.\n");
    vt_agent_server_stop(session->server);
    return 0;
}

static int serve_json(vt_agent_session *session, uint8_t *message, size_t length)
{
    request_holder holder;
    // A message that is not a well-formed request breaks the protocol: close.
    if (vt_ptc_req_init(&holder.request, message, length))
        return VT_ERR("invalid request of %zu bytes", length);
    uint8_t opcode = message[ptc::kOpcodeOffset];
    if (opcode == VT_PTC_SUBJECT_LOGIN_REQ)
        return serve_login(session, holder.request);
    if (!session->logged_in)
        return send_error(session, response_opcode(opcode), VT_AGENT_ERR_NO_LOGIN,
                          "subject login required");
    switch (opcode) {
    case VT_PTC_SUBJECT_INFO_REQ:
        return serve_info(session);
    case VT_PTC_TARGET_LIST_REQ:
        return serve_target_list(session);
    case VT_PTC_TARGET_LOGIN_REQ:
        return serve_target_login(session, holder.request, true);
    case VT_PTC_TARGET_LOGOUT_REQ:
        return serve_target_login(session, holder.request, false);
    case VT_PTC_SUBJECT_SHUTDOWN_REQ:
        return serve_shutdown(session);
    default:
        return send_error(session, response_opcode(opcode), VT_AGENT_ERR_OPCODE,
                          "unsupported request " + std::to_string(opcode));
    }
}

int vt_agent_dispatch(vt_agent_session *session, uint8_t *message, size_t length)
{
    if (VT_NIL(2, session, message))
        return 1;
    if (length < ptc::kHeaderSize || !vt_ptc_opcode_valid(message[ptc::kOpcodeOffset]))
        return VT_ERR("invalid request header of %zu bytes", length);
    if (message[ptc::kOpcodeOffset] != VT_PTC_TARGET_READ_REQ)
        return serve_json(session, message, length);
    if (!session->logged_in) {
        vt_ptc_read_hdr request{};
        if (length != sizeof request)
            return VT_ERR("invalid read request of %zu bytes", length);
        memcpy(&request, message, sizeof request);
        vt_ptc_read_ntoh(&request);
        return send_read_error(session, request, VT_AGENT_ERR_NO_LOGIN, "subject login required");
    }
    return serve_read(session, message, length);
}
