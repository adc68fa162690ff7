// The game folder's writer lock and data durability on POSIX.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zem {

struct FileLockState {
    int descriptor;
};

void close_file_lock(FileLockState* lock) {
    // Closing the last descriptor of the open file releases the flock.
    close(lock->descriptor);
    delete lock;
}

FileLock open_lock_file(const char* path) {
    // Close-on-exec: the game's batch file must not inherit the lock.
    const int descriptor = open(system_path(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) return FileLock();
    return FileLock(new FileLockState{descriptor});
}

LockAttempt try_lock_file(FileLockState* lock) {
    if (flock(lock->descriptor, LOCK_EX | LOCK_NB) == 0) return LockAttempt::held;
    return errno == EWOULDBLOCK ? LockAttempt::busy : LockAttempt::unsupported;
}

bool wait_for_file_lock(FileLockState* lock) {
    for (;;) {
        if (flock(lock->descriptor, LOCK_EX) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool flush_file_data(FILE* file) {
    // flush_watched_writes' one syncfs puts every file on disk. Starting
    // each file's write-back here (sync_file_range) was measured: it held up
    // the extraction more than it shortened that wait.
    return fflush(file) == 0;
}

size_t file_finishing_threads(size_t) {
    return 0;
}

bool flush_folder_entries(const char* folder) {
    const int descriptor = open(system_path(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return false;
    const bool flushed = fsync(descriptor) == 0;
    close(descriptor);
    return flushed;
}

struct DiskWatchState {
    int descriptor;
    std::atomic<bool> failed{false};
};

void close_disk_watch(DiskWatchState* watch) {
    close(watch->descriptor);
    delete watch;
}

DiskWatch watch_disk_writes(const char* folder) {
    const int descriptor = open(system_path(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return DiskWatch();
    DiskWatchState* watch = new DiskWatchState;
    watch->descriptor = descriptor;
    return DiskWatch(watch);
}

bool flush_watched_writes(DiskWatchState* watch) {
    if (watch == nullptr) return false;
    // Reported once: kept, so that a later call (or the other thread's)
    // still answers false.
    if (syncfs(watch->descriptor) != 0) watch->failed = true;
    return !watch->failed;
}

}  // namespace zem
