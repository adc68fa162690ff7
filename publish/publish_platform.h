// What zem-publish needs beyond the platform seam, split by file like it:
// posix/ (std::thread, libdeflate, libcurl) and win32/ (Win32 threads,
// miniz's compressor, WinINet). Debian has no mingw build of libdeflate,
// so the Windows build compresses with miniz.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zem {

// The number of processors the program may use; at least 1.
unsigned processor_count();

// Runs work(context) on `workers` threads at once and returns when all
// have ended. With one worker it runs on the calling thread.
void run_in_parallel(unsigned workers, void (*work)(void* context), void* context);

// Raw deflate (no zlib or gzip wrapper) of size bytes at its best level.
// False when it cannot be done (no memory).
bool deflate_best(const unsigned char* data, size_t size, std::vector<unsigned char>* deflated);

// Raw deflate at a quick level, for measuring a sample.
bool deflate_quick(const unsigned char* data, size_t size, std::vector<unsigned char>* deflated);

// The compressor's name and level, for reports.
const char* deflate_engine_name();

// ---------------------------------------------------------------- probe HTTP
struct Sha256State;
// The finished digest as 64 lower-case hex digits; empty for a null hash
// or when finishing fails.
std::string digest_text(Sha256State* hash);

enum class ProbeHttpVersion { http1_1, http2 };

struct ProbeResponse {
    bool reached = false;        // a response with headers arrived
    std::string failure;         // why not, when not reached (TLS, DNS, ...)
    bool body_complete = false;  // the body was read to its end without a transport error
    uint32_t status = 0;
    std::string http_version;    // "1.1", "2", as the response came
    bool has_content_length = false;
    uint64_t content_length = 0;
    std::string content_range, etag, last_modified, accept_ranges;
    std::vector<unsigned char> body;  // at most max_body bytes
    uint64_t body_bytes = 0;          // all body bytes that arrived
    std::string body_sha256;          // of all body bytes, hex; empty when it could not be made
};

// One GET with verified TLS, bypassing caches like the programs do
// ("Cache-Control: no-cache"), with the given extra header line (may be
// empty) and HTTP version. Keeps at most max_body body bytes; stops the
// transfer when more arrive, unless whole_body (then reads, hashes and
// counts all of it). With a progress_label, shows a progress line on
// standard error while a body with a Content-Length arrives.
ProbeResponse probe_get(const std::string& url, const std::string& range_header, ProbeHttpVersion version,
                        size_t max_body, bool whole_body = false, const char* progress_label = nullptr);

}  // namespace zem
