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

bool flush_file_data(FILE* file) {
    if (fflush(file) != 0) return false;
    // Best effort: a file system that cannot flush still has the data.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle != INVALID_HANDLE_VALUE) FlushFileBuffers(handle);
    return true;
}

bool flush_written_data(const char*) {
    // Every file was flushed on its own: FlushFileBuffers on the volume
    // would need administrator rights.
    return true;
}

}  // namespace zem
