// Fixed values of the subject agent: defaults of its command line, what it says
// about itself, the target kinds it serves and the error codes of its answers.
// The examiner gives meaning only to 0xE0 (target login) and 0x300 (read).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vt_agent_format {

inline constexpr char kDefaultHost[] = "0.0.0.0";
inline constexpr char kDefaultPort[] = "3262";
inline constexpr char kDefaultPath[] = "/sub";
inline constexpr char kVersion[] = "1.0.0";

// Subject information: "module" is ours to define (the examiner only carries it);
// "subject_type" 6 is the platform code of Linux ("lin").
inline constexpr uint64_t kModule = 1;
inline constexpr uint64_t kSubjectType = 6;

// Target "type" values: a block device, or a regular file served in 512-byte blocks.
inline constexpr uint32_t kTargetDisk = 1;
inline constexpr uint32_t kTargetFile = 2;
inline constexpr uint64_t kFileBlockSize = 512;

// Largest protocol message the agent accepts (the examiner's default frame size),
// and the largest read piece it sends whatever limit the examiner names, so one
// connection never holds more than a few MiB however large its requests are.
inline constexpr size_t kStackSize = 524288 + 48;
inline constexpr uint64_t kPieceMax = 4u << 20;

// The upgrade answer's accept value is SHA-1 over the client's key and this text.
inline constexpr char kWebSocketGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
inline constexpr size_t kWebSocketKeyLength = 24;

} // namespace vt_agent_format

// Error codes of the agent's answers; every non-zero code travels with an "error" text.
enum vt_agent_error : uint32_t {
    VT_AGENT_OK = 0,
    VT_AGENT_ERR_TARGET_AGAIN = 0xE0,   // target login: already logged in (still a success)
    VT_AGENT_ERR_LOGIN = 0x100,         // subject login refused
    VT_AGENT_ERR_NO_LOGIN = 0x101,      // a request before the subject login
    VT_AGENT_ERR_REQUEST = 0x102,       // a request body without its members
    VT_AGENT_ERR_OPCODE = 0x103,        // a request the agent does not serve
    VT_AGENT_ERR_INTERNAL = 0x104,      // the answer could not be built
    VT_AGENT_ERR_TARGET = 0x200,        // no target with that id
    VT_AGENT_ERR_TARGET_LOGIN = 0x201,  // the target is not logged in on this connection
    VT_AGENT_ERR_READ = 0x300,          // read outside the target, or an I/O error
};
