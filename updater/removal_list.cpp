// The removal list "ZEM\removed.txt": files and folders that releases no
// longer need. Listed paths are confined to the game's own folder
// "Frolix_Multiplayer", at least three components deep, and never name the
// player's "Saved" or the "Paks" folders; anything else is passed over
// silently. The list is never changed, so it is applied again every run.
#include "updater/updater.h"

#include "common/name_rules.h"
#include "common/state_files.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <vector>

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

// A symbolic link or junction goes as a link: RemoveDirectory takes a
// folder link on Windows, DeleteFile a file link; on POSIX either unlinks.
static void remove_link(const char* path) {
    if (!remove_folder(path)) delete_file(path);
}

bool delete_folder_tree(const char* path) {
    std::vector<FolderEntry> entries;
    if (list_folder(path, &entries)) {
        for (const FolderEntry& entry : entries) {
            // A name read from the disk is never taken as a path: one that
            // holds a separator (a POSIX file named "..\x") cannot be
            // addressed as itself here, so it stays, and the folder with it.
            if (entry.name.find_first_of("\\/") != std::string::npos) continue;
            char child[local_path_capacity];
            const int length = snprintf(child, sizeof child, "%s\\%s", path, entry.name.c_str());
            // A child path that does not fit is left alone, never cut short;
            // the folder then stays too.
            if (length < 0 || static_cast<size_t>(length) >= sizeof child) continue;
            switch (entry.kind) {
            case PathKind::folder:
                delete_folder_tree(child);
                break;
            case PathKind::link:
                remove_link(child);
                break;
            case PathKind::file:
            case PathKind::missing:
                clear_read_only(child);
                delete_file(child);
                break;
            }
        }
    }
    return remove_folder(path);
}

// Whether a link leads to a folder (opening it as one works). Only looks:
// nothing behind the link is changed.
static bool link_leads_to_folder(const char* path) {
    std::vector<FolderEntry> ignored;
    return list_folder(path, &ignored);
}

// True when a folder on the way to the path is a link (a symbolic link or
// junction): what the path names then lies wherever the link leads, perhaps
// outside the game folder or in the player's saves.
static bool passes_through_link(const char* path) {
    char folder[local_path_capacity];
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] != '\\') continue;
        memcpy(folder, path, i);
        folder[i] = '\0';
        if (path_kind(folder) == PathKind::link) return true;
    }
    return false;
}

// Removes what an accepted line names, if it exists and is of the listed
// kind. A listed link is removed as a link, never followed, and a path
// that leads through a link is left alone.
static void remove_listed_path(const char* path, RemovalEntry entry) {
    if (passes_through_link(path)) return;
    const PathKind kind = path_kind(path);
    if (kind == PathKind::missing) return;
    const bool is_folder = kind == PathKind::folder || (kind == PathKind::link && link_leads_to_folder(path));

    if (entry == RemovalEntry::folder) {
        if (!is_folder) return;
        if (kind == PathKind::link) {
            remove_link(path);
        } else {
            delete_folder_tree(path);
        }
        // Printed whether or not everything could be deleted.
        printf("  Removed old %s\n", path);
        return;
    }
    if (is_folder) return;
    // One plain deletion: a read-only file is not made writable, so it stays.
    delete_file(path);
}

void apply_removal_list() {
    FileText text = read_whole_file(removal_list_path);
    if (!text) return;
    // Any mix of CR and LF ends a line; the list ends at its first NUL.
    const char* cursor = text.get();
    while (*cursor != '\0') {
        if (*cursor == '\r' || *cursor == '\n') {
            ++cursor;
            continue;
        }
        const char* line = cursor;
        while (*cursor != '\0' && *cursor != '\r' && *cursor != '\n') ++cursor;
        char path[local_path_capacity];
        const RemovalEntry entry = parse_removal_line(line, static_cast<size_t>(cursor - line), path);
        if (entry != RemovalEntry::refused) remove_listed_path(path, entry);
    }
}

}  // namespace zem
