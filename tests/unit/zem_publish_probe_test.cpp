// zem-publish probe against the in-process fault server, for the answers
// no real server gives on cue: a range cut short, a total of "*", a window
// answered 200 or with another range than asked, an update archive without
// Content-Length. The server serves
// one buffer for every path: a release.json text padded to 12 MiB, so that
// the three windows are distinct 8 MiB windows.
#include "publish/publish.h"

#include "support/fault_server.h"
#include "support/test_ca.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using zem_test::FaultReply;
using zem_test::FaultServer;

// The order of the probe's requests to a server that speaks HTTP/1.1 only.
enum Request { release_json, size_probe, first_window, middle_window, last_window, update_archive };

struct ProbeCase {
    const char* label;
    Request request;
    FaultReply reply;
    std::vector<std::string> rules;  // expected, in order
};

FaultReply reply_of(FaultReply::Kind kind, int status = 200) {
    FaultReply reply;
    reply.kind = kind;
    reply.status = status;
    return reply;
}

FaultReply star_total() {
    FaultReply reply;
    reply.range_total = FaultReply::RangeTotal::star;
    return reply;
}

FaultReply cut_after(int64_t bytes) {
    FaultReply reply;
    reply.cut_after = bytes;
    return reply;
}

FaultReply served_range(const char* range) {
    FaultReply reply;
    reply.served_range = range;
    return reply;
}

FaultReply chunked() {
    FaultReply reply;
    reply.framing = FaultReply::Framing::chunked;
    return reply;
}

class ProbeFaults : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ca_ = new zem_test::TestCa;
        ASSERT_TRUE(zem_test::make_test_ca(ca_));
        setenv("SSL_CERT_FILE", ca_->ca_cert.c_str(), 1);
        body_ = new std::string("{\"version\": \"1.0\"}\n");
        for (size_t i = 0; body_->size() < 12u * 1024 * 1024; ++i) body_->push_back(static_cast<char>(i * 7 + i / 251));
    }
    static void TearDownTestSuite() {
        zem_test::remove_test_ca(*ca_);
        delete ca_;
        delete body_;
    }
    static zem_test::TestCa* ca_;
    static std::string* body_;
};

zem_test::TestCa* ProbeFaults::ca_ = nullptr;
std::string* ProbeFaults::body_ = nullptr;

TEST_F(ProbeFaults, EachFaultIsNamedByItsRule) {
    const ProbeCase cases[] = {
        {"a server that does everything right", release_json, FaultReply(), {}},
        {"size probe answered 200", size_probe, reply_of(FaultReply::Kind::whole_file), {"range-ignored"}},
        {"size probe with a total of *", size_probe, star_total(), {"size-probe"}},
        {"middle window cut short", middle_window, cut_after(1000), {"short-range-body"}},
        {"middle window answered with the stored range of the size probe", middle_window, served_range("bytes=0-0"),
         {"wrong-range"}},
        {"last window answered 200", last_window, reply_of(FaultReply::Kind::whole_file), {"window-status"}},
        {"first window answered 503", first_window, reply_of(FaultReply::Kind::status, 503), {"window-status"}},
        {"update archive without Content-Length", update_archive, chunked(), {"update-archive-status"}},
        {"update archive cut short", update_archive, cut_after(5000), {"update-archive-short"}},
        {"release.json 404", release_json, reply_of(FaultReply::Kind::status, 404), {"release-json-status"}},
    };
    for (const ProbeCase& probe_case : cases) {
        SCOPED_TRACE(probe_case.label);
        FaultServer server(*ca_, *body_);
        ASSERT_TRUE(server.started());
        std::vector<FaultReply> script(static_cast<size_t>(probe_case.request) + 1);
        script.back() = probe_case.reply;
        server.script(script);
        zem::ProbeOptions options;
        options.base_url = server.url("", "localhost");
        options.quiet = true;
        std::vector<zem::Finding> findings;
        std::vector<std::string> passed;
        std::string error;
        ASSERT_TRUE(zem::probe_release(options, &findings, &passed, &error)) << error;
        std::vector<std::string> rules;
        for (const zem::Finding& finding : findings) rules.push_back(finding.rule);
        EXPECT_EQ(probe_case.rules, rules);
    }
}

}  // namespace
