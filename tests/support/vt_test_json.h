// JSON documents in tests: an owning pointer that releases the object, decoding
// text with a test failure when it does not decode, and reading fields back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "vt_json.h"

namespace vt_test {

struct JsonDeleter {
    void operator()(vt_json_obj *obj) const { vt_json_obj_deit(&obj); }
};
using JsonPtr = std::unique_ptr<vt_json_obj, JsonDeleter>;

// The decoded object; null (and a failed expectation) when text does not decode.
JsonPtr parse_json(std::string_view text);
// The object under key (null when there is none).
JsonPtr json_section(vt_json_obj *doc, const char *key);
// The string under key, or "<missing>" when obj or the string is absent.
std::string json_text(vt_json_obj *obj, const char *key);
// The number kept as a string under key, or all ones when obj or it is absent.
uint64_t json_number(vt_json_obj *obj, const char *key);

} // namespace vt_test
