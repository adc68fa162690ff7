// One probe request through libcurl's easy interface: the platform seam's
// client has no choice of HTTP version and does not hand out ETag or
// Last-Modified, which the probe needs.
#include "platform/platform.h"
#include "publish/publish.h"
#include "publish/publish_platform.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>

namespace zem {

constexpr long probe_connect_timeout_seconds = 20;
constexpr long probe_low_speed_limit = 1;
constexpr long probe_low_speed_seconds = 60;

struct Transfer {
    ProbeResponse* response;
    size_t max_body;
    bool whole_body;
    Sha256 hash;
    const char* progress_label;
};

static std::string trimmed(const char* text, size_t length) {
    size_t start = 0, end = length;
    while (start < end && (text[start] == ' ' || text[start] == '\t')) ++start;
    while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' ||
                           text[end - 1] == '\n')) {
        --end;
    }
    return std::string(text + start, end - start);
}

static bool header_is(const char* line, size_t length, const char* name) {
    const size_t name_length = strlen(name);
    return length > name_length && line[name_length] == ':' && strncasecmp(line, name, name_length) == 0;
}

static size_t receive_header(char* line, size_t size, size_t count, void* opaque) {
    const size_t length = size * count;
    ProbeResponse& response = *static_cast<Transfer*>(opaque)->response;
    if (length >= 5 && strncmp(line, "HTTP/", 5) == 0) {
        // A new response (after a redirect or a 100): forget the last one's.
        response.content_range.clear();
        response.etag.clear();
        response.last_modified.clear();
        response.accept_ranges.clear();
        response.has_content_length = false;
        return length;
    }
    const char* colon = static_cast<const char*>(memchr(line, ':', length));
    if (colon == nullptr) return length;
    const std::string value = trimmed(colon + 1, length - static_cast<size_t>(colon + 1 - line));
    if (header_is(line, length, "Content-Range")) response.content_range = value;
    if (header_is(line, length, "ETag")) response.etag = value;
    if (header_is(line, length, "Last-Modified")) response.last_modified = value;
    if (header_is(line, length, "Accept-Ranges")) response.accept_ranges = value;
    if (header_is(line, length, "Content-Length")) {
        response.has_content_length = true;
        response.content_length = strtoull(value.c_str(), nullptr, 10);
    }
    return length;
}

static size_t receive_body(char* data, size_t size, size_t count, void* opaque) {
    Transfer& transfer = *static_cast<Transfer*>(opaque);
    const size_t length = size * count;
    ProbeResponse& response = *transfer.response;
    response.body_bytes += length;
    if (transfer.hash.is_open() && !sha256_add(transfer.hash.get(), data, length)) transfer.hash.reset();
    if (transfer.progress_label != nullptr && response.has_content_length) {
        show_progress(transfer.progress_label, response.body_bytes, response.content_length, false);
    }
    const size_t room = transfer.max_body - std::min(transfer.max_body, response.body.size());
    response.body.insert(response.body.end(), data, data + std::min(room, length));
    // Once more than the caller keeps has come, stop: a server that ignores
    // the Range header would otherwise send the whole archive.
    if (response.body_bytes > transfer.max_body && !transfer.whole_body) return 0;
    return length;
}

ProbeResponse probe_get(const std::string& url, const std::string& range_header, ProbeHttpVersion version,
                        size_t max_body, bool whole_body, const char* progress_label) {
    ProbeResponse response;
    Transfer transfer{&response, max_body, whole_body, sha256_begin(), progress_label};
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        response.failure = "libcurl could not start a request";
        return response;
    }
    curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    if (headers != nullptr && !range_header.empty()) {
        curl_slist* longer = curl_slist_append(headers, range_header.c_str());
        if (longer == nullptr) {
            curl_slist_free_all(headers);
            headers = nullptr;
        } else {
            headers = longer;
        }
    }
    const char* ca_file = getenv("SSL_CERT_FILE");
    const long http_version = version == ProbeHttpVersion::http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1;
    bool ok = headers != nullptr && curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_USERAGENT, "zem-publish probe") == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, http_version) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, probe_connect_timeout_seconds) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, probe_low_speed_limit) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, probe_low_speed_seconds) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, receive_header) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receive_body) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer) == CURLE_OK;
    if (ok && ca_file != nullptr && *ca_file != '\0') {
        ok = curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file) == CURLE_OK &&
             curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr)) == CURLE_OK;
    }
    if (!ok) {
        response.failure = "libcurl refused an option";
    } else {
        const CURLcode result = curl_easy_perform(easy);
        long status = 0;
        long used_version = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &used_version);
        response.status = static_cast<uint32_t>(status);
        response.reached = status != 0;
        response.http_version = used_version == CURL_HTTP_VERSION_2_0 ? "2"
                                : used_version == CURL_HTTP_VERSION_1_1 ? "1.1"
                                : used_version == CURL_HTTP_VERSION_1_0 ? "1.0"
                                                                         : "?";
        response.body_complete = result == CURLE_OK;
        if (result != CURLE_OK && result != CURLE_WRITE_ERROR) response.failure = curl_easy_strerror(result);
        if (!response.reached && response.failure.empty()) response.failure = curl_easy_strerror(result);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    progress_done(progress_label == nullptr);
    response.body_sha256 = digest_text(transfer.hash.get());
    return response;
}

}  // namespace zem
