// Wire layout of a subject protocol message: the 48-byte header in its two
// layouts (JSON and read), the opcodes the examiner sends and accepts, and the
// subject error codes it treats specially. Numbers in a header are big-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vt_ptc_format {

// Every header, in both layouts, is exactly this long; a body or read data follows.
inline constexpr size_t kHeaderSize = 48;

// Byte 0 is the opcode in both layouts and must lie in 1..36.
inline constexpr size_t kOpcodeOffset = 0;   // 1 byte
inline constexpr uint8_t kOpcodeMin = 1;
inline constexpr uint8_t kOpcodeMax = 36;

// JSON layout: every message except target read requests and responses.
inline constexpr size_t kJsonErrorOffset = 1;     // 4 bytes: 0 success, else "error" in body
inline constexpr size_t kJsonLengthOffset = 5;    // 4 bytes: body length, its zero byte counted
inline constexpr size_t kJsonReservedOffset = 9;  // 39 bytes: zero
inline constexpr size_t kJsonReservedSize = kHeaderSize - kJsonReservedOffset;

// Read layout: target read request (opcode 15) and response (opcode 17).
inline constexpr size_t kReadIdOffset = 1;         // 4 bytes: target id (request only)
inline constexpr size_t kReadErrorOffset = 5;      // 4 bytes: 0 in a request, subject's code in a response
inline constexpr size_t kReadOffsetOffset = 9;     // 8 bytes: first byte wanted (request only)
inline constexpr size_t kReadLengthOffset = 17;    // 8 bytes: bytes wanted / data bytes carried
inline constexpr size_t kReadLimitOffset = 25;     // 8 bytes: largest piece accepted (request only)
inline constexpr size_t kReadFlagsOffset = 33;     // 4 bytes: bit 0 = last piece (response only)
inline constexpr size_t kReadReservedOffset = 37;  // 11 bytes: zero
inline constexpr size_t kReadReservedSize = kHeaderSize - kReadReservedOffset;

// Flags bit 0 of a read response: no further piece follows for this request.
// Bit 0 of the big-endian field travels in byte 36.
inline constexpr uint32_t kReadFlagLast = 0x1;

} // namespace vt_ptc_format

// Opcodes the examiner sends (REQ) and accepts (RES); 1..36 pass the header check.
enum vt_ptc_opcode : uint8_t {
    VT_PTC_TARGET_LIST_REQ = 9,
    VT_PTC_TARGET_LIST_RES = 10,
    VT_PTC_TARGET_LOGIN_REQ = 11,
    VT_PTC_TARGET_LOGIN_RES = 12,
    VT_PTC_TARGET_LOGOUT_REQ = 13,
    VT_PTC_TARGET_LOGOUT_RES = 14,
    VT_PTC_TARGET_READ_REQ = 15,
    VT_PTC_TARGET_READ_RES = 17,
    VT_PTC_SUBJECT_LOGIN_REQ = 22,
    VT_PTC_SUBJECT_LOGIN_RES = 23,
    VT_PTC_SUBJECT_SHUTDOWN_REQ = 26,
    VT_PTC_SUBJECT_SHUTDOWN_RES = 27,
    VT_PTC_SUBJECT_ECHO_RES = 29,
    VT_PTC_SUBJECT_INFO_REQ = 33,
    VT_PTC_SUBJECT_INFO_RES = 34,
    VT_PTC_NOTIFY = 35,
};

// Subject error codes with a fixed meaning to the examiner; the agent defines the rest.
// A target login answered with this code still counts as logged in.
inline constexpr uint32_t VT_PTC_ERR_LOGIN_TOLERATED = 0xE0;
// A read refused with this code completes with an error but keeps the channel usable.
inline constexpr uint32_t VT_PTC_ERR_READ_RECOVERABLE = 0x300;

enum class vt_ptc_layout : uint8_t { json, read };
enum class vt_ptc_direction : uint8_t { to_subject, to_examiner };

// One row of the opcode table. `name` is the operation word the session's log
// messages use ("target list"); null for messages that are not status requests.
struct vt_ptc_opcode_info {
    uint8_t opcode;
    vt_ptc_direction direction;
    vt_ptc_layout layout;
    const char *name;
};

inline constexpr std::array<vt_ptc_opcode_info, 16> vt_ptc_opcode_table = {{
    {VT_PTC_TARGET_LIST_REQ, vt_ptc_direction::to_subject, vt_ptc_layout::json, "target list"},
    {VT_PTC_TARGET_LIST_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::json, "target list"},
    {VT_PTC_TARGET_LOGIN_REQ, vt_ptc_direction::to_subject, vt_ptc_layout::json, "target login"},
    {VT_PTC_TARGET_LOGIN_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::json, "target login"},
    {VT_PTC_TARGET_LOGOUT_REQ, vt_ptc_direction::to_subject, vt_ptc_layout::json, "target logout"},
    {VT_PTC_TARGET_LOGOUT_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::json, "target logout"},
    {VT_PTC_TARGET_READ_REQ, vt_ptc_direction::to_subject, vt_ptc_layout::read, nullptr},
    {VT_PTC_TARGET_READ_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::read, nullptr},
    {VT_PTC_SUBJECT_LOGIN_REQ, vt_ptc_direction::to_subject, vt_ptc_layout::json, "subject login"},
    {VT_PTC_SUBJECT_LOGIN_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::json, "subject login"},
    {VT_PTC_SUBJECT_SHUTDOWN_REQ, vt_ptc_direction::to_subject, vt_ptc_layout::json, "subject shutdown"},
    {VT_PTC_SUBJECT_SHUTDOWN_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::json, "subject shutdown"},
    {VT_PTC_SUBJECT_ECHO_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::json, "subject echo"},
    {VT_PTC_SUBJECT_INFO_REQ, vt_ptc_direction::to_subject, vt_ptc_layout::json, nullptr},
    {VT_PTC_SUBJECT_INFO_RES, vt_ptc_direction::to_examiner, vt_ptc_layout::json, nullptr},
    {VT_PTC_NOTIFY, vt_ptc_direction::to_examiner, vt_ptc_layout::json, nullptr},
}};

// The table row of an opcode the examiner sends or accepts; null for any other.
constexpr const vt_ptc_opcode_info *vt_ptc_opcode_find(uint8_t opcode)
{
    for (const vt_ptc_opcode_info &info : vt_ptc_opcode_table)
        if (info.opcode == opcode)
            return &info;
    return nullptr;
}

// True for the opcodes a header may carry at all.
constexpr bool vt_ptc_opcode_valid(unsigned opcode)
{
    return opcode >= vt_ptc_format::kOpcodeMin && opcode <= vt_ptc_format::kOpcodeMax;
}
