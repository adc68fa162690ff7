// The game folder's writer lock and data durability on Windows.
#include "platform/platform.h"
#include "platform/win32/wide.h"

#include <io.h>

namespace zem {

struct FileLockState {
    HANDLE file;
};

void close_file_lock(FileLockState* lock) {
    // Closing the handle releases its locks.
    CloseHandle(lock->file);
    delete lock;
}

FileLock open_lock_file(const char* path) {
    // Not inheritable (no security attributes): the batch file's processes
    // never hold the lock.
    const HANDLE file = CreateFileW(long_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FileLock();
    return FileLock(new FileLockState{file});
}

// One byte at offset 0 stands for the whole game folder.
static BOOL lock_first_byte(HANDLE file, DWORD flags) {
    OVERLAPPED at_start = {};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | flags, 0, 1, 0, &at_start);
}

LockAttempt try_lock_file(FileLockState* lock) {
    if (lock_first_byte(lock->file, LOCKFILE_FAIL_IMMEDIATELY)) return LockAttempt::held;
    return GetLastError() == ERROR_LOCK_VIOLATION ? LockAttempt::busy : LockAttempt::unsupported;
}

bool wait_for_file_lock(FileLockState* lock) {
    // A synchronous handle: LockFileEx returns once the lock is granted.
    return lock_first_byte(lock->file, 0) != 0;
}

// A file system that does not implement flushing (the request is not one
// it knows) has the data all the same; any other failure means the disk
// did not take it.
static bool flushed_or_cannot_flush(HANDLE handle) {
    return FlushFileBuffers(handle) != 0 || GetLastError() == ERROR_INVALID_FUNCTION;
}

bool flush_file_data(FILE* file) {
    if (fflush(file) != 0) return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && flushed_or_cannot_flush(handle);
}

size_t file_finishing_threads(size_t max) {
    return max;
}

bool flush_folder_entries(const char* folder) {
    // A folder opens only with backup semantics, and flushes only with
    // write access.
    const HANDLE handle = CreateFileW(long_path(folder).c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool flushed = flushed_or_cannot_flush(handle);
    CloseHandle(handle);
    return flushed;
}

// Every file was flushed as it was closed (flush_file_data):
// FlushFileBuffers on the volume would need administrator rights. So there
// is nothing to hold, and nothing left to wait for.
struct DiskWatchState {};

void close_disk_watch(DiskWatchState* watch) {
    delete watch;
}

DiskWatch watch_disk_writes(const char*) {
    return DiskWatch(new DiskWatchState);
}

bool flush_watched_writes(DiskWatchState* watch) {
    return watch != nullptr;
}

}  // namespace zem
