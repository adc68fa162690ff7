#include "common/versions.h"

#include <cstring>
#include <string>
#include <vector>

namespace zem {

// The white space strtoul skips in the C locale.
static bool is_number_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool is_decimal_digit(char c) {
    return c >= '0' && c <= '9';
}

// strtoul's rules with a 32-bit result everywhere: unsigned long is 64 bits
// wide on Linux and 32 on Windows, and both builds must agree.
uint32_t read_version_number(const char** cursor) {
    const char* p = *cursor;
    while (is_number_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!is_decimal_digit(*p)) return 0;

    uint64_t magnitude = 0;
    bool too_large = false;
    for (; is_decimal_digit(*p); ++p) {
        if (too_large) continue;
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
        if (magnitude > UINT32_MAX) too_large = true;
    }
    *cursor = p;
    // Out of range reads as the largest value, sign or not, as strtoul does.
    if (too_large) return UINT32_MAX;
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

static bool ends_version_component(char c) {
    return c == '\0' || c == '.';
}

VersionOrder compare_versions(const char* server_version, const char* installed_version) {
    const char* s = server_version;
    const char* i = installed_version;
    for (;;) {
        if (*s == '\0' && *i == '\0') return VersionOrder::same;
        const uint32_t server_number = read_version_number(&s);
        const uint32_t installed_number = read_version_number(&i);
        if (server_number != installed_number) {
            return server_number > installed_number ? VersionOrder::newer : VersionOrder::older;
        }
        // Text that is not a number: any difference at all counts as newer.
        if (!ends_version_component(*s) || !ends_version_component(*i)) {
            return strcmp(s, i) != 0 ? VersionOrder::newer : VersionOrder::same;
        }
        if (*s == '.') ++s;
        if (*i == '.') ++i;
    }
}

// A version's leading numbers as compare_versions walks them: numbers
// while '.' separates them, up to the end or to the first other character,
// where *rest is left.
static std::vector<uint32_t> leading_numbers(const char* version, const char** rest) {
    std::vector<uint32_t> numbers;
    const char* cursor = version;
    while (*cursor != '\0') {
        numbers.push_back(read_version_number(&cursor));
        if (*cursor != '.') break;
        ++cursor;
    }
    *rest = cursor;
    return numbers;
}

template <typename T>
static VersionOrder order_of(const T& a, const T& b) {
    if (a < b) return VersionOrder::older;
    if (b < a) return VersionOrder::newer;
    return VersionOrder::same;
}

// Missing components count as 0, as in compare_versions.
static VersionOrder order_of_numbers(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    for (size_t k = 0; k < a.size() || k < b.size(); ++k) {
        const VersionOrder order = order_of(k < a.size() ? a[k] : 0u, k < b.size() ? b[k] : 0u);
        if (order != VersionOrder::same) return order;
    }
    return VersionOrder::same;
}

// 0 a pre-release's text, 1 none, 2 any other.
static int text_rank(const char* rest) {
    if (*rest == '\0') return 1;
    return *rest == '-' || *rest == '~' ? 0 : 2;
}

// Moves *cursor past the run of characters that are (or are not) digits.
static std::string take_run(const char** cursor, bool digits) {
    const char* start = *cursor;
    while (**cursor != '\0' && is_decimal_digit(**cursor) == digits) ++*cursor;
    return std::string(start, *cursor);
}

// Digit runs by their value, however long: without leading zeros, the
// longer run is the larger number.
static VersionOrder order_of_digit_runs(std::string a, std::string b) {
    a.erase(0, a.find_first_not_of('0') == std::string::npos ? a.size() : a.find_first_not_of('0'));
    b.erase(0, b.find_first_not_of('0') == std::string::npos ? b.size() : b.find_first_not_of('0'));
    const VersionOrder by_length = order_of(a.size(), b.size());
    return by_length != VersionOrder::same ? by_length : order_of(a, b);
}

static VersionOrder order_of_texts(const char* a, const char* b) {
    while (*a != '\0' || *b != '\0') {
        VersionOrder order = order_of(take_run(&a, false), take_run(&b, false));
        if (order == VersionOrder::same) order = order_of_digit_runs(take_run(&a, true), take_run(&b, true));
        if (order != VersionOrder::same) return order;
    }
    return VersionOrder::same;
}

VersionOrder release_order(const char* version, const char* other) {
    const char* version_rest = nullptr;
    const char* other_rest = nullptr;
    const VersionOrder by_numbers =
        order_of_numbers(leading_numbers(version, &version_rest), leading_numbers(other, &other_rest));
    if (by_numbers != VersionOrder::same) return by_numbers;
    const VersionOrder by_rank = order_of(text_rank(version_rest), text_rank(other_rest));
    if (by_rank != VersionOrder::same) return by_rank;
    return order_of_texts(version_rest, other_rest);
}

bool release_may_replace(const char* signed_version, const char* installed_version) {
    if (installed_version[0] == '\0' || strcmp(signed_version, installed_version) == 0) return true;
    return release_order(signed_version, installed_version) == VersionOrder::newer;
}

}  // namespace zem
