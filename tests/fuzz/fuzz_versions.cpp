// The release description's version and the comparisons of versions.
// The input is a release description; its first line, split at tabs, also
// gives up to three versions to compare. Besides crashes and sanitizer
// reports, checks the number reading against the C library's strtoull, that
// the update decision's comparison is consistent both ways round, and that
// the release order is one: the same both ways round, transitive, and in
// agreement with the update decision wherever that decides by numbers.
#include "common/state_files.h"
#include "common/versions.h"
#include "fuzz_text.h"

#include <cerrno>
#include <cctype>
#include <string>

using zem::VersionOrder;
using zem_fuzz::require;

// strtoul's reading with a 32-bit result, from the C library itself.
static uint32_t reference_number(const char* text, const char** end) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    errno = 0;
    char* stop = nullptr;
    const unsigned long long value = strtoull(text, &stop, 10);
    *end = stop;
    if (errno == ERANGE) return UINT32_MAX;
    const unsigned long long magnitude = negative ? 0ull - value : value;
    if (magnitude > UINT32_MAX) return UINT32_MAX;
    return negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
}

static void check_numbers(const char* text) {
    const char* cursor = text;
    const char* reference_end = nullptr;
    const uint32_t expected = reference_number(text, &reference_end);
    require(zem::read_version_number(&cursor) == expected, "version number differs from strtoull's");
    require(cursor == reference_end, "version number ends elsewhere than strtoull's");
}

static VersionOrder reversed(VersionOrder order) {
    if (order == VersionOrder::newer) return VersionOrder::older;
    if (order == VersionOrder::older) return VersionOrder::newer;
    return VersionOrder::same;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text = zem_fuzz::text_from_input(data, size);

    char version[zem::version_capacity];
    strcpy(version, "unchanged");
    zem::extract_version(text.get(), version);
    require(strlen(version) < zem::version_capacity, "version longer than its capacity");

    const std::string first_line(text.get(), strcspn(text.get(), "\n"));
    const size_t tab = first_line.find('\t');
    const std::string a = first_line.substr(0, tab);
    const std::string rest = tab == std::string::npos ? version : first_line.substr(tab + 1);
    const size_t second_tab = rest.find('\t');
    const std::string b = rest.substr(0, second_tab);
    const std::string c = second_tab == std::string::npos ? a : rest.substr(second_tab + 1);
    check_numbers(a.c_str());
    check_numbers(b.c_str());

    require(zem::compare_versions(a.c_str(), a.c_str()) == VersionOrder::same, "a version differs from itself");
    const VersionOrder forward = zem::compare_versions(a.c_str(), b.c_str());
    const VersionOrder backward = zem::compare_versions(b.c_str(), a.c_str());
    // Text differences make either side newer; numbers must agree both ways.
    if (forward != VersionOrder::newer || backward != VersionOrder::newer) {
        require(backward == reversed(forward), "comparison is not the same both ways round");
    }

    require(zem::release_order(a.c_str(), a.c_str()) == VersionOrder::same, "a release comes after itself");
    const VersionOrder ab = zem::release_order(a.c_str(), b.c_str());
    const VersionOrder bc = zem::release_order(b.c_str(), c.c_str());
    const VersionOrder ac = zem::release_order(a.c_str(), c.c_str());
    require(zem::release_order(b.c_str(), a.c_str()) == reversed(ab), "release order differs both ways round");
    // a after (or level with) b, b after (or level with) c: so is a to c,
    // strictly when either step was.
    if (ab != VersionOrder::older && bc != VersionOrder::older) {
        require(ac != VersionOrder::older, "release order is not transitive");
        if (ab == VersionOrder::newer || bc == VersionOrder::newer) {
            require(ac == VersionOrder::newer, "release order is not transitive (strict)");
        }
    }
    // The decision says older only by numbers, and so both ways round.
    if (backward == VersionOrder::older) require(ab == VersionOrder::newer, "release order against the numbers");
    if (forward == VersionOrder::older) require(ab == VersionOrder::older, "release order against the numbers");
    return 0;
}
