// The one seam between ZEM's logic and the operating system.
//
// Every function here has two implementations, chosen at build time:
// platform/win32/*.cpp (Win32, WinINet, BCrypt) and platform/posix/*.cpp
// (POSIX, libcurl, OpenSSL). The logic in common/, updater/ and launcher/
// includes this header and never a system header of its own.
//
// Paths are narrow strings in the form the logic and its messages use:
// relative to the current directory, '\' as separator, bytes as the archive
// gave them. On Windows they are taken as UTF-8 and handed to the wide
// ("W") file functions, the same mapping miniz uses for the files it
// extracts, in the absolute "\\?\" form that has no MAX_PATH limit (the
// current directory and the free-space query excepted: see win32/files.cpp).
// On POSIX every '\' becomes '/' at the system call.
//
// Functions return true on success unless their comment says otherwise;
// out-parameters are written only on success. Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zem {

// ---------------------------------------------------------------- owners
// A move-only owner of one handle, released by Close on every path.
template <typename T, void (*Close)(T*)>
class Owner {
public:
    Owner() = default;
    explicit Owner(T* handle) : handle_(handle) {}
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    Owner(Owner&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    ~Owner() { reset(); }
    T* get() const { return handle_; }
    bool is_open() const { return handle_ != nullptr; }
    // Gives the handle up without closing it (for a close whose result counts).
    T* release() {
        T* handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset() {
        if (handle_) Close(handle_);
        handle_ = nullptr;
    }

private:
    T* handle_ = nullptr;
};

// ---------------------------------------------------------------- files
enum class PathKind { missing, file, folder, link };

// What lies at the path. A symbolic link or junction is reported as a
// link, never as what it points to.
PathKind path_kind(const char* path);

// True when anything at all lies at the path (file, folder or link): the
// launcher's presence test.
bool path_exists(const char* path);

// Size of the file on disk; unknown_file_size (all bits set) when it
// cannot be queried, e.g. the file is missing.
constexpr uint64_t unknown_file_size = ~uint64_t{0};
uint64_t file_size_on_disk(const char* path);

// One plain deletion of a file (or of a link, as a link). Fails on a
// read-only file on Windows and on a folder everywhere.
bool delete_file(const char* path);

// Clears the read-only attribute (Windows) or adds the owner's write
// permission (POSIX) of a file.
bool clear_read_only(const char* path);

// Renames from over to, replacing an existing file at to.
bool move_replacing(const char* from, const char* to);

// Creates one folder; its parent must exist. Fails when it exists already.
bool make_folder(const char* path);

// Removes an empty folder, or a link to a folder as a link.
bool remove_folder(const char* path);

struct FolderEntry {
    std::string name;  // without the folder; "." and ".." are never listed
    PathKind kind;     // folder, file or link (links are never followed)
};
// Lists the names in a folder. Fails when the folder cannot be opened.
bool list_folder(const char* path, std::vector<FolderEntry>* entries);

// Bytes available to the caller on the volume that holds path.
bool free_bytes_for_caller(const char* path, uint64_t* free_bytes);

bool change_directory(const char* path);

// Writes the running executable's full path, '\'-separated, in UTF-8
// into buffer and returns its length in bytes, however long the path is
// (the caller applies its own limit). Returns 0 on failure; a return value
// of capacity or more means the path did not fit (the buffer is then
// unusable).
size_t own_executable_path(char* buffer, size_t capacity);

// Sets the file's access and modification time to unix_seconds (seconds
// since 1970-01-01 UTC), as miniz dates the files it extracts. False when
// the file cannot be opened for it or the time cannot be set.
bool set_file_times(const char* path, int64_t unix_seconds);

// The path as the system's C library and miniz's file functions take it.
std::string system_path(const char* path);

// fopen through the path mapping above. Closed by FileStream.
FILE* open_file(const char* path, const char* mode);
void close_file(FILE* file);
using FileStream = Owner<FILE, close_file>;

// Moves the stream to offset from the file's start, 64-bit on both systems
// (a stream opened for update must be moved between reading and writing).
bool seek_file(FILE* file, uint64_t offset);

// Writes what the stream buffers and, on Windows, waits until the file's
// data and metadata are on disk (FlushFileBuffers), because flushing a
// whole volume there needs administrator rights; POSIX leaves that to
// flush_watched_writes. After flush_file_data on every file written and
// flush_watched_writes, all of their data is on disk. False when the
// buffered data could not be written, or the disk did not take it (a file
// system that cannot flush at all still counts as success: it has the
// data).
bool flush_file_data(FILE* file);

// How many threads should finish written files (flush_file_data, close,
// move_replacing) beside the thread that writes them, at most max: on
// Windows, where each file's flush waits for the disk (and under Wine each
// of those calls is a round trip to wineserver), max; on POSIX, where they
// cost microseconds, none (measured: finishing threads there only added
// CPU time, the folder's lock taken by a rename beside each new file).
size_t file_finishing_threads(size_t max);

// Puts the folder's own entries on disk: the names of the files in it, a
// new or a deleted one among them (POSIX: fsync of the folder; Windows:
// FlushFileBuffers of the folder; a file system that cannot flush a
// folder counts as success).
bool flush_folder_entries(const char* folder);

// Watches the writes to the volume that holds a folder, from when it is
// made until it goes, so that no failure to put them on disk goes unseen.
// POSIX: one descriptor of the folder, held throughout, for syncfs. Linux's
// syncfs reports a write-back error once per open file description, and
// only one that came after the description was opened: a descriptor opened
// for each flush would miss an error from before, or one that the previous
// flush (or another thread's) had already reported.
// Windows: nothing to hold (each file is flushed as it is closed).
struct DiskWatchState;
void close_disk_watch(DiskWatchState* watch);
using DiskWatch = Owner<DiskWatchState, close_disk_watch>;

// Null owner when the folder cannot be opened.
DiskWatch watch_disk_writes(const char* folder);

// Waits until everything written to the watched volume is on disk (POSIX:
// syncfs). False when that failed, now or at any earlier call through the
// same watch: a failure is kept. False for a null watch. Two threads may
// call it at once.
bool flush_watched_writes(DiskWatchState* watch);

// ---------------------------------------------------------------- locks
// An exclusive lock on a file, kept by the system (LockFileEx / flock): it
// goes when the owner is closed or the process ends in any way, so a killed
// run never blocks the next. The file itself stays.
struct FileLockState;
void close_file_lock(FileLockState* lock);
using FileLock = Owner<FileLockState, close_file_lock>;

// Opens the lock file, creating it when missing. Null owner on failure.
FileLock open_lock_file(const char* path);

enum class LockAttempt { held, busy, unsupported };
// Takes the lock without waiting: held, busy (another process holds it),
// or unsupported (the file system cannot lock: carry on without).
LockAttempt try_lock_file(FileLockState* lock);

// Waits without limit for the lock. False when locking fails.
bool wait_for_file_lock(FileLockState* lock);

// ---------------------------------------------------------------- process
enum class BatchRun { finished, not_started };
// Starts the game folder's "ZEM-Play.bat" with the game folder as its
// current directory, sharing this console, and waits without limit for it
// to end. finished: exit_code holds its exit status (0 when that cannot be
// read). not_started: error_number holds the system's error number.
BatchRun run_batch_file(const char* game_folder, uint32_t* exit_code, unsigned long* error_number);

void sleep_ms(uint32_t milliseconds);

// ---------------------------------------------------------------- threads
// One background thread of the launcher's ranged reader. Its owner waits
// for it to end when closed: the thread's writes are then visible to the
// waiting thread, so no other lock is needed for what it hands back.
// (std::thread is not available in the Windows build: mingw-w64's win32
// thread model has none.)
struct ThreadState;
void join_thread(ThreadState* thread);
using Thread = Owner<ThreadState, join_thread>;

// Runs body(argument) on a new thread. Null owner when it cannot be
// started.
Thread start_thread(void (*body)(void*), void* argument);

// Lets the thread run on with nobody waiting for it (from Thread::release).
void detach_thread(ThreadState* thread);

// A lock, and conditions its holders wait on (SRW lock and condition
// variable / pthreads). The waits block until woken: nothing polls.
struct LockState;
struct ConditionState;
void close_lock(LockState* lock);
void close_condition(ConditionState* condition);
using Lock = Owner<LockState, close_lock>;
using Condition = Owner<ConditionState, close_condition>;

// Null owners when they cannot be made.
Lock make_lock();
Condition make_condition();
void take_lock(LockState* lock);
void leave_lock(LockState* lock);

// Holds a lock for a scope.
class HeldLock {
public:
    explicit HeldLock(LockState* lock) : lock_(lock) { take_lock(lock_); }
    ~HeldLock() { leave_lock(lock_); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    LockState* lock_;
};

// With the lock held: leaves it, waits until the condition is woken or
// timeout_ms have passed, and takes it again. May return early without a
// reason: the caller checks what it waits for.
void wait_for_condition(ConditionState* condition, LockState* lock, uint32_t timeout_ms);

// Wakes every thread waiting on the condition.
void wake_condition(ConditionState* condition);

// Wakes one of them, for work any one of them can take.
void wake_one_waiter(ConditionState* condition);

// Milliseconds since some fixed moment, never going back.
uint64_t monotonic_ms();

// ---------------------------------------------------------------- environment
// Copies the variable's value into buffer and returns its length; 0 when
// it is unset, empty, or does not fit in capacity (terminator included).
size_t read_environment(const char* name, char* buffer, size_t capacity);

// ---------------------------------------------------------------- HTTP
// A client keeps its connections alive across requests. Every request is
// a GET over verified TLS that bypasses caches; redirects are followed to
// https only. A request is open once its response headers have arrived.
// Several requests of one client may be open at once, each on its own
// connection. A client and its requests may be handed from one thread to
// another, but only one thread may use them at a time (http_cancel
// excepted). A connection that brings nothing for http_stall_seconds
// (while connecting, waiting for headers or reading) fails the call.
struct HttpClientState;
struct HttpRequestState;
void close_http_client(HttpClientState* client);
void close_http_request(HttpRequestState* request);
using HttpClient = Owner<HttpClientState, close_http_client>;
using HttpRequest = Owner<HttpRequestState, close_http_request>;

constexpr uint32_t http_stall_seconds = 30;

// Null owner when the client cannot be made.
HttpClient http_open_client(const char* user_agent);

// headers: extra request header lines, each ending in "\r\n" (may be "").
// Null owner when the server cannot be reached, TLS fails, or no response
// headers arrive.
HttpRequest http_open_url(HttpClientState* client, const char* url, const char* headers);

// The response's status code; 0 when it has none.
uint32_t http_status_code(HttpRequestState* request);

// The Content-Length; 0 when the response has none.
uint64_t http_content_length(HttpRequestState* request);

// The Content-Range value as text, cut to capacity - 1 bytes; empty when
// the response has none. The buffer is always terminated.
void http_content_range(HttpRequestState* request, char* buffer, size_t capacity);

// Pulls up to wanted body bytes: those that have arrived, waiting only
// while none have. Returns false on a transport error
// (including a body cut short of its announced length); true with
// *received == 0 at the end of the body.
bool http_read(HttpRequestState* request, void* destination, size_t wanted, size_t* received);

// Lets the request wait up to seconds (never less than http_stall_seconds)
// for its body's first byte: a cache filling itself from a slow origin
// sends a range's headers at once and its bytes when its own download
// reaches them. Once a body byte has come, the stall limit is
// http_stall_seconds again.
void http_allow_slow_first_byte(HttpRequestState* request, uint32_t seconds);

// Cancels the client at once, from any thread, whatever its connections
// do: an http_open_url or http_read of its in progress on another thread
// returns a failure without waiting for the server, and so does every
// later one. A cancelled client is only fit to be closed (by the thread
// that uses it), its requests first.
void http_cancel(HttpClientState* client);

// ---------------------------------------------------------------- SHA-256
struct Sha256State;
void close_sha256(Sha256State* hash);
using Sha256 = Owner<Sha256State, close_sha256>;

constexpr size_t sha256_digest_size = 32;
// Null owner when the hash cannot be made.
Sha256 sha256_begin();
bool sha256_add(Sha256State* hash, const void* data, size_t size);
bool sha256_finish(Sha256State* hash, unsigned char digest[sha256_digest_size]);

// ---------------------------------------------------------------- signatures
// ECDSA on the curve P-256 (OpenSSL's EVP interface / BCrypt).
constexpr size_t ecdsa_public_key_size = 65;  // 0x04, then X and Y, big-endian
constexpr size_t ecdsa_signature_size = 64;   // r then s, 32 bytes each, big-endian

// True only when signature is a valid signature of digest (a SHA-256
// digest) by the key; false for a wrong signature, a malformed key, or
// when the system cannot check at all.
bool ecdsa_p256_verify(const unsigned char public_key[ecdsa_public_key_size],
                       const unsigned char digest[sha256_digest_size],
                       const unsigned char signature[ecdsa_signature_size]);

}  // namespace zem
