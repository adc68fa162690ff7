// HTTP on POSIX: libcurl's multi interface behind the same pull calls the
// Windows build makes through WinINet.
//
// A client owns one multi handle; its connection cache keeps connections
// alive between the client's requests. A request is one easy handle in that
// multi handle. A multi handle may pass between threads but must never be
// used by two at once: each of the launcher's fetch threads has a client of
// its own. Nothing runs behind the caller's back: the transfers advance
// only inside http_open_url and http_read, which drive curl_multi_perform
// and wait in curl_multi_poll until the data they need is there. The one
// call another thread may make is http_cancel, which sets a flag and wakes
// that wait with curl_multi_wakeup (made for exactly this).
//
// Body bytes go straight into the caller's destination. When curl offers
// more than the destination holds, the rest of that one offer is kept (at
// most one write callback's worth, CURL_MAX_WRITE_SIZE) and any further
// offer is refused with CURL_WRITEFUNC_PAUSE, which makes curl stop reading
// the socket until the next http_read resumes it. Memory stays bounded
// whatever the body's size.
//
// Every transfer's result is read with curl_multi_info_read, so a failure
// (name resolution, connection, TLS, a body cut short of its announced
// length, a chunked body without its last chunk) is reported by http_read
// as an error, never as the end of the body.
#include "platform/platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <new>
#include <string>
#include <strings.h>

namespace zem {

namespace {

// No overall time limit: a download may take as long as the line needs.
// But a dead peer must not hang the programs forever, so a connection
// attempt gets http_stall_seconds (curl's connect timeout), and a transfer
// that brings no byte for as long is given up (headers awaited included),
// timed here rather than by curl's low-speed limit, whose time cannot be
// changed for a transfer under way (http_allow_slow_first_byte). The time
// a transfer spends paused because the caller has not asked for more does
// not count.
// The longest single wait in curl_multi_poll; curl shortens it to its own
// next timer, so this only bounds how often the loop re-checks.
constexpr int poll_wait_ms = 1000;
constexpr long max_redirects = 10;

}  // namespace

struct HttpClientState {
    CURLM* multi = nullptr;
    std::string user_agent;
    std::atomic<bool> cancelled{false};
};

struct HttpRequestState {
    HttpClientState* client = nullptr;
    CURL* easy = nullptr;
    curl_slist* header_list = nullptr;
    bool in_multi = false;

    // The response being received. A status line starts a new response
    // (after a redirect), so what is kept belongs to the final response.
    std::string content_range;
    uint64_t content_length = 0;
    long status_in_headers = 0;
    bool location_seen = false;
    bool headers_complete = false;

    // The current http_read's destination; wanted is 0 outside a read.
    unsigned char* destination = nullptr;
    size_t wanted = 0;
    size_t delivered = 0;
    // The part of one write callback's data that did not fit.
    std::string kept;
    size_t kept_start = 0;
    bool paused = false;

    bool finished = false;
    CURLcode result = CURLE_OK;

    // The stall watch: when a header line or body bytes last came (or the
    // caller last asked for more), and how long the body's first byte may
    // take once the headers are in.
    uint64_t last_progress_ms = 0;
    uint32_t first_byte_wait_seconds = http_stall_seconds;
    bool body_begun = false;
};

// ---------------------------------------------------------------- client

void close_http_client(HttpClientState* client) {
    curl_multi_cleanup(client->multi);
    delete client;
}

// Null owner when curl cannot be initialised or the multi handle cannot
// be made.
HttpClient http_open_client(const char* user_agent) {
    // Once per process, before any other curl call; never undone, as the
    // programs end soon after their last transfer.
    static const CURLcode global_init = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (global_init != CURLE_OK) return HttpClient();
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) return HttpClient();
    // Requests open at the same time get a connection each instead of
    // sharing one HTTP/2 connection. The ranged reader opens the next
    // window's request while it still reads the current one and leaves its
    // body unread for a while: on a connection of its own the unread bytes
    // wait in the socket and TCP stops the server, whereas on a shared
    // HTTP/2 connection curl would have to keep reading them into memory
    // (up to the stream's window, tens of MiB) to serve the other stream.
    if (curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_NOTHING) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return HttpClient();
    }
    HttpClientState* client = new (std::nothrow) HttpClientState;
    if (client == nullptr) {
        curl_multi_cleanup(multi);
        return HttpClient();
    }
    client->multi = multi;
    client->user_agent = user_agent;
    return HttpClient(client);
}

void http_cancel(HttpClientState* client) {
    client->cancelled.store(true);
    curl_multi_wakeup(client->multi);
}

// ---------------------------------------------------------------- callbacks

static bool kept_is_empty(const HttpRequestState* request) {
    return request->kept_start >= request->kept.size();
}

// Write callback: body bytes of the final response. Fills the current
// read's destination, keeps the rest of this one offer, and pauses the
// transfer when there is no room (or no read at all, during the open).
static size_t receive_body(char* data, size_t size, size_t count, void* user) {
    HttpRequestState* request = static_cast<HttpRequestState*>(user);
    const size_t total = size * count;
    // Body bytes mean the final response's headers are all in.
    request->headers_complete = true;
    if (total == 0) return 0;
    request->body_begun = true;
    request->last_progress_ms = monotonic_ms();
    const size_t room = request->wanted - request->delivered;
    if (room == 0 || !kept_is_empty(request)) {
        request->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    const size_t taken = total < room ? total : room;
    memcpy(request->destination + request->delivered, data, taken);
    request->delivered += taken;
    request->kept.assign(data + taken, total - taken);
    request->kept_start = 0;
    return total;
}

// True when the header line starts with name followed by ':'; value then
// points at the value without leading blanks.
static bool header_is(const std::string& line, const char* name, std::string* value) {
    const size_t length = strlen(name);
    if (line.size() <= length || line[length] != ':' || strncasecmp(line.c_str(), name, length) != 0) {
        return false;
    }
    const size_t start = line.find_first_not_of(" \t", length + 1);
    *value = start == std::string::npos ? std::string() : line.substr(start);
    return true;
}

// Content-Length as a number; 0 when it is not a plain decimal number
// that fits in 64 bits.
static uint64_t parse_content_length(const std::string& text) {
    if (text.empty()) return 0;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (~uint64_t{0} - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

// "HTTP/1.1 206 Partial Content" or "HTTP/2 200": the status number, 0
// when the line has none.
static long parse_status_line(const std::string& line) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) return 0;
    return strtol(line.c_str() + space + 1, nullptr, 10);
}

// The blank line after a header block: the final response's headers are
// complete unless this was an interim (1xx) answer or a redirect curl is
// about to follow (3xx with a Location).
static void end_header_block(HttpRequestState* request) {
    const long status = request->status_in_headers;
    if (status < 200) return;
    if (status / 100 == 3 && request->location_seen) return;
    request->headers_complete = true;
}

// Header callback: one header line per call, for every response of the
// request (redirects included). Never fails the transfer.
static size_t receive_header(char* data, size_t size, size_t count, void* user) {
    HttpRequestState* request = static_cast<HttpRequestState*>(user);
    const size_t total = size * count;
    request->last_progress_ms = monotonic_ms();
    // Lines after the final response's headers are trailers: not ours.
    if (request->headers_complete) return total;
    std::string line(data, total);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    std::string value;
    if (line.compare(0, 5, "HTTP/") == 0) {
        request->status_in_headers = parse_status_line(line);
        request->content_range.clear();
        request->content_length = 0;
        request->location_seen = false;
    } else if (line.empty()) {
        end_header_block(request);
    } else if (header_is(line, "Content-Range", &value)) {
        request->content_range = value;
    } else if (header_is(line, "Content-Length", &value)) {
        request->content_length = parse_content_length(value);
    } else if (header_is(line, "Location", &value)) {
        request->location_seen = true;
    }
    return total;
}

// ---------------------------------------------------------------- driving

// Marks every transfer of the client that has ended, with its result. The
// request state is found through CURLINFO_PRIVATE.
static void note_finished_transfers(CURLM* multi) {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        char* owner = nullptr;
        if (curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner) != CURLE_OK || owner == nullptr) {
            continue;
        }
        HttpRequestState* request = reinterpret_cast<HttpRequestState*>(owner);
        request->finished = true;
        request->result = message->data.result;
    }
}

static bool headers_are_in(const HttpRequestState* request) {
    return request->headers_complete;
}

static bool body_bytes_delivered(const HttpRequestState* request) {
    return request->delivered > 0;
}

// True, and the transfer marked as ended in a time-out, when it has
// brought nothing for its stall limit.
static bool has_stalled(HttpRequestState* request) {
    const bool awaits_first_byte = request->headers_complete && !request->body_begun;
    const uint32_t limit_seconds = awaits_first_byte ? request->first_byte_wait_seconds : http_stall_seconds;
    if (monotonic_ms() - request->last_progress_ms < uint64_t{limit_seconds} * 1000) return false;
    request->finished = true;
    request->result = CURLE_OPERATION_TIMEDOUT;
    return true;
}

// Runs the client's transfers until ready(request) holds or the request's
// transfer has ended (or stalled). False when the multi interface itself
// fails or the client is cancelled.
static bool run_until(HttpRequestState* request, bool (*ready)(const HttpRequestState*)) {
    HttpClientState* client = request->client;
    CURLM* multi = client->multi;
    for (;;) {
        if (client->cancelled.load()) return false;
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) return false;
        note_finished_transfers(multi);
        if (request->finished || ready(request) || has_stalled(request)) return true;
        if (curl_multi_poll(multi, nullptr, 0, poll_wait_ms, nullptr) != CURLM_OK) return false;
    }
}

// ---------------------------------------------------------------- request

void close_http_request(HttpRequestState* request) {
    // Removing an unfinished transfer closes its connection rather than
    // reading the rest of the body: it never waits for the peer.
    if (request->in_multi) curl_multi_remove_handle(request->client->multi, request->easy);
    if (request->easy != nullptr) curl_easy_cleanup(request->easy);
    curl_slist_free_all(request->header_list);
    delete request;
}

// Splits "Name: value\r\nName: value\r\n" into curl's list, one line per
// entry. False when an entry cannot be added.
static bool build_header_list(const char* headers, curl_slist** list) {
    curl_slist* built = nullptr;
    const char* line = headers;
    while (*line != '\0') {
        const char* end = strstr(line, "\r\n");
        const size_t length = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        if (length > 0) {
            const std::string entry(line, length);
            curl_slist* longer = curl_slist_append(built, entry.c_str());
            if (longer == nullptr) {
                curl_slist_free_all(built);
                return false;
            }
            built = longer;
        }
        line += length;
        if (end != nullptr) line += 2;
    }
    *list = built;
    return true;
}

// The CA bundle to trust: the file SSL_CERT_FILE names, or curl's built-in
// default when it is unset or empty.
static const char* trusted_ca_file() {
    const char* file = getenv("SSL_CERT_FILE");
    return file != nullptr && *file != '\0' ? file : nullptr;
}

// Sets every option of one request. False at the first option curl
// refuses.
static bool configure_request(HttpRequestState* request, const char* url) {
    CURL* easy = request->easy;
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PRIVATE, reinterpret_cast<char*>(request)) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_USERAGENT, request->client->user_agent.c_str()) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->header_list) == CURLE_OK &&
              // https only, for the first request and every redirect: a
              // redirect to http:// fails the request.
              curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_MAXREDIRS, max_redirects) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(http_stall_seconds)) == CURLE_OK &&
              // No signals: the tests run servers on other threads.
              curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              // A proxy's CONNECT answer is not the server's response.
              curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, receive_header) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERDATA, request) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receive_body) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEDATA, request) == CURLE_OK;
    if (!ok) return false;
    if (const char* ca_file = trusted_ca_file()) {
        // Exactly that bundle: no CA folder beside it.
        if (curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file) != CURLE_OK) return false;
        if (curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr)) != CURLE_OK) return false;
    }
    return true;
}

// Null owner when the request cannot be set up, the multi interface
// fails, or the transfer ends in an error before the final response's
// headers are in (unreachable server, TLS failure, refused redirect, ...).
// A transfer that ends without error counts as open even when it had no
// body.
HttpRequest http_open_url(HttpClientState* client, const char* url, const char* headers) {
    if (client->cancelled.load()) return HttpRequest();
    HttpRequestState* state = new (std::nothrow) HttpRequestState;
    if (state == nullptr) return HttpRequest();
    HttpRequest request(state);
    state->client = client;
    state->easy = curl_easy_init();
    if (state->easy == nullptr) return HttpRequest();
    if (!build_header_list(headers, &state->header_list)) return HttpRequest();
    if (!configure_request(state, url)) return HttpRequest();
    state->last_progress_ms = monotonic_ms();
    if (curl_multi_add_handle(client->multi, state->easy) != CURLM_OK) return HttpRequest();
    state->in_multi = true;
    if (!run_until(state, headers_are_in)) return HttpRequest();
    if (!state->headers_complete && !(state->finished && state->result == CURLE_OK)) return HttpRequest();
    return request;
}

void http_allow_slow_first_byte(HttpRequestState* request, uint32_t seconds) {
    request->first_byte_wait_seconds = seconds > http_stall_seconds ? seconds : http_stall_seconds;
}

uint32_t http_status_code(HttpRequestState* request) {
    long code = 0;
    if (curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code < 0) return 0;
    return static_cast<uint32_t>(code);
}

uint64_t http_content_length(HttpRequestState* request) {
    return request->content_length;
}

void http_content_range(HttpRequestState* request, char* buffer, size_t capacity) {
    if (capacity == 0) return;
    const std::string& value = request->content_range;
    const size_t length = value.size() < capacity - 1 ? value.size() : capacity - 1;
    memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
}

// Moves what is left of the last write callback's data into destination;
// returns the number of bytes moved.
static size_t take_kept_bytes(HttpRequestState* request, unsigned char* destination, size_t wanted) {
    const size_t available = request->kept.size() - request->kept_start;
    const size_t taken = available < wanted ? available : wanted;
    if (taken == 0) return 0;
    memcpy(destination, request->kept.data() + request->kept_start, taken);
    request->kept_start += taken;
    if (kept_is_empty(request)) {
        request->kept.clear();
        request->kept_start = 0;
    }
    return taken;
}

// Resumes the transfer into destination until at least one byte arrives
// or it ends. False when curl fails to resume or the multi interface
// fails; *count is the number of bytes delivered.
static bool pull_body_bytes(HttpRequestState* request, unsigned char* destination, size_t wanted, size_t* count) {
    request->destination = destination;
    request->wanted = wanted;
    request->delivered = 0;
    // The time paused since the last read is not the server's silence.
    request->last_progress_ms = monotonic_ms();
    bool ok = true;
    if (request->paused) {
        request->paused = false;
        // Resuming may hand the held-back data to receive_body right here.
        ok = curl_easy_pause(request->easy, CURLPAUSE_CONT) == CURLE_OK;
    }
    if (ok && request->delivered == 0) ok = run_until(request, body_bytes_delivered);
    *count = request->delivered;
    request->destination = nullptr;
    request->wanted = 0;
    request->delivered = 0;
    return ok;
}

// False on a transport error: the transfer ended with any error, body cut
// short included, or curl itself failed. Bytes that arrived before an
// error are returned first; the error comes with the read after them.
bool http_read(HttpRequestState* request, void* destination, size_t wanted, size_t* received) {
    if (request->client->cancelled.load()) return false;
    unsigned char* bytes = static_cast<unsigned char*>(destination);
    size_t count = take_kept_bytes(request, bytes, wanted);
    if (count == 0 && wanted > 0 && !request->finished) {
        if (!pull_body_bytes(request, bytes, wanted, &count)) return false;
    }
    if (count == 0 && request->finished && request->result != CURLE_OK) return false;
    *received = count;
    return true;
}

}  // namespace zem
