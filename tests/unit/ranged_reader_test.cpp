// The ranged read against a scripted in-process HTTPS server.
#include "launcher/ranged_reader.h"
#include "support/fault_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using zem_test::FaultReply;
using zem_test::FaultServer;

namespace {

constexpr uint64_t MiB = 1024 * 1024;

std::string make_archive_bytes(size_t size) {
    std::mt19937 random(42);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string range_text(uint64_t first, uint64_t last) {
    return "bytes=" + std::to_string(first) + "-" + std::to_string(last);
}

class RangedRead : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ca_ = new zem_test::TestCa;
        ASSERT_TRUE(zem_test::make_test_ca(ca_));
        setenv("SSL_CERT_FILE", ca_->ca_cert.c_str(), 1);
        archive_ = new std::string(make_archive_bytes(20 * MiB + 123));
    }
    static void TearDownTestSuite() {
        zem_test::remove_test_ca(*ca_);
        delete ca_;
        delete archive_;
    }

    void SetUp() override {
        server_.reset(new FaultServer(*ca_, *archive_));
        ASSERT_TRUE(server_->started());
        zem::RemoteArchive& remote = zem::remote_archive;
        remote.client = zem::http_open_client(zem::installer_user_agent);
        ASSERT_TRUE(remote.client.is_open());
        snprintf(remote.url, sizeof remote.url, "%s", server_->url("/files/frolix-rewrite.zip").c_str());
        remote.window.reset(new unsigned char[zem::window_capacity]);
        remote.last_read_end = ~uint64_t{0};
        remote.reads_will_run_on = false;
        remote.window_start = 0;
        remote.window_length = 0;
        remote.size = archive_->size();
    }
    void TearDown() override {
        zem::stop_background_fetch();
        zem::remote_archive.client.reset();
        zem::remote_archive.ahead_client.reset();
        server_.reset();
    }

    // Reads and checks the bytes against the archive; returns the count.
    size_t read_and_check(uint64_t offset, size_t count) {
        std::vector<unsigned char> destination(count);
        const size_t got = zem::ranged_read(nullptr, offset, destination.data(), count);
        if (got > 0) {
            EXPECT_EQ(0, memcmp(destination.data(), archive_->data() + offset, got)) << "at offset " << offset;
        }
        return got;
    }

    // The ranges asked for, sorted: requests made from two threads arrive
    // in either order.
    std::vector<std::string> sorted_ranges() const {
        std::vector<std::string> seen = ranges();
        std::sort(seen.begin(), seen.end());
        return seen;
    }

    std::vector<std::string> ranges() const {
        std::vector<std::string> seen;
        for (const auto& request : server_->requests()) seen.push_back(request.range);
        return seen;
    }

    static zem_test::TestCa* ca_;
    static std::string* archive_;
    std::unique_ptr<FaultServer> server_;
};

zem_test::TestCa* RangedRead::ca_ = nullptr;
std::string* RangedRead::archive_ = nullptr;

TEST_F(RangedRead, ProbeTakesTheTotalOfTheContentRange) {
    zem::remote_archive.size = 0;
    EXPECT_EQ(archive_->size(), zem::probe_archive_size());
    EXPECT_EQ(archive_->size(), zem::remote_archive.size);
    EXPECT_EQ(std::vector<std::string>{"bytes=0-0"}, ranges());
}

TEST_F(RangedRead, ProbeGivesZeroForStarTotalNoContentRangeOrNoServer) {
    FaultReply star;
    star.range_total = FaultReply::RangeTotal::star;
    FaultReply omitted;
    omitted.range_total = FaultReply::RangeTotal::omitted;
    FaultReply whole;
    whole.kind = FaultReply::Kind::whole_file;
    server_->script({star, omitted, whole});
    EXPECT_EQ(0u, zem::probe_archive_size());
    EXPECT_EQ(0u, zem::probe_archive_size());
    EXPECT_EQ(0u, zem::probe_archive_size());
    snprintf(zem::remote_archive.url, sizeof zem::remote_archive.url, "https://127.0.0.1:1/x.zip");
    EXPECT_EQ(0u, zem::probe_archive_size());
}

TEST(ContentRange, TotalIsReadLikeStrtoull) {
    EXPECT_EQ(1234u, zem::archive_size_from_content_range("bytes 0-0/1234"));
    EXPECT_EQ(0u, zem::archive_size_from_content_range("bytes 0-0/*"));
    EXPECT_EQ(0u, zem::archive_size_from_content_range("bytes 0-0"));
    EXPECT_EQ(0u, zem::archive_size_from_content_range(""));
    EXPECT_EQ(77u, zem::archive_size_from_content_range("bytes 0-0/ 77x"));
    EXPECT_EQ(5368709120u, zem::archive_size_from_content_range("bytes 0-0/5368709120"));
}

TEST_F(RangedRead, ReadsInsideTheWindowMakeNoRequest) {
    ASSERT_EQ(100u, read_and_check(0, 100));
    ASSERT_EQ(65536u, read_and_check(5000, 65536));
    ASSERT_EQ(100u, read_and_check(8 * MiB - 100, 100));
    EXPECT_EQ(std::vector<std::string>{range_text(0, 8 * MiB - 1)}, ranges());
}

TEST_F(RangedRead, ReadOneBytePastTheWindowFetchesAWindowAtItsOwnOffset) {
    ASSERT_EQ(100u, read_and_check(0, 100));
    ASSERT_EQ(101u, read_and_check(8 * MiB - 100, 101));
    EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(8 * MiB - 100, 16 * MiB - 101)}),
              ranges());
}

TEST_F(RangedRead, TailReadIsCutToTheArchiveAndFetchesOnlyTheRest) {
    const uint64_t size = archive_->size();
    EXPECT_EQ(40u, read_and_check(size - 40, 100));
    EXPECT_EQ(std::vector<std::string>{range_text(size - 40, size - 1)}, ranges());
}

TEST_F(RangedRead, ReadAtOrPastTheEndReturnsZeroWithoutRequest) {
    unsigned char byte;
    EXPECT_EQ(0u, zem::ranged_read(nullptr, archive_->size(), &byte, 1));
    EXPECT_EQ(0u, zem::ranged_read(nullptr, archive_->size() + 5, &byte, 1));
    EXPECT_EQ(0u, server_->request_count());
}

TEST_F(RangedRead, ExactlyEightMiBIsFetchedAndNineMiBIsRefused) {
    EXPECT_EQ(8 * MiB, read_and_check(MiB, 8 * MiB));
    std::vector<unsigned char> destination(9 * MiB);
    EXPECT_EQ(0u, zem::ranged_read(nullptr, 0, destination.data(), destination.size()));
    EXPECT_EQ(std::vector<std::string>{range_text(MiB, 9 * MiB - 1)}, ranges());
}

TEST_F(RangedRead, StatusTwoHundredForEveryWindowFailsAfterSixAttempts) {
    FaultReply whole;
    whole.kind = FaultReply::Kind::whole_file;
    server_->set_default_reply(whole);
    testing::internal::CaptureStdout();
    const size_t got = read_and_check(0, 100);
    fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, got);
    EXPECT_EQ(std::vector<std::string>(6, range_text(0, 8 * MiB - 1)), ranges());
    std::string five;
    for (int i = 0; i < 5; ++i) five += "\n  Connection lost, trying again...\n";
    EXPECT_EQ(five, printed);
}

TEST_F(RangedRead, BodyCutInHalfIsFetchedWholeAgain) {
    FaultReply cut;
    cut.cut_after = 4 * MiB;
    server_->script({cut});
    testing::internal::CaptureStdout();
    const size_t got = read_and_check(3 * MiB, 1000);
    fflush(stdout);
    EXPECT_EQ("\n  Connection lost, trying again...\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(1000u, got);
    EXPECT_EQ(std::vector<std::string>(2, range_text(3 * MiB, 11 * MiB - 1)), ranges());
}

TEST_F(RangedRead, WindowIsNotServedAfterAFetchOverwroteItAndFailed) {
    ASSERT_EQ(100u, read_and_check(0, 100));
    FaultReply cut;
    cut.cut_after = 2 * MiB;
    server_->script(std::vector<FaultReply>(6, cut));
    testing::internal::CaptureStdout();
    std::vector<unsigned char> destination(100);
    EXPECT_EQ(0u, zem::ranged_read(nullptr, 10 * MiB, destination.data(), destination.size()));
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    // The buffer now holds bytes from 10 MiB on: the first window must be
    // fetched again, not served from it.
    EXPECT_EQ(100u, read_and_check(0, 100));
    EXPECT_EQ(8u, server_->request_count());
}

TEST_F(RangedRead, ReadsThatRunOnAreServedFromTheNextWindowFetchedAheadToTheLastWindow) {
    const uint64_t size = archive_->size();
    testing::internal::CaptureStdout();
    ASSERT_EQ(100u, read_and_check(0, 100));
    uint64_t offset = 100;
    while (offset < size) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(65536, size - offset));
        ASSERT_EQ(count, read_and_check(offset, count)) << "at offset " << offset;
        offset += count;
    }
    fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    // One request per window, the last one cut to the archive's end, and
    // none beyond it.
    EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(8 * MiB, 16 * MiB - 1),
                                        range_text(16 * MiB, size - 1)}),
              ranges());
}

TEST_F(RangedRead, WindowFetchedForAnnouncedReadsOpensTheNextOneAheadAndItIsUsed) {
    const uint64_t size = archive_->size();
    zem::expect_reads_to_run_on();
    ASSERT_EQ(100u, read_and_check(MiB, 100));
    // The request for the window after was opened during that fetch, before
    // any read ran on; the background fetch takes it over.
    ASSERT_EQ(2u, server_->requests().size());
    for (uint64_t offset = MiB + 100; offset < size; offset += 65536) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(65536, size - offset));
        ASSERT_EQ(count, read_and_check(offset, count)) << "at offset " << offset;
    }
    EXPECT_EQ((std::vector<std::string>{range_text(MiB, 9 * MiB - 1), range_text(9 * MiB, 17 * MiB - 1),
                                        range_text(17 * MiB, size - 1)}),
              ranges());
    // Only the window fetched next opens one ahead.
    ASSERT_EQ(100u, read_and_check(0, 100));
    EXPECT_EQ(4u, server_->requests().size());
}

TEST_F(RangedRead, FailedBackgroundFetchCostsOneRequestAndNoMessage) {
    FaultReply good;
    FaultReply cut;
    cut.cut_after = MiB;
    FaultReply whole;
    whole.kind = FaultReply::Kind::whole_file;
    FaultReply shifted;
    shifted.range_shift = MiB;
    for (const FaultReply& fault : {cut, whole, shifted}) {
        TearDown();
        SetUp();
        server_->script({good, fault});
        testing::internal::CaptureStdout();
        ASSERT_EQ(100u, read_and_check(0, 100));
        ASSERT_EQ(100u, read_and_check(100, 100));  // runs on: the next window is fetched in the background
        // In the next window, past where the cut one stopped: the background
        // fetch failed, so the read fetches its own window as it always did.
        EXPECT_EQ(200u, read_and_check(10 * MiB, 200));
        fflush(stdout);
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(8 * MiB, 16 * MiB - 1),
                                            range_text(10 * MiB, 18 * MiB - 1)}),
                  ranges());
    }
}

TEST_F(RangedRead, ReadPastTheNextWindowWaitsForItAndGoesOnWithTheOneAfter) {
    const uint64_t size = archive_->size();
    ASSERT_EQ(100u, read_and_check(0, 100));
    ASSERT_EQ(100u, read_and_check(100, 100));
    // Past the next window, whatever its fetch has reached by now: it is
    // not thrown away, and the window after it (opened ahead) serves.
    ASSERT_EQ(100u, read_and_check(16 * MiB + 100, 100));
    ASSERT_EQ(100u, read_and_check(9 * MiB, 100));  // the next window became the window
    EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(8 * MiB, 16 * MiB - 1),
                                        range_text(16 * MiB, size - 1)}),
              ranges());
}

TEST_F(RangedRead, ReadOutsideTheNextWindowThrowsItAway) {
    const uint64_t size = archive_->size();
    ASSERT_EQ(100u, read_and_check(8 * MiB, 100));
    ASSERT_EQ(100u, read_and_check(8 * MiB + 100, 100));  // the last window, from 16 MiB, in the background
    ASSERT_EQ(100u, read_and_check(MiB, 100));            // elsewhere: that fetch is thrown away
    // The next window's buffer holds bytes of 16 MiB on (or part of them):
    // a read there now fetches, and gets the archive's bytes.
    ASSERT_EQ(100u, read_and_check(17 * MiB, 100));
    EXPECT_EQ((std::vector<std::string>{range_text(8 * MiB, 16 * MiB - 1), range_text(16 * MiB, size - 1),
                                        range_text(MiB, 9 * MiB - 1), range_text(17 * MiB, size - 1)}),
              ranges());
}

// The first window, fetched alongside the probe and the archive's opening
// (whose reads fetch their own windows), serves the extraction's reads;
// reads that run past its end, while or after it arrives, go on with the
// window after it (opened ahead by that fetch). An archive shorter than a
// window is read whole by that one request.
TEST_F(RangedRead, FirstWindowFetchedAheadServesTheOpeningAndTheExtraction) {
    struct Case {
        uint64_t size;
        std::vector<std::pair<uint64_t, size_t>> opening_reads;
    };
    const uint64_t size = archive_->size();
    const Case cases[] = {
        {size, {{size - 4096, 4096}, {size - 50000, 45000}}},
        {3 * MiB, {{3 * MiB - 4096, 4096}, {3 * MiB - 50000, 45000}}},
    };
    for (const Case& test : cases) {
        TearDown();
        server_.reset(new FaultServer(*ca_, archive_->substr(0, test.size)));
        ASSERT_TRUE(server_->started());
        zem::RemoteArchive& remote = zem::remote_archive;
        remote.client = zem::http_open_client(zem::installer_user_agent);
        snprintf(remote.url, sizeof remote.url, "%s", server_->url("/files/frolix-rewrite.zip").c_str());
        remote.window_length = 0;
        remote.last_read_end = ~uint64_t{0};
        testing::internal::CaptureStdout();
        zem::fetch_first_window_ahead();
        ASSERT_EQ(test.size, zem::probe_archive_size());
        for (const auto& read : test.opening_reads) ASSERT_EQ(read.second, read_and_check(read.first, read.second));
        zem::expect_reads_to_run_on();
        ASSERT_EQ(100u, read_and_check(0, 100));
        // Across the end of the first window (for the big archive): it
        // becomes the window, and the read is served from it and the next.
        uint64_t offset = std::min<uint64_t>(8 * MiB - 100, test.size - 200);
        ASSERT_EQ(200u, read_and_check(offset, 200));
        for (offset += 200; offset < test.size; offset += 65536) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(65536, test.size - offset));
            ASSERT_EQ(count, read_and_check(offset, count)) << "at offset " << offset;
        }
        fflush(stdout);
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        std::vector<std::string> expected = {"bytes=0-0", range_text(0, 8 * MiB - 1)};
        if (test.size > 8 * MiB) {
            expected.push_back(range_text(size - 4096, size - 1));
            expected.push_back(range_text(size - 50000, size - 1));
            expected.push_back(range_text(8 * MiB, 16 * MiB - 1));
            expected.push_back(range_text(16 * MiB, size - 1));
        }
        std::sort(expected.begin(), expected.end());
        // The thread opens its request before or after the probe has told
        // the size: for an archive shorter than a window it asks for a whole
        // window or for exactly the archive, and either is right.
        std::vector<std::string> seen = sorted_ranges();
        if (test.size < 8 * MiB) {
            std::replace(seen.begin(), seen.end(), range_text(0, test.size - 1), range_text(0, 8 * MiB - 1));
            std::sort(seen.begin(), seen.end());
        }
        EXPECT_EQ(expected, seen) << "archive of " << test.size << " bytes";
    }
}

}  // namespace
