#include "common/state_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

using zem_test::TempFolder;
using zem_test::write_file;

namespace {

struct VersionCase {
    const char* name;
    const char* text;
    const char* before;
    const char* expected;
};

class ExtractVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(ExtractVersion, TakesTheValueOfTheFirstVersionKey) {
    const VersionCase& c = GetParam();
    char version[zem::version_capacity];
    snprintf(version, sizeof version, "%s", c.before);
    zem::extract_version(c.text, version);
    EXPECT_STREQ(c.expected, version);
}

const std::string sixty_three(63, '7');
const std::string sixty_four(64, '7');
const std::string with_63 = "{\"version\": \"" + sixty_three + "\"}";
const std::string with_64 = "{\"version\": \"" + sixty_four + "\"}";

INSTANTIATE_TEST_SUITE_P(
    OddTexts, ExtractVersion,
    testing::Values(
        VersionCase{"plain", "{\"version\": \"1.2.3\"}", "", "1.2.3"},
        VersionCase{"no_blanks", "{\"version\":\"7\"}", "", "7"},
        VersionCase{"first_key_wins", "{\"version\":\"1\",\"version\":\"2\"}", "", "1"},
        VersionCase{"key_without_quotes_is_not_a_key", "{version: \"9\", \"version\": \"3\"}", "", "3"},
        VersionCase{"number_value_takes_next_quoted_text", "{\"version\": 5, \"name\": \"x\"}", "", "name"},
        VersionCase{"no_colon_after_key", "{\"version\" \"1\"}", "old", "old"},
        VersionCase{"no_opening_quote", "{\"version\": 5}", "old", "old"},
        VersionCase{"no_closing_quote", "{\"version\": \"5", "old", "old"},
        VersionCase{"no_key", "{\"name\": \"x\"}", "old", "old"},
        VersionCase{"empty_value", "{\"version\": \"\"}", "old", ""},
        VersionCase{"escape_not_interpreted", "{\"version\": \"a\\\"b\"}", "", "a\\"},
        VersionCase{"sixty_three_characters_fit", with_63.c_str(), "", sixty_three.c_str()},
        VersionCase{"sixty_four_characters_leave_it_as_it_was", with_64.c_str(), "1.0", "1.0"},
        VersionCase{"no_text", nullptr, "kept", "kept"}),
    [](const testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

class ExtractBaseVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(ExtractBaseVersion, TakesTheFirstBaseKeyAfterTheVersionsValue) {
    const VersionCase& c = GetParam();
    char base[zem::version_capacity];
    snprintf(base, sizeof base, "%s", c.before);
    zem::extract_base_version(c.text, base);
    EXPECT_STREQ(c.expected, base);
}

const std::string base_64 = "{\"version\": \"2\", \"base\": \"" + sixty_four + "\"}";

INSTANTIATE_TEST_SUITE_P(
    OddTexts, ExtractBaseVersion,
    testing::Values(
        VersionCase{"as_pack_writes_it", "{\n  \"version\": \"3.0\",\n  \"base\": \"2.0\"\n}\n", "", "2.0"},
        VersionCase{"none", "{\"version\": \"3.0\"}", "", ""},
        // The version's own search never meets the base key, and the base's
        // search starts after the version's value.
        VersionCase{"a_version_spelled_base_is_no_key", "{\"version\": \"base\", \"x\": \"1\"}", "", ""},
        VersionCase{"a_base_before_the_version_is_not_read", "{\"base\": \"1\", \"version\": \"3\"}", "", ""},
        VersionCase{"no_version_no_base", "{\"base\": \"1\"}", "", ""},
        VersionCase{"sixty_four_characters_leave_it_as_it_was", base_64.c_str(), "kept", "kept"},
        VersionCase{"no_text", nullptr, "kept", "kept"}),
    [](const testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

TEST(ReadWholeFile, ReadsBytesAndTerminates) {
    TempFolder folder;
    write_file("a.txt", std::string("ab\0cd", 5));
    zem::FileText text = zem::read_whole_file("a.txt");
    ASSERT_TRUE(text);
    EXPECT_EQ(0, memcmp(text.get(), "ab\0cd\0", 6));
    EXPECT_FALSE(zem::read_whole_file("missing.txt"));
}

TEST(ReadWholeFile, BackslashPathsNameFilesInTheStateFolder) {
    TempFolder folder;
    zem::create_state_folder();
    write_file("ZEM/release.json", "{\"version\": \"4.5\"}");
    char version[zem::version_capacity] = "";
    zem::read_version_file(zem::installed_release_path, version);
    EXPECT_STREQ("4.5", version);
}

struct HashCase {
    const char* name;
    std::string content;
    std::string expected;
};

class StoredHash : public testing::TestWithParam<HashCase> {};

TEST_P(StoredHash, IsTrimmedAtFirstBlankOrLineEnd) {
    TempFolder folder;
    zem::create_state_folder();
    write_file("ZEM/update.sha256", GetParam().content);
    char hash[zem::stored_hash_capacity] = "junk";
    zem::read_stored_hash(hash);
    EXPECT_EQ(GetParam().expected, hash);
}

const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

INSTANTIATE_TEST_SUITE_P(
    Texts, StoredHash,
    testing::Values(HashCase{"digest", digest, digest},
                    HashCase{"digest_with_line_end", digest + "\r\n", digest},
                    HashCase{"two_words", "abc def", "abc"},
                    HashCase{"longer_than_64_is_cut", digest + "ff", digest},
                    HashCase{"tab_is_kept", "ab\tcd\n", "ab\tcd"},
                    HashCase{"leading_space_gives_empty", " abc", ""},
                    HashCase{"empty_file", "", ""}),
    [](const testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

TEST(StoredHash, MissingFileIsEmpty) {
    TempFolder folder;
    char hash[zem::stored_hash_capacity] = "junk";
    zem::read_stored_hash(hash);
    EXPECT_STREQ("", hash);
}

TEST(Markers, EmptyMarkerCountsAsPresentAndUnreadableAsAbsent) {
    TempFolder folder;
    zem::create_state_folder();
    EXPECT_FALSE(zem::file_is_readable(zem::full_install_marker_path));
    zem::create_empty_marker(zem::full_install_marker_path);
    EXPECT_TRUE(zem::file_is_readable(zem::full_install_marker_path));
    // A folder in its place cannot be read whole.
    mkdir("ZEM/install-incomplete", 0777);
    EXPECT_FALSE(zem::file_is_readable(zem::install_incomplete_marker_path));
}

TEST(Compare, IgnoresOnlyAsciiLetterCase) {
    EXPECT_TRUE(zem::equals_ignoring_ascii_case("ZEM-Play.exe", "zem-PLAY.EXE"));
    EXPECT_FALSE(zem::equals_ignoring_ascii_case("ZEM-Play.exe", "ZEM-Play.ex"));
    EXPECT_FALSE(zem::equals_ignoring_ascii_case("\xc3\x9c", "\xc3\xbc"));  // Ü and ü stay different
    EXPECT_FALSE(zem::equals_ignoring_ascii_case("[", "{"));
}

}  // namespace
