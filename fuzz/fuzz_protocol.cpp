// Fuzzes the decoder of the subject's protocol responses: the 48-byte header in
// its JSON layout with the body it announces, decoded in place from an exact
// copy of the received message, and the read-layout header conversion.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "vt_json.h"
#include "vt_protocol.h"

namespace fmt = vt_ptc_format;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quiet_reports();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> message(data, data + size);
    vt_ptc_req request{};
    if (vt_ptc_req_init(&request, message.data(), message.size()) == 0) {
        // A decoded response stays inside the received bytes, and a failure code
        // always comes with its explanation.
        if (request.message != reinterpret_cast<vt_ptc_hdr *>(message.data()) ||
            request.message->length > size - fmt::kHeaderSize ||
            (request.message->error != 0 && !request.error) ||
            (request.error && strlen(request.error) != request.error_length))
            __builtin_trap();
        vt_ptc_req_deit(&request);
    } else if (request.body || request.error) {
        __builtin_trap(); // a failed decode leaves nothing allocated
    }
    if (size >= fmt::kHeaderSize) {
        std::vector<uint8_t> header(data, data + fmt::kHeaderSize);
        vt_ptc_read_ntoh(reinterpret_cast<vt_ptc_read_hdr *>(header.data()));
    }
    return 0;
}
