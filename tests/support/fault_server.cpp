#include "support/fault_server.h"

#include <httplib.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace zem_test {

namespace {

constexpr const char* content_type = "application/octet-stream";
// Body bytes handed to httplib per provider call.
constexpr size_t piece_size = 64 * 1024;

struct ByteRange {
    uint64_t first;
    uint64_t last;  // inclusive
};

enum class RangeAsked { none, satisfiable, unsatisfiable };

// Reads "bytes=a-b", "bytes=a-" or "bytes=-n" against a file of size
// bytes. Anything else (several ranges, junk) counts as no range, as
// servers may ignore a Range they do not understand.
RangeAsked parse_range(const std::string& header, uint64_t size, ByteRange* range) {
    const std::string prefix = "bytes=";
    if (header.compare(0, prefix.size(), prefix) != 0) return RangeAsked::none;
    const std::string spec = header.substr(prefix.size());
    const size_t dash = spec.find('-');
    if (dash == std::string::npos || spec.find(',') != std::string::npos) return RangeAsked::none;
    const std::string first_text = spec.substr(0, dash);
    const std::string last_text = spec.substr(dash + 1);
    if (first_text.empty()) {  // a suffix: the last n bytes
        const uint64_t count = strtoull(last_text.c_str(), nullptr, 10);
        if (count == 0 || size == 0) return RangeAsked::unsatisfiable;
        *range = ByteRange{count >= size ? 0 : size - count, size - 1};
        return RangeAsked::satisfiable;
    }
    const uint64_t first = strtoull(first_text.c_str(), nullptr, 10);
    uint64_t last = last_text.empty() ? size - 1 : strtoull(last_text.c_str(), nullptr, 10);
    if (!last_text.empty() && last < first) return RangeAsked::none;
    if (first >= size) return RangeAsked::unsatisfiable;
    if (last >= size) last = size - 1;
    *range = ByteRange{first, last};
    return RangeAsked::satisfiable;
}

// The number of body bytes actually sent: all, or fewer when cut.
size_t bytes_to_send(const std::string& body, int64_t cut_after) {
    if (cut_after < 0 || static_cast<uint64_t>(cut_after) >= body.size()) return body.size();
    return static_cast<size_t>(cut_after);
}

// Content-Length framing. A cut body announces its full length; the
// provider then fails, and httplib drops the connection.
void send_with_length(httplib::Response& response, std::string body, int64_t cut_after) {
    const size_t length = body.size();
    const size_t sent = bytes_to_send(body, cut_after);
    if (sent == length) {
        response.set_content(std::move(body), content_type);
        return;
    }
    auto shared = std::make_shared<std::string>(std::move(body));
    response.set_content_provider(length, content_type,
                                  [shared, sent](size_t offset, size_t wanted, httplib::DataSink& sink) {
                                      if (offset >= sent) return false;
                                      size_t count = sent - offset;
                                      if (count > wanted) count = wanted;
                                      if (count > piece_size) count = piece_size;
                                      return sink.write(shared->data() + offset, count);
                                  });
}

// Chunked framing: no Content-Length; a cut body stops without the last
// (empty) chunk.
void send_chunked(httplib::Response& response, std::string body, int64_t cut_after) {
    const size_t sent = bytes_to_send(body, cut_after);
    const bool cut = sent < body.size();
    auto shared = std::make_shared<std::string>(std::move(body));
    response.set_chunked_content_provider(content_type, [shared, sent, cut](size_t offset, httplib::DataSink& sink) {
        if (offset >= sent) {
            if (cut) return false;
            sink.done();
            return true;
        }
        size_t count = sent - offset;
        if (count > piece_size) count = piece_size;
        return sink.write(shared->data() + offset, count);
    });
}

// Close-delimited framing: neither Content-Length nor chunks; the body
// ends where the connection closes, cut or not.
void send_close_delimited(httplib::Response& response, std::string body, int64_t cut_after) {
    const size_t sent = bytes_to_send(body, cut_after);
    auto shared = std::make_shared<std::string>(std::move(body));
    response.set_content_provider(content_type, [shared, sent](size_t offset, httplib::DataSink& sink) {
        if (offset >= sent) {
            sink.done();
            return true;
        }
        size_t count = sent - offset;
        if (count > piece_size) count = piece_size;
        return sink.write(shared->data() + offset, count);
    });
}

void send_body(httplib::Response& response, const FaultReply& reply, int status, std::string body) {
    response.status = status;
    switch (reply.framing) {
    case FaultReply::Framing::content_length: send_with_length(response, std::move(body), reply.cut_after); break;
    case FaultReply::Framing::chunked: send_chunked(response, std::move(body), reply.cut_after); break;
    case FaultReply::Framing::close_delimited: send_close_delimited(response, std::move(body), reply.cut_after); break;
    }
}

std::string content_range_value(const ByteRange& range, uint64_t size, FaultReply::RangeTotal total) {
    char text[96];
    if (total == FaultReply::RangeTotal::star) {
        snprintf(text, sizeof text, "bytes %" PRIu64 "-%" PRIu64 "/*", range.first, range.last);
    } else {
        snprintf(text, sizeof text, "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, range.first, range.last, size);
    }
    return text;
}

// The file, honouring a single byte range.
void answer_file(httplib::Response& response, const FaultReply& reply, const std::string& range_header,
                 const std::string& file) {
    ByteRange range{0, 0};
    switch (parse_range(range_header, file.size(), &range)) {
    case RangeAsked::none:
        send_body(response, reply, 200, file);
        return;
    case RangeAsked::unsatisfiable:
        response.set_header("Content-Range", "bytes */" + std::to_string(file.size()));
        send_body(response, reply, 416, std::string());
        return;
    case RangeAsked::satisfiable:
        if (reply.range_total != FaultReply::RangeTotal::omitted) {
            response.set_header("Content-Range", content_range_value(range, file.size(), reply.range_total));
        }
        send_body(response, reply, 206, file.substr(range.first, range.last - range.first + 1));
        return;
    }
}

void answer(httplib::Response& response, const FaultReply& reply, const std::string& range_header,
            const std::string& file) {
    switch (reply.kind) {
    case FaultReply::Kind::file: answer_file(response, reply, range_header, file); break;
    case FaultReply::Kind::whole_file: send_body(response, reply, 200, file); break;
    case FaultReply::Kind::status: send_body(response, reply, reply.status, reply.body); break;
    case FaultReply::Kind::redirect:
        response.set_header("Location", reply.location);
        send_body(response, reply, 302, "moved\n");
        break;
    }
}

}  // namespace

FaultServer::FaultServer(const TestCa& ca, std::string file) : file_(std::move(file)) {
    server_.reset(new httplib::SSLServer(ca.server_cert.c_str(), ca.server_key.c_str()));
    if (!server_->is_valid()) return;
    // Idle keep-alive connections end soon, so that stopping never waits long.
    server_->set_keep_alive_timeout(1);
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        // httplib would cut the body to the Range by itself after this
        // handler; here the scripted reply alone decides what is sent.
        const_cast<httplib::Request&>(request).ranges.clear();
        const std::string range = request.get_header_value("Range");
        answer(response, next_reply(request.path, range, request.remote_port), range, file_);
    });
    const int port = server_->bind_to_any_port("127.0.0.1");
    if (port <= 0) return;
    // The socket listens already: requests made before the thread runs
    // wait in the backlog.
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    port_ = port;
}

FaultServer::~FaultServer() {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string FaultServer::url(const std::string& path, const char* host) const {
    return "https://" + std::string(host) + ":" + std::to_string(port_) + path;
}

void FaultServer::script(std::vector<FaultReply> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripted_.assign(replies.begin(), replies.end());
}

void FaultServer::set_default_reply(FaultReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_reply_ = std::move(reply);
}

std::vector<RecordedRequest> FaultServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t FaultServer::request_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

FaultReply FaultServer::next_reply(const std::string& path, const std::string& range, int client_port) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(RecordedRequest{path, range, client_port});
    if (scripted_.empty()) return default_reply_;
    FaultReply reply = std::move(scripted_.front());
    scripted_.pop_front();
    return reply;
}

}  // namespace zem_test
