// Every 8-byte pattern as a double: the formatter's text must be printf's "%.9g".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>

#include "json_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(double)) {
        return -1;
    }
    double value;
    std::memcpy(&value, data, sizeof value);
    char ours[halberin::spatial::json::max_double_chars + 1];
    const std::size_t n = halberin::spatial::json::format_double(ours, value);
    ours[n] = '\0';
    char theirs[64];
    if (std::isfinite(value)) {
        std::snprintf(theirs, sizeof theirs, "%.9g", value);
    } else {
        std::strcpy(theirs, "null");
    }
    if (std::strcmp(ours, theirs) != 0) {
        std::fprintf(stderr, "%a: wrote %s, printf %s\n", value, ours, theirs);
        std::abort();
    }
    return 0;
}
