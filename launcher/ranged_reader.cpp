#include "launcher/ranged_reader.h"

#include "common/waits.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zem {

RemoteArchive remote_archive;

uint64_t archive_size_from_content_range(const char* content_range) {
    const char* slash = strchr(content_range, '/');
    if (slash == nullptr) return 0;
    return strtoull(slash + 1, nullptr, 10);
}

uint64_t probe_archive_size() {
    remote_archive.size = 0;
    HttpRequest request = http_open_url(remote_archive.client.get(), remote_archive.url, "Range: bytes=0-0\r\n");
    if (!request.is_open()) return 0;
    char content_range[128] = "";
    http_content_range(request.get(), content_range, sizeof content_range);
    request.reset();  // the body is never read
    remote_archive.size = archive_size_from_content_range(content_range);
    return remote_archive.size;
}

// "Range: bytes=first-last\r\n" for [offset, offset + length).
static void format_range_header(char* text, size_t capacity, uint64_t offset, uint64_t length) {
    snprintf(text, capacity, "Range: bytes=%" PRIu64 "-%" PRIu64 "\r\n", offset, offset + length - 1);
}

static uint64_t window_length_at(uint64_t offset);
static HttpRequest open_range(uint64_t offset, uint64_t length);

// One GET of bytes [offset, offset + length) into the window buffer. True
// only for a 206 answer that delivered all of them. With open_after, the
// request for the window after it is opened next_request_lead bytes before
// this one ends (as the background fetch does), for the background fetch
// that the reads running on will start.
static bool fetch_window(uint64_t offset, size_t length, bool open_after) {
    HttpRequest request = open_range(offset, length);
    if (!request.is_open()) return false;
    // A server that ignores the Range header answers 200 with the whole
    // archive; its body is never read.
    if (http_status_code(request.get()) != 206) return false;
    const uint64_t after_start = offset + length;
    bool after_opened = !open_after || after_start >= remote_archive.size;
    size_t received = 0;
    while (received < length) {
        if (!after_opened && length - received <= next_request_lead) {
            remote_archive.after_request = open_range(after_start, window_length_at(after_start));
            remote_archive.after_start = after_start;
            after_opened = true;
        }
        size_t got = 0;
        if (!http_read(request.get(), remote_archive.window.get() + received, length - received, &got) || got == 0) {
            break;
        }
        received += got;
    }
    return received == length;
}

// ---------------------------------------------------------------- background fetch

// The length of the window that starts at offset: 8 MiB, or less where the
// archive ends sooner.
static uint64_t window_length_at(uint64_t offset) {
    return std::min<uint64_t>(window_capacity, remote_archive.size - offset);
}

static HttpRequest open_range(uint64_t offset, uint64_t length) {
    char range[96];
    format_range_header(range, sizeof range, offset, length);
    return http_open_url(remote_archive.client.get(), remote_archive.url, range);
}

// True when the answer's Content-Range names exactly [offset, offset +
// length): a bad proxy or server may answer 206 with other bytes, and a
// background fetch is only worth using when it is certain.
static bool content_range_is(HttpRequestState* request, uint64_t offset, uint64_t length) {
    char text[128] = "";
    http_content_range(request, text, sizeof text);
    char expected[96];
    snprintf(expected, sizeof expected, "bytes %" PRIu64 "-%" PRIu64 "/", offset, offset + length - 1);
    return strncmp(text, expected, strlen(expected)) == 0;
}

// The background thread: fetches [next_start, next_start + next_length)
// into the next window's buffer, using the request opened ahead for it if
// there is one. When next_request_lead bytes are still to come, it opens
// the request for the window after, so that the link never waits a round
// trip between two windows. Stops early when cancelled; prints nothing.
static void fetch_next_window(void*) {
    RemoteArchive& archive = remote_archive;
    archive.next_succeeded = false;
    const uint64_t start = archive.next_start;
    const size_t length = static_cast<size_t>(archive.next_length);
    HttpRequest request = std::move(archive.next_request);
    if (!request.is_open()) request = open_range(start, length);
    if (!request.is_open() || http_status_code(request.get()) != 206 ||
        !content_range_is(request.get(), start, length)) {
        archive.next_ended = true;
        return;
    }
    const uint64_t after_start = start + length;
    bool after_opened = after_start >= archive.size;
    size_t received = 0;
    while (received < length && !archive.cancel.load()) {
        if (!after_opened && length - received <= next_request_lead) {
            archive.after_request = open_range(after_start, window_length_at(after_start));
            archive.after_start = after_start;
            after_opened = true;
        }
        const size_t wanted = std::min(length - received, background_read_piece);
        size_t got = 0;
        if (!http_read(request.get(), archive.next_window.get() + received, wanted, &got) || got == 0) break;
        received += got;
        // Publishes the bytes written so far to the reader.
        archive.next_received.store(received, std::memory_order_release);
    }
    archive.next_succeeded = received == length;
    archive.next_ended.store(true, std::memory_order_release);
}

// Starts the background fetch of the window that follows the current one,
// unless one is under way, the window is empty or ends with the archive,
// or the buffer or thread cannot be had (the reads then fetch as before).
static void start_background_fetch() {
    RemoteArchive& archive = remote_archive;
    if (archive.next_length != 0 || archive.window_length == 0) return;
    const uint64_t start = archive.window_start + archive.window_length;
    // The request opened ahead serves only the window it was opened for.
    HttpRequest opened_ahead = std::move(archive.after_request);
    if (start >= archive.size) return;
    if (!archive.next_window) {
        archive.next_window.reset(new (std::nothrow) unsigned char[window_capacity]);
        if (!archive.next_window) return;
    }
    if (opened_ahead.is_open() && archive.after_start == start) archive.next_request = std::move(opened_ahead);
    archive.next_start = start;
    archive.next_length = window_length_at(start);
    archive.next_received = 0;
    archive.next_ended = false;
    archive.cancel = false;
    archive.fetcher = start_thread(fetch_next_window, nullptr);
    if (!archive.fetcher.is_open()) {
        archive.next_length = 0;
        archive.next_request.reset();
    }
}

// Waits for the background fetch to end. True when the whole next window
// arrived; otherwise it is forgotten, with the request it opened ahead.
static bool finish_background_fetch() {
    RemoteArchive& archive = remote_archive;
    archive.fetcher.reset();
    archive.next_request.reset();
    if (archive.next_succeeded) return true;
    archive.next_length = 0;
    archive.after_request.reset();
    return false;
}

// Waits until the next window's first `needed` bytes are in or its fetch
// has ended. True when they are in.
static bool wait_for_next_bytes(size_t needed) {
    RemoteArchive& archive = remote_archive;
    for (;;) {
        // Ended is read before the count: a fetch that ended has published
        // every byte it will ever deliver.
        const bool ended = archive.next_ended.load(std::memory_order_acquire);
        if (archive.next_received.load(std::memory_order_acquire) >= needed) return true;
        if (ended) return false;
        sleep_ms(1);
    }
}

void expect_reads_to_run_on() {
    remote_archive.reads_will_run_on = true;
}

void stop_background_fetch() {
    RemoteArchive& archive = remote_archive;
    archive.cancel = true;
    archive.fetcher.reset();
    archive.next_request.reset();
    archive.after_request.reset();
    archive.next_length = 0;
}

RemoteArchive::~RemoteArchive() {
    // The thread uses the client and buffers: it ends before they go.
    cancel = true;
    fetcher.reset();
}

// The read [offset, offset + count) from the end of the window and the
// part of the next one that has arrived.
static void serve_from_both_windows(uint64_t offset, unsigned char* destination, size_t count) {
    RemoteArchive& archive = remote_archive;
    const uint64_t window_end = archive.window_start + archive.window_length;
    const size_t from_window = offset < window_end ? static_cast<size_t>(window_end - offset) : 0;
    memcpy(destination, archive.window.get() + (offset - archive.window_start), from_window);
    memcpy(destination + from_window, archive.next_window.get() + (offset + from_window - archive.next_start),
           count - from_window);
}

// The next window, complete, becomes the window.
static void promote_next_window() {
    RemoteArchive& archive = remote_archive;
    archive.window.swap(archive.next_window);
    archive.window_start = archive.next_start;
    archive.window_length = archive.next_length;
    archive.next_length = 0;
}

// Serves a read that lies in the next window or across the two from what
// has arrived, waiting for its bytes. Once the background fetch has ended
// with the whole window, the next window becomes the window and the fetch
// of the one after it starts. False when the fetch failed before the
// read's bytes arrived; it is then forgotten.
static bool serve_from_next_window(uint64_t offset, unsigned char* destination, size_t count) {
    RemoteArchive& archive = remote_archive;
    const size_t needed = static_cast<size_t>(offset + count - archive.next_start);
    const bool arrived = wait_for_next_bytes(needed);
    if (arrived) serve_from_both_windows(offset, destination, count);
    if (!archive.next_ended.load(std::memory_order_acquire)) return true;
    if (finish_background_fetch()) {
        promote_next_window();
        start_background_fetch();
    }
    return arrived;
}

// ---------------------------------------------------------------- the read

// Copies the read from the window when the window holds all of it.
static bool serve_from_window(uint64_t offset, void* destination, size_t count) {
    const RemoteArchive& archive = remote_archive;
    if (archive.window_length == 0 || offset < archive.window_start ||
        offset + count > archive.window_start + archive.window_length) {
        return false;
    }
    memcpy(destination, archive.window.get() + (offset - archive.window_start), count);
    return true;
}

// The read lies in the next window, or across the window and the next.
static bool lies_in_next_window(uint64_t offset, size_t count) {
    const RemoteArchive& archive = remote_archive;
    return archive.next_length != 0 && archive.window_length != 0 && offset >= archive.window_start &&
           offset + count <= archive.next_start + archive.next_length;
}

// The read has gone on past the next window's end, but not beyond the
// window after it: the reads have moved through the next window.
static bool goes_past_next_window(uint64_t offset, size_t count) {
    const RemoteArchive& archive = remote_archive;
    const uint64_t next_end = archive.next_start + archive.next_length;
    return archive.next_length != 0 && archive.window_length != 0 && offset >= archive.window_start &&
           offset + count > next_end && next_end < archive.size && offset < next_end + window_length_at(next_end);
}

size_t ranged_read(void*, uint64_t offset, void* destination, size_t count) {
    RemoteArchive& archive = remote_archive;
    if (offset >= archive.size) return 0;
    const uint64_t remaining = archive.size - offset;
    if (count > remaining) count = static_cast<size_t>(remaining);
    const bool runs_on = offset == archive.last_read_end;
    archive.last_read_end = offset + count;

    if (serve_from_window(offset, destination, count)) {
        if (runs_on) start_background_fetch();
        return count;
    }

    const uint64_t fetch_length = std::min<uint64_t>(remaining, std::max<uint64_t>(count, window_capacity));
    if (fetch_length > window_capacity) return 0;

    // Past the next window: once its fetch has ended with the whole window,
    // it becomes the window and the read is looked at again.
    if (goes_past_next_window(offset, count) && finish_background_fetch()) {
        promote_next_window();
        start_background_fetch();
        if (serve_from_window(offset, destination, count)) return count;
    }
    // In the next window, or across the two: served from the bytes the
    // background fetch has brought.
    if (lies_in_next_window(offset, count) &&
        serve_from_next_window(offset, static_cast<unsigned char*>(destination), count)) {
        return count;
    }
    stop_background_fetch();

    // A fetch writes into the buffer as bytes arrive: the old window is no
    // longer valid from here on, whatever happens.
    archive.window_length = 0;
    for (int attempt = 0; attempt < window_fetch_attempts; ++attempt) {
        if (attempt > 0) {
            printf("\n  Connection lost, trying again...\n");
            sleep_ms(scaled_wait_ms(retry_pause_step_ms * static_cast<uint32_t>(attempt)));
        }
        if (fetch_window(offset, static_cast<size_t>(fetch_length), archive.reads_will_run_on)) {
            archive.reads_will_run_on = false;
            archive.window_start = offset;
            archive.window_length = fetch_length;
            memcpy(destination, archive.window.get(), count);
            return count;
        }
    }
    return 0;
}

}  // namespace zem
