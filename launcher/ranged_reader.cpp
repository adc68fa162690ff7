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

// One GET of bytes [offset, offset + length) into the window buffer. True
// only for a 206 answer that delivered all of them.
static bool fetch_window(uint64_t offset, size_t length) {
    char range[96];
    snprintf(range, sizeof range, "Range: bytes=%" PRIu64 "-%" PRIu64 "\r\n", offset, offset + length - 1);
    HttpRequest request = http_open_url(remote_archive.client.get(), remote_archive.url, range);
    if (!request.is_open()) return false;
    // A server that ignores the Range header answers 200 with the whole
    // archive; its body is never read.
    if (http_status_code(request.get()) != 206) return false;
    size_t received = 0;
    while (received < length) {
        size_t got = 0;
        if (!http_read(request.get(), remote_archive.window.get() + received, length - received, &got) || got == 0) {
            break;
        }
        received += got;
    }
    return received == length;
}

size_t ranged_read(void*, uint64_t offset, void* destination, size_t count) {
    RemoteArchive& archive = remote_archive;
    if (offset >= archive.size) return 0;
    const uint64_t remaining = archive.size - offset;
    if (count > remaining) count = static_cast<size_t>(remaining);

    if (archive.window_length != 0 && offset >= archive.window_start &&
        offset + count <= archive.window_start + archive.window_length) {
        memcpy(destination, archive.window.get() + (offset - archive.window_start), count);
        return count;
    }

    const uint64_t fetch_length = std::min<uint64_t>(remaining, std::max<uint64_t>(count, window_capacity));
    if (fetch_length > window_capacity) return 0;

    // A fetch writes into the buffer as bytes arrive: the old window is no
    // longer valid from here on, whatever happens.
    archive.window_length = 0;
    for (int attempt = 0; attempt < window_fetch_attempts; ++attempt) {
        if (attempt > 0) {
            printf("\n  Connection lost, trying again...\n");
            sleep_ms(scaled_wait_ms(retry_pause_step_ms * static_cast<uint32_t>(attempt)));
        }
        if (fetch_window(offset, static_cast<size_t>(fetch_length))) {
            archive.window_start = offset;
            archive.window_length = fetch_length;
            memcpy(destination, archive.window.get(), count);
            return count;
        }
    }
    return 0;
}

}  // namespace zem
