#include "common/entry_paths.h"

#include "common/name_rules.h"
#include "platform/platform.h"

#include <cstring>
#include <string>

namespace zem {

bool entry_name_is_safe(const char* entry_name) {
    if (strstr(entry_name, "..") != nullptr) return false;
    if (entry_name[0] == '/' || entry_name[0] == '\\') return false;
    if (strchr(entry_name, ':') != nullptr) return false;
    return true;
}

bool local_path_from_entry_name(const char* entry_name, char* local_path) {
    const size_t length = strlen(entry_name);
    if (length >= local_path_capacity) {
        local_path[0] = '\0';
        return false;
    }
    for (size_t i = 0; i <= length; ++i) local_path[i] = entry_name[i] == '/' ? '\\' : entry_name[i];
    return true;
}

const char* entry_name_without_leading_dots(const char* entry_name) {
    while (entry_name[0] == '.' && entry_name[1] == '/') entry_name += 2;
    return entry_name;
}

bool local_path_for_entry(const char* entry_name, char* local_path) {
    local_path[0] = '\0';
    entry_name = entry_name_without_leading_dots(entry_name);
    if (!entry_name_is_safe(entry_name) || !name_is_acceptable(entry_name)) return false;
    if (!local_path_from_entry_name(entry_name, local_path)) return false;
    if (names_a_working_file(local_path)) {
        local_path[0] = '\0';
        return false;
    }
    return true;
}

size_t parent_folder_length(const char* local_path) {
    const char* end = local_path + strlen(local_path);
    while (end > local_path && end[-1] != '/' && end[-1] != '\\') --end;
    return static_cast<size_t>(end - local_path);
}

void create_parent_folders(const char* local_path, std::string* folder_made) {
    const size_t length = parent_folder_length(local_path);
    if (folder_made->size() == length && folder_made->compare(0, length, local_path, length) == 0) return;
    folder_made->assign(local_path, length);
    std::string folder(local_path, length);
    for (size_t i = 1; i < folder.size(); ++i) {
        if (folder[i] != '/' && folder[i] != '\\') continue;
        const char separator = folder[i];
        folder[i] = '\0';
        make_folder(folder.c_str());
        folder[i] = separator;
    }
}

}  // namespace zem
