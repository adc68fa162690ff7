// HTTP on Windows: WinINet, one call per operation. WinINet verifies the
// server's certificate against the system store, follows redirects itself
// and refuses to follow one from https to http.
//
// Cancelling closes the client's session handle from the cancelling
// thread, which WinINet documents as the way to end a blocking call on it
// or its requests (closing a parent closes its children). The handles of
// a cancelled client are never used or closed again: WinINet may hand
// their values to new handles (another client's). So every use checks the
// client's cancelled flag under its guard, which the cancel holds
// exclusively while it closes: a query, an option or a close holds the
// guard for the call, so it never meets a closed handle; a blocking call
// checks under the guard just before it begins, all its arguments made,
// and cannot hold it throughout (the cancel must end it), so only the few
// instructions between that check and WinINet's taking the handle remain
// open to a cancel.
#include "platform/platform.h"
#include "platform/win32/wide.h"

#include <atomic>
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
    HINTERNET internet = nullptr;
    SRWLOCK guard = SRWLOCK_INIT;  // exclusive: the cancel's close; shared: a use
    std::atomic<bool> cancelled{false};
};

struct HttpRequestState {
    HttpClientState* client;
    HINTERNET request;
    uint64_t announced;  // the Content-Length, 0 when none
    uint64_t delivered;  // body bytes read so far
    bool slow_first_byte;  // its receive time limit is lengthened until the first body byte
};

namespace {

// Holds the client's guard shared for a scope; live() tells whether its
// handles may be used.
class ClientUse {
public:
    explicit ClientUse(HttpClientState* client) : client_(client) { AcquireSRWLockShared(&client_->guard); }
    ~ClientUse() { ReleaseSRWLockShared(&client_->guard); }
    ClientUse(const ClientUse&) = delete;
    ClientUse& operator=(const ClientUse&) = delete;
    bool live() const { return !client_->cancelled.load(); }

private:
    HttpClientState* client_;
};

// Just before a blocking call on the client's handles: true when they may
// still be used.
bool client_is_live(HttpClientState* client) {
    ClientUse use(client);
    return use.live();
}

}  // namespace

void close_http_client(HttpClientState* client) {
    {
        ClientUse use(client);
        if (use.live()) InternetCloseHandle(client->internet);
    }
    delete client;
}

void close_http_request(HttpRequestState* request) {
    {
        ClientUse use(request->client);
        if (use.live() && request->request != nullptr) InternetCloseHandle(request->request);
    }
    delete request;
}

void http_cancel(HttpClientState* client) {
    AcquireSRWLockExclusive(&client->guard);
    if (!client->cancelled.exchange(true)) InternetCloseHandle(client->internet);
    ReleaseSRWLockExclusive(&client->guard);
}

// WinINet's own time limits, set explicitly: some implementations set none
// by default (Wine's waits for ever on a silent connection). The ranged
// reader keeps its own watch as well.
static void set_time_limits(HINTERNET internet) {
    DWORD milliseconds = http_stall_seconds * 1000;
    const DWORD options[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT};
    for (DWORD option : options) InternetSetOptionW(internet, option, &milliseconds, sizeof milliseconds);
}

static void set_receive_time_limit(HINTERNET handle, uint32_t seconds) {
    DWORD milliseconds = seconds * 1000;
    InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &milliseconds, sizeof milliseconds);
}

// WinINet allows a process only a few connections to one server at a time
// (2 for HTTP/1.1 on older systems); the launcher's fetch threads need one
// each, side by side. A process-wide setting, made before the first
// session.
constexpr DWORD connections_per_server = 16;

static void allow_connections_side_by_side() {
    DWORD connections = connections_per_server;
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
    InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections, sizeof connections);
}

// Null owner when WinINet cannot make the session. The system's proxy
// settings apply (INTERNET_OPEN_TYPE_PRECONFIG).
HttpClient http_open_client(const char* user_agent) {
    static const bool side_by_side = (allow_connections_side_by_side(), true);
    (void)side_by_side;
    HINTERNET internet = InternetOpenW(to_wide(user_agent).c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet == nullptr) return HttpClient();
    set_time_limits(internet);
    HttpClientState* client = new (std::nothrow) HttpClientState;
    if (client == nullptr) {
        InternetCloseHandle(internet);
        return HttpClient();
    }
    client->internet = internet;
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

static uint64_t http_content_length_of(HINTERNET handle);

// Wine's WinINet keeps one record per server for the whole process and
// resolves the server's name into it when it has no address yet, checking
// and resolving without a lock: two first requests to a server made at the
// same moment on two threads (the launcher's size probe and the window
// beside it) both resolve, and the later one copies the address in with its
// port still 0 before it sets it, which the other may be connecting to just
// then (refused: no request reaches the server). So the process's first
// request goes alone until its server's name is resolved (WinINet tells
// its status callback, on the calling thread), or its call has ended; the
// others wait that long, and then find the address there.
namespace {

SRWLOCK first_request_lock = SRWLOCK_INIT;
CONDITION_VARIABLE first_request_resolved = CONDITION_VARIABLE_INIT;
enum class FirstRequest { not_made, resolving, resolved };
FirstRequest first_request = FirstRequest::not_made;
constexpr DWORD_PTR first_request_context = 1;  // WinINet calls no callback for a context of 0

// True for the process's first request, which must call
// let_other_requests_go; any other waits until it has.
bool wait_for_first_request() {
    AcquireSRWLockExclusive(&first_request_lock);
    const bool first = first_request == FirstRequest::not_made;
    if (first) first_request = FirstRequest::resolving;
    while (!first && first_request == FirstRequest::resolving) {
        SleepConditionVariableSRW(&first_request_resolved, &first_request_lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&first_request_lock);
    return first;
}

void let_other_requests_go() {
    AcquireSRWLockExclusive(&first_request_lock);
    first_request = FirstRequest::resolved;
    ReleaseSRWLockExclusive(&first_request_lock);
    WakeAllConditionVariable(&first_request_resolved);
}

void CALLBACK note_first_request_status(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
    if (context == first_request_context && status == INTERNET_STATUS_NAME_RESOLVED) let_other_requests_go();
}

}  // namespace

// Null owner when the URL is not https://, the server cannot be reached,
// TLS fails, a redirect led away from https, or WinINet gets no response
// headers. InternetOpenUrlW returns
// once the final response's headers have arrived.
HttpRequest http_open_url(HttpClientState* client, const char* url, const char* headers) {
    // The flags ask for TLS; a plain http:// URL is refused outright, as
    // the POSIX build refuses it.
    if (!is_https_url(url)) return HttpRequest();
    const std::wstring wide_url = to_wide(url);
    const std::wstring wide_headers = to_wide(headers);
    HttpRequestState* request = new (std::nothrow) HttpRequestState{client, nullptr, 0, 0, false};
    if (request == nullptr) return HttpRequest();
    HttpRequest owner(request);
    const bool first = wait_for_first_request();
    if (!client_is_live(client)) {
        if (first) let_other_requests_go();
        return HttpRequest();
    }
    // The callback is the session's, and its requests inherit it as they
    // are made: it is set for the first request only.
    if (first) InternetSetStatusCallbackW(client->internet, note_first_request_status);
    HINTERNET handle = InternetOpenUrlW(client->internet, wide_url.c_str(), wide_headers.c_str(),
                                        static_cast<DWORD>(-1), request_flags, first ? first_request_context : 0);
    if (first) let_other_requests_go();
    if (handle == nullptr) return HttpRequest();
    ClientUse use(client);
    // A cancelled client's handles, this one included, are closed already.
    if (!use.live()) return HttpRequest();
    request->request = handle;
    if (!final_url_is_https(handle)) return HttpRequest();
    request->announced = http_content_length_of(handle);
    return owner;
}

// A failed query leaves the preset 0.
uint32_t http_status_code(HttpRequestState* request) {
    ClientUse use(request->client);
    if (!use.live()) return 0;
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoW(request->request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    return status;
}

// Queried as text: HTTP_QUERY_FLAG_NUMBER gives only 32 bits. 0 when the
// header is missing or not a plain decimal number that fits in 64 bits.
// With the client's guard held.
static uint64_t http_content_length_of(HINTERNET handle) {
    wchar_t text[content_length_chars] = {};
    DWORD size = sizeof text;
    if (!HttpQueryInfoW(handle, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return 0;
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

uint64_t http_content_length(HttpRequestState* request) {
    ClientUse use(request->client);
    return use.live() ? http_content_length_of(request->request) : 0;
}

// HttpQueryInfoA writes nothing when the value does not fit; the value is
// then fetched whole and cut here.
void http_content_range(HttpRequestState* request, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    memset(buffer, 0, capacity);
    ClientUse use(request->client);
    if (!use.live()) return;
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
// most 1 GiB. It waits until it has all it is asked for, so it is asked
// for no more than has arrived (InternetQueryDataAvailable waits for the
// first bytes): bytes that came before a connection went quiet are
// delivered, as the POSIX build delivers them.
bool http_read(HttpRequestState* request, void* destination, size_t wanted, size_t* received) {
    HttpClientState* client = request->client;
    DWORD asked = wanted > 0x40000000u ? 0x40000000u : static_cast<DWORD>(wanted);
    DWORD available = 0;
    if (!client_is_live(client)) return false;
    if (!InternetQueryDataAvailable(request->request, &available, 0, 0)) return false;
    if (available > 0 && available < asked) asked = available;
    if (!client_is_live(client)) return false;
    DWORD count = 0;
    if (!InternetReadFile(request->request, destination, asked, &count)) return false;
    if (count == 0 && asked > 0 && request->delivered < request->announced) return false;
    request->delivered += count;
    *received = count;
    if (count > 0 && request->slow_first_byte) {
        request->slow_first_byte = false;
        ClientUse use(client);
        if (use.live()) set_receive_time_limit(request->request, http_stall_seconds);
    }
    return true;
}

// WinINet's receive time limit covers the wait for body bytes (where an
// implementation applies it at all: Wine's does not).
void http_allow_slow_first_byte(HttpRequestState* request, uint32_t seconds) {
    if (request->delivered > 0 || seconds <= http_stall_seconds) return;
    ClientUse use(request->client);
    if (!use.live()) return;
    set_receive_time_limit(request->request, seconds);
    request->slow_first_byte = true;
}

}  // namespace zem
