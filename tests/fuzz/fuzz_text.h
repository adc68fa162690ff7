// The fuzz input as a C string in an allocation of exactly its size plus
// the NUL, so that AddressSanitizer sees any read past the terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace zem_fuzz {

inline std::unique_ptr<char[]> text_from_input(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    if (size != 0) memcpy(text.get(), data, size);
    text[size] = '\0';
    return text;
}

// An oracle's verdict: a broken rule is a finding, reported like a crash.
inline void require(bool holds, const char* rule) {
    if (holds) return;
    fprintf(stderr, "fuzz oracle: %s\n", rule);
    abort();
}

}  // namespace zem_fuzz
