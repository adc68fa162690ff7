// Reads the remote game archive through HTTP range requests, served from
// one 8 MiB window held in memory. The zip library calls ranged_read as
// its read function.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zem {

constexpr size_t window_capacity = 8u * 1024 * 1024;
constexpr size_t archive_url_capacity = 512;
constexpr const char* installer_user_agent = "ZEMUpdate/2.0";
constexpr int window_fetch_attempts = 6;
constexpr uint32_t retry_pause_step_ms = 2000;  // 2, 4, 6, 8, 10 s between attempts

// The launcher's one remote archive: filled by the installer (client,
// URL, window buffer, then the size probe) and alive for the whole run.
struct RemoteArchive {
    HttpClient client;
    char url[archive_url_capacity] = "";
    uint64_t size = 0;  // 0: no size
    std::unique_ptr<unsigned char[]> window;
    uint64_t window_start = 0;
    uint64_t window_length = 0;  // 0: the window is empty
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
size_t ranged_read(void* opaque, uint64_t offset, void* destination, size_t count);

}  // namespace zem
