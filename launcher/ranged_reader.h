// Reads the remote game archive through HTTP range requests. The zip
// library calls ranged_read as its read function.
//
// The reads are served from a few 8 MiB windows of the archive held in
// memory (slots), each filled by a fetch thread of its own on its own
// connection: while the zip library works through one window, the next
// ones are already on their way, so the link carries the next bytes while
// these are inflated and written, and one slow connection (a WinINet one
// under Wine is latency-bound) is not the whole link. A read is served as
// soon as its bytes have arrived.
#pragma once

#include "common/content_range.h"
#include "common/waits.h"
#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace zem {

constexpr size_t archive_url_capacity = 512;
constexpr const char* installer_user_agent = "ZEMUpdate/2.0";
constexpr int window_fetch_attempts = 6;
constexpr uint32_t retry_pause_step_ms = 2000;  // 2, 4, 6, 8, 10 s between attempts
// Windows in memory, each with its worker and connection: the one being
// read and two that follow it. Measured with the Windows launcher under
// Wine on the 479 MB bench archive, five runs each side by side: 2 slots
// 7.09 s, 3 slots 6.90 s, 4 slots 6.65 s (median); four also take the
// native install's peak memory from 38.5 to 46.8 MiB, at the edge of the
// 48 MiB it may use, for a gain within the runs' spread.
constexpr size_t window_slot_count = 3;
// A fetch hands its bytes to the reads in pieces of at most this size
// (WinINet's read waits for all it is asked for).
constexpr size_t window_read_piece = 64u * 1024;
// A fetch that brings no byte for this long (connecting, awaiting its
// headers or reading) has failed, as a cut connection has. The test build
// waits 2 s, as its other waits are shortened too.
constexpr uint32_t window_stall_limit_ms = wait_divisor == 1 ? http_stall_seconds * 1000 : 2000;
// Once the server has delivered window bytes in this run, an answer of its
// whose headers came but whose body has not begun is a busy server, not a
// broken one: a cache filling itself from a slow origin answers a range at
// once and sends its bytes when its own download reaches them (the
// archive's end, read to open it, only after the whole archive). Such an
// answer waits this long for its first byte, with no message meanwhile.
// Headers that never come, a body that stops once begun, and a server that
// has never delivered a window byte keep the stall limit. 6 s in the test
// build.
constexpr uint32_t first_byte_wait_ms = wait_divisor == 1 ? 5 * 60 * 1000 : 6000;
// Workers left behind in a call that has not returned (under Wine a
// cancelled call on a silent connection goes on until the server closes
// it, on a black-holed link never), each with a thread and a connection:
// at most this many. A fetch that would need a new worker beyond them
// fails (a read's attempt, with its pause, in which some may return).
// With the three slots' workers and the probe's client that keeps the
// connections below WinINet's 16 per server.
constexpr size_t max_workers_left_behind = 8;
// A size probe that reached no server is asked once more after this pause.
constexpr uint32_t unreachable_retry_pause_ms = 1000;

enum class WindowFetch {
    none,      // the slot holds no window
    queued,    // asked for; its thread has not started on it
    fetching,  // its thread is on it
    complete,  // every byte of the window is in
    failed,    // the fetch ended short, cut off, silent or with another answer
};

struct FetchWorker;

// The reader's lock and the condition the reads wait on, shared by the
// archive and its workers: a worker left behind in a call that returns
// late, even after the archive itself has gone at the program's end, still
// takes the lock, so the last of its holders frees it.
struct ReaderSync {
    Lock lock;
    Condition arrived;               // wakes the reader: bytes, an answer or a fetch's end
    std::atomic<size_t> holders{1};  // the archive and each worker
    size_t workers_left_behind = 0;  // cancelled in a call that has not returned yet
};

// One window, and the worker (a thread with its own connection) that
// fills it. Everything here is guarded by the reader's lock (sync); the worker
// copies the bytes in under it. A fetch is known by its number: the reader
// starts a new one, or cancels one, by changing it, and a worker drops
// whatever it brings for a number that is no longer the slot's.
struct WindowSlot {
    std::unique_ptr<unsigned char[]> bytes;
    FetchWorker* worker = nullptr;  // made for the slot's first fetch

    uint64_t start = 0;
    uint64_t length = 0;  // asked for; cut to the archive once its size is known
    uint32_t fetch_number = 0;
    WindowFetch fetch = WindowFetch::none;
    size_t received = 0;
    uint64_t last_progress_ms = 0;  // when it was asked for, answered, or brought a byte
    size_t awaited = 0;             // the reader waits until this much has arrived (0: nobody)
    bool answered = false;          // its headers are in, or it failed before them
    bool served = false;            // a read has been served from this window
    uint64_t answered_total = 0;    // the total of its 206 answer's Content-Range; 0: none
};

// The launcher's one remote archive, alive for the whole run.
struct RemoteArchive {
    HttpClient client;  // the size probe's and the signed manifest's
    char url[archive_url_capacity] = "";
    uint64_t size = 0;  // 0: no size
    ReaderSync* sync = nullptr;  // made once; guards everything below
    bool size_known = false;     // the probe has ended (size may still be 0)
    bool stopping = false;       // the threads end
    bool window_bytes_delivered = false;  // some window fetch has brought a byte
    WindowSlot slots[window_slot_count];
    // The end of the last read: a read that starts there runs on from it.
    uint64_t last_read_end = ~uint64_t{0};
    uint64_t read_span_end = ~uint64_t{0};   // windows for reads before it end there

    RemoteArchive() = default;
    RemoteArchive(const RemoteArchive&) = delete;
    RemoteArchive& operator=(const RemoteArchive&) = delete;
    ~RemoteArchive();
};
extern RemoteArchive remote_archive;

// Makes the client and the window buffers for the archive at url (the
// workers come with their first fetches). False when any of them cannot be
// had.
bool open_remote_archive(const char* url);

// Cancels every fetch and ends the workers. Then the archive can be opened
// again.
void close_remote_archive();

enum class SizeProbe {
    known,        // remote_archive.size holds it
    unreachable,  // no answer came, twice
    not_served,   // the server answered that it has no such archive (a status other than 2xx or 5xx)
    no_size,      // the server answered, six times, without a usable size
};

// Learns the archive's size from the total of the Content-Range answer to
// "Range: bytes=0-0" and stores it in remote_archive.size (0 when none).
// An answer without a total (a 2xx or 5xx one: the archive's bytes
// without a size, or a busy server) is a failed attempt like a window's:
// six in all, with the same pauses and "Connection lost" lines. Any other
// status (404: no such archive) ends the probe at once. A probe that
// reaches no server is asked once more after a short pause, silently. A
// window asked for before it (read_ahead) may have met the probe in a
// cache that serves one of two requests for an object at a time and
// passes the other to an origin that ignores ranges: the window's total
// stands for a first probe that gave none (the only case that waits for
// the window's answer), and a first probe whose total differs from one the
// window already has is asked again.
SizeProbe probe_archive_size();

// The zip library's read function: copies count bytes at offset into
// destination and returns count, or fewer where the archive ends sooner.
// Returns 0 on failure: offset at or past the end, a read over 8 MiB, or
// six failed attempts to fetch a window for it.
//
// A read that a window holds or is fetching is served from it (from two,
// when it straddles the end of one and the start of the next) as soon as
// its bytes are in. Any other read fetches a window that starts at its
// offset, in a slot whose window is not needed. A read that runs on from
// the previous one (the zip library working through the entries in
// archive order) has the windows that follow it fetched in the other
// slots, and the fetches of windows that do not follow it cancelled. A
// fetch that fails or stalls before a read needs it costs only time; the
// fetches a read starts itself are its attempts, with the pauses and the
// "Connection lost" lines between them.
size_t ranged_read(void* opaque, uint64_t offset, void* destination, size_t count);

// Starts fetching the window at offset for reads still to come (a first
// installation starts at the archive's first byte). May come before the
// size probe: the window is then asked for whole and judged once the size
// is known. Does nothing when no slot is free.
void read_ahead(uint64_t offset);

// The reads to come, up to a read at end or past it, lie before end: a
// window fetched for them, or to follow them, goes no further. Once the
// archive is open the installation says so for the entries' data (the
// central directory after it was read when the archive was opened), and
// then before each run of entries it writes, so that a folder that holds
// most of the game fetches only the entries it lacks.
void limit_reads_to(uint64_t end);

// Cancels every fetch under way: nothing more will be read. Waits for no
// connection.
void stop_reading();

}  // namespace zem
