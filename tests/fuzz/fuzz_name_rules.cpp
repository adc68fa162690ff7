// The name rules every server name passes, and an archive entry's way to a
// local path (its leading "./" components dropped). Besides crashes and
// sanitizer reports, checks that a name the rules accept stays inside the
// game folder however Windows reads it.
#include "common/entry_paths.h"
#include "common/name_rules.h"
#include "fuzz_text.h"

using zem_fuzz::require;

// What Windows makes of a path component: trailing dots and blanks go.
static size_t windows_component_length(const char* component, size_t length) {
    while (length > 0 && (component[length - 1] == '.' || component[length - 1] == ' ')) --length;
    return length;
}

// Every component, as Windows reads it, is a plain name: not empty, not "."
// or "..", no drive or stream colon.
static bool stays_inside(const char* path) {
    if (path[0] == '\0' || path[0] == '\\' || path[0] == '/') return false;
    const char* component = path;
    for (const char* p = path;; ++p) {
        if (*p != '\0' && *p != '\\' && *p != '/') continue;
        const size_t length = windows_component_length(component, static_cast<size_t>(p - component));
        if (length == 0) return false;
        if (length <= 2 && strncmp(component, "..", length) == 0) return false;
        if (memchr(component, ':', static_cast<size_t>(p - component)) != nullptr) return false;
        if (*p == '\0') return true;
        component = p + 1;
    }
}

static void flip_ascii_case(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
        else if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> name = zem_fuzz::text_from_input(data, size);
    const size_t length = strlen(name.get());

    // The counted form reads only its bytes (the removal list's lines have
    // no terminator of their own), and agrees with the terminated one.
    std::unique_ptr<char[]> counted(new char[length]);
    if (length != 0) memcpy(counted.get(), name.get(), length);
    const bool acceptable = zem::name_is_acceptable(name.get());
    require(zem::name_is_acceptable(counted.get(), length) == acceptable, "counted and terminated name rules differ");
    if (acceptable) require(stays_inside(name.get()), "an acceptable name leaves its folder");

    char converted[zem::local_path_capacity];
    memset(converted, 'x', sizeof converted);
    const bool fits = zem::local_path_from_entry_name(name.get(), converted);
    require(fits == (length < zem::local_path_capacity), "length limit of local paths");
    require(fits ? strlen(converted) == length && strchr(converted, '/') == nullptr : converted[0] == '\0',
            "local path conversion");

    // An entry's leading "./" components go, and only those.
    const char* meant = zem::entry_name_without_leading_dots(name.get());
    const size_t dropped = static_cast<size_t>(meant - name.get());
    require(dropped % 2 == 0 && strncmp(meant, "./", 2) != 0, "leading \"./\" components left");
    for (size_t i = 0; i < dropped; i += 2) require(strncmp(name.get() + i, "./", 2) == 0, "more than \"./\" dropped");
    char meant_converted[zem::local_path_capacity];
    const bool meant_fits = zem::local_path_from_entry_name(meant, meant_converted);

    char local_path[zem::local_path_capacity];
    memset(local_path, 'x', sizeof local_path);
    if (zem::local_path_for_entry(name.get(), local_path)) {
        require(zem::entry_name_is_safe(meant) && zem::name_is_acceptable(meant) && meant_fits,
                "entry accepted against its rules");
        require(strcmp(local_path, meant_converted) == 0, "entry path differs from its conversion");
        require(stays_inside(local_path), "an entry's local path leaves the game folder");
        require(!zem::names_a_working_file(local_path), "an entry names a working file");
        // Working files are matched ignoring case: no spelling gets through.
        flip_ascii_case(local_path);
        require(!zem::names_a_working_file(local_path), "an entry names a working file in other case");
    } else {
        require(local_path[0] == '\0', "a passed-over entry leaves a local path");
    }
    return 0;
}
