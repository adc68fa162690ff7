// An HTTPS server on 127.0.0.1 that serves one byte buffer as a file and
// answers each request the way a test scripts it: correctly, or with one
// of the faults real servers and networks produce (wrong status, missing
// or odd Content-Range, body cut short, redirects). It records every
// request it receives.
#pragma once

#include "support/test_ca.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zem_test {

// How the server answers one request.
struct FaultReply {
    enum class Kind {
        file,        // 206 + Content-Range for a satisfiable single "bytes=" range,
                     // 416 for an unsatisfiable one, else 200 with the whole file
        whole_file,  // 200 with the whole file, whatever the Range header says
        status,      // `status` with `body`
        redirect,    // 302 to `location`
        silent,      // no answer at all: the connection stays open, quiet
    };
    // What a 206's Content-Range says: "bytes a-b/N", "bytes a-b/*", or no
    // Content-Range header at all.
    enum class RangeTotal { length, star, omitted };
    // How the body's end is marked: by Content-Length, by chunked
    // encoding (no Content-Length), or by closing the connection (neither).
    enum class Framing { content_length, chunked, close_delimited };

    Kind kind = Kind::file;
    int status = 200;
    std::string body;
    std::string location;
    RangeTotal range_total = RangeTotal::length;
    Framing framing = Framing::content_length;
    // A 206 answer carries the bytes (and names them in its Content-Range)
    // this many bytes after the asked range: another part of the file.
    uint64_t range_shift = 0;
    // When set ("bytes=a-b"), a 206 answer carries this range whatever was
    // asked: a cache that serves one stored range for every range.
    std::string served_range;
    // At or above 0: only this many body bytes are sent, then the
    // connection is dropped (a Content-Length still announces them all; a
    // chunked body lacks its last chunk).
    int64_t cut_after = -1;
    // At or above 0: only this many body bytes are sent, then nothing more
    // while the connection stays open (a peer gone quiet). Silences last
    // until the server stops, 20 s at most.
    int64_t silent_after = -1;
    // Above 0: the headers are sent at once and the body only this many
    // milliseconds later (a cache that answers a range at once and sends
    // its bytes when its own download reaches them). Content-Length
    // framing only; ends early when the server stops.
    int body_delay_ms = 0;
    // Served instead of the server's file when set: an archive replaced on
    // the server.
    std::shared_ptr<const std::string> other_file;
};

struct RecordedRequest {
    std::string path;
    std::string range;  // the Range header's value; "" when none was sent
    std::string user_agent;
    int client_port;    // the client's port, the same for requests on one connection
    bool tls;           // false: it came to plain_url's listener
};

// A port on 127.0.0.1 where nothing listens (0 when none was found).
int closed_port();

class FaultServer {
public:
    // Starts serving file over HTTPS with the CA's server certificate on a
    // free port, and the same over plain HTTP on another. started() tells
    // whether that worked.
    FaultServer(const TestCa& ca, std::string file);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    bool started() const;
    int port() const;
    // "https://<host>:<port><path>"; the certificate is valid for
    // "127.0.0.1" and "localhost".
    std::string url(const std::string& path, const char* host = "127.0.0.1") const;
    // "http://127.0.0.1:<other port><path>": the same answers without TLS,
    // so that a test sees whether a client goes there.
    std::string plain_url(const std::string& path) const;

    // The next requests are answered by these replies, one each, in order;
    // the requests after them as the default reply says.
    void script(std::vector<FaultReply> replies);
    void set_default_reply(FaultReply reply);

    std::vector<RecordedRequest> requests() const;
    size_t request_count() const;

private:
    struct Listener;
    bool listen(Listener* listener, bool tls);
    FaultReply next_reply(RecordedRequest request);

    const std::string file_;
    std::unique_ptr<Listener> secure_;
    std::unique_ptr<Listener> plain_;

    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::deque<FaultReply> scripted_;
    FaultReply default_reply_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace zem_test
