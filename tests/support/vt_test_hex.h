// Hexadecimal text of bytes, for comparing digests and keys with published values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vt_test {

// Lower-case, two digits a byte, no separators.
std::string to_hex(const uint8_t *data, size_t length);

} // namespace vt_test
