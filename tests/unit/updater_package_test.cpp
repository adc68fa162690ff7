// The update package: hashing, recognising the installed archive, and the
// installation of real archives made here with miniz's writer and with
// Python's zipfile, in a temporary game folder.
#include "updater/updater.h"

#include "common/state_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <miniz.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

using zem::UpdateOutcome;
using zem_test::read_file;
using zem_test::TempFolder;
using zem_test::write_file;

namespace {

const char* const archive_path = "ZEM\\update-download.zip";
const char* const archive_file = "ZEM/update-download.zip";

struct Entry {
    std::string name;     // a name ending in '/' is a directory entry
    std::string content;
};

// Writes an archive with miniz's writer (deflated entries).
void write_zip(const std::string& path, const std::vector<Entry>& entries) {
    mz_zip_archive zip;
    memset(&zip, 0, sizeof zip);
    ASSERT_TRUE(mz_zip_writer_init_file(&zip, path.c_str(), 0));
    for (const Entry& entry : entries) {
        ASSERT_TRUE(mz_zip_writer_add_mem(&zip, entry.name.c_str(), entry.content.data(), entry.content.size(),
                                          MZ_DEFAULT_COMPRESSION))
            << entry.name;
    }
    ASSERT_TRUE(mz_zip_writer_finalize_archive(&zip));
    ASSERT_TRUE(mz_zip_writer_end(&zip));
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

// Writes an archive with Python's zipfile, which takes names miniz's writer
// refuses (leading '/', ':', '\').
void write_zip_with_python(const std::string& path, const std::vector<Entry>& entries) {
    std::string script = "import zipfile\nwith zipfile.ZipFile('" + path + "', 'w') as z:\n";
    for (const Entry& entry : entries) {
        script += "    i = zipfile.ZipInfo(bytes.fromhex('" + hex(entry.name) + "').decode())\n"
                  "    i.compress_type = zipfile.ZIP_DEFLATED\n"
                  "    z.writestr(i, bytes.fromhex('" + hex(entry.content) + "'))\n";
    }
    write_file("make_zip.py", script);
    ASSERT_EQ(0, system("python3 make_zip.py"));
    remove("make_zip.py");
}

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

struct Installation {
    UpdateOutcome outcome;
    std::string output;
};

Installation install(const char* stored_hash) {
    testing::internal::CaptureStdout();
    char signed_version[zem::version_capacity] = "";
    const UpdateOutcome outcome = zem::check_and_install_update_package(archive_path, stored_hash, "", signed_version);
    return Installation{outcome, testing::internal::GetCapturedStdout()};
}

std::string digest_of(const char* path) {
    char digest[zem::digest_text_capacity] = "";
    EXPECT_TRUE(zem::hash_file(path, digest));
    return digest;
}

std::string progress(int done, int total) {
    return "\r  Installing the update... " + std::to_string(done) + " / " + std::to_string(total) + " files";
}

std::string closing(int total) {
    return progress(total, total) + "\n";
}

// ---------------------------------------------------------------- hashing

struct DigestCase {
    const char* name;
    std::string content;
    const char* digest;
};

// Shown by name in test listings.
void PrintTo(const DigestCase& c, std::ostream* os) {
    *os << c.name;
}

class HashFile : public testing::TestWithParam<DigestCase> {};

TEST_P(HashFile, KnownAnswers) {
    TempFolder folder;
    write_file("data.bin", GetParam().content);
    char digest[zem::digest_text_capacity] = "";
    ASSERT_TRUE(zem::hash_file("data.bin", digest));
    EXPECT_STREQ(GetParam().digest, digest);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, HashFile,
    testing::Values(
        DigestCase{"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        DigestCase{"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        DigestCase{"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // Many hashing buffers, the last one partly filled.
        DigestCase{"million_a", std::string(1000000, 'a'),
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const testing::TestParamInfo<DigestCase>& info) { return std::string(info.param.name); });

TEST(HashFile, MissingOrUnreadableFileFails) {
    TempFolder folder;
    char digest[zem::digest_text_capacity] = "kept";
    EXPECT_FALSE(zem::hash_file("missing.bin", digest));
    // A folder opens for reading here but every read fails: never the
    // digest of no data.
    mkdir("folder", 0777);
    EXPECT_FALSE(zem::hash_file("folder", digest));
    EXPECT_STREQ("kept", digest);
}

// ---------------------------------------------------------------- check

TEST(UpdatePackage, MissingArchiveIsNotDownloaded) {
    TempFolder game;
    mkdir("ZEM", 0777);
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::not_downloaded, result.outcome);
    EXPECT_EQ("", result.output);
}

TEST(UpdatePackage, UnreadableArchiveIsNotDownloaded) {
    TempFolder game;
    mkdir("ZEM", 0777);
    mkdir(archive_file, 0777);
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::not_downloaded, result.outcome);
    EXPECT_EQ("", result.output);
    EXPECT_FALSE(exists("ZEM/update.sha256"));
}

TEST(UpdatePackage, StoredHashInAnyLetterCaseMeansAlreadyInstalled) {
    TempFolder game;
    mkdir("ZEM", 0777);
    write_zip(archive_file, {{"Game/a.txt", "new"}});
    std::string upper = digest_of(archive_path);
    for (char& c : upper) c = static_cast<char>(toupper(c));
    write_file("ZEM/update.sha256", upper);
    const Installation result = install(upper.c_str());
    EXPECT_EQ(UpdateOutcome::already_installed, result.outcome);
    EXPECT_EQ("", result.output);
    EXPECT_FALSE(exists("Game"));
    EXPECT_EQ(upper, read_file("ZEM/update.sha256"));
}

TEST(UpdatePackage, OtherStoredHashInstallsAndStoresTheNewDigest) {
    TempFolder game;
    mkdir("ZEM", 0777);
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
    write_zip(archive_file, {{"ZEM-Play.exe", "launcher"},
                             {"ZEM-UPDATE.EXE", "updater"},
                             {"bin/ZEM-Play.exe", "not redirected"},
                             {"Game/Empty/", ""},
                             {"Game/Content/a.pak", big},
                             {"ZEM/release.json", "{\"version\": \"2.0\"}"}});
    write_file("ZEM-Play.exe", "running launcher");
    write_file("ZEM/update.sha256", std::string(64, '0'));
    const Installation result = install(std::string(64, '0').c_str());
    EXPECT_EQ(UpdateOutcome::installed, result.outcome);
    EXPECT_EQ(progress(0, 6) + closing(6), result.output);
    EXPECT_EQ("launcher", read_file("ZEM-Play.exe.new"));
    EXPECT_EQ("updater", read_file("ZEM-Update.exe.new"));  // always this letter case
    EXPECT_FALSE(exists("ZEM-UPDATE.EXE.new"));
    EXPECT_EQ("running launcher", read_file("ZEM-Play.exe"));
    EXPECT_FALSE(exists("ZEM-Update.exe"));
    EXPECT_EQ("not redirected", read_file("bin/ZEM-Play.exe"));
    EXPECT_FALSE(exists("Game/Empty"));  // directory entries make no folders
    EXPECT_EQ(big, read_file("Game/Content/a.pak"));
    EXPECT_EQ("{\"version\": \"2.0\"}", read_file("ZEM/release.json"));
    // 64 lower-case hex digits, no line end.
    EXPECT_EQ(digest_of(archive_path), read_file("ZEM/update.sha256"));
}

TEST(UpdatePackage, ProgressEveryTwentyFiveEntriesThenTheFullCount) {
    TempFolder game;
    mkdir("ZEM", 0777);
    std::vector<Entry> entries;
    for (int i = 0; i < 60; ++i) entries.push_back({"f/" + std::to_string(i) + ".txt", std::to_string(i)});
    write_zip(archive_file, entries);
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installed, result.outcome);
    EXPECT_EQ(progress(0, 60) + progress(25, 60) + progress(50, 60) + closing(60), result.output);
    EXPECT_EQ("59", read_file("f/59.txt"));
}

TEST(UpdatePackage, DirectoryEntryAtAProgressIndexPrintsNothing) {
    TempFolder game;
    mkdir("ZEM", 0777);
    std::vector<Entry> entries;
    for (int i = 0; i < 60; ++i) entries.push_back({"f/" + std::to_string(i) + ".txt", "x"});
    entries[25] = {"f/sub/", ""};
    write_zip(archive_file, entries);
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installed, result.outcome);
    EXPECT_EQ(progress(0, 60) + progress(50, 60) + closing(60), result.output);
}

TEST(UpdatePackage, EntryThatCannotBeWrittenStopsWithTheFullCountAndKeepsTheHash) {
    TempFolder game;
    mkdir("ZEM", 0777);
    write_zip(archive_file, {{"a.txt", "0"}, {"b.txt", "1"}, {"Game/c.txt", "2"}, {"Game/d", "3"}, {"e.txt", "4"}});
    mkdir("Game", 0777);
    mkdir("Game/d", 0777);  // a folder in the way of the file
    write_file("ZEM/update.sha256", "previous");
    const Installation result = install("previous");
    EXPECT_EQ(UpdateOutcome::installation_failed, result.outcome);
    EXPECT_EQ(progress(0, 5) + "  Couldn't write Game\\d (is the game still running?)\n" + closing(5), result.output);
    EXPECT_EQ("0", read_file("a.txt"));
    EXPECT_EQ("1", read_file("b.txt"));
    EXPECT_EQ("2", read_file("Game/c.txt"));
    EXPECT_FALSE(exists("e.txt"));  // nothing after the failure
    EXPECT_EQ("previous", read_file("ZEM/update.sha256"));
}

TEST(UpdatePackage, FailureAtAProgressIndexPrintsTheMessageFirst) {
    TempFolder game;
    mkdir("ZEM", 0777);
    write_zip(archive_file, {{"blocked/x.txt", "0"}, {"b.txt", "1"}});
    write_file("blocked", "a file where a folder should be");
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installation_failed, result.outcome);
    EXPECT_EQ("  Couldn't write blocked\\x.txt (is the game still running?)\n" + progress(0, 2) + closing(2),
              result.output);
    EXPECT_FALSE(exists("b.txt"));
    EXPECT_FALSE(exists("ZEM/update.sha256"));
}

TEST(UpdatePackage, DamagedEntryDataIsReportedAsNotWritten) {
    TempFolder game;
    mkdir("ZEM", 0777);
    const std::string marker = "0123456789-stored-entry-data-0123456789";
    // Stored (level 0) so the entry's bytes lie in the archive as they are.
    mz_zip_archive zip;
    memset(&zip, 0, sizeof zip);
    ASSERT_TRUE(mz_zip_writer_init_file(&zip, archive_file, 0));
    ASSERT_TRUE(mz_zip_writer_add_mem(&zip, "ok.txt", "fine", 4, 0));
    ASSERT_TRUE(mz_zip_writer_add_mem(&zip, "bad.txt", marker.data(), marker.size(), 0));
    ASSERT_TRUE(mz_zip_writer_finalize_archive(&zip));
    ASSERT_TRUE(mz_zip_writer_end(&zip));
    std::string bytes = read_file(archive_file);
    const size_t at = bytes.find(marker);
    ASSERT_NE(std::string::npos, at);
    bytes[at + 5] ^= 0x20;  // the CRC-32 no longer matches
    write_file(archive_file, bytes);

    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installation_failed, result.outcome);
    EXPECT_EQ(progress(0, 2) + "  Couldn't write bad.txt (is the game still running?)\n" + closing(2), result.output);
    EXPECT_EQ("fine", read_file("ok.txt"));
    EXPECT_FALSE(exists("ZEM/update.sha256"));
}

TEST(UpdatePackage, EmptyArchiveInstallsAndStoresItsDigest) {
    TempFolder game;
    mkdir("ZEM", 0777);
    write_zip(archive_file, {});
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installed, result.outcome);
    EXPECT_EQ(closing(0), result.output);
    EXPECT_EQ(digest_of(archive_path), read_file("ZEM/update.sha256"));
}

TEST(UpdatePackage, FileThatIsNoArchiveFailsSilently) {
    TempFolder game;
    mkdir("ZEM", 0777);
    write_file(archive_file, "<html>not found</html>");
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installation_failed, result.outcome);
    EXPECT_EQ("", result.output);
    EXPECT_FALSE(exists("ZEM/update.sha256"));
}

TEST(UpdatePackage, UnsafeAndOverlongNamesArePassedOverSilently) {
    TempFolder game;
    mkdir("ZEM", 0777);
    mkdir("inside", 0777);
    std::string overlong;
    while (overlong.size() < 262) overlong += "dd/";
    overlong += "x.txt";
    write_zip_with_python(archive_file, {{"../escape.txt", "no"},
                                         {"/abs.txt", "no"},
                                         {"\\back.txt", "no"},
                                         {"C:drive.txt", "no"},
                                         {"a:b/c.txt", "no"},
                                         {"notes..txt", "no"},
                                         {overlong, "no"},
                                         {"ok.txt", "yes"}});
    ASSERT_EQ(0, chdir("inside"));
    const Installation result = [] {
        testing::internal::CaptureStdout();
        char signed_version[zem::version_capacity] = "";
        const UpdateOutcome outcome =
            zem::check_and_install_update_package("..\\ZEM\\update-download.zip", "", "", signed_version);
        return Installation{outcome, testing::internal::GetCapturedStdout()};
    }();
    ASSERT_EQ(0, chdir(".."));
    EXPECT_EQ(UpdateOutcome::installed, result.outcome);
    // Index 0 is passed over, so its progress line is not printed.
    EXPECT_EQ(closing(8), result.output);
    EXPECT_EQ("yes", read_file("inside/ok.txt"));
    EXPECT_FALSE(exists("escape.txt"));
    EXPECT_FALSE(exists("inside/notes..txt"));
    EXPECT_FALSE(exists("inside/a"));
    EXPECT_FALSE(exists("inside/dd"));  // no folders for an entry passed over
    EXPECT_FALSE(exists("inside/C:drive.txt"));
}

// Runs a Python script that writes archive_file with zipfile.
void run_python(const std::string& script) {
    write_file("make_zip.py", "import zipfile\n" + script);
    ASSERT_EQ(0, system("python3 make_zip.py"));
    remove("make_zip.py");
}

TEST(UpdatePackage, WrittenFilesCarryTheirEntrysTime) {
    TempFolder game;
    mkdir("ZEM", 0777);
    run_python("with zipfile.ZipFile('" + std::string(archive_file) + "', 'w', zipfile.ZIP_DEFLATED) as z:\n"
               "    z.writestr(zipfile.ZipInfo('Game/dated.txt', (2001, 2, 3, 4, 5, 6)), 'dated')\n"
               "    z.writestr(zipfile.ZipInfo('Game/\\u00dcbung/na\\u00efve.txt', (2001, 2, 3, 4, 5, 6)), 'dated')\n");
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installed, result.outcome);
    // The zip's date and time are local time, as miniz reads them.
    struct tm local = {};
    local.tm_year = 2001 - 1900;
    local.tm_mon = 1;
    local.tm_mday = 3;
    local.tm_hour = 4;
    local.tm_min = 5;
    local.tm_sec = 6;
    local.tm_isdst = -1;
    const time_t expected = mktime(&local);
    for (const char* name : {"Game/dated.txt", "Game/\xc3\x9c" "bung/na\xc3\xafve.txt"}) {
        struct stat info;
        ASSERT_EQ(0, stat(name, &info)) << name;
        EXPECT_EQ(expected, info.st_mtime) << name;
        EXPECT_EQ(expected, info.st_atime) << name;
        EXPECT_EQ("dated", read_file(name));
    }
}

TEST(UpdatePackage, EntryOfAMethodTheZipLibraryCannotReadIsNotWrittenAtAll) {
    TempFolder game;
    mkdir("ZEM", 0777);
    run_python("with zipfile.ZipFile('" + std::string(archive_file) + "', 'w') as z:\n"
               "    z.writestr('a.txt', 'a', zipfile.ZIP_DEFLATED)\n"
               "    z.writestr('b.txt', 'b' * 100, zipfile.ZIP_BZIP2)\n"
               "    z.writestr('c.txt', 'c', zipfile.ZIP_DEFLATED)\n");
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installation_failed, result.outcome);
    EXPECT_EQ(progress(0, 3) + "  Couldn't write b.txt (is the game still running?)\n" + closing(3), result.output);
    EXPECT_EQ("a", read_file("a.txt"));
    EXPECT_FALSE(exists("b.txt"));  // no empty file left in its place
    EXPECT_FALSE(exists("c.txt"));
}

TEST(UpdatePackage, StoredHashThatCannotBeWrittenStillCountsAsInstalled) {
    TempFolder game;
    mkdir("ZEM", 0777);
    mkdir("ZEM/update.sha256", 0777);
    write_zip(archive_file, {{"a.txt", "a"}});
    const Installation result = install("");
    EXPECT_EQ(UpdateOutcome::installed, result.outcome);
    EXPECT_EQ(progress(0, 1) + closing(1), result.output);
    EXPECT_EQ("a", read_file("a.txt"));
}

}  // namespace
