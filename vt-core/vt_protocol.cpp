// Subject protocol codec: the examiner's outgoing messages are built in one
// caller-owned buffer with the header in front of the JSON body; incoming
// responses are decoded in place, trusting no length the peer sends.
#include "vt_protocol.h"

#include <endian.h>

#include <cstring>
#include <limits>

#include "vt_buffer.h"
#include "vt_json.h"
#include "vt_syslog.h"

namespace fmt = vt_ptc_format;

// Reserves the zeroed header at offset 0 and fills its JSON-layout fields. The
// reservation sets the buffer's used length to 0; a body encoded behind the header
// beforehand keeps its bytes.
static int write_json_header(vt_buffer *buffer, uint8_t opcode, uint32_t error,
                             uint32_t body_length, uint8_t **message)
{
    uint8_t *bytes = nullptr;
    if (vt_buffer_calloc_(buffer, &bytes, 0, fmt::kHeaderSize))
        return 1;
    auto *header = reinterpret_cast<vt_ptc_hdr *>(bytes);
    header->opcode = opcode;
    header->error = error;
    header->length = body_length;
    if (vt_ptc_hdr_hton(header))
        return 1;
    *message = bytes;
    return 0;
}

// The body of a decoded message, parsed and checked against the error code:
// a failure response must explain itself with an "error" string.
static int decode_body(vt_ptc_req *request, uint8_t *message, size_t size)
{
    const vt_ptc_hdr *header = request->message;
    if (header->length != 0) {
        // 48 + a 32-bit length cannot overflow size_t; the peer's length is
        // trusted only once the received bytes cover it.
        if (size - fmt::kHeaderSize < header->length)
            return 1;
        if (vt_json_obj_decode(&request->body, message + fmt::kHeaderSize, header->length))
            return 1;
    }
    if (header->error == 0)
        return 0;
    if (!request->body)
        return 1;
    return vt_json_obj_get_string(request->body, "error", &request->error,
                                  &request->error_length);
}

int vt_ptc_hdr_hton(vt_ptc_hdr *header)
{
    if (!header)
        return 1;
    if (!vt_ptc_opcode_valid(header->opcode))
        return VT_ERR("%u is an invalid opcode", static_cast<unsigned>(header->opcode));
    header->error = htobe32(header->error);
    header->length = htobe32(header->length);
    std::memset(header->reserved, 0, sizeof header->reserved);
    return 0;
}

int vt_ptc_hdr_ntoh(vt_ptc_hdr *header)
{
    if (!header)
        return 1;
    if (!vt_ptc_opcode_valid(header->opcode))
        return VT_ERR("%u is an invalid opcode", static_cast<unsigned>(header->opcode));
    header->error = be32toh(header->error);
    header->length = be32toh(header->length);
    return 0;
}

int vt_ptc_res_json(vt_buffer *buffer, vt_json_obj *document, uint8_t opcode, uint32_t error,
                    uint8_t **message, size_t *size)
{
    if (!buffer || !document || !message || !size)
        return 1;
    size_t body_length = 0;
    if (vt_json_obj_encode_buffer(document, buffer, fmt::kHeaderSize, &body_length))
        return 1;
    // The length field is 32 bits wide; a larger body cannot be described.
    if (body_length > std::numeric_limits<uint32_t>::max())
        return 1;
    if (write_json_header(buffer, opcode, error, static_cast<uint32_t>(body_length), message))
        return 1;
    *size = fmt::kHeaderSize + body_length;
    return 0;
}

int vt_ptc_res_header(vt_buffer *buffer, uint8_t opcode, uint32_t error, uint8_t **message,
                      size_t *size)
{
    if (!buffer || !message || !size)
        return 1;
    if (write_json_header(buffer, opcode, error, 0, message))
        return 1;
    *size = fmt::kHeaderSize;
    return 0;
}

int vt_ptc_read_req(vt_buffer *buffer, uint32_t id, uint64_t offset, uint64_t length,
                    uint64_t limit, uint8_t **message, size_t *size)
{
    if (!buffer || !message || !size)
        return 1;
    uint8_t *bytes = nullptr;
    if (vt_buffer_calloc_(buffer, &bytes, 0, fmt::kHeaderSize))
        return 1;
    // Error code, flags and reserved bytes stay zero from the reservation.
    auto *header = reinterpret_cast<vt_ptc_read_hdr *>(bytes);
    header->opcode = VT_PTC_TARGET_READ_REQ;
    header->id = htobe32(id);
    header->offset = htobe64(offset);
    header->length = htobe64(length);
    header->limit = htobe64(limit);
    *message = bytes;
    *size = fmt::kHeaderSize;
    return 0;
}

int vt_ptc_req_init(vt_ptc_req *request, uint8_t *message, size_t size)
{
    if (!request || !message || size < fmt::kHeaderSize)
        return 1;
    *request = {};
    auto *header = reinterpret_cast<vt_ptc_hdr *>(message);
    if (vt_ptc_hdr_ntoh(header))
        return 1;
    request->message = header;
    if (decode_body(request, message, size)) {
        vt_ptc_req_deit(request);
        return 1;
    }
    return 0;
}

int vt_ptc_req_deit(vt_ptc_req *request)
{
    if (!request)
        return 1;
    if (request->body)
        vt_json_obj_deit(&request->body);
    *request = {};
    return 0;
}

int vt_ptc_read_ntoh(vt_ptc_read_hdr *header)
{
    if (!header)
        return 1;
    header->id = be32toh(header->id);
    header->error = be32toh(header->error);
    header->offset = be64toh(header->offset);
    header->length = be64toh(header->length);
    header->limit = be64toh(header->limit);
    header->flags = be32toh(header->flags);
    return 0;
}
