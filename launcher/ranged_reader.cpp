#include "launcher/ranged_reader.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

namespace zem {

RemoteArchive remote_archive;

// The length of the window that starts at offset: 8 MiB, or less where the
// archive or the span of the reads to come (limit_reads_to) ends sooner.
// Only once the size is known.
static uint64_t window_length_at(uint64_t offset) {
    const RemoteArchive& archive = remote_archive;
    const uint64_t end = offset < archive.read_span_end ? std::min(archive.size, archive.read_span_end) : archive.size;
    return std::min<uint64_t>(window_capacity, end - offset);
}

// A GET of [offset, offset + length) with "Range: bytes=first-last\r\n".
static HttpRequest open_range(HttpClientState* client, uint64_t offset, uint64_t length) {
    char range[96];
    snprintf(range, sizeof range, "Range: bytes=%" PRIu64 "-%" PRIu64 "\r\n", offset, offset + length - 1);
    return http_open_url(client, remote_archive.url, range);
}

static bool is_under_way(const WindowSlot& slot) {
    return slot.fetch == WindowFetch::queued || slot.fetch == WindowFetch::fetching;
}

static ReaderSync* make_reader_sync() {
    std::unique_ptr<ReaderSync> sync(new (std::nothrow) ReaderSync);
    if (!sync) return nullptr;
    sync->lock = make_lock();
    sync->arrived = make_condition();
    if (!sync->lock.is_open() || !sync->arrived.is_open()) return nullptr;
    return sync.release();
}

// By each holder once, without the lock held: the last one frees it.
static void release_reader_sync(ReaderSync* sync) {
    if (sync != nullptr && sync->holders.fetch_sub(1) == 1) delete sync;
}

// ---------------------------------------------------------------- the workers

// A thread and its connection, filling one slot's windows. Cancelling a
// fetch cuts its connection, and on POSIX and Windows the call in progress
// returns at once; WinINet under Wine keeps waiting on a silent connection
// whatever is closed. So a worker cancelled in a call is left behind: it
// ends by itself when the call returns, and the slot gets a new worker
// for its next fetch. Bytes are read into the worker's own piece and
// copied into the window under the lock, for the slot's current fetch
// only: a worker left behind never writes a window again, and reaches
// nothing of the archive but the lock and condition it holds (sync).
struct FetchWorker {
    WindowSlot* slot = nullptr;
    ReaderSync* sync = nullptr;
    HttpClient client;
    Condition work;  // wakes the thread: a new fetch, the size, the end
    Thread thread;
    std::unique_ptr<unsigned char[]> piece;
    bool left_behind = false;

    FetchWorker() = default;
    FetchWorker(const FetchWorker&) = delete;
    FetchWorker& operator=(const FetchWorker&) = delete;
    ~FetchWorker() { release_reader_sync(sync); }
};

// With the lock held: the worker's fetch is still the one its slot wants.
static bool fetch_is_current(const FetchWorker& worker, uint32_t number) {
    return !worker.left_behind && worker.slot->fetch_number == number && !remote_archive.stopping;
}

// One GET of the slot's window, handing the bytes to the reads as they
// arrive. True only for a 206 answer whose Content-Range names exactly the
// window and the archive's size, with all of its bytes: a cache may answer
// with other bytes, and a server whose archive was replaced meanwhile with
// those of another archive. A window asked for before the size was known
// is judged once the probe has told it.
static bool fetch_window(FetchWorker& worker, uint32_t number, uint64_t start, uint64_t asked) {
    RemoteArchive& archive = remote_archive;
    ReaderSync& sync = *worker.sync;
    WindowSlot& slot = *worker.slot;
    HttpRequest request = open_range(worker.client.get(), start, asked);
    uint32_t status = 0;
    char content_range[128] = "";
    if (request.is_open()) {
        status = http_status_code(request.get());
        http_content_range(request.get(), content_range, sizeof content_range);
    }
    uint64_t first = 0, last = 0, total = 0;
    const bool ranged = status == 206 && read_content_range(content_range, &first, &last, &total);

    uint64_t length = 0;
    uint64_t size = 0;
    {
        HeldLock held(sync.lock.get());
        if (!fetch_is_current(worker, number)) return false;
        slot.answered = true;
        slot.answered_total = ranged ? total : 0;
        slot.last_progress_ms = monotonic_ms();
        wake_condition(sync.arrived.get());
        while (!archive.size_known && fetch_is_current(worker, number)) {
            wait_for_condition(worker.work.get(), sync.lock.get(), window_stall_limit_ms);
        }
        if (!fetch_is_current(worker, number)) return false;
        length = slot.length;
        size = archive.size;
    }
    if (!ranged || first != start || last != start + length - 1 || total != size) return false;
    // The reader judges whether the server is busy or broken while it
    // waits; the call itself must not give up on the first byte sooner.
    http_allow_slow_first_byte(request.get(), first_byte_wait_ms / 1000);

    size_t received = 0;
    while (received < length) {
        const size_t wanted = std::min<uint64_t>(length - received, window_read_piece);
        size_t got = 0;
        if (!http_read(request.get(), worker.piece.get(), wanted, &got) || got == 0) return false;
        HeldLock held(sync.lock.get());
        if (!fetch_is_current(worker, number)) return false;
        memcpy(slot.bytes.get() + received, worker.piece.get(), got);
        received += got;
        slot.received = received;
        slot.last_progress_ms = monotonic_ms();
        archive.window_bytes_delivered = true;
        if (slot.awaited != 0 && received >= slot.awaited) wake_condition(sync.arrived.get());
    }
    return true;
}

// A worker's thread: fetches each window the reader asks its slot for,
// until the archive is closed or the worker is left behind (it then goes
// with its thread). Prints nothing.
static void run_window_fetches(void* argument) {
    FetchWorker& worker = *static_cast<FetchWorker*>(argument);
    WindowSlot& slot = *worker.slot;
    RemoteArchive& archive = remote_archive;
    ReaderSync& sync = *worker.sync;
    take_lock(sync.lock.get());
    for (;;) {
        while (!worker.left_behind && !archive.stopping && slot.fetch != WindowFetch::queued) {
            wait_for_condition(worker.work.get(), sync.lock.get(), 60000);
        }
        if (worker.left_behind || archive.stopping) break;
        const uint32_t number = slot.fetch_number;
        const uint64_t start = slot.start;
        const uint64_t length = slot.length;
        slot.fetch = WindowFetch::fetching;
        leave_lock(sync.lock.get());
        const bool fetched = fetch_window(worker, number, start, length);
        take_lock(sync.lock.get());
        if (fetch_is_current(worker, number)) {
            slot.fetch = fetched ? WindowFetch::complete : WindowFetch::failed;
            slot.answered = true;
            wake_condition(sync.arrived.get());
        }
    }
    const bool left_behind = worker.left_behind;
    if (left_behind) --sync.workers_left_behind;
    leave_lock(sync.lock.get());
    if (left_behind) delete &worker;  // its thread was detached
}

// With the lock held: a worker for the slot, its thread started; null
// when any of it cannot be had, or too many are left behind.
static FetchWorker* start_worker(WindowSlot& slot) {
    ReaderSync* sync = remote_archive.sync;
    if (sync->workers_left_behind >= max_workers_left_behind) return nullptr;
    std::unique_ptr<FetchWorker> worker(new (std::nothrow) FetchWorker);
    if (!worker) return nullptr;
    sync->holders.fetch_add(1);
    worker->sync = sync;
    worker->slot = &slot;
    worker->client = http_open_client(installer_user_agent);
    worker->work = make_condition();
    worker->piece.reset(new (std::nothrow) unsigned char[window_read_piece]);
    if (!worker->client.is_open() || !worker->work.is_open() || !worker->piece) return nullptr;
    worker->thread = start_thread(run_window_fetches, worker.get());
    if (!worker->thread.is_open()) return nullptr;
    return worker.release();
}

// With the lock held: the slot's worker, cancelled in a call, is left to
// end by itself; the slot's next fetch makes a new one.
static void leave_worker_behind(WindowSlot& slot) {
    FetchWorker* worker = slot.worker;
    http_cancel(worker->client.get());
    worker->left_behind = true;
    detach_thread(worker->thread.release());
    ++remote_archive.sync->workers_left_behind;
    wake_condition(worker->work.get());
    slot.worker = nullptr;
}

// ---------------------------------------------------------------- slots, for the reader

// With the lock held: ends the slot's fetch, if any, at once: a worker in
// a call is left behind, its connection cut.
static void cancel_fetch_under_way(WindowSlot& slot) {
    ++slot.fetch_number;
    if (slot.worker == nullptr) return;
    if (slot.fetch == WindowFetch::fetching) {
        leave_worker_behind(slot);
    } else {
        wake_condition(slot.worker->work.get());
    }
}

// With the lock held: the slot fetches [start, start + length) next.
// False when it has no worker and none can be made.
static bool start_window_fetch(WindowSlot& slot, uint64_t start, uint64_t length) {
    cancel_fetch_under_way(slot);
    if (slot.worker == nullptr) slot.worker = start_worker(slot);
    if (slot.worker == nullptr) {
        slot.fetch = WindowFetch::failed;
        return false;
    }
    slot.start = start;
    slot.length = length;
    slot.received = 0;
    slot.awaited = 0;
    slot.answered = false;
    slot.answered_total = 0;
    slot.served = false;
    slot.last_progress_ms = monotonic_ms();
    slot.fetch = WindowFetch::queued;
    wake_condition(slot.worker->work.get());
    return true;
}

// With the lock held: the slot's window is given up.
static void drop_window(WindowSlot& slot, WindowFetch outcome) {
    cancel_fetch_under_way(slot);
    slot.fetch = outcome;
    slot.awaited = 0;
}

// With the lock held: the slot whose window holds, or will hold, the byte
// at offset; null when none does. A failed fetch holds the bytes it
// brought (they came with an answer that named them), nothing more.
static WindowSlot* slot_holding(uint64_t offset) {
    for (WindowSlot& slot : remote_archive.slots) {
        if (slot.fetch == WindowFetch::none) continue;
        const uint64_t held = slot.fetch == WindowFetch::failed ? slot.received : slot.length;
        if (offset >= slot.start && offset - slot.start < held) return &slot;
    }
    return nullptr;
}

static bool is_among(const WindowSlot* slot, WindowSlot* const* slots, size_t count) {
    return std::find(slots, slots + count, slot) != slots + count;
}

// With the lock held: a slot for a new window, none of `keep`: one with no
// window or a failed one first, then one with all its bytes in that reads
// have been served from (it may still serve a read that comes back to it),
// then one with all its bytes in that no read has touched yet (fetched
// ahead for the reads to come: the first window, in before the archive's
// end is read to open it, is the next one read), else one still fetching.
static WindowSlot* slot_to_reuse(WindowSlot* const* keep, size_t kept) {
    WindowSlot* read_from = nullptr;
    WindowSlot* not_read_yet = nullptr;
    WindowSlot* under_way = nullptr;
    for (WindowSlot& slot : remote_archive.slots) {
        if (is_among(&slot, keep, kept)) continue;
        if (slot.fetch == WindowFetch::none || slot.fetch == WindowFetch::failed) return &slot;
        // All its bytes in: complete, or its worker about to say so.
        const bool all_in = slot.received >= slot.length;
        WindowSlot*& candidate = !all_in ? under_way : slot.served ? read_from : not_read_yet;
        if (candidate == nullptr) candidate = &slot;
    }
    if (read_from != nullptr) return read_from;
    return not_read_yet != nullptr ? not_read_yet : under_way;
}

// With the lock held: how long the slot's fetch may bring nothing before
// it has failed. Judged again as the wait goes on: other windows may
// deliver meanwhile.
static uint64_t stall_limit_of(const WindowSlot& slot) {
    const bool awaits_first_byte = slot.fetch == WindowFetch::fetching && slot.answered && slot.received == 0;
    return awaits_first_byte && remote_archive.window_bytes_delivered ? first_byte_wait_ms : window_stall_limit_ms;
}

// With the lock held: waits until the slot has its first `needed` bytes.
// False when its fetch failed before, or brought nothing for its stall
// limit (it is then cancelled).
static bool wait_for_window_bytes(WindowSlot& slot, size_t needed) {
    ReaderSync& sync = *remote_archive.sync;
    for (;;) {
        if (slot.received >= needed) break;
        if (!is_under_way(slot)) break;
        const uint64_t silent = monotonic_ms() - slot.last_progress_ms;
        const uint64_t limit = stall_limit_of(slot);
        if (silent >= limit) {
            drop_window(slot, WindowFetch::failed);
            break;
        }
        slot.awaited = needed;
        // Woken by this slot's bytes or end; the limit may lengthen without
        // a wake, so the wait ends at the short limit at the latest.
        const uint64_t wait = std::min<uint64_t>(limit - silent, window_stall_limit_ms);
        wait_for_condition(sync.arrived.get(), sync.lock.get(), static_cast<uint32_t>(wait));
    }
    slot.awaited = 0;
    return slot.received >= needed;
}

// With the lock held: copies the read from the window that holds its
// offset and, where it runs past that window's end, from the one that holds
// the rest, waiting for their bytes. False when no window holds it or a
// fetch failed before its bytes arrived.
static bool copy_from_windows(uint64_t offset, unsigned char* destination, size_t count) {
    while (count > 0) {
        WindowSlot* slot = slot_holding(offset);
        if (slot == nullptr) return false;
        const uint64_t in_window = offset - slot->start;
        const size_t here = static_cast<size_t>(std::min<uint64_t>(count, slot->length - in_window));
        if (!wait_for_window_bytes(*slot, static_cast<size_t>(in_window + here))) return false;
        memcpy(destination, slot->bytes.get() + in_window, here);
        slot->served = true;
        destination += here;
        offset += here;
        count -= here;
    }
    return true;
}

// The line and the pause before a read's (or the probe's) attempt after
// the first.
static void print_retry_and_pause(int attempt) {
    printf("\n  Connection lost, trying again...\n");
    sleep_ms(scaled_wait_ms(retry_pause_step_ms * static_cast<uint32_t>(attempt)));
}

// With the lock held: serves the read from the windows, or fetches a
// window at its offset for it, up to six times.
static bool serve_read(uint64_t offset, unsigned char* destination, size_t count) {
    RemoteArchive& archive = remote_archive;
    for (int attempt = 0;; ++attempt) {
        if (copy_from_windows(offset, destination, count)) return true;
        if (attempt == window_fetch_attempts) return false;
        if (attempt > 0) {
            leave_lock(archive.sync->lock.get());
            print_retry_and_pause(attempt);
            take_lock(archive.sync->lock.get());
        }
        // A slot that cannot start the fetch fails the attempt.
        start_window_fetch(*slot_to_reuse(nullptr, 0), offset, window_length_at(offset));
    }
}

// With the lock held: the slot whose window holds the byte at offset, or
// whose fetch of the window that starts there failed; null when none.
static WindowSlot* slot_for_window_at(uint64_t offset) {
    if (WindowSlot* slot = slot_holding(offset)) return slot;
    for (WindowSlot& slot : remote_archive.slots) {
        if (slot.fetch == WindowFetch::failed && slot.start == offset) return &slot;
    }
    return nullptr;
}

// With the lock held, after a read that ran on from the one before, up to
// read_end: the windows that follow the one it ended in are fetched in the
// other slots, and fetches of windows that do not follow it are cancelled.
// A window whose fetch ahead failed is kept as it is and not asked for
// again here: the read that needs its bytes fetches them itself, as its
// attempts (else every read that runs on, some hundred a window, would ask
// a server that answers wrongly once more).
static void fetch_windows_after(uint64_t read_end) {
    RemoteArchive& archive = remote_archive;
    WindowSlot* following[window_slot_count];
    size_t linked = 0;
    // After a read from what a failed fetch brought, the read past it
    // fetches its own window, and the windows after that follow it.
    WindowSlot* last = slot_holding(read_end - 1);
    if (last == nullptr || last->fetch == WindowFetch::failed) return;
    following[linked++] = last;
    const uint64_t end = std::min(archive.size, archive.read_span_end);
    while (linked < window_slot_count) {
        const uint64_t next = last->start + last->length;
        if (next >= end) break;
        WindowSlot* slot = slot_for_window_at(next);
        if (slot == nullptr || is_among(slot, following, linked)) {
            slot = slot_to_reuse(following, linked);
            if (!start_window_fetch(*slot, next, std::min<uint64_t>(window_capacity, end - next))) break;
        }
        following[linked++] = last = slot;
    }
    for (WindowSlot& slot : archive.slots) {
        if (is_under_way(slot) && !is_among(&slot, following, linked)) drop_window(slot, WindowFetch::none);
    }
}

// ---------------------------------------------------------------- the archive

static void clear_slot(WindowSlot& slot) {
    slot.start = 0;
    slot.length = 0;
    slot.fetch = WindowFetch::none;
    slot.received = 0;
    slot.awaited = 0;
    slot.answered = false;
    slot.answered_total = 0;
    slot.served = false;
}

bool open_remote_archive(const char* url) {
    RemoteArchive& archive = remote_archive;
    if (archive.sync == nullptr) archive.sync = make_reader_sync();
    if (archive.sync == nullptr) return false;
    HeldLock held(archive.sync->lock.get());
    snprintf(archive.url, sizeof archive.url, "%s", url);
    archive.client = http_open_client(installer_user_agent);
    if (!archive.client.is_open()) return false;
    for (WindowSlot& slot : archive.slots) {
        clear_slot(slot);
        slot.bytes.reset(new (std::nothrow) unsigned char[window_capacity]);
        if (!slot.bytes) return false;
    }
    return true;
}

// Fetches in a call are cancelled and their workers left behind; the
// others wait for work and end at once. Everything is then cleared under
// the lock: workers left behind may still take it.
void close_remote_archive() {
    RemoteArchive& archive = remote_archive;
    if (archive.sync == nullptr) return;
    LockState* lock = archive.sync->lock.get();
    FetchWorker* idle[window_slot_count] = {};
    {
        HeldLock held(lock);
        archive.stopping = true;
        for (size_t i = 0; i < window_slot_count; ++i) {
            WindowSlot& slot = archive.slots[i];
            drop_window(slot, WindowFetch::none);
            idle[i] = slot.worker;
            slot.worker = nullptr;
        }
    }
    for (FetchWorker* worker : idle) {
        if (worker == nullptr) continue;
        worker->thread.reset();
        delete worker;
    }
    HeldLock held(lock);
    for (WindowSlot& slot : archive.slots) {
        slot.bytes.reset();
        clear_slot(slot);
    }
    archive.client.reset();
    archive.size = 0;
    archive.size_known = false;
    archive.window_bytes_delivered = false;
    archive.last_read_end = ~uint64_t{0};
    archive.read_span_end = ~uint64_t{0};
    archive.stopping = false;
}

// A worker left behind takes the lock once more when its call returns,
// even at the program's end: the last holder frees it.
RemoteArchive::~RemoteArchive() {
    close_remote_archive();
    release_reader_sync(sync);
    sync = nullptr;
}

// One "Range: bytes=0-0" request: known, with the total of its
// Content-Range in *size; no_size for a 2xx or 5xx answer without one,
// not_served for any other status. The body is never read.
static SizeProbe ask_archive_size(uint64_t* size) {
    *size = 0;
    HttpRequest request = http_open_url(remote_archive.client.get(), remote_archive.url, "Range: bytes=0-0\r\n");
    if (!request.is_open()) return SizeProbe::unreachable;
    const uint32_t status = http_status_code(request.get());
    // No status line (WinINet under Wine "opens" a connection closed
    // before any answer): no answer.
    if (status == 0) return SizeProbe::unreachable;
    if (status / 100 != 2 && status / 100 != 5) return SizeProbe::not_served;
    char content_range[128] = "";
    http_content_range(request.get(), content_range, sizeof content_range);
    *size = archive_size_from_content_range(content_range);
    return *size != 0 ? SizeProbe::known : SizeProbe::no_size;
}

// With the lock held: the slot of the window asked for before the size was
// known; null when there is none.
static WindowSlot* window_asked_ahead() {
    for (WindowSlot& slot : remote_archive.slots) {
        if (slot.fetch != WindowFetch::none) return &slot;
    }
    return nullptr;
}

// With the lock held: once the slot's answer is in (or it went silent for
// the stall limit), the total of its 206 answer; 0 when it had none.
static uint64_t total_of_answer(WindowSlot& slot) {
    ReaderSync& sync = *remote_archive.sync;
    for (;;) {
        const uint64_t silent = monotonic_ms() - slot.last_progress_ms;
        if (slot.answered || silent >= window_stall_limit_ms) break;
        wait_for_condition(sync.arrived.get(), sync.lock.get(), static_cast<uint32_t>(window_stall_limit_ms - silent));
    }
    return slot.answered_total;
}

// The first probe beside the window asked ahead of it: a probe without a
// total takes the window's, once its answer is in; a probe whose total
// differs from the one the window already has is asked again. A probe
// with a total never waits for the window.
static SizeProbe ask_archive_size_beside_window(uint64_t* size) {
    LockState* lock = remote_archive.sync->lock.get();
    SizeProbe outcome = ask_archive_size(size);
    HeldLock held(lock);
    WindowSlot* window = window_asked_ahead();
    if (window == nullptr) return outcome;
    if (outcome == SizeProbe::known) {
        if (!window->answered || window->answered_total == 0 || window->answered_total == *size) return outcome;
        leave_lock(lock);
        outcome = ask_archive_size(size);
        take_lock(lock);
        return outcome;
    }
    const uint64_t window_total = total_of_answer(*window);
    if (window_total == 0) return outcome;
    *size = window_total;
    return SizeProbe::known;
}

SizeProbe probe_archive_size() {
    RemoteArchive& archive = remote_archive;
    uint64_t size = 0;
    SizeProbe outcome = ask_archive_size_beside_window(&size);
    bool unreached_once = false;
    for (int attempt = 1; outcome != SizeProbe::known && outcome != SizeProbe::not_served;) {
        if (outcome == SizeProbe::unreachable) {
            // A connection that failed at once (a cache or a network waking
            // up) gets one more try before the player is told.
            if (unreached_once) break;
            unreached_once = true;
            sleep_ms(scaled_wait_ms(unreachable_retry_pause_ms));
        } else {
            if (attempt == window_fetch_attempts) break;
            print_retry_and_pause(attempt);
            ++attempt;
        }
        outcome = ask_archive_size(&size);
    }
    if (outcome != SizeProbe::known) size = 0;
    HeldLock held(archive.sync->lock.get());
    archive.size = size;
    archive.size_known = true;
    // Windows asked for whole end with the archive.
    for (WindowSlot& slot : archive.slots) {
        slot.length = slot.start < size ? std::min(slot.length, size - slot.start) : 0;
        if (slot.worker != nullptr) wake_condition(slot.worker->work.get());
    }
    return outcome;
}

void read_ahead(uint64_t offset) {
    RemoteArchive& archive = remote_archive;
    HeldLock held(archive.sync->lock.get());
    if (archive.size_known && offset >= archive.size) return;
    if (slot_holding(offset) != nullptr) return;
    WindowSlot* slot = slot_to_reuse(nullptr, 0);
    if (is_under_way(*slot)) return;
    start_window_fetch(*slot, offset, archive.size_known ? window_length_at(offset) : window_capacity);
}

void limit_reads_to(uint64_t end) {
    HeldLock held(remote_archive.sync->lock.get());
    remote_archive.read_span_end = end;
}

void stop_reading() {
    RemoteArchive& archive = remote_archive;
    if (archive.sync == nullptr) return;
    HeldLock held(archive.sync->lock.get());
    for (WindowSlot& slot : archive.slots) {
        if (is_under_way(slot)) drop_window(slot, WindowFetch::none);
    }
}

size_t ranged_read(void*, uint64_t offset, void* destination, size_t count) {
    RemoteArchive& archive = remote_archive;
    if (offset >= archive.size) return 0;
    const uint64_t remaining = archive.size - offset;
    if (count > remaining) count = static_cast<size_t>(remaining);
    if (count > window_capacity) return 0;
    const bool runs_on = offset == archive.last_read_end;
    archive.last_read_end = offset + count;
    HeldLock held(archive.sync->lock.get());
    if (!serve_read(offset, static_cast<unsigned char*>(destination), count)) return 0;
    if (runs_on) fetch_windows_after(offset + count);
    return count;
}

}  // namespace zem
