#include "common/content_range.h"

#include <cstdlib>
#include <cstring>

namespace zem {

uint64_t archive_size_from_content_range(const char* content_range) {
    const char* slash = strchr(content_range, '/');
    if (slash == nullptr) return 0;
    return strtoull(slash + 1, nullptr, 10);
}

// Reads a decimal number of at least one digit that fits in 64 bits.
static bool read_decimal(const char** text, uint64_t* value) {
    const char* at = *text;
    uint64_t number = 0;
    while (*at >= '0' && *at <= '9') {
        const uint64_t digit = static_cast<uint64_t>(*at - '0');
        if (number > (~uint64_t{0} - digit) / 10) return false;
        number = number * 10 + digit;
        ++at;
    }
    if (at == *text) return false;
    *text = at;
    *value = number;
    return true;
}

bool read_content_range(const char* content_range, uint64_t* first, uint64_t* last, uint64_t* total) {
    static const char unit[] = "bytes ";
    if (strncmp(content_range, unit, sizeof unit - 1) != 0) return false;
    const char* at = content_range + sizeof unit - 1;
    uint64_t read_first = 0, read_last = 0, read_total = 0;
    if (!read_decimal(&at, &read_first) || *at++ != '-') return false;
    if (!read_decimal(&at, &read_last) || *at++ != '/') return false;
    if (!read_decimal(&at, &read_total) || *at != '\0') return false;
    if (read_last < read_first || read_last >= read_total) return false;
    *first = read_first;
    *last = read_last;
    *total = read_total;
    return true;
}

}  // namespace zem
