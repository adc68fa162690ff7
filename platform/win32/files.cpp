// Files and folders on Windows, through the wide file functions with
// UTF-8 paths (see wide.h).
#include "platform/platform.h"
#include "platform/win32/wide.h"

#include <cstring>

namespace zem {

std::string system_path(const char* path) {
    return std::string(path);
}

static PathKind kind_from_attributes(DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
    // Symbolic links and junctions carry the reparse-point attribute.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::folder;
    return PathKind::file;
}

PathKind path_kind(const char* path) {
    return kind_from_attributes(GetFileAttributesW(to_wide(path).c_str()));
}

bool path_exists(const char* path) {
    return GetFileAttributesW(to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t file_size_on_disk(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return unknown_file_size;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool delete_file(const char* path) {
    return DeleteFileW(to_wide(path).c_str()) != 0;
}

bool clear_read_only(const char* path) {
    return SetFileAttributesW(to_wide(path).c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool move_replacing(const char* from, const char* to) {
    const std::wstring source = to_wide(from);
    const std::wstring target = to_wide(to);
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    // Windows refuses to replace a read-only file (Wine and POSIX do not).
    // The target is about to be replaced anyway: without this, a stale
    // read-only game file would stop every installation at that file.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    if (!SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
    return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool make_folder(const char* path) {
    return CreateDirectoryW(to_wide(path).c_str(), nullptr) != 0;
}

bool remove_folder(const char* path) {
    // RemoveDirectory removes a directory link or junction itself, never
    // what it points to.
    return RemoveDirectoryW(to_wide(path).c_str()) != 0;
}

bool list_folder(const char* path, std::vector<FolderEntry>* entries) {
    const std::wstring pattern = to_wide(path) + L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    std::vector<FolderEntry> listed;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        listed.push_back(FolderEntry{to_utf8(found.cFileName), kind_from_attributes(found.dwFileAttributes)});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    *entries = std::move(listed);
    return true;
}

bool free_bytes_for_caller(const char* path, uint64_t* free_bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(to_wide(path).c_str(), &available, nullptr, nullptr)) return false;
    *free_bytes = available.QuadPart;
    return true;
}

bool change_directory(const char* path) {
    return SetCurrentDirectoryW(to_wide(path).c_str()) != 0;
}

size_t own_executable_path(char* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    wchar_t wide[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, wide, MAX_PATH);
    if (length == 0) return 0;
    if (length >= MAX_PATH) return length;  // cut short by the system
    const std::string narrow = to_utf8(wide);
    if (narrow.empty()) return 0;
    if (narrow.size() >= capacity) return narrow.size();
    memcpy(buffer, narrow.c_str(), narrow.size() + 1);
    return narrow.size();
}

FILE* open_file(const char* path, const char* mode) {
    return _wfopen(to_wide(path).c_str(), to_wide(mode).c_str());
}

void close_file(FILE* file) {
    fclose(file);
}

}  // namespace zem
