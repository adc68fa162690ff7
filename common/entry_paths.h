// How an archive entry name becomes a path in the game folder. Both
// programs use these rules, which keep every write inside the game folder.
#pragma once

#include <cstddef>
#include <string>

namespace zem {

// A local path holds at most 259 characters, the classic Windows limit.
constexpr size_t local_path_capacity = 260;

// False for a name that must never be written: one containing "..",
// beginning with '/' or '\', or containing ':'. Directory entries are the
// caller's test (the zip library knows them).
bool entry_name_is_safe(const char* entry_name);

// Copies the entry name into local_path with every '/' turned into '\'.
// False, leaving local_path empty, for a name longer than 259 bytes: such
// an entry is passed over, never written under a cut-short name that could
// be another file's.
bool local_path_from_entry_name(const char* entry_name, char* local_path);

// The entry name without its leading "./" components: tools that archive
// "." (bsdtar --format zip -cf game.zip .) name every entry "./...", and
// those name what the rest names. Only leading ones go: "a/./b", "./"
// alone and "." keep their "." and are refused by the name rules.
const char* entry_name_without_leading_dots(const char* entry_name);

// The local path an archive entry's file is written to. False, leaving
// local_path empty, for an entry that is passed over silently: its name,
// without leading "./" components, fails entry_name_is_safe or the name
// rules (common/name_rules.h), is too long, or names one of the programs'
// working files. Directory entries are the caller's test.
bool local_path_for_entry(const char* entry_name, char* local_path);

// Creates every folder the path names before its last separator, outermost
// first; failures are left to the file creation that follows. folder_made
// keeps the folder the previous call made them for (the path up to its
// last separator): a path that goes into the same folder makes nothing
// again. An archive's entries of one folder come one after another, and
// making a folder that is there looks up every folder on its path (some
// forty system calls under Wine).
void create_parent_folders(const char* local_path, std::string* folder_made);

// The length of the path's folder: up to and with its last separator ('/'
// or '\\'); 0 for a name with none.
size_t parent_folder_length(const char* local_path);

}  // namespace zem
