// How long a UTF-8 text is in UTF-16 units, the measure of Windows' path
// limits, so that both builds apply a limit such as 259 characters alike.
#pragma once

#include <cstddef>

namespace zem {

// The number of UTF-16 units the NUL-terminated UTF-8 text takes: one for
// each character up to U+FFFF, two for each character above (a surrogate
// pair). A byte that does not begin a well-formed sequence counts as one
// unit, as the one replacement character Windows puts in its place.
size_t utf16_length(const char* utf8);

}  // namespace zem
