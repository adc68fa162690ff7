#include "common/utf16_length.h"

namespace zem {

// The length of the well-formed UTF-8 sequence at text (1 to 4 bytes), or 0
// when none begins there: no overlong form, no surrogate, nothing above
// U+10FFFF (RFC 3629).
static size_t sequence_length(const unsigned char* text) {
    const unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return length;
}

size_t utf16_length(const char* utf8) {
    const unsigned char* text = reinterpret_cast<const unsigned char*>(utf8);
    size_t units = 0;
    while (*text != 0) {
        const size_t length = sequence_length(text);
        if (length == 0) {
            ++units;
            ++text;
            continue;
        }
        units += length == 4 ? 2 : 1;
        text += length;
    }
    return units;
}

}  // namespace zem
