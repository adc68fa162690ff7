// What zem-publish needs beyond the platform seam, split by file like it:
// posix/ (std::thread, libdeflate, libcurl, OpenSSL) and win32/ (Win32
// threads, miniz's compressor, WinINet, BCrypt). Debian has no mingw build
// of libdeflate, so the Windows build compresses with miniz.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// ---------------------------------------------------------------- signing
// ECDSA P-256 for the publisher's key (OpenSSL 3's EVP interface / BCrypt).
// The public key and signature forms are the platform seam's
// (platform/platform.h): 0x04 || X || Y, and r || s.
constexpr size_t ecdsa_private_key_size = 32;  // the scalar, big-endian

// Makes a new key pair. False (error set) when the system cannot.
bool ecdsa_p256_generate(unsigned char private_key[ecdsa_private_key_size],
                         unsigned char public_key[ecdsa_public_key_size], std::string* error);

// Signs a SHA-256 digest with the key pair, giving r || s. False (error
// set) when the key is not a P-256 key or the system cannot sign. The
// public half is what Windows' key import needs; that it belongs to the
// private half is the caller's check (sign, then ecdsa_p256_verify).
bool ecdsa_p256_sign(const unsigned char private_key[ecdsa_private_key_size],
                     const unsigned char public_key[ecdsa_public_key_size],
                     const unsigned char digest[sha256_digest_size], unsigned char signature[ecdsa_signature_size],
                     std::string* error);

// Creates a file that must not exist yet, for writing. owner_only: readable
// and writable by its owner alone (POSIX mode 0600, else 0644 less the
// umask; on Windows it takes the folder's inherited permissions either
// way). Null when it exists or cannot be made.
FILE* create_new_file(const char* path, bool owner_only);

}  // namespace zem
