// The game archive's windows and the Content-Range answers that bring
// them: shared by the launcher's ranged reader and zem-publish, which
// checks archives and servers by the launcher's own rules.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zem {

// The most of the archive one range request asks for; the central
// directory, read in one request, must fit in it.
constexpr size_t window_capacity = 8u * 1024 * 1024;

// The total after the first '/' of a Content-Range value, read as strtoull
// reads a decimal number; 0 when there is no '/'.
uint64_t archive_size_from_content_range(const char* content_range);

// A Content-Range value "bytes first-last/total" as numbers. False for
// anything else: another unit, a total given as '*', a missing or
// non-decimal number, last before first, or last not below total.
bool read_content_range(const char* content_range, uint64_t* first, uint64_t* last, uint64_t* total);

}  // namespace zem
