// Files and folders on POSIX. The logic's paths use '\' as separator; each
// function turns it into '/' right before the system call.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace zem {

std::string system_path(const char* path) {
    std::string converted(path);
    for (char& c : converted) {
        if (c == '\\') c = '/';
    }
    return converted;
}

PathKind path_kind(const char* path) {
    struct stat info;
    if (lstat(system_path(path).c_str(), &info) != 0) return PathKind::missing;
    if (S_ISLNK(info.st_mode)) return PathKind::link;
    if (S_ISDIR(info.st_mode)) return PathKind::folder;
    return PathKind::file;
}

bool path_exists(const char* path) {
    return path_kind(path) != PathKind::missing;
}

uint64_t file_size_on_disk(const char* path) {
    struct stat info;
    if (stat(system_path(path).c_str(), &info) != 0) return unknown_file_size;
    // A folder has no size of its own, as on Windows.
    if (S_ISDIR(info.st_mode)) return 0;
    return static_cast<uint64_t>(info.st_size);
}

bool delete_file(const char* path) {
    // unlink removes a link as a link and refuses folders. It would also
    // remove a file without write permission, which Windows refuses for a
    // read-only file; keep that refusal so both behave the same.
    const std::string native = system_path(path);
    struct stat info;
    if (lstat(native.c_str(), &info) == 0 && !S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0) {
        return false;
    }
    return unlink(native.c_str()) == 0;
}

bool clear_read_only(const char* path) {
    const std::string native = system_path(path);
    struct stat info;
    if (lstat(native.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return false;
    return chmod(native.c_str(), (info.st_mode & 07777) | S_IWUSR) == 0;
}

// On Windows a file is a program by its name; here it needs execute
// permission. A file moved into place under a ".exe" name gets it, so that
// program copies delivered by an archive (written without it) still start.
static bool names_a_program(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ending = path.substr(path.size() - 4);
    for (char& c : ending) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ending == ".exe";
}

bool move_replacing(const char* from, const char* to) {
    const std::string target = system_path(to);
    if (rename(system_path(from).c_str(), target.c_str()) != 0) return false;
    struct stat info;
    if (names_a_program(target) && lstat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        // Execute permission wherever there is read permission.
        const mode_t mode = info.st_mode & 07777;
        chmod(target.c_str(), mode | ((mode & 0444) >> 2));
    }
    return true;
}

bool make_folder(const char* path) {
    return mkdir(system_path(path).c_str(), 0777) == 0;
}

bool remove_folder(const char* path) {
    const std::string native = system_path(path);
    struct stat info;
    if (lstat(native.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) return unlink(native.c_str()) == 0;
    return rmdir(native.c_str()) == 0;
}

bool list_folder(const char* path, std::vector<FolderEntry>* entries) {
    const std::string native = system_path(path);
    DIR* folder = opendir(native.c_str());
    if (folder == nullptr) return false;
    std::vector<FolderEntry> found;
    while (struct dirent* entry = readdir(folder)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        const std::string child = native + "/" + entry->d_name;
        struct stat info;
        PathKind kind = PathKind::file;
        if (lstat(child.c_str(), &info) == 0) {
            if (S_ISLNK(info.st_mode)) kind = PathKind::link;
            else if (S_ISDIR(info.st_mode)) kind = PathKind::folder;
        }
        found.push_back(FolderEntry{entry->d_name, kind});
    }
    closedir(folder);
    *entries = std::move(found);
    return true;
}

bool free_bytes_for_caller(const char* path, uint64_t* free_bytes) {
    struct statvfs info;
    if (statvfs(system_path(path).c_str(), &info) != 0) return false;
    *free_bytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
    return true;
}

bool change_directory(const char* path) {
    return chdir(system_path(path).c_str()) == 0;
}

size_t own_executable_path(char* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    char native[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", native, PATH_MAX);
    if (length <= 0) return 0;
    native[length] = '\0';
    const size_t size = static_cast<size_t>(length);
    // Too long: report the length, as Windows reports a filled buffer.
    if (size >= capacity) return size;
    // The logic splits the path at its last '\', as on Windows.
    for (size_t i = 0; i < size; ++i) buffer[i] = native[i] == '/' ? '\\' : native[i];
    buffer[size] = '\0';
    return size;
}

FILE* open_file(const char* path, const char* mode) {
    return fopen(system_path(path).c_str(), mode);
}

void close_file(FILE* file) {
    fclose(file);
}

bool seek_file(FILE* file, uint64_t offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

}  // namespace zem
