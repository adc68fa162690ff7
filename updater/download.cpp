// Whole-file download: one plain GET, streamed through one static buffer
// into a local file, with an optional percentage line. No resumption and
// no retry; a download that fails leaves no file behind.
#include "updater/updater.h"

#include "platform/platform.h"

#include <cstdio>

namespace zem {

// Shared by every download of the process: one download at a time.
static unsigned char transfer_buffer[transfer_buffer_size];

// Above any percentage of a body that matches its announced length, so the
// first chunk always prints.
constexpr uint64_t no_percentage_printed = 101;

static void print_download_percentage(uint64_t received, uint64_t content_length, uint64_t* last_printed) {
    const uint64_t percentage = received * 100 / content_length;
    if (percentage == *last_printed) return;
    printf("\r  Downloading the update... %lu%%", static_cast<unsigned long>(percentage));
    fflush(stdout);
    *last_printed = percentage;
}

// Reads the next chunk of the body: fills buffer up to size bytes, fewer
// only at the end of the body or when the transfer fails, as one WinINet
// read does. The client's read may hand over less at a time (one TLS
// record, say); filling the whole buffer keeps chunks, and so the
// percentages printed, the same on every platform. *chunk_size is what
// arrived; false when the transfer failed after those bytes.
static bool read_body_chunk(HttpRequestState* request, unsigned char* buffer, size_t size, size_t* chunk_size) {
    size_t filled = 0;
    bool transfer_ok = true;
    while (filled < size) {
        size_t got = 0;
        if (!http_read(request, buffer + filled, size - filled, &got)) {
            transfer_ok = false;
            break;
        }
        if (got == 0) break;
        filled += got;
    }
    *chunk_size = filled;
    return transfer_ok;
}

// Streams the body into local_path. True only when the body ended normally,
// every byte was written out, and the byte count matches a Content-Length
// the server gave.
//
// A read that fails ends the body short of what the server sent: that is a
// failed download even without a Content-Length to compare against, or a
// cut-short update archive would be taken for a whole one.
static bool receive_body(HttpRequestState* request, const char* local_path, uint64_t content_length,
                         bool show_progress) {
    FileStream file(open_file(local_path, "wb"));
    if (!file.is_open()) return false;

    uint64_t received = 0;
    uint64_t last_percentage = no_percentage_printed;
    bool body_ended = false;
    bool written = true;
    for (;;) {
        size_t got = 0;
        const bool transfer_ok = read_body_chunk(request, transfer_buffer, sizeof transfer_buffer, &got);
        if (got > 0) {
            written = fwrite(transfer_buffer, 1, got, file.get()) == got;
            received += got;
            if (show_progress) print_download_percentage(received, content_length, &last_percentage);
            if (!written) break;
        }
        if (!transfer_ok) break;
        if (got == 0) {
            body_ended = true;
            break;
        }
    }
    // The last bytes may still sit in the stream's buffer; a write that
    // fails only now (a full disk) is as short as any other.
    if (written && fflush(file.get()) != 0) written = false;

    if (!body_ended || !written) return false;
    if (content_length != 0 && received != content_length) return false;
    return true;
}

bool download_to_file(const char* url, const char* local_path, bool quiet) {
    HttpClient client = http_open_client(download_user_agent);
    if (!client.is_open()) return false;
    HttpRequest request = http_open_url(client.get(), url, download_request_headers);
    if (!request.is_open()) return false;

    const uint32_t status = http_status_code(request.get());
    // 0 when the server gave none; a Content-Length of 0 counts the same.
    const uint64_t content_length = http_content_length(request.get());
    const bool show_progress = !quiet && content_length != 0;

    bool complete = false;
    if (status == required_status_code) complete = receive_body(request.get(), local_path, content_length, show_progress);

    // Ends the percentage line; also after a refused answer that carried a
    // Content-Length.
    if (show_progress) {
        printf("\n");
        fflush(stdout);
    }

    request.reset();
    client.reset();
    if (!complete) {
        // Also removes a file of that name left by an earlier run.
        delete_file(local_path);
        return false;
    }
    return true;
}

}  // namespace zem
