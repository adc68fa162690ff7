// Files and folders on Windows, through the wide file functions with
// UTF-8 paths, each handed over in its long "\\?\" form (see wide.h), so
// that a game folder whose files lie deeper than MAX_PATH installs and
// updates like any other.
#include "platform/platform.h"
#include "platform/win32/wide.h"

#include <cstring>

namespace zem {

// miniz turns the UTF-8 path into UTF-16 and opens it with _wfopen, so the
// long form reaches CreateFileW as it does from open_file.
std::string system_path(const char* path) {
    return to_utf8(long_path(path).c_str());
}

static PathKind kind_from_attributes(DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::missing;
    // Symbolic links and junctions carry the reparse-point attribute.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::folder;
    return PathKind::file;
}

PathKind path_kind(const char* path) {
    return kind_from_attributes(GetFileAttributesW(long_path(path).c_str()));
}

bool path_exists(const char* path) {
    return GetFileAttributesW(long_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t file_size_on_disk(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(long_path(path).c_str(), GetFileExInfoStandard, &data)) return unknown_file_size;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool delete_file(const char* path) {
    return DeleteFileW(long_path(path).c_str()) != 0;
}

bool clear_read_only(const char* path) {
    return SetFileAttributesW(long_path(path).c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool move_replacing(const char* from, const char* to) {
    const std::wstring source = long_path(from);
    const std::wstring target = long_path(to);
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
    return CreateDirectoryW(long_path(path).c_str(), nullptr) != 0;
}

bool remove_folder(const char* path) {
    // RemoveDirectory removes a directory link or junction itself, never
    // what it points to.
    return RemoveDirectoryW(long_path(path).c_str()) != 0;
}

bool list_folder(const char* path, std::vector<FolderEntry>* entries) {
    std::wstring pattern = long_path(path);
    if (pattern.empty()) return false;  // "\*" would list the drive's root
    // "." at a drive's root is "\\?\E:\" already.
    pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
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

// The plain path: the programs ask only about "." (the game folder), which
// the own path's limit keeps within MAX_PATH.
bool free_bytes_for_caller(const char* path, uint64_t* free_bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(to_wide(path).c_str(), &available, nullptr, nullptr)) return false;
    *free_bytes = available.QuadPart;
    return true;
}

// The plain path: Windows keeps the current directory in the form it is
// given, and processes started without a directory of their own inherit
// it; cmd.exe, for one, takes a "\\?\" directory for a UNC share it does
// not support. The launcher's folder is within MAX_PATH by the own path's
// limit, where the plain form always works.
bool change_directory(const char* path) {
    return SetCurrentDirectoryW(to_wide(path).c_str()) != 0;
}

// The whole path, however long: GetModuleFileNameW cuts a path that does
// not fit its buffer, so the buffer grows until it fits, and the caller's
// limit alone decides (counted in UTF-16 units, as it is on POSIX).
size_t own_executable_path(char* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    constexpr DWORD longest_buffer = 65536;  // a Windows path holds at most 32,767 units
    std::wstring wide;
    for (DWORD size = MAX_PATH; size <= longest_buffer && wide.empty(); size *= 2) {
        std::wstring attempt(size, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, &attempt[0], size);
        if (length == 0) return 0;
        if (length < size) wide.assign(attempt, 0, length);
    }
    if (wide.empty()) return 0;
    const std::string narrow = to_utf8(wide.c_str());
    if (narrow.empty()) return 0;
    if (narrow.size() >= capacity) return narrow.size();
    memcpy(buffer, narrow.c_str(), narrow.size() + 1);
    return narrow.size();
}

FILE* open_file(const char* path, const char* mode) {
    return _wfopen(long_path(path).c_str(), to_wide(mode).c_str());
}

void close_file(FILE* file) {
    fclose(file);
}

bool seek_file(FILE* file, uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

}  // namespace zem
