// The removal list "ZEM\removed.txt" applied to the game folder: the files
// and folders that releases retired, within the rules of
// common/removal_lines.h.
#pragma once

namespace zem {

// Deletes the files and folders that "ZEM\removed.txt" names and the rules
// accept; prints "  Removed old ..." for each folder entry whose folder
// existed. Links are never followed: a listed link goes as a link, and a
// path with a link among the folders on its way is left alone. Does
// nothing when the list cannot be read.
void apply_removal_list();

// Deletes a folder and everything in it, read-only files included. Links
// inside it (symbolic links, junctions) are removed as links; what they
// point to is never touched. True when the folder itself was removed.
bool delete_folder_tree(const char* path);

}  // namespace zem
