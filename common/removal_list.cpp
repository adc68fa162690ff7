// The removal list "ZEM\removed.txt": files and folders that releases no
// longer need. Each line passes the rules of common/removal_lines.h
// (confined to "Frolix_Multiplayer", at least three components deep, never
// in "Saved" or "Paks"); anything else is passed over silently. The list is
// never changed, so it is applied again every run. The updater applies it
// at every run and after each update, the launcher after each complete
// installation (which may have brought an older release's folder up to
// date).
#include "common/removal_list.h"

#include "common/removal_lines.h"
#include "common/state_files.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace zem {

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
