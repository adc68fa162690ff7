// The ranged read against a scripted in-process HTTPS server.
#include "launcher/ranged_reader.h"
#include "support/fault_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

using zem_test::FaultReply;
using zem_test::FaultServer;

// Under Wine a cancelled WinINet call goes on until the server ends it.
// The test binary is linked with http_cancel wrapped (tests/CMakeLists.txt),
// so that a test can cancel as Wine does: without ending the call.
namespace {
std::atomic<bool> cancel_ends_calls{true};
}
extern "C" void __real__ZN3zem11http_cancelEPNS_15HttpClientStateE(zem::HttpClientState* client);
extern "C" void __wrap__ZN3zem11http_cancelEPNS_15HttpClientStateE(zem::HttpClientState* client) {
    if (cancel_ends_calls.load()) __real__ZN3zem11http_cancelEPNS_15HttpClientStateE(client);
}

namespace {

const std::string lost_line = "\n  Connection lost, trying again...\n";

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

    void SetUp() override { open_archive(*archive_); }
    void TearDown() override {
        zem::close_remote_archive();
        server_.reset();
    }

    // A server for file and the reader open on it, its size known.
    void open_archive(const std::string& file) {
        server_.reset(new FaultServer(*ca_, file));
        ASSERT_TRUE(server_->started());
        ASSERT_TRUE(zem::open_remote_archive(server_->url("/files/frolix-rewrite.zip").c_str()));
        zem::remote_archive.size = file.size();
        zem::remote_archive.size_known = true;
    }

    // Waits, 5 s at most, until no slot's fetch is under way.
    void wait_until_settled() {
        for (int waited = 0; waited < 5000; ++waited) {
            {
                zem::HeldLock held(zem::remote_archive.sync->lock.get());
                bool under_way = false;
                for (const zem::WindowSlot& slot : zem::remote_archive.slots) {
                    under_way = under_way || slot.fetch == zem::WindowFetch::queued ||
                                slot.fetch == zem::WindowFetch::fetching;
                }
                if (!under_way) return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Waits, 5 s at most, until the window asked for first has its answer.
    void wait_for_first_answer() {
        for (int waited = 0; waited < 5000; ++waited) {
            {
                zem::HeldLock held(zem::remote_archive.sync->lock.get());
                for (const zem::WindowSlot& slot : zem::remote_archive.slots) {
                    if (slot.fetch != zem::WindowFetch::none && slot.answered) return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // The reader opened again, its size not yet probed.
    void reopen_unprobed(const std::string& file) {
        TearDown();
        open_archive(file);
        zem::remote_archive.size = 0;
        zem::remote_archive.size_known = false;
    }

    // Waits, 5 s at most, until the server has had count requests: the
    // script's replies go to them in the order they arrive.
    void wait_for_requests(size_t count) {
        for (int waited = 0; server_->request_count() < count && waited < 5000; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Waits, 5 s at most, until a slot holds every byte of the window at start.
    void wait_until_complete(uint64_t start) {
        for (int waited = 0; waited < 5000; ++waited) {
            {
                zem::HeldLock held(zem::remote_archive.sync->lock.get());
                for (const zem::WindowSlot& slot : zem::remote_archive.slots) {
                    if (slot.start == start && slot.fetch == zem::WindowFetch::complete) return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Reads from offset to the archive's end, 64 KiB at a time.
    void read_on_to_the_end(uint64_t offset) {
        const uint64_t size = zem::remote_archive.size;
        for (; offset < size; offset += 65536) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(65536, size - offset));
            ASSERT_EQ(count, read_and_check(offset, count)) << "at offset " << offset;
        }
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
    EXPECT_EQ(zem::SizeProbe::known, zem::probe_archive_size());
    EXPECT_EQ(archive_->size(), zem::remote_archive.size);
    EXPECT_EQ(std::vector<std::string>{"bytes=0-0"}, ranges());
}

// An answer without a usable size (a "*" total, no Content-Range, a 200)
// is a failed attempt like a window's fetch: six in all, with the pauses
// and lines between them, and a later answer's size stands; a 404 is not.
TEST_F(RangedRead, ProbeAnsweredWithoutASizeIsAFailedAttempt) {
    FaultReply star;
    star.range_total = FaultReply::RangeTotal::star;
    FaultReply omitted;
    omitted.range_total = FaultReply::RangeTotal::omitted;
    FaultReply whole;
    whole.kind = FaultReply::Kind::whole_file;
    std::string five;
    for (int i = 0; i < 5; ++i) five += lost_line;
    for (const FaultReply& no_size : {star, omitted, whole}) {
        TearDown();
        SetUp();
        server_->set_default_reply(no_size);
        testing::internal::CaptureStdout();
        EXPECT_EQ(zem::SizeProbe::no_size, zem::probe_archive_size());
        fflush(stdout);
        EXPECT_EQ(five, testing::internal::GetCapturedStdout());
        EXPECT_EQ(0u, zem::remote_archive.size);
        EXPECT_EQ(6u, server_->request_count());
    }
    TearDown();
    SetUp();
    server_->script({whole});
    testing::internal::CaptureStdout();
    EXPECT_EQ(zem::SizeProbe::known, zem::probe_archive_size());
    fflush(stdout);
    EXPECT_EQ(lost_line, testing::internal::GetCapturedStdout());
    EXPECT_EQ(archive_->size(), zem::remote_archive.size);
    EXPECT_EQ(2u, server_->request_count());
    // No such archive: an answer that ends the probe at once.
    TearDown();
    SetUp();
    FaultReply missing;
    missing.kind = FaultReply::Kind::status;
    missing.status = 404;
    server_->set_default_reply(missing);
    EXPECT_EQ(zem::SizeProbe::not_served, zem::probe_archive_size());
    EXPECT_EQ(1u, server_->request_count());
    snprintf(zem::remote_archive.url, sizeof zem::remote_archive.url, "https://127.0.0.1:%d/x.zip",
             zem_test::closed_port());
    EXPECT_EQ(zem::SizeProbe::unreachable, zem::probe_archive_size());
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

// What a fetch brought before its connection was cut serves the reads it
// holds, even once the fetch has failed; a read past the cut fetches a
// window at its offset, and a fetch no read waited on in vain prints
// nothing.
TEST_F(RangedRead, BodyCutShortServesWhatCameAndIsFetchedAgainPastTheCut) {
    FaultReply cut;
    cut.cut_after = 4 * MiB;
    server_->script({cut});
    zem::read_ahead(3 * MiB);
    zem::WindowSlot* failed = nullptr;
    for (int waited = 0; failed == nullptr && waited < 5000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        zem::take_lock(zem::remote_archive.sync->lock.get());
        for (zem::WindowSlot& slot : zem::remote_archive.slots) {
            if (slot.fetch == zem::WindowFetch::failed) failed = &slot;
        }
        zem::leave_lock(zem::remote_archive.sync->lock.get());
    }
    ASSERT_NE(nullptr, failed);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1000u, read_and_check(7 * MiB - 1000, 1000));
    EXPECT_EQ(1000u, read_and_check(8 * MiB, 1000));
    fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ((std::vector<std::string>{range_text(3 * MiB, 11 * MiB - 1), range_text(8 * MiB, 16 * MiB - 1)}),
              ranges());
}

TEST_F(RangedRead, WindowIsNotServedAfterAFetchOverwroteItAndFailed) {
    // Three windows that leave 8-9 MiB out fill the three slots.
    for (uint64_t offset : {uint64_t{0}, 9 * MiB, 17 * MiB}) ASSERT_EQ(100u, read_and_check(offset, 100));
    FaultReply cut;
    cut.cut_after = 50;
    server_->script(std::vector<FaultReply>(6, cut));
    testing::internal::CaptureStdout();
    std::vector<unsigned char> destination(100);
    EXPECT_EQ(0u, zem::ranged_read(nullptr, 8 * MiB + MiB / 2, destination.data(), destination.size()));
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    // The first window's buffer now holds other bytes: it is fetched
    // again, not served from it.
    EXPECT_EQ(100u, read_and_check(0, 100));
    EXPECT_EQ(10u, server_->request_count());
}

TEST_F(RangedRead, ReadsThatRunOnAreServedFromTheWindowsFetchedAheadToTheLastWindow) {
    const uint64_t size = archive_->size();
    testing::internal::CaptureStdout();
    ASSERT_EQ(100u, read_and_check(0, 100));
    read_on_to_the_end(100);
    fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    // One request per window, the last one cut to the archive's end, and
    // none beyond it.
    EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(16 * MiB, size - 1),
                                        range_text(8 * MiB, 16 * MiB - 1)}),
              sorted_ranges());
}

// Past where the entries' data ends (the central directory, read when the
// archive was opened) no window is fetched to follow the reads.
TEST_F(RangedRead, WindowsFollowingTheReadsEndWhereTheirLimitIs) {
    zem::limit_reads_to(12 * MiB);
    ASSERT_EQ(100u, read_and_check(0, 100));
    for (uint64_t offset = 100; offset < 12 * MiB; offset += 65536) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(65536, 12 * MiB - offset));
        ASSERT_EQ(count, read_and_check(offset, count)) << "at offset " << offset;
    }
    EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(8 * MiB, 12 * MiB - 1)}),
              sorted_ranges());
}

// Fetches ahead that fail, whatever the fault, cost their request only:
// the read that needs their bytes fetches its own window, with no message.
TEST_F(RangedRead, FailedFetchesAheadCostTheirRequestsAndNoMessage) {
    const uint64_t size = archive_->size();
    FaultReply cut;
    cut.cut_after = MiB;
    FaultReply whole;
    whole.kind = FaultReply::Kind::whole_file;
    FaultReply shifted;
    shifted.range_shift = MiB;
    FaultReply replaced;  // the same length, another archive: another total
    replaced.other_file = std::make_shared<const std::string>(archive_->substr(0, size - 1));
    for (const FaultReply& fault : {cut, whole, shifted, replaced}) {
        TearDown();
        SetUp();
        server_->script({FaultReply(), fault, fault});
        testing::internal::CaptureStdout();
        ASSERT_EQ(100u, read_and_check(0, 100));
        ASSERT_EQ(100u, read_and_check(100, 100));  // runs on: the windows after it are fetched ahead
        wait_for_requests(3);
        EXPECT_EQ(200u, read_and_check(10 * MiB, 200));
        fflush(stdout);
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(10 * MiB, 18 * MiB - 1),
                                            range_text(16 * MiB, size - 1), range_text(8 * MiB, 16 * MiB - 1)}),
                  sorted_ranges());
    }
}

TEST_F(RangedRead, ReadPastTheNextWindowIsServedByTheOneAfterAndTheNextStillServes) {
    const uint64_t size = archive_->size();
    ASSERT_EQ(100u, read_and_check(0, 100));
    ASSERT_EQ(100u, read_and_check(100, 100));
    ASSERT_EQ(100u, read_and_check(16 * MiB + 100, 100));
    ASSERT_EQ(100u, read_and_check(9 * MiB, 100));
    EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(16 * MiB, size - 1),
                                        range_text(8 * MiB, 16 * MiB - 1)}),
              sorted_ranges());
}

// Fetches ahead whose connections go silent (before their headers, or
// right after them) fail once a read has waited the stall limit for them;
// the read fetches its window again with no message, and the silent fetch
// that no longer follows the reads is cancelled, not waited for.
TEST_F(RangedRead, SilentFetchesAheadFailByTheStallLimitAndAreFetchedAgain) {
    const uint64_t size = archive_->size();
    FaultReply no_headers;
    no_headers.kind = FaultReply::Kind::silent;
    FaultReply no_body;
    no_body.silent_after = 0;
    // The read that crosses 8 MiB: 100 bytes, then whole 64 KiB reads.
    const uint64_t crossing = 100 + (8 * MiB - 100) / 65536 * 65536;
    std::vector<std::string> expected = {range_text(0, 8 * MiB - 1), range_text(8 * MiB, 16 * MiB - 1),
                                         range_text(16 * MiB, size - 1),
                                         range_text(crossing, crossing + 8 * MiB - 1),
                                         range_text(crossing + 8 * MiB, size - 1)};
    std::sort(expected.begin(), expected.end());
    for (const FaultReply& silence : {no_headers, no_body}) {
        TearDown();
        SetUp();
        server_->script({FaultReply(), silence, silence});
        testing::internal::CaptureStdout();
        ASSERT_EQ(100u, read_and_check(0, 100));
        read_on_to_the_end(100);
        fflush(stdout);
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        EXPECT_EQ(expected, sorted_ranges());
    }
}

// A window asked for at the archive's first byte before the size is known
// serves the opening's reads it holds and the extraction's; the opening's
// reads near the end fetch their own. An archive shorter than a window is
// read whole by that one request.
TEST_F(RangedRead, WindowReadAheadBeforeTheProbeServesTheOpeningAndTheExtraction) {
    for (uint64_t size : {uint64_t{archive_->size()}, 3 * MiB}) {
        reopen_unprobed(archive_->substr(0, size));
        testing::internal::CaptureStdout();
        zem::read_ahead(0);
        ASSERT_EQ(zem::SizeProbe::known, zem::probe_archive_size());
        ASSERT_EQ(size, zem::remote_archive.size);
        zem::read_ahead(8 * MiB);  // as the installer does
        // On a fast link the first window is complete before the opening's
        // reads: it must outlast them, as the next one read.
        wait_until_complete(0);
        ASSERT_EQ(4096u, read_and_check(size - 4096, 4096));
        ASSERT_EQ(45000u, read_and_check(size - 50000, 45000));
        ASSERT_EQ(100u, read_and_check(0, 100));
        read_on_to_the_end(100);
        fflush(stdout);
        EXPECT_EQ("", testing::internal::GetCapturedStdout());
        std::vector<std::string> expected = {"bytes=0-0", range_text(0, 8 * MiB - 1)};
        if (size > 8 * MiB) {
            expected.push_back(range_text(size - 4096, size - 1));
            expected.push_back(range_text(size - 50000, size - 1));
            expected.push_back(range_text(8 * MiB, 16 * MiB - 1));
            expected.push_back(range_text(16 * MiB, size - 1));
        }
        std::sort(expected.begin(), expected.end());
        // The window's thread asks before or after the probe has told the
        // size: for an archive shorter than a window, for a whole window or
        // for exactly the archive, and either is right.
        std::vector<std::string> seen = sorted_ranges();
        std::replace(seen.begin(), seen.end(), range_text(0, size - 1), range_text(0, 8 * MiB - 1));
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(expected, seen) << "archive of " << size << " bytes";
    }
}

// The probe and a window asked for ahead of it may meet a cache that
// passes one of them to an origin ignoring ranges: the window's total
// stands for a probe that gave none, and the probe is asked again when
// the two disagree or neither told a size. A probe that told the size
// does not wait for a window that has not answered.
TEST_F(RangedRead, ProbeAndTheWindowAheadOfItAgreeOnTheSize) {
    FaultReply whole;
    whole.kind = FaultReply::Kind::whole_file;
    FaultReply replaced;
    replaced.other_file = std::make_shared<const std::string>(archive_->substr(0, MiB));
    FaultReply no_headers;
    no_headers.kind = FaultReply::Kind::silent;
    struct Case {
        FaultReply window, probe;
        std::vector<FaultReply> probe_again;
        bool window_answers;
        zem::SizeProbe outcome;
        uint64_t size;
        size_t requests;
    };
    const Case cases[] = {
        {FaultReply(), whole, {}, true, zem::SizeProbe::known, archive_->size(), 2},
        {whole, FaultReply(), {}, true, zem::SizeProbe::known, archive_->size(), 2},
        {replaced, FaultReply(), {FaultReply()}, true, zem::SizeProbe::known, archive_->size(), 3},
        {whole, whole, std::vector<FaultReply>(5, whole), true, zem::SizeProbe::no_size, 0, 7},
        {no_headers, FaultReply(), {}, false, zem::SizeProbe::known, archive_->size(), 2},
    };
    for (const Case& test : cases) {
        reopen_unprobed(*archive_);
        std::vector<FaultReply> replies = {test.window, test.probe};
        replies.insert(replies.end(), test.probe_again.begin(), test.probe_again.end());
        server_->script(replies);
        testing::internal::CaptureStdout();
        zem::read_ahead(0);
        wait_for_requests(1);  // the window's request first
        if (test.window_answers) wait_for_first_answer();
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(test.outcome, zem::probe_archive_size());
        const auto waited = std::chrono::steady_clock::now() - started;
        fflush(stdout);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(test.size, zem::remote_archive.size);
        EXPECT_EQ(test.requests, server_->request_count());
        // Below the stall limit that a wait for the silent window would take.
        if (!test.window_answers) {
            EXPECT_LT(waited, std::chrono::milliseconds(zem::window_stall_limit_ms / 2));
        }
    }
}

// A fetch ahead that failed is asked for again only by the read that
// needs its bytes, not by each of the reads that run on meanwhile.
TEST_F(RangedRead, FailedFetchAheadIsNotAskedAgainByReadsThatRunOn) {
    FaultReply whole;
    whole.kind = FaultReply::Kind::whole_file;
    server_->set_default_reply(whole);
    server_->script({FaultReply()});
    for (uint64_t offset = 0; offset < 2 * MiB; offset += 65536) {
        ASSERT_EQ(65536u, read_and_check(offset, 65536));
        wait_until_settled();
    }
    EXPECT_EQ((std::vector<std::string>{range_text(0, 8 * MiB - 1), range_text(16 * MiB, archive_->size() - 1),
                                        range_text(8 * MiB, 16 * MiB - 1)}),
              sorted_ranges());
}

// Once the server has delivered window bytes, an answer whose body is
// late (a cache filling itself from a slow origin) is waited for past the
// stall limit, with no message; a server that has delivered none fails it
// at the stall limit, as before (fetched again, with the message).
TEST_F(RangedRead, LateBodyIsAwaitedOnlyFromAServerThatHasDeliveredWindowBytes) {
    const uint64_t size = archive_->size();
    FaultReply late;
    late.body_delay_ms = static_cast<int>(zem::window_stall_limit_ms + zem::first_byte_wait_ms) / 2;
    for (const bool delivered_before : {true, false}) {
        TearDown();
        SetUp();
        if (delivered_before) {
            ASSERT_EQ(100u, read_and_check(0, 100));
        }
        server_->script({late});
        testing::internal::CaptureStdout();
        EXPECT_EQ(4096u, read_and_check(size - 4096, 4096));
        fflush(stdout);
        const std::string printed = testing::internal::GetCapturedStdout();
        const std::vector<std::string> tail(delivered_before ? 1 : 2, range_text(size - 4096, size - 1));
        std::vector<std::string> expected = tail;
        if (delivered_before) expected.insert(expected.begin(), range_text(0, 8 * MiB - 1));
        EXPECT_EQ(expected, ranges()) << "delivered before: " << delivered_before;
        EXPECT_EQ(delivered_before ? "" : lost_line, printed);
    }
}

// A worker left behind in a call that its cancel does not end (WinINet
// under Wine) may return after the archive itself has gone, as at the
// program's end: it still finds the lock it takes, and ends.
TEST_F(RangedRead, WorkerLeftBehindEndsAfterTheArchiveHasGone) {
    FaultReply no_headers;
    no_headers.kind = FaultReply::Kind::silent;
    server_->script({no_headers});
    cancel_ends_calls = false;
    zem::read_ahead(0);
    wait_for_requests(1);
    zem::stop_reading();  // its worker is left behind, still in its call
    zem::ReaderSync* sync = zem::remote_archive.sync;
    sync->holders.fetch_add(1);  // kept to see the worker end
    zem::remote_archive.~RemoteArchive();
    new (&zem::remote_archive) zem::RemoteArchive();
    server_.reset();  // the silence ends: the call returns
    size_t left_behind = 1;
    for (int waited = 0; left_behind > 0 && waited < 5000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        zem::HeldLock held(sync->lock.get());
        left_behind = sync->workers_left_behind;
    }
    cancel_ends_calls = true;
    EXPECT_EQ(0u, left_behind);
    EXPECT_EQ(1u, sync->holders.load());  // only the test's
    delete sync;
}

}  // namespace
