#include "common/entry_paths.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

namespace {

struct NameCase {
    const char* name;
    bool safe;
};

class EntryName : public testing::TestWithParam<NameCase> {};

TEST_P(EntryName, SkipRules) {
    EXPECT_EQ(GetParam().safe, zem::entry_name_is_safe(GetParam().name)) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Names, EntryName,
                         testing::Values(NameCase{"Game/Content/a.pak", true}, NameCase{"a.b/c", true},
                                         NameCase{"/etc/x", false}, NameCase{"\\x", false},
                                         NameCase{"C:x", false}, NameCase{"x:y/z", false},
                                         NameCase{"../x", false}, NameCase{"notes..txt", false},
                                         NameCase{"a/../../b", false}, NameCase{"a/b\\..\\c", false}),
                         [](const testing::TestParamInfo<NameCase>& info) {
                             return std::to_string(info.index) + (info.param.safe ? "_safe" : "_skipped");
                         });

bool is_folder(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(LocalPath, TurnsSlashesIntoBackslashes) {
    char local[zem::local_path_capacity];
    ASSERT_TRUE(zem::local_path_from_entry_name("Game/Content/a.pak", local));
    EXPECT_STREQ("Game\\Content\\a.pak", local);
}

TEST(LocalPath, NameOf259BytesFitsAnd260IsRefusedNotCut) {
    char local[zem::local_path_capacity];
    const std::string fits(259, 'a');
    ASSERT_TRUE(zem::local_path_from_entry_name(fits.c_str(), local));
    EXPECT_EQ(fits, local);
    const std::string too_long(260, 'a');
    EXPECT_FALSE(zem::local_path_from_entry_name(too_long.c_str(), local));
    EXPECT_STREQ("", local);
}

TEST(ParentFolders, AreCreatedOutermostFirstAndFileIsNot) {
    zem_test::TempFolder folder;
    zem::create_parent_folders("Game\\Content\\a.pak");
    EXPECT_TRUE(is_folder("Game"));
    EXPECT_TRUE(is_folder("Game/Content"));
    EXPECT_FALSE(is_folder("Game/Content/a.pak"));
    // Existing folders are fine; a name without separators creates nothing.
    zem::create_parent_folders("Game\\Content\\b.pak");
    zem::create_parent_folders("top.txt");
    EXPECT_FALSE(is_folder("top.txt"));
}

}  // namespace
