// HTTP on Windows: WinINet, one call per operation. WinINet verifies the
// server's certificate against the system store, follows redirects itself
// and refuses to follow one from https to http.
#include "platform/platform.h"
#include "platform/win32/wide.h"

#include <cstring>
#include <new>
#include <string>
#include <wininet.h>

namespace zem {

namespace {

// Always from the server, never into a cache, always over TLS.
constexpr DWORD request_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE;
static_assert(request_flags == 0x84800000u, "the request flags every request uses");

// The widest Content-Length text: 20 digits of a 64-bit number.
constexpr DWORD content_length_chars = 32;

}  // namespace

struct HttpClientState {
    HINTERNET internet;
};

struct HttpRequestState {
    HINTERNET request;
    uint64_t announced;  // the Content-Length, 0 when none
    uint64_t delivered;  // body bytes read so far
};

void close_http_client(HttpClientState* client) {
    InternetCloseHandle(client->internet);
    delete client;
}

void close_http_request(HttpRequestState* request) {
    InternetCloseHandle(request->request);
    delete request;
}

// Null owner when WinINet cannot make the session. The system's proxy
// settings apply (INTERNET_OPEN_TYPE_PRECONFIG).
HttpClient http_open_client(const char* user_agent) {
    HINTERNET internet = InternetOpenW(to_wide(user_agent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet == nullptr) return HttpClient();
    HttpClientState* client = new (std::nothrow) HttpClientState{internet};
    if (client == nullptr) {
        InternetCloseHandle(internet);
        return HttpClient();
    }
    return HttpClient(client);
}

// True for a URL that starts with "https://" in any case.
static bool is_https_url(const char* url) {
    static const char scheme[] = "https://";
    for (size_t i = 0; i + 1 < sizeof scheme; ++i) {
        const char c = url[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != scheme[i]) return false;
    }
    return true;
}

// WinINet refuses to follow a redirect from https to http, but not every
// implementation of it does (Wine's follows it). The final URL tells;
// when it cannot be queried, WinINet's own refusal stands.
static bool final_url_is_https(HINTERNET handle) {
    DWORD size = 0;
    InternetQueryOptionW(handle, INTERNET_OPTION_URL, nullptr, &size);
    if (size == 0) return true;
    std::wstring url(size / sizeof(wchar_t) + 1, L'\0');
    if (!InternetQueryOptionW(handle, INTERNET_OPTION_URL, &url[0], &size)) return true;
    return is_https_url(to_utf8(url.c_str()).c_str());
}

// Null owner when the URL is not https://, the server cannot be reached,
// TLS fails, a redirect led away from https, or WinINet gets no response
// headers. InternetOpenUrlW returns
// once the final response's headers have arrived.
HttpRequest http_open_url(HttpClientState* client, const char* url, const char* headers) {
    // The flags ask for TLS; a plain http:// URL is refused outright, as
    // the POSIX build refuses it.
    if (!is_https_url(url)) return HttpRequest();
    const std::wstring wide_headers = to_wide(headers);
    HINTERNET handle = InternetOpenUrlW(client->internet, to_wide(url).c_str(), wide_headers.c_str(),
                                        static_cast<DWORD>(-1), request_flags, 0);
    if (handle == nullptr) return HttpRequest();
    if (!final_url_is_https(handle)) {
        InternetCloseHandle(handle);
        return HttpRequest();
    }
    HttpRequestState* request = new (std::nothrow) HttpRequestState{handle, 0, 0};
    if (request == nullptr) {
        InternetCloseHandle(handle);
        return HttpRequest();
    }
    request->announced = http_content_length(request);
    return HttpRequest(request);
}

// A failed query leaves the preset 0.
uint32_t http_status_code(HttpRequestState* request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoW(request->request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    return status;
}

// Queried as text: HTTP_QUERY_FLAG_NUMBER gives only 32 bits. 0 when the
// header is missing or not a plain decimal number that fits in 64 bits.
uint64_t http_content_length(HttpRequestState* request) {
    wchar_t text[content_length_chars] = {};
    DWORD size = sizeof text;
    if (!HttpQueryInfoW(request->request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return 0;
    if (text[0] == L'\0') return 0;
    uint64_t value = 0;
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        if (*c < L'0' || *c > L'9') return 0;
        const uint64_t digit = static_cast<uint64_t>(*c - L'0');
        if (value > (~uint64_t{0} - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

// HttpQueryInfoA writes nothing when the value does not fit; the value is
// then fetched whole and cut here.
void http_content_range(HttpRequestState* request, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    memset(buffer, 0, capacity);
    const DWORD limit = capacity > 0x10000 ? 0x10000 : static_cast<DWORD>(capacity);
    DWORD size = limit;
    if (HttpQueryInfoA(request->request, HTTP_QUERY_CONTENT_RANGE, buffer, &size, nullptr)) return;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return;
    std::string whole(size, '\0');
    if (!HttpQueryInfoA(request->request, HTTP_QUERY_CONTENT_RANGE, &whole[0], &size, nullptr)) {
        buffer[0] = '\0';
        return;
    }
    const size_t length = strnlen(whole.c_str(), whole.size());
    const size_t kept = length < capacity - 1 ? length : capacity - 1;
    memcpy(buffer, whole.data(), kept);
    buffer[kept] = '\0';
}

// False on a transport error, including a body cut short of its
// Content-Length: WinINet may report a connection closed early as the end
// of the body, so the end is checked against the announced length here.
// InternetReadFile takes a DWORD count, so a larger request asks for at
// most 1 GiB.
bool http_read(HttpRequestState* request, void* destination, size_t wanted, size_t* received) {
    const DWORD asked = wanted > 0x40000000u ? 0x40000000u : static_cast<DWORD>(wanted);
    DWORD count = 0;
    if (!InternetReadFile(request->request, destination, asked, &count)) return false;
    if (count == 0 && asked > 0 && request->delivered < request->announced) return false;
    request->delivered += count;
    *received = count;
    return true;
}

}  // namespace zem
