#include "common/removal_lines.h"

#include "common/name_rules.h"
#include "common/state_files.h"

#include <cstring>

namespace zem {

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

static bool component_is_refused(const char* component, size_t length) {
    if (length == 0) return true;
    if (length == 2 && component[0] == '.' && component[1] == '.') return true;
    for (const char* name : protected_folder_names) {
        if (span_equals_ignoring_ascii_case(component, length, name)) return true;
    }
    return false;
}

// Counts the '/'-separated components of entry; false when one is refused.
// A separator at the very end adds no empty component.
static bool components_are_acceptable(const char* entry, int* component_count) {
    int count = 0;
    const char* component = entry;
    for (;;) {
        const char* separator = strchr(component, '/');
        const size_t length = separator ? static_cast<size_t>(separator - component) : strlen(component);
        if (component_is_refused(component, length)) return false;
        ++count;
        if (separator == nullptr || separator[1] == '\0') break;
        component = separator + 1;
    }
    *component_count = count;
    return true;
}

RemovalEntry parse_removal_line(const char* line, size_t length, char path[local_path_capacity]) {
    size_t start = 0;
    while (start < length && is_blank(line[start])) ++start;
    size_t end = length;
    while (end > start && is_blank(line[end - 1])) --end;
    size_t entry_length = end - start;
    if (entry_length == 0) return RemovalEntry::refused;
    // Never acted on in a cut-short form: a shorter path could name
    // something else.
    if (entry_length >= local_path_capacity) return RemovalEntry::refused;

    char entry[local_path_capacity];
    memcpy(entry, line + start, entry_length);
    entry[entry_length] = '\0';
    if (entry[0] == '#') return RemovalEntry::refused;
    for (size_t i = 0; i < entry_length; ++i) {
        if (entry[i] == '\\') entry[i] = '/';
    }

    // One final separator makes a folder entry; only that one is removed.
    RemovalEntry kind = RemovalEntry::file;
    if (entry[entry_length - 1] == '/') {
        entry[--entry_length] = '\0';
        kind = RemovalEntry::folder;
    }

    if (strchr(entry, ':') != nullptr) return RemovalEntry::refused;
    // The names every path from the server passes: no ".", no name that
    // Windows would read as another (a final dot or blank, a device, a short
    // alias), no empty component.
    if (!name_is_acceptable(entry, entry_length)) return RemovalEntry::refused;
    const size_t prefix_length = strlen(removable_root_prefix);
    if (entry_length < prefix_length ||
        !span_equals_ignoring_ascii_case(entry, prefix_length, removable_root_prefix)) {
        return RemovalEntry::refused;
    }
    int component_count = 0;
    if (!components_are_acceptable(entry, &component_count)) return RemovalEntry::refused;
    if (component_count < removable_min_components) return RemovalEntry::refused;

    for (size_t i = 0; i <= entry_length; ++i) path[i] = entry[i] == '/' ? '\\' : entry[i];
    return kind;
}

}  // namespace zem
