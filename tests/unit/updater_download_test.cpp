// The updater's whole-file download against the in-process HTTPS server,
// over real TLS, with the faults servers and networks produce.
#include "updater/updater.h"

#include "support/fault_server.h"
#include "support/temp_folder.h"
#include "support/test_ca.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using zem_test::FaultReply;
using zem_test::FaultServer;
using zem_test::read_file;
using zem_test::TempFolder;
using zem_test::write_file;

namespace {

std::string make_body(size_t size) {
    std::string body(size, '\0');
    uint32_t state = 2024;
    for (char& c : body) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return body;
}

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::string percent(int value) {
    return "\r  Downloading the update... " + std::to_string(value) + "%";
}

FaultReply answer(int status, std::string body, FaultReply::Framing framing = FaultReply::Framing::content_length,
                  int64_t cut_after = -1) {
    FaultReply reply;
    reply.kind = FaultReply::Kind::status;
    reply.status = status;
    reply.body = std::move(body);
    reply.framing = framing;
    reply.cut_after = cut_after;
    return reply;
}

struct Download {
    bool complete;
    std::string output;
};

class UpdaterDownload : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ca_ = new zem_test::TestCa;
        ASSERT_TRUE(zem_test::make_test_ca(ca_));
    }
    static void TearDownTestSuite() {
        zem_test::remove_test_ca(*ca_);
        delete ca_;
    }

    void SetUp() override {
        setenv("SSL_CERT_FILE", ca_->ca_cert.c_str(), 1);
        game_.reset(new TempFolder);
        mkdir("ZEM", 0777);
        body_ = make_body(200000);
        server_.reset(new FaultServer(*ca_, body_));
        ASSERT_TRUE(server_->started());
    }
    void TearDown() override {
        server_.reset();
        game_.reset();
    }

    Download download(const char* local_path = "ZEM\\update-download.zip", bool quiet = false,
                      const std::string& url = "") {
        const std::string target = url.empty() ? server_->url("/files/frolix-rewrite-update.zip") : url;
        testing::internal::CaptureStdout();
        const bool complete = zem::download_to_file(target.c_str(), local_path, quiet);
        return Download{complete, testing::internal::GetCapturedStdout()};
    }

    static zem_test::TestCa* ca_;
    std::unique_ptr<TempFolder> game_;
    std::string body_;
    std::unique_ptr<FaultServer> server_;
};

zem_test::TestCa* UpdaterDownload::ca_ = nullptr;

const char* const archive_file = "ZEM/update-download.zip";

TEST_F(UpdaterDownload, PercentagesOfA200000ByteBodyInChunksOf65536) {
    write_file(archive_file, std::string(300000, 'o'));  // replaced, not appended to
    const Download result = download();
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(percent(32) + percent(65) + percent(98) + percent(100) + "\n", result.output);
    EXPECT_EQ(body_, read_file(archive_file));
    ASSERT_EQ(1u, server_->request_count());
    EXPECT_EQ("/files/frolix-rewrite-update.zip", server_->requests()[0].path);
    EXPECT_EQ("", server_->requests()[0].range);
}

TEST_F(UpdaterDownload, QuietDownloadPrintsNothing) {
    const Download result = download("ZEM\\release-check.json", true);
    EXPECT_TRUE(result.complete);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(body_, read_file("ZEM/release-check.json"));
}

TEST_F(UpdaterDownload, PercentagePrintsOnlyWhenItChanges) {
    // 10,000,000 bytes: each 65,536-byte chunk adds about 0.66 %, so some
    // chunks leave the whole percentage where it was.
    server_.reset();
    body_ = make_body(10000000);
    server_.reset(new FaultServer(*ca_, body_));
    ASSERT_TRUE(server_->started());
    const Download result = download();
    EXPECT_TRUE(result.complete);
    std::string expected;
    for (int value = 0; value <= 100; ++value) expected += percent(value);
    EXPECT_EQ(expected + "\n", result.output);
    EXPECT_EQ(body_, read_file(archive_file));
}

TEST_F(UpdaterDownload, WithoutContentLengthNoPercentageAndTheWholeBodyCounts) {
    for (FaultReply::Framing framing : {FaultReply::Framing::chunked, FaultReply::Framing::close_delimited}) {
        server_->script({answer(200, body_, framing)});
        const Download result = download();
        EXPECT_TRUE(result.complete) << static_cast<int>(framing);
        EXPECT_EQ("", result.output);
        EXPECT_EQ(body_, read_file(archive_file));
    }
}

TEST_F(UpdaterDownload, NotFoundWithContentLengthPrintsALoneLineFeedAndDeletesTheOldFile) {
    write_file(archive_file, "from an earlier run");
    server_->script({answer(404, "<html>not found</html>")});
    const Download result = download();
    EXPECT_FALSE(result.complete);
    EXPECT_EQ("\n", result.output);
    EXPECT_FALSE(exists(archive_file));
}

TEST_F(UpdaterDownload, RefusedQuietDownloadDeletesTheOldFileSilently) {
    write_file("ZEM/release-check.json", "old");
    server_->script({answer(500, "busy")});
    const Download result = download("ZEM\\release-check.json", true);
    EXPECT_FALSE(result.complete);
    EXPECT_EQ("", result.output);
    EXPECT_FALSE(exists("ZEM/release-check.json"));
}

TEST_F(UpdaterDownload, OtherSuccessStatusIsRefused) {
    server_->script({answer(203, "almost")});
    const Download result = download();
    EXPECT_FALSE(result.complete);
    EXPECT_EQ("\n", result.output);
    EXPECT_FALSE(exists(archive_file));
}

TEST_F(UpdaterDownload, BodyOneByteShortIsAFailedDownload) {
    server_->script({answer(200, make_body(1000), FaultReply::Framing::content_length, 999)});
    const Download result = download();
    EXPECT_FALSE(result.complete);
    // The 999 bytes arrive before the connection drops.
    EXPECT_EQ(percent(99) + "\n", result.output);
    EXPECT_FALSE(exists(archive_file));
}

TEST_F(UpdaterDownload, ConnectionCutMidBodyWithContentLength) {
    write_file(archive_file, "from an earlier run");
    server_->script({answer(200, body_, FaultReply::Framing::content_length, 100000)});
    const Download result = download();
    EXPECT_FALSE(result.complete);
    EXPECT_EQ(percent(32) + percent(50) + "\n", result.output);
    EXPECT_FALSE(exists(archive_file));
}

TEST_F(UpdaterDownload, ConnectionCutMidBodyWithoutContentLengthIsAFailedDownloadToo) {
    // Without a length to compare with, only the failed read tells that the
    // body is incomplete; a cut-short archive must not count as downloaded.
    server_->script({answer(200, body_, FaultReply::Framing::chunked, 100000)});
    const Download result = download();
    EXPECT_FALSE(result.complete);
    EXPECT_EQ("", result.output);
    EXPECT_FALSE(exists(archive_file));
}

TEST_F(UpdaterDownload, UnreachableServerLeavesAnEarlierFileAlone) {
    write_file(archive_file, "from an earlier run");
    const Download result =
        download("ZEM\\update-download.zip", false, "https://127.0.0.1:" + std::to_string(zem_test::closed_port()) + "/x");
    EXPECT_FALSE(result.complete);
    EXPECT_EQ("", result.output);
    EXPECT_EQ("from an earlier run", read_file(archive_file));
}

TEST_F(UpdaterDownload, LocalFileThatCannotBeOpenedFailsAfterTheLineFeed) {
    const Download result = download("Missing\\Folder\\update.zip");
    EXPECT_FALSE(result.complete);
    EXPECT_EQ("\n", result.output);
}

TEST_F(UpdaterDownload, WriteThatFailsOnlyWhenFlushedIsAFailedDownload) {
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    // A small body stays in the stream's buffer until the end; the full
    // device refuses it only then.
    ASSERT_EQ(0, symlink("/dev/full", "ZEM/release-check.json"));
    server_->script({answer(200, "{\"version\": \"1.0\"}")});
    const Download result = download("ZEM\\release-check.json", true);
    EXPECT_FALSE(result.complete);
    EXPECT_FALSE(exists("ZEM/release-check.json"));
}

TEST_F(UpdaterDownload, EmptyBodyWithContentLengthZeroCompletes) {
    server_->script({answer(200, "")});
    const Download result = download();
    EXPECT_TRUE(result.complete);
    EXPECT_EQ("", result.output);
    EXPECT_EQ("", read_file(archive_file));
}

}  // namespace
