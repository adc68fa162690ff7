// One probe request through WinINet, as the programs make theirs (cache
// bypassed, TLS verified by the system's store). HTTP/2 is asked for with
// INTERNET_OPTION_ENABLE_HTTP_PROTOCOL, which Windows 10 1709 and later
// know; older systems speak HTTP/1.1 and the probe says so.
#include "platform/win32/wide.h"
#include "platform/platform.h"
#include "publish/publish.h"
#include "publish/publish_platform.h"

#include <windows.h>
#include <wininet.h>

#include <cstdlib>

namespace zem {

constexpr DWORD probe_request_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE;
constexpr DWORD enable_http_protocol_option = 148;  // INTERNET_OPTION_ENABLE_HTTP_PROTOCOL
constexpr DWORD http2_protocol_flag = 0x2;          // HTTP_PROTOCOL_FLAG_HTTP2
constexpr DWORD http_protocol_used_option = 149;    // INTERNET_OPTION_HTTP_PROTOCOL_USED

static std::string query_text(HINTERNET request, DWORD query) {
    char buffer[1024];
    DWORD size = sizeof buffer - 1;
    if (!HttpQueryInfoA(request, query, buffer, &size, nullptr)) return std::string();
    return std::string(buffer, size);
}

ProbeResponse probe_get(const std::string& url, const std::string& range_header, ProbeHttpVersion version,
                        size_t max_body, bool whole_body, const char* progress_label) {
    ProbeResponse response;
    HINTERNET internet = InternetOpenW(L"zem-publish probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet == nullptr) {
        response.failure = "WinINet could not start";
        return response;
    }
    if (version == ProbeHttpVersion::http2) {
        DWORD protocols = http2_protocol_flag;
        InternetSetOptionW(internet, enable_http_protocol_option, &protocols, sizeof protocols);
    }
    std::string headers = "Cache-Control: no-cache\r\n";
    if (!range_header.empty()) headers += range_header + "\r\n";
    HINTERNET request = InternetOpenUrlW(internet, to_wide(url.c_str()).c_str(), to_wide(headers.c_str()).c_str(),
                                         static_cast<DWORD>(-1), probe_request_flags, 0);
    if (request == nullptr) {
        response.failure = "WinINet error " + std::to_string(GetLastError());
        InternetCloseHandle(internet);
        return response;
    }
    response.reached = true;
    DWORD status = 0, size = sizeof status;
    HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    response.status = status;
    DWORD used = 0;
    size = sizeof used;
    response.http_version =
        InternetQueryOptionW(request, http_protocol_used_option, &used, &size) && (used & http2_protocol_flag) ? "2"
                                                                                                                : "1.1";
    response.content_range = query_text(request, HTTP_QUERY_CONTENT_RANGE);
    response.etag = query_text(request, HTTP_QUERY_ETAG);
    response.last_modified = query_text(request, HTTP_QUERY_LAST_MODIFIED);
    response.accept_ranges = query_text(request, HTTP_QUERY_ACCEPT_RANGES);
    const std::string length = query_text(request, HTTP_QUERY_CONTENT_LENGTH);
    response.has_content_length = !length.empty();
    response.content_length = strtoull(length.c_str(), nullptr, 10);
    Sha256 hash = sha256_begin();
    std::vector<unsigned char> chunk(65536);
    for (;;) {
        DWORD got = 0;
        if (!InternetReadFile(request, chunk.data(), static_cast<DWORD>(chunk.size()), &got)) break;
        if (got == 0) {
            response.body_complete = true;
            break;
        }
        response.body_bytes += got;
        if (hash.is_open() && !sha256_add(hash.get(), chunk.data(), got)) hash.reset();
        if (progress_label != nullptr && response.has_content_length) {
            show_progress(progress_label, response.body_bytes, response.content_length, false);
        }
        const size_t room = max_body - std::min(max_body, response.body.size());
        response.body.insert(response.body.end(), chunk.data(), chunk.data() + std::min<size_t>(room, got));
        if (response.body_bytes > max_body && !whole_body) break;
    }
    InternetCloseHandle(request);
    InternetCloseHandle(internet);
    progress_done(progress_label == nullptr);
    response.body_sha256 = digest_text(hash.get());
    return response;
}

}  // namespace zem
