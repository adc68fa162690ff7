#include "common/name_rules.h"

#include "common/key_chain.h"
#include "common/release_signing.h"
#include "common/state_files.h"

#include <cstring>

namespace zem {

static bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

// Windows opens a device, not a file, for these names, whatever follows
// the first dot and with blanks before it ("nul .txt" is NUL too).
static bool is_device_name(const char* component, size_t length) {
    size_t base = 0;
    while (base < length && component[base] != '.') ++base;
    while (base > 0 && component[base - 1] == ' ') --base;
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : fixed) {
        if (span_equals_ignoring_ascii_case(component, base, name)) return true;
    }
    const bool port = base >= 4 && (span_equals_ignoring_ascii_case(component, 3, "COM") ||
                                     span_equals_ignoring_ascii_case(component, 3, "LPT"));
    if (!port) return false;
    // COM0-9 and LPT0-9, and the superscript digits 1-3 that Windows takes
    // for the same ports (UTF-8 C2 B9, C2 B2, C2 B3).
    if (base == 4) return is_ascii_digit(component[3]);
    return base == 5 && static_cast<unsigned char>(component[3]) == 0xC2 &&
           (static_cast<unsigned char>(component[4]) == 0xB9 || static_cast<unsigned char>(component[4]) == 0xB2 ||
            static_cast<unsigned char>(component[4]) == 0xB3);
}

// The shape of a short name Windows generates for a long one: at most eight
// characters ending in '~' and digits (ZEM-PL~1, ZE3A1B~1), then at most one
// dot and three more. On a volume with short names, such a component can
// name another file than the one it spells: one of the programs
// (ZEM-PL~1.EXE) or a working file (ZEM\UPDATE~1.ZIP).
static bool has_short_name_shape(const char* component, size_t length) {
    size_t base = 0;
    while (base < length && component[base] != '.') ++base;
    const size_t extension = base < length ? length - base - 1 : 0;
    if (base == 0 || base > 8 || extension > 3) return false;
    if (base < length && memchr(component + base + 1, '.', extension) != nullptr) return false;
    size_t digits = 0;
    while (digits < base && is_ascii_digit(component[base - 1 - digits])) ++digits;
    return digits > 0 && digits < base && component[base - 1 - digits] == '~';
}

static bool component_is_acceptable(const char* component, size_t length) {
    if (length == 0) return false;
    if (component[0] == '.' && (length == 1 || (length == 2 && component[1] == '.'))) return false;
    // Windows drops a final dot or blank: "Saved." would open "Saved".
    const char last = component[length - 1];
    if (last == '.' || last == ' ') return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(component[i]);
        if (c < 0x20 || strchr("<>:\"|?*", c) != nullptr) return false;
    }
    if (is_device_name(component, length)) return false;
    if (has_short_name_shape(component, length)) return false;
    return true;
}

bool name_is_acceptable(const char* name, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && name[i] != '/' && name[i] != '\\') continue;
        if (!component_is_acceptable(name + start, i - start)) return false;
        start = i + 1;
    }
    return true;
}

bool name_is_acceptable(const char* name) {
    return name_is_acceptable(name, strlen(name));
}

static bool ends_with_ignoring_ascii_case(const char* text, const char* ending) {
    const size_t text_length = strlen(text);
    const size_t ending_length = strlen(ending);
    return text_length >= ending_length &&
           span_equals_ignoring_ascii_case(text + text_length - ending_length, ending_length, ending);
}

bool names_a_working_file(const char* local_path) {
    static const char* const working_files[] = {
        update_download_path, stored_hash_path, release_check_path, full_install_marker_path,
        install_incomplete_marker_path, install_journal_path, writer_lock_path, previous_launcher_path, update_signature_path,
        keys_download_path, accepted_keys_path, accepted_keys_temporary_path,
    };
    for (const char* working_file : working_files) {
        if (equals_ignoring_ascii_case(local_path, working_file)) return true;
    }
    return ends_with_ignoring_ascii_case(local_path, part_file_suffix);
}

}  // namespace zem
