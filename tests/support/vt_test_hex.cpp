// Hexadecimal text of bytes for the tests' comparisons.
#include "vt_test_hex.h"

#include <cstdio>

namespace vt_test {

std::string to_hex(const uint8_t *data, size_t length)
{
    std::string out;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        snprintf(pair, sizeof pair, "%02x", data[i]);
        out += pair;
    }
    return out;
}

} // namespace vt_test
