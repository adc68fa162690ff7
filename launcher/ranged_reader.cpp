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

static uint64_t window_length_at(uint64_t offset);

uint64_t probe_archive_size() {
    RemoteArchive& archive = remote_archive;
    archive.size = 0;
    HttpRequest request = http_open_url(archive.client.get(), archive.url, "Range: bytes=0-0\r\n");
    if (request.is_open()) {
        char content_range[128] = "";
        http_content_range(request.get(), content_range, sizeof content_range);
        request.reset();  // the body is never read
        archive.size = archive_size_from_content_range(content_range);
    }
    // The first window fetched ahead learns its length, and its thread the
    // size, from here on.
    if (archive.size_pending.load()) {
        if (archive.size != 0) archive.next_length = window_length_at(archive.next_start);
        archive.size_pending.store(false, std::memory_order_release);
    }
    return archive.size;
}

// "Range: bytes=first-last\r\n" for [offset, offset + length).
static void format_range_header(char* text, size_t capacity, uint64_t offset, uint64_t length) {
    snprintf(text, capacity, "Range: bytes=%" PRIu64 "-%" PRIu64 "\r\n", offset, offset + length - 1);
}

static HttpRequest open_range(HttpClientState* client, uint64_t offset, uint64_t length);
static bool have_ahead_client();

// One GET of bytes [offset, offset + length) into the window buffer. True
// only for a 206 answer that delivered all of them. With open_after, the
// request for the window after it is opened next_request_lead bytes before
// this one ends (as the background fetch does), for the background fetch
// that the reads running on will start.
static bool fetch_window(uint64_t offset, size_t length, bool open_after) {
    HttpRequest request = open_range(remote_archive.client.get(), offset, length);
    if (!request.is_open()) return false;
    // A server that ignores the Range header answers 200 with the whole
    // archive; its body is never read.
    if (http_status_code(request.get()) != 206) return false;
    const uint64_t after_start = offset + length;
    bool after_opened = !open_after || after_start >= remote_archive.size || !have_ahead_client();
    size_t received = 0;
    while (received < length) {
        if (!after_opened && length - received <= next_request_lead) {
            remote_archive.after_request =
                open_range(remote_archive.ahead_client.get(), after_start, window_length_at(after_start));
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

static HttpRequest open_range(HttpClientState* client, uint64_t offset, uint64_t length) {
    char range[96];
    format_range_header(range, sizeof range, offset, length);
    return http_open_url(client, remote_archive.url, range);
}

// The background fetches' client, opened on first use (never while a
// fetch thread runs).
static bool have_ahead_client() {
    RemoteArchive& archive = remote_archive;
    if (!archive.ahead_client.is_open()) archive.ahead_client = http_open_client(installer_user_agent);
    return archive.ahead_client.is_open();
}

// In the thread of the first window fetched ahead: waits until the probe
// has stored the size (and the window's length). False when cancelled or
// when the probe found no size.
static bool wait_for_size_probe() {
    RemoteArchive& archive = remote_archive;
    while (archive.size_pending.load(std::memory_order_acquire)) {
        if (archive.cancel.load()) return false;
        sleep_ms(1);
    }
    return archive.size != 0;
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
// The first window fetched ahead of the probe asks for a whole window and
// learns the length it should get once the size is known (a thread that
// starts after the probe asks for that length at once).
static void fetch_next_window(void*) {
    RemoteArchive& archive = remote_archive;
    HttpClientState* client = archive.ahead_client.get();
    archive.next_succeeded = false;
    const uint64_t start = archive.next_start;
    HttpRequest request = std::move(archive.next_request);
    if (!request.is_open()) {
        const bool size_known = !archive.size_pending.load(std::memory_order_acquire);
        request = open_range(client, start, size_known ? archive.next_length : window_capacity);
    }
    if (!wait_for_size_probe()) {
        archive.next_ended = true;
        return;
    }
    const size_t length = static_cast<size_t>(archive.next_length);
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
            archive.after_request = open_range(client, after_start, window_length_at(after_start));
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

// The next window's buffer and the background client: false when either
// cannot be had (the reads then fetch as they would without).
static bool ready_for_background_fetch() {
    RemoteArchive& archive = remote_archive;
    if (!archive.next_window) {
        archive.next_window.reset(new (std::nothrow) unsigned char[window_capacity]);
        if (!archive.next_window) return false;
    }
    return have_ahead_client();
}

// Starts the thread that fetches [start, start + length) as the next window.
static void start_fetch_thread(uint64_t start, uint64_t length) {
    RemoteArchive& archive = remote_archive;
    archive.next_start = start;
    archive.next_length = length;
    archive.next_received = 0;
    archive.next_ended = false;
    archive.cancel = false;
    archive.fetcher = start_thread(fetch_next_window, nullptr);
    if (!archive.fetcher.is_open()) {
        archive.next_length = 0;
        archive.next_request.reset();
        archive.size_pending = false;
    }
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
    if (start >= archive.size || !ready_for_background_fetch()) return;
    if (opened_ahead.is_open() && archive.after_start == start) archive.next_request = std::move(opened_ahead);
    start_fetch_thread(start, window_length_at(start));
}

void fetch_first_window_ahead() {
    RemoteArchive& archive = remote_archive;
    if (archive.next_length != 0 || !ready_for_background_fetch()) return;
    archive.archive_opening = true;
    archive.size_pending = true;
    // The most a window holds, until the probe tells the archive's size.
    start_fetch_thread(0, window_capacity);
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
    // From here on, a first window fetched ahead serves only when the reads
    // start in it.
    remote_archive.archive_opening = false;
}

void stop_background_fetch() {
    RemoteArchive& archive = remote_archive;
    archive.cancel = true;
    archive.fetcher.reset();
    archive.next_request.reset();
    archive.after_request.reset();
    archive.next_length = 0;
    archive.archive_opening = false;
    archive.size_pending = false;
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
    // Nothing from the window when the read starts in the next one (which
    // need not follow the window then).
    const size_t from_window = offset < archive.next_start ? static_cast<size_t>(archive.next_start - offset) : 0;
    if (from_window != 0) memcpy(destination, archive.window.get() + (offset - archive.window_start), from_window);
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

// The next window starts where the window ends (it does unless it is the
// first window fetched ahead).
static bool next_window_follows_window() {
    const RemoteArchive& archive = remote_archive;
    return archive.next_length != 0 && archive.window_length != 0 &&
           archive.next_start == archive.window_start + archive.window_length;
}

// The read starts in the next window, or in the window the next follows.
static bool starts_in_reach_of_next_window(uint64_t offset) {
    const RemoteArchive& archive = remote_archive;
    return archive.next_length != 0 &&
           (offset >= archive.next_start || (next_window_follows_window() && offset >= archive.window_start));
}

// The read lies in the next window, or across the window and the next.
static bool lies_in_next_window(uint64_t offset, size_t count) {
    const RemoteArchive& archive = remote_archive;
    return starts_in_reach_of_next_window(offset) && offset + count <= archive.next_start + archive.next_length;
}

// The read has gone on past the next window's end, but not beyond the
// window after it: the reads have moved through the next window (or
// through the first window fetched ahead, before it became the window).
static bool goes_past_next_window(uint64_t offset, size_t count) {
    const RemoteArchive& archive = remote_archive;
    const uint64_t next_end = archive.next_start + archive.next_length;
    return starts_in_reach_of_next_window(offset) && offset + count > next_end && next_end < archive.size &&
           offset < next_end + window_length_at(next_end);
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
        // The background fetches open their requests ahead themselves.
        archive.reads_will_run_on = false;
        return count;
    }
    // While the archive is opened, the first window fetched ahead waits for
    // the extraction and these reads fetch their own windows beside it
    // (each on its own client). Otherwise the background fetch that the
    // read is not in is thrown away.
    if (!archive.archive_opening) stop_background_fetch();

    // A fetch writes into the buffer as bytes arrive: the old window is no
    // longer valid from here on, whatever happens.
    archive.window_length = 0;
    for (int attempt = 0; attempt < window_fetch_attempts; ++attempt) {
        if (attempt > 0) {
            printf("\n  Connection lost, trying again...\n");
            sleep_ms(scaled_wait_ms(retry_pause_step_ms * static_cast<uint32_t>(attempt)));
        }
        // A request opened ahead goes to the background client: not while
        // a fetch thread uses it.
        const bool open_after = archive.reads_will_run_on && archive.next_length == 0;
        if (fetch_window(offset, static_cast<size_t>(fetch_length), open_after)) {
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
