// The rules for one line of the removal list "ZEM\removed.txt": what a
// release may have the updater delete. Listed paths are confined to the
// game's own folder "Frolix_Multiplayer", at least three components deep,
// and never name the player's "Saved" or the "Paks" folders, on top of the
// name rules every name from the server passes. The updater applies the
// lines these rules accept; zem-publish writes and checks lists with them.
#pragma once

#include "common/entry_paths.h"

#include <cstddef>

namespace zem {

// Listed paths must lie at least this deep inside this folder.
constexpr const char* removable_root_prefix = "Frolix_Multiplayer/";
constexpr int removable_min_components = 3;
constexpr const char* protected_folder_names[] = {"Saved", "Paks"};

enum class RemovalEntry { refused, file, folder };

// Reads one line of the removal list (length bytes, no line end in it)
// and applies the safety rules. For an accepted line, path receives the
// listed path in its '\' form, without the folder entry's final separator.
RemovalEntry parse_removal_line(const char* line, size_t length, char path[local_path_capacity]);

}  // namespace zem
