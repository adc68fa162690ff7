// The launcher's own path: its limit counted in UTF-16 units as Windows
// counts it, and its split into game folder and file name.
#include "common/utf16_length.h"
#include "launcher/launcher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct UnitCase {
    const char* utf8;
    size_t units;
};

class Utf16Length : public testing::TestWithParam<UnitCase> {};

TEST_P(Utf16Length, CountsAsWindowsDoes) {
    EXPECT_EQ(GetParam().units, zem::utf16_length(GetParam().utf8)) << GetParam().utf8;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf16Length,
    testing::Values(UnitCase{"", 0}, UnitCase{"C:\\Games\\ZEM-Play.exe", 21},
                    UnitCase{"\xd0\x96\xd0\xb8\xd0\xb7\xd0\xbd\xd1\x8c", 5},  // Cyrillic: 2 bytes, 1 unit each
                    UnitCase{"\xe6\x97\xa5\xe6\x9c\xac", 2},                  // CJK: 3 bytes, 1 unit each
                    UnitCase{"a\xf0\x9f\x8e\xae" "b", 4},                     // U+1F3AE: a surrogate pair
                    UnitCase{"\xff\xfe" "a", 3},                              // stray bytes: one unit each
                    UnitCase{"\xe6\x97" "a", 3},                              // a sequence cut short
                    UnitCase{"\xc0\xaf", 2},                                  // overlong '/'
                    UnitCase{"\xed\xa0\x80", 3},                              // a UTF-8 surrogate
                    UnitCase{"\xf4\x90\x80\x80", 4}),                         // above U+10FFFF
    [](const testing::TestParamInfo<UnitCase>& info) { return std::to_string(info.index); });

// 259 Cyrillic letters are within the limit although they take 518 bytes.
TEST(Utf16Length, LimitOfTheOwnPathFitsItsBuffer) {
    std::string path;
    for (size_t i = 0; i < zem::own_path_unit_limit; ++i) path += "\xe6\x97\xa5";
    EXPECT_EQ(zem::own_path_unit_limit, zem::utf16_length(path.c_str()));
    EXPECT_LT(path.size(), zem::own_path_capacity);
}

struct SplitCase {
    const char* own_path;
    const char* folder;
    const char* file_name;
};

class SplitOwnPath : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitOwnPath, FolderAndFileName) {
    char own_path[zem::own_path_capacity];
    snprintf(own_path, sizeof own_path, "%s", GetParam().own_path);
    char file_name[zem::own_path_capacity] = "untouched";
    zem::split_own_path(own_path, file_name, sizeof file_name);
    EXPECT_STREQ(GetParam().folder, own_path);
    EXPECT_STREQ(GetParam().file_name, file_name);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SplitOwnPath,
    testing::Values(SplitCase{"C:\\Games\\Frolix\\ZEM-Play.exe", "C:\\Games\\Frolix", "ZEM-Play.exe"},
                    SplitCase{"E:\\ZEM-Play.exe", "E:\\", "ZEM-Play.exe"},
                    SplitCase{"\\ZEM-Play.exe", "\\", "ZEM-Play.exe"},  // the POSIX root
                    SplitCase{"\\\\?\\E:\\Frolix.exe", "\\\\?\\E:\\", "Frolix.exe"},
                    SplitCase{"\\\\server\\share\\ZEM-Play.exe", "\\\\server\\share", "ZEM-Play.exe"},
                    SplitCase{"ZEM-Play.exe", "ZEM-Play.exe", "ZEM-Play.exe"}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::to_string(info.index); });

}  // namespace
