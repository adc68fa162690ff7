// The POSIX HTTP seam (libcurl) against the in-process fault server over
// real TLS, trusting a test CA through SSL_CERT_FILE.
#include "platform/platform.h"
#include "support/fault_server.h"
#include "support/test_ca.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zem_test::FaultReply;
using zem_test::FaultServer;

constexpr const char* user_agent = "ZEM unit test";

// Bytes that differ at every offset a test looks at.
std::string make_file(size_t size) {
    std::string file(size, '\0');
    uint32_t state = 12345;
    for (char& c : file) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return file;
}

// Reads the body in pieces of the given size until its end or an error.
// Returns http_read's verdict on the last call; *body holds every byte
// received before that.
bool read_body(zem::HttpRequestState* request, size_t piece, std::string* body) {
    std::vector<char> buffer(piece);
    for (;;) {
        size_t received = 0;
        if (!zem::http_read(request, buffer.data(), piece, &received)) return false;
        if (received == 0) return true;
        EXPECT_LE(received, piece);
        body->append(buffer.data(), received);
    }
}

std::string content_range(zem::HttpRequestState* request) {
    char buffer[128];
    zem::http_content_range(request, buffer, sizeof buffer);
    return buffer;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Http : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ca_ = new zem_test::TestCa;
        other_ca_ = new zem_test::TestCa;
        ASSERT_TRUE(zem_test::make_test_ca(ca_));
        ASSERT_TRUE(zem_test::make_test_ca(other_ca_));
    }
    static void TearDownTestSuite() {
        zem_test::remove_test_ca(*ca_);
        zem_test::remove_test_ca(*other_ca_);
        delete ca_;
        delete other_ca_;
    }

    void SetUp() override {
        setenv("SSL_CERT_FILE", ca_->ca_cert.c_str(), 1);
        start_server(make_file(1 << 20));
    }

    void start_server(const std::string& file) {
        client_.reset();
        server_.reset();
        file_ = file;
        server_.reset(new FaultServer(*ca_, file_));
        ASSERT_TRUE(server_->started());
        client_ = zem::http_open_client(user_agent);
        ASSERT_TRUE(client_.is_open());
    }

    zem::HttpRequest open(const std::string& path, const char* headers = "") {
        return zem::http_open_url(client_.get(), server_->url(path).c_str(), headers);
    }

    static zem_test::TestCa* ca_;
    static zem_test::TestCa* other_ca_;
    std::string file_;
    // The client goes first: its connections close before the server stops.
    std::unique_ptr<FaultServer> server_;
    zem::HttpClient client_;

    void TearDown() override {
        client_.reset();
        server_.reset();
    }
};

zem_test::TestCa* Http::ca_ = nullptr;
zem_test::TestCa* Http::other_ca_ = nullptr;

// ---------------------------------------------------------------- responses as seen

struct ResponseCase {
    const char* name;
    std::vector<FaultReply> replies;  // "{server}" in a location becomes the server's base URL
    const char* headers;
    uint32_t status;
    int64_t content_length;         // -1: the file's size
    const char* content_range;      // "{size}" becomes the file's size
    size_t body_offset, body_size;  // the expected body as a slice of the file; size -1: a fixed body
    const char* fixed_body;
    size_t request_count;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const ResponseCase& c, std::ostream* out) {
    *out << c.name;
}

FaultReply reply_of(FaultReply::Kind kind) {
    FaultReply reply;
    reply.kind = kind;
    return reply;
}

FaultReply status_reply(int status, const char* body) {
    FaultReply reply = reply_of(FaultReply::Kind::status);
    reply.status = status;
    reply.body = body;
    return reply;
}

FaultReply range_total_reply(FaultReply::RangeTotal total) {
    FaultReply reply;
    reply.range_total = total;
    return reply;
}

FaultReply chunked_reply() {
    FaultReply reply;
    reply.framing = FaultReply::Framing::chunked;
    return reply;
}

FaultReply redirect_reply(const char* location) {
    FaultReply reply = reply_of(FaultReply::Kind::redirect);
    reply.location = location;
    return reply;
}

constexpr size_t whole = static_cast<size_t>(-1);
constexpr size_t fixed = static_cast<size_t>(-2);

const ResponseCase response_cases[] = {
    {"WholeFile", {}, "", 200, -1, "", 0, whole, nullptr, 1},
    {"Range", {}, "Range: bytes=10-19\r\n", 206, 10, "bytes 10-19/{size}", 10, 10, nullptr, 1},
    {"SizeProbe", {}, "Range: bytes=0-0\r\n", 206, 1, "bytes 0-0/{size}", 0, 1, nullptr, 1},
    {"OpenEndedRange", {}, "Range: bytes=1048000-\r\n", 206, 576, "bytes 1048000-1048575/{size}", 1048000, 576,
     nullptr, 1},
    {"TwoHeaderLines", {}, "X-Test: one\r\nRange: bytes=5-6\r\n", 206, 2, "bytes 5-6/{size}", 5, 2, nullptr, 1},
    {"RangeTotalUnknown", {range_total_reply(FaultReply::RangeTotal::star)}, "Range: bytes=10-19\r\n", 206, 10,
     "bytes 10-19/*", 10, 10, nullptr, 1},
    {"RangeWithoutContentRange", {range_total_reply(FaultReply::RangeTotal::omitted)}, "Range: bytes=10-19\r\n", 206,
     10, "", 10, 10, nullptr, 1},
    {"RangeIgnored", {reply_of(FaultReply::Kind::whole_file)}, "Range: bytes=10-19\r\n", 200, -1, "", 0, whole,
     nullptr, 1},
    {"Unsatisfiable", {}, "Range: bytes=2000000-\r\n", 416, 0, "bytes */{size}", 0, fixed, "", 1},
    {"NotFound", {status_reply(404, "not here\n")}, "", 404, 9, "", 0, fixed, "not here\n", 1},
    {"ServerError", {status_reply(500, "")}, "", 500, 0, "", 0, fixed, "", 1},
    {"Chunked", {chunked_reply()}, "", 200, 0, "", 0, whole, nullptr, 1},
    {"RedirectToHttps", {redirect_reply("{server}/moved")}, "Range: bytes=10-19\r\n", 206, 10, "bytes 10-19/{size}",
     10, 10, nullptr, 2},
    {"TwoRedirects", {redirect_reply("{server}/a"), redirect_reply("{server}/b")}, "", 200, -1, "", 0, whole,
     nullptr, 3},
    {"RedirectToChunked", {redirect_reply("{server}/chunked"), chunked_reply()}, "", 200, 0, "", 0, whole, nullptr,
     2},
    {"RedirectToNotFound", {redirect_reply("{server}/gone"), status_reply(404, "gone")}, "", 404, 4, "", 0, fixed,
     "gone", 2},
};

std::string replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class HttpResponse : public Http, public testing::WithParamInterface<ResponseCase> {};

TEST_P(HttpResponse, StatusHeadersAndBodyAsServed) {
    const ResponseCase& c = GetParam();
    const std::string base = server_->url("");
    std::vector<FaultReply> replies = c.replies;
    for (FaultReply& reply : replies) reply.location = replace(reply.location, "{server}", base);
    server_->script(replies);

    zem::HttpRequest request = open("/file", c.headers);
    ASSERT_TRUE(request.is_open());
    EXPECT_EQ(c.status, zem::http_status_code(request.get()));
    const uint64_t length = c.content_length < 0 ? file_.size() : static_cast<uint64_t>(c.content_length);
    EXPECT_EQ(length, zem::http_content_length(request.get()));
    EXPECT_EQ(replace(c.content_range, "{size}", std::to_string(file_.size())), content_range(request.get()));

    std::string body;
    ASSERT_TRUE(read_body(request.get(), 4096, &body));
    if (c.body_size == fixed) {
        EXPECT_EQ(c.fixed_body, body);
    } else {
        const size_t size = c.body_size == whole ? file_.size() : c.body_size;
        EXPECT_TRUE(body == file_.substr(c.body_offset, size)) << "body of " << body.size() << " bytes differs";
    }
    EXPECT_EQ(c.request_count, server_->request_count());
}

INSTANTIATE_TEST_SUITE_P(Replies, HttpResponse, testing::ValuesIn(response_cases),
                         [](const testing::TestParamInfo<ResponseCase>& info) { return info.param.name; });

TEST_F(Http, SendsTheRangeHeaderAndUserAgentGiven) {
    zem::HttpRequest request = open("/file", "Range: bytes=100-199\r\n");
    ASSERT_TRUE(request.is_open());
    const std::vector<zem_test::RecordedRequest> seen = server_->requests();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("/file", seen[0].path);
    EXPECT_EQ("bytes=100-199", seen[0].range);
    EXPECT_EQ(user_agent, seen[0].user_agent);
}

TEST_F(Http, ContentRangeIsCutToTheBuffer) {
    zem::HttpRequest request = open("/file", "Range: bytes=10-19\r\n");
    ASSERT_TRUE(request.is_open());
    char buffer[16];
    memset(buffer, 'x', sizeof buffer);
    zem::http_content_range(request.get(), buffer, 8);
    EXPECT_STREQ("bytes 1", buffer);
    zem::http_content_range(request.get(), buffer, 1);
    EXPECT_STREQ("", buffer);
}

TEST_F(Http, HostNameLocalhostIsVerified) {
    zem::HttpRequest request =
        zem::http_open_url(client_.get(), server_->url("/file", "localhost").c_str(), "Range: bytes=0-0\r\n");
    ASSERT_TRUE(request.is_open());
    EXPECT_EQ(206u, zem::http_status_code(request.get()));
}

// ---------------------------------------------------------------- reading in pieces

class HttpPieces : public Http, public testing::WithParamInterface<size_t> {};

TEST_P(HttpPieces, BodyReadInPiecesEqualsTheFile) {
    zem::HttpRequest request = open("/file");
    ASSERT_TRUE(request.is_open());
    std::string body;
    ASSERT_TRUE(read_body(request.get(), GetParam(), &body));
    EXPECT_EQ(file_.size(), body.size());
    EXPECT_TRUE(body == file_);
    // The end stays the end.
    char byte;
    size_t received = 1;
    EXPECT_TRUE(zem::http_read(request.get(), &byte, 1, &received));
    EXPECT_EQ(0u, received);
}

// 1 and 7 bytes split every write callback's data; 16 KiB + 1 and 1 MiB
// exceed one.
INSTANTIATE_TEST_SUITE_P(Sizes, HttpPieces, testing::Values(size_t{1}, size_t{7}, size_t{4096}, size_t{16385},
                                                            size_t{1} << 20));

// glibc's count of heap bytes in use, all arenas and mmapped blocks.
size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

TEST_F(Http, LargeBodyReadSlowlyStaysInBoundedMemory) {
    start_server(make_file(32u << 20));
    std::string body;
    body.reserve(file_.size());
    // The server sends from its one copy of the file; beyond the handful
    // of connection and TLS buffers, only the client's buffering of body
    // bytes could grow the heap.
    const size_t heap_at_start = heap_in_use();
    zem::HttpRequest request = open("/big");
    ASSERT_TRUE(request.is_open());
    EXPECT_EQ(file_.size(), zem::http_content_length(request.get()));
    size_t heap_peak = heap_at_start;
    size_t next_pause = 64 * 1024;
    char buffer[1024];
    for (;;) {
        size_t received = 0;
        ASSERT_TRUE(zem::http_read(request.get(), buffer, sizeof buffer, &received));
        if (received == 0) break;
        body.append(buffer, received);
        if (heap_in_use() > heap_peak) heap_peak = heap_in_use();
        // A slow caller now and then: the socket fills up meanwhile, and a
        // client that took all there is would take megabytes at once.
        if (body.size() >= next_pause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            next_pause += 4u << 20;
        }
    }
    EXPECT_TRUE(body == file_);
    // About 300 KiB of connection and TLS state on both sides; a client
    // that read on without pausing holds megabytes after each slow spell.
    EXPECT_LT(heap_peak - heap_at_start, size_t{1} << 20) << "the client buffered ahead of its reads";
}

// ---------------------------------------------------------------- connections

TEST_F(Http, RequestsOfOneClientShareTheConnection) {
    for (const char* range : {"Range: bytes=0-0\r\n", "Range: bytes=100-4195\r\n", ""}) {
        zem::HttpRequest request = open("/file", range);
        ASSERT_TRUE(request.is_open());
        std::string body;
        EXPECT_TRUE(read_body(request.get(), 1000, &body));
    }
    const std::vector<zem_test::RecordedRequest> seen = server_->requests();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(seen[0].client_port, seen[1].client_port);
    EXPECT_EQ(seen[0].client_port, seen[2].client_port);
}

TEST_F(Http, ClosingBeforeTheBodyIsReadDoesNotWait) {
    const auto start = std::chrono::steady_clock::now();
    {
        zem::HttpRequest request = open("/file");
        ASSERT_TRUE(request.is_open());
        char buffer[100];
        size_t received = 0;
        ASSERT_TRUE(zem::http_read(request.get(), buffer, sizeof buffer, &received));
    }
    {
        zem::HttpRequest unread = open("/file");
        ASSERT_TRUE(unread.is_open());
    }
    EXPECT_LT(seconds_since(start), 2.0);
    // The client goes on working.
    zem::HttpRequest request = open("/file", "Range: bytes=3-5\r\n");
    ASSERT_TRUE(request.is_open());
    std::string body;
    ASSERT_TRUE(read_body(request.get(), 10, &body));
    EXPECT_EQ(file_.substr(3, 3), body);
}

// ---------------------------------------------------------------- transport errors

struct CutCase {
    const char* name;
    FaultReply::Framing framing;
    const char* headers;
    int64_t cut_after;
    size_t offset;  // the served part's offset in the file
};

const CutCase cut_cases[] = {
    {"LengthNoBody", FaultReply::Framing::content_length, "", 0, 0},
    {"LengthAfterSome", FaultReply::Framing::content_length, "", 1000, 0},
    {"LengthAfterMany", FaultReply::Framing::content_length, "", 700000, 0},
    {"LengthRange", FaultReply::Framing::content_length, "Range: bytes=5000-99999\r\n", 20000, 5000},
    {"ChunkedNoBody", FaultReply::Framing::chunked, "", 0, 0},
    {"ChunkedAfterSome", FaultReply::Framing::chunked, "", 1000, 0},
    {"ChunkedAfterMany", FaultReply::Framing::chunked, "", 700000, 0},
};

void PrintTo(const CutCase& c, std::ostream* out) {
    *out << c.name;
}

class HttpCut : public Http, public testing::WithParamInterface<CutCase> {};

TEST_P(HttpCut, BodyCutShortIsAnErrorAfterTheBytesThatCame) {
    const CutCase& c = GetParam();
    FaultReply cut;
    cut.framing = c.framing;
    cut.cut_after = c.cut_after;
    server_->script({cut});
    zem::HttpRequest request = open("/file", c.headers);
    ASSERT_TRUE(request.is_open());
    std::string body;
    EXPECT_FALSE(read_body(request.get(), 4096, &body));
    EXPECT_EQ(static_cast<size_t>(c.cut_after), body.size());
    EXPECT_TRUE(body == file_.substr(c.offset, body.size()));
    // The error stays.
    char byte;
    size_t received = 0;
    EXPECT_FALSE(zem::http_read(request.get(), &byte, 1, &received));
}

INSTANTIATE_TEST_SUITE_P(Cuts, HttpCut, testing::ValuesIn(cut_cases),
                         [](const testing::TestParamInfo<CutCase>& info) { return info.param.name; });

// A body that ends where the connection ends, with neither a length nor
// chunks, cannot be told from one cut short: both end the same way. The
// read reports a normal end; the callers judge completeness from the
// bytes they got.
TEST_F(Http, CutOfABodyWithoutFramingLooksLikeItsEnd) {
    FaultReply cut;
    cut.framing = FaultReply::Framing::close_delimited;
    cut.cut_after = 1000;
    FaultReply complete;
    complete.framing = FaultReply::Framing::close_delimited;
    server_->script({cut, complete});
    for (size_t expected : {size_t{1000}, file_.size()}) {
        zem::HttpRequest request = open("/file");
        ASSERT_TRUE(request.is_open());
        EXPECT_EQ(0u, zem::http_content_length(request.get()));
        std::string body;
        EXPECT_TRUE(read_body(request.get(), 4096, &body));
        EXPECT_EQ(expected, body.size());
        EXPECT_TRUE(body == file_.substr(0, expected));
    }
}

TEST_F(Http, NothingListeningFailsTheOpenAtOnce) {
    const int port = zem_test::closed_port();
    ASSERT_NE(0, port);
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/file";
    const auto start = std::chrono::steady_clock::now();
    zem::HttpRequest request = zem::http_open_url(client_.get(), url.c_str(), "");
    EXPECT_FALSE(request.is_open());
    EXPECT_LT(seconds_since(start), 5.0);
}

TEST_F(Http, UnresolvableHostFailsTheOpen) {
    zem::HttpRequest request = zem::http_open_url(client_.get(), "https://zem-no-such-host.invalid/file", "");
    EXPECT_FALSE(request.is_open());
}

TEST_F(Http, CertificateFromAnotherCaFailsTheOpen) {
    setenv("SSL_CERT_FILE", other_ca_->ca_cert.c_str(), 1);
    zem::HttpRequest request = open("/file");
    EXPECT_FALSE(request.is_open());
    EXPECT_EQ(0u, server_->request_count());
}

TEST_F(Http, PlainHttpUrlIsRefused) {
    zem::HttpRequest request = zem::http_open_url(client_.get(), server_->plain_url("/file").c_str(), "");
    EXPECT_FALSE(request.is_open());
    EXPECT_EQ(0u, server_->request_count());
}

// A redirect to http:// is not followed: the open fails, and no request
// goes out in the clear.
TEST_F(Http, RedirectToHttpFailsTheOpen) {
    server_->script({redirect_reply(server_->plain_url("/plain").c_str())});
    zem::HttpRequest request = open("/file");
    EXPECT_FALSE(request.is_open());
    const std::vector<zem_test::RecordedRequest> seen = server_->requests();
    ASSERT_EQ(1u, seen.size());
    EXPECT_TRUE(seen[0].tls);
}

TEST_F(Http, EndlessRedirectsFailTheOpen) {
    server_->set_default_reply(redirect_reply(server_->url("/again").c_str()));
    zem::HttpRequest request = open("/file");
    EXPECT_FALSE(request.is_open());
    EXPECT_GT(server_->request_count(), 1u);
    EXPECT_LT(server_->request_count(), 30u);
}

}  // namespace
