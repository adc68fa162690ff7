#include "support/fault_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The bytes of one response body. A slice of the served file points into
// the server's own copy, which outlives every response (the server stops
// before it goes), so even a large file is never copied per request; other
// bodies are owned by `kept`.
struct Body {
    const char* data;
    size_t size;
    std::shared_ptr<const std::string> kept;
};

Body body_of(std::string text) {
    auto kept = std::make_shared<const std::string>(std::move(text));
    return Body{kept->data(), kept->size(), kept};
}

// Keeps quiet until the server stops, 20 s at most.
void stay_silent(const std::atomic<bool>* stopping) {
    for (int waited = 0; waited < 2000 && !stopping->load(); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Waits delay_ms, or until the server stops.
void hold_back(int delay_ms, const std::atomic<bool>* stopping) {
    for (int waited = 0; waited < delay_ms && !stopping->load(); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The number of body bytes actually sent: all, or fewer when cut.
size_t bytes_to_send(const Body& body, int64_t cut_after) {
    if (cut_after < 0 || static_cast<uint64_t>(cut_after) >= body.size) return body.size;
    return static_cast<size_t>(cut_after);
}

// Content-Length framing. A cut body announces its full length; the
// provider then fails, and httplib drops the connection.
// A body silent after some bytes is sent this way too.
void send_with_length(httplib::Response& response, const Body& body, const FaultReply& reply,
                      const std::atomic<bool>* stopping) {
    if (body.size == 0) {
        response.set_content("", 0, content_type);
        return;
    }
    const size_t sent = bytes_to_send(body, reply.cut_after);
    const size_t silent_at = bytes_to_send(body, reply.silent_after);
    const int delay_ms = reply.body_delay_ms;
    response.set_content_provider(body.size, content_type,
                                  [body, sent, silent_at, stopping, delay_ms](size_t offset, size_t wanted, httplib::DataSink& sink) {
                                      if (offset == 0) hold_back(delay_ms, stopping);
                                      if (offset >= silent_at) {
                                          stay_silent(stopping);
                                          return false;
                                      }
                                      if (offset >= sent) return false;
                                      if (wanted > silent_at - offset) wanted = silent_at - offset;
                                      size_t count = sent - offset;
                                      if (count > wanted) count = wanted;
                                      if (count > piece_size) count = piece_size;
                                      return sink.write(body.data + offset, count);
                                  });
}

// Chunked framing: no Content-Length; a cut body stops without the last
// (empty) chunk.
void send_chunked(httplib::Response& response, const Body& body, int64_t cut_after) {
    const size_t sent = bytes_to_send(body, cut_after);
    const bool cut = sent < body.size;
    response.set_chunked_content_provider(content_type, [body, sent, cut](size_t offset, httplib::DataSink& sink) {
        if (offset >= sent) {
            if (cut) return false;
            sink.done();
            return true;
        }
        size_t count = sent - offset;
        if (count > piece_size) count = piece_size;
        return sink.write(body.data + offset, count);
    });
}

// Close-delimited framing: neither Content-Length nor chunks; the body
// ends where the connection ends, cut or not. The provider's failure
// makes httplib drop the connection at once instead of holding it open
// for a next request that the client, waiting for the end, never sends.
void send_close_delimited(httplib::Response& response, const Body& body, int64_t cut_after) {
    const size_t sent = bytes_to_send(body, cut_after);
    response.set_header("Connection", "close");
    response.set_content_provider(content_type, [body, sent](size_t offset, httplib::DataSink& sink) {
        if (offset >= sent) return false;
        size_t count = sent - offset;
        if (count > piece_size) count = piece_size;
        return sink.write(body.data + offset, count);
    });
}

void send_body(httplib::Response& response, const FaultReply& reply, int status, const Body& body,
               const std::atomic<bool>* stopping) {
    response.status = status;
    switch (reply.framing) {
    case FaultReply::Framing::content_length: send_with_length(response, body, reply, stopping); break;
    case FaultReply::Framing::chunked: send_chunked(response, body, reply.cut_after); break;
    case FaultReply::Framing::close_delimited: send_close_delimited(response, body, reply.cut_after); break;
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
                 const std::string& file, const std::atomic<bool>* stopping) {
    ByteRange range{0, 0};
    switch (parse_range(range_header, file.size(), &range)) {
    case RangeAsked::none:
        send_body(response, reply, 200, Body{file.data(), file.size(), nullptr}, stopping);
        return;
    case RangeAsked::unsatisfiable:
        response.set_header("Content-Range", "bytes */" + std::to_string(file.size()));
        send_body(response, reply, 416, body_of(std::string()), stopping);
        return;
    case RangeAsked::satisfiable:
        if (!reply.served_range.empty()) parse_range(reply.served_range, file.size(), &range);
        if (reply.range_shift != 0) {
            const uint64_t length = range.last - range.first + 1;
            range.first = std::min<uint64_t>(range.first + reply.range_shift, file.size() - length);
            range.last = range.first + length - 1;
        }
        if (reply.range_total != FaultReply::RangeTotal::omitted) {
            response.set_header("Content-Range", content_range_value(range, file.size(), reply.range_total));
        }
        send_body(response, reply, 206, Body{file.data() + range.first, range.last - range.first + 1, nullptr},
                  stopping);
        return;
    }
}

void answer(httplib::Response& response, const FaultReply& reply, const std::string& range_header,
            const std::string& served_file, const std::atomic<bool>* stopping) {
    const std::string& file = reply.other_file ? *reply.other_file : served_file;
    switch (reply.kind) {
    case FaultReply::Kind::file: answer_file(response, reply, range_header, file, stopping); break;
    case FaultReply::Kind::whole_file:
        send_body(response, reply, 200, Body{file.data(), file.size(), nullptr}, stopping);
        break;
    case FaultReply::Kind::status: send_body(response, reply, reply.status, body_of(reply.body), stopping); break;
    case FaultReply::Kind::redirect:
        response.set_header("Location", reply.location);
        send_body(response, reply, 302, body_of("moved\n"), stopping);
        break;
    case FaultReply::Kind::silent:
        stay_silent(stopping);
        send_body(response, reply, 503, body_of(std::string()), stopping);
        break;
    }
}

}  // namespace

struct FaultServer::Listener {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> returned{false};
    int port = 0;
};

FaultServer::FaultServer(const TestCa& ca, std::string file)
    : file_(std::move(file)), secure_(new Listener), plain_(new Listener) {
    secure_->server.reset(new httplib::SSLServer(ca.server_cert.c_str(), ca.server_key.c_str()));
    plain_->server.reset(new httplib::Server);
    if (listen(secure_.get(), true)) listen(plain_.get(), false);
}

FaultServer::~FaultServer() {
    stopping_ = true;
    for (Listener* listener : {secure_.get(), plain_.get()}) {
        if (listener->port > 0) listener->server->stop();
        if (listener->thread.joinable()) listener->thread.join();
    }
}

// Sets the server up and starts its accept loop on a free port of
// 127.0.0.1. False when it cannot listen.
bool FaultServer::listen(Listener* listener, bool tls) {
    httplib::Server& server = *listener->server;
    if (!server.is_valid()) return false;
    // Idle keep-alive connections end soon, so that stopping never waits long.
    server.set_keep_alive_timeout(1);
    // Headers and body go out in separate writes; without this the body
    // waits for the client's delayed acknowledgement of the headers.
    server.set_tcp_nodelay(true);
    server.Get(".*", [this, tls](const httplib::Request& request, httplib::Response& response) {
        // httplib would cut the body to the Range by itself after this
        // handler; here the scripted reply alone decides what is sent.
        const_cast<httplib::Request&>(request).ranges.clear();
        const std::string range = request.get_header_value("Range");
        const RecordedRequest seen{request.path, range, request.get_header_value("User-Agent"), request.remote_port, tls};
        answer(response, next_reply(seen), range, file_, &stopping_);
    });
    // httplib sets SO_REUSEPORT by default on Linux, with which a second
    // listener of the same user may share a port and take some of its
    // connections (tests run side by side then fail at random). Without
    // it, the bind itself makes sure no one else listens there.
    server.set_socket_options([](socket_t) {});
    const int port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0) return false;
    listener->thread = std::thread([listener] {
        listener->server->listen_after_bind();
        listener->returned = true;
    });
    // stop() does nothing to a server whose accept loop has not begun yet,
    // and the loop would then wait for ever: go on only once it runs.
    while (!server.is_running() && !listener->returned) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!server.is_running()) return false;
    listener->port = port;
    return true;
}

bool FaultServer::started() const {
    return secure_->port > 0 && plain_->port > 0;
}

int FaultServer::port() const {
    return secure_->port;
}

std::string FaultServer::url(const std::string& path, const char* host) const {
    return "https://" + std::string(host) + ":" + std::to_string(secure_->port) + path;
}

std::string FaultServer::plain_url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(plain_->port) + path;
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

FaultReply FaultServer::next_reply(RecordedRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
    if (scripted_.empty()) return default_reply_;
    FaultReply reply = std::move(scripted_.front());
    scripted_.pop_front();
    return reply;
}

int closed_port() {
    // Stays bound, never listening, until the process ends: connections to
    // it are refused, and no server started meanwhile can be given it.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener);
        return 0;
    }
    return ntohs(address.sin_port);
}

}  // namespace zem_test
