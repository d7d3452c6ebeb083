// Subject protocol messages: building the examiner's requests (48-byte header plus
// an optional JSON body) in a caller's buffer, and decoding the subject's responses
// with every peer-supplied length checked before it is used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vt_protocol_format.h"

struct vt_buffer;
struct vt_json_obj;

// JSON-layout header as it lies in a message: packed, so it can be overlaid on the
// received bytes. Field order and offsets are those of vt_protocol_format.h.
struct __attribute__((packed)) vt_ptc_hdr {
    uint8_t opcode;
    uint32_t error;
    uint32_t length;
    uint8_t reserved[vt_ptc_format::kJsonReservedSize];
};

// Read-layout header (target read request and response).
struct __attribute__((packed)) vt_ptc_read_hdr {
    uint8_t opcode;
    uint32_t id;
    uint32_t error;
    uint64_t offset;
    uint64_t length;
    uint64_t limit;
    uint32_t flags;
    uint8_t reserved[vt_ptc_format::kReadReservedSize];
};

static_assert(sizeof(vt_ptc_hdr) == vt_ptc_format::kHeaderSize);
static_assert(offsetof(vt_ptc_hdr, opcode) == vt_ptc_format::kOpcodeOffset);
static_assert(offsetof(vt_ptc_hdr, error) == vt_ptc_format::kJsonErrorOffset);
static_assert(offsetof(vt_ptc_hdr, length) == vt_ptc_format::kJsonLengthOffset);
static_assert(offsetof(vt_ptc_hdr, reserved) == vt_ptc_format::kJsonReservedOffset);
static_assert(sizeof(vt_ptc_read_hdr) == vt_ptc_format::kHeaderSize);
static_assert(offsetof(vt_ptc_read_hdr, opcode) == vt_ptc_format::kOpcodeOffset);
static_assert(offsetof(vt_ptc_read_hdr, id) == vt_ptc_format::kReadIdOffset);
static_assert(offsetof(vt_ptc_read_hdr, error) == vt_ptc_format::kReadErrorOffset);
static_assert(offsetof(vt_ptc_read_hdr, offset) == vt_ptc_format::kReadOffsetOffset);
static_assert(offsetof(vt_ptc_read_hdr, length) == vt_ptc_format::kReadLengthOffset);
static_assert(offsetof(vt_ptc_read_hdr, limit) == vt_ptc_format::kReadLimitOffset);
static_assert(offsetof(vt_ptc_read_hdr, flags) == vt_ptc_format::kReadFlagsOffset);
static_assert(offsetof(vt_ptc_read_hdr, reserved) == vt_ptc_format::kReadReservedOffset);

// A decoded JSON-layout response. `message` points at the received header (its
// numbers now in host order) and belongs to the channel; `error` points into `body`
// and is set only when the error code is not 0.
struct vt_ptc_req {
    vt_ptc_hdr *message;
    vt_json_obj *body;
    const char *error;
    size_t error_length;
};

// Every function returns 0 on success and 1 on failure. Only the opcode check
// reports ("%u is an invalid opcode"); other failures are reported by the JSON
// helpers or left to the caller.

// Checks the opcode, converts error code and body length to network order and
// zeroes the reserved bytes.
int vt_ptc_hdr_hton(vt_ptc_hdr *header);
// Checks the opcode and converts error code and body length to host order.
int vt_ptc_hdr_ntoh(vt_ptc_hdr *header);

// Build a message at the start of `buffer`: *message points at it and *size is its
// total length. The buffer's used length is left at 0; the bytes stay valid until
// the buffer is next written.
int vt_ptc_res_json(vt_buffer *buffer, vt_json_obj *document, uint8_t opcode, uint32_t error,
                    uint8_t **message, size_t *size);
int vt_ptc_res_header(vt_buffer *buffer, uint8_t opcode, uint32_t error, uint8_t **message,
                      size_t *size);
int vt_ptc_read_req(vt_buffer *buffer, uint32_t id, uint64_t offset, uint64_t length,
                    uint64_t limit, uint8_t **message, size_t *size);

// Decodes a received JSON-layout message in place (header numbers to host order)
// into the record, which is overwritten and so must not hold a body still to be
// released. A message shorter than its header or than its stated body fails
// silently; on any failure the record is left empty and nothing stays allocated.
int vt_ptc_req_init(vt_ptc_req *request, uint8_t *message, size_t size);
// Releases the body and clears the record.
int vt_ptc_req_deit(vt_ptc_req *request);

// Converts every numeric field of a read-layout header to host order in place.
// It fails only on an absent header.
int vt_ptc_read_ntoh(vt_ptc_read_hdr *header);
