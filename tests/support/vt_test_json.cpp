// Decoding and field access for the JSON documents that tests check.
#include "vt_test_json.h"

#include <gtest/gtest.h>

namespace vt_test {

JsonPtr parse_json(std::string_view text)
{
    // The decoder takes a terminated string and counts the terminator.
    const std::string terminated(text);
    vt_json_obj *obj = nullptr;
    EXPECT_EQ(vt_json_obj_decode(&obj, terminated.c_str(), terminated.size() + 1), 0) << text;
    return JsonPtr(obj);
}

JsonPtr json_section(vt_json_obj *doc, const char *key)
{
    vt_json_obj *sub = nullptr;
    vt_json_obj_get_object(doc, key, &sub);
    return JsonPtr(sub);
}

std::string json_text(vt_json_obj *obj, const char *key)
{
    const char *text = nullptr;
    size_t length = 0;
    if (!obj || vt_json_obj_get_string(obj, key, &text, &length))
        return "<missing>";
    return std::string(text, length);
}

uint64_t json_number(vt_json_obj *obj, const char *key)
{
    uint64_t value = ~0ULL;
    if (obj)
        vt_json_obj_get_number_string(obj, key, &value);
    return value;
}

} // namespace vt_test
