// Reads the remote game archive through HTTP range requests, served from
// an 8 MiB window held in memory. The zip library calls ranged_read as its
// read function. While the zip library works through one window, a
// background thread fetches the window that follows it into a second
// buffer, so that the link carries the next bytes while these are
// inflated and written. The background fetches use a client of their own,
// so that they never wait for the reads' requests nor these for them.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace zem {

constexpr size_t window_capacity = 8u * 1024 * 1024;
constexpr size_t archive_url_capacity = 512;
constexpr const char* installer_user_agent = "ZEMUpdate/2.0";
constexpr int window_fetch_attempts = 6;
constexpr uint32_t retry_pause_step_ms = 2000;  // 2, 4, 6, 8, 10 s between attempts
// The background fetch reads the body in pieces of at most this size, so
// that it sees a cancellation soon (WinINet's read waits for all it is
// asked for).
constexpr size_t background_read_piece = 256u * 1024;
// When this much of the window being fetched in the background is still to
// come, the request for the window after it is opened: its answer starts
// arriving as this one ends, instead of one round trip later. 4 MiB is
// 168 ms of data at 200 Mbit/s: enough for the round trip of most links
// even when the request needs a connection of its own first (TCP and TLS
// handshakes, two more round trips), as the first one opened ahead does.
constexpr size_t next_request_lead = 4u * 1024 * 1024;

// The launcher's one remote archive: filled by the installer (client,
// URL, window buffer, then the size probe) and alive for the whole run.
//
// The background part: while a fetch thread runs, it alone uses
// ahead_client and its requests and writes the next window's buffer; the
// reader touches them only after waiting for the thread to end (or before
// starting it), except the bytes of the next window below next_received,
// which the thread has written and no longer changes. next_received,
// next_ended, size_pending and cancel are the only values both threads use
// at once; for the first window fetched ahead of the probe, the thread
// reads size and next_length only once size_pending is cleared.
struct RemoteArchive {
    HttpClient client;        // the size probe's and the reads' own fetches
    HttpClient ahead_client;  // the background fetches'; opened on first use
    char url[archive_url_capacity] = "";
    uint64_t size = 0;  // 0: no size
    std::unique_ptr<unsigned char[]> window;
    uint64_t window_start = 0;
    uint64_t window_length = 0;  // 0: the window is empty

    // The window that follows the current one, fetched in the background:
    // [next_start, next_start + next_length), right after the window.
    std::unique_ptr<unsigned char[]> next_window;  // allocated on first use
    uint64_t next_start = 0;
    uint64_t next_length = 0;  // 0: no background fetch
    bool next_succeeded = false;  // read once the thread has ended
    std::atomic<size_t> next_received{0};  // bytes of the next window in its buffer
    std::atomic<bool> next_ended{false};   // the thread is done with the next window
    // The request for the next window when the previous background fetch
    // opened it ahead, and the one the running fetch opens for the window
    // after the next (starting at after_start).
    HttpRequest next_request;
    HttpRequest after_request;
    uint64_t after_start = 0;
    std::atomic<bool> cancel{false};
    // The end of the last read: a read that starts there runs on from it.
    uint64_t last_read_end = ~uint64_t{0};
    // Set by expect_reads_to_run_on: the next window fetched for a read
    // opens the request for the window after it ahead.
    bool reads_will_run_on = false;
    // From fetch_first_window_ahead until the extraction is announced: the
    // reads are those that open the archive, and they leave the first
    // window's background fetch be.
    bool archive_opening = false;
    // Set while that window's thread waits for the probe to store size and
    // next_length; the probe clears it.
    std::atomic<bool> size_pending{false};
    Thread fetcher;  // last, so that it ends before anything it uses goes

    RemoteArchive() = default;
    RemoteArchive(const RemoteArchive&) = delete;
    RemoteArchive& operator=(const RemoteArchive&) = delete;
    ~RemoteArchive();
};
extern RemoteArchive remote_archive;

// Learns the archive's size from the total of the Content-Range answer to
// "Range: bytes=0-0", stores it in remote_archive.size and returns it;
// 0 when the request fails or the total is missing, "*" or not a number.
uint64_t probe_archive_size();

// The total after the first '/' of a Content-Range value, read as strtoull
// reads a decimal number; 0 when there is no '/'.
uint64_t archive_size_from_content_range(const char* content_range);

// The zip library's read function: copies count bytes at offset into
// destination and returns count, or fewer where the archive ends sooner.
// Returns 0 on failure: offset at or past the end, a read over 8 MiB that
// the window does not cover, or six failed attempts to fetch a window.
//
// A read served from the window that runs on from the previous read (the
// zip library working through entries in archive order) starts the
// background fetch of the next window; reads that jump about, as when the
// archive is opened, start none. A read that lies in the next window, or
// straddles the two, is served from both as soon as its bytes have
// arrived; once the whole next window is in, it becomes the window and the
// fetch of the one after it starts. A read elsewhere cancels the
// background fetch, which is thrown away. A background fetch that failed
// (cut off, not 206, another range) before a read's bytes arrived costs
// only time: the read fetches its own window as above, with the same
// attempts and messages. The background fetch never prints.
size_t ranged_read(void* opaque, uint64_t offset, void* destination, size_t count);

// Tells the reader that the reads from here on run on through the archive
// (the installer's extraction): the window the next read fetches opens the
// request for the window after it before its own end, so that the link
// does not wait a round trip between the two. Only that one window does:
// a read that jumps elsewhere later would throw such a request away.
void expect_reads_to_run_on();

// For a first installation, whose extraction starts with the archive's
// first bytes: starts fetching the window at offset 0 in the background
// now, before the size probe, so that it arrives while the size, the
// archive's end and its central directory are asked for one after the
// other, instead of one round trip after them. Until the size is known it
// asks for a whole window; the server's answer ends with the archive when
// that is shorter. Call before probe_archive_size. Does nothing when the
// thread or buffer cannot be had.
void fetch_first_window_ahead();

// Cancels the background fetch, waits for its thread and drops its
// requests and bytes. The reader's window stays.
void stop_background_fetch();

}  // namespace zem
