// The source name of a failure report: the reporting file's path in the source
// tree without its extension ("vt-core/vt_json"), computed at compile time from
// __FILE__ so no call site ever spells it by hand.
#pragma once

#include <cstddef>

namespace vt_detail {

struct source_name {
    char text[128] = {};
};

// Keeps the last two path components of a file path and drops the extension:
// "/any/where/vt-core/vt_json.cpp" and "vt-core/vt_json.cpp" both give
// "vt-core/vt_json".
consteval source_name make_source_name(const char *path)
{
    std::size_t length = 0;
    while (path[length] != '\0')
        ++length;
    std::size_t start = 0, slashes = 0;
    for (std::size_t i = length; i > 0; --i) {
        if (path[i - 1] == '/' && ++slashes == 2) {
            start = i;
            break;
        }
    }
    std::size_t end = length;
    for (std::size_t i = length; i > start; --i) {
        if (path[i - 1] == '.') {
            end = i - 1;
            break;
        }
        if (path[i - 1] == '/')
            break;
    }
    source_name name;
    for (std::size_t i = start, o = 0; i < end && o + 1 < sizeof name.text; ++i, ++o)
        name.text[o] = path[i];
    return name;
}

} // namespace vt_detail

// The reporting file's source name as a zero-terminated string with static storage.
#define VT_SOURCE                                                                      \
    ([]() -> const char * {                                                            \
        static constexpr ::vt_detail::source_name vt_name_ =                           \
            ::vt_detail::make_source_name(__FILE__);                                   \
        return vt_name_.text;                                                          \
    }())
