#include "common/entry_paths.h"
#include "common/name_rules.h"
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

// The name rules every server name passes, and the working files no
// entry may name.
struct RuleCase {
    const char* name;
    bool acceptable;
};

class NameRule : public testing::TestWithParam<RuleCase> {};

TEST_P(NameRule, AcceptsOnlyNamesEveryPlatformReadsAsWritten) {
    EXPECT_EQ(GetParam().acceptable, zem::name_is_acceptable(GetParam().name)) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameRule,
    testing::Values(RuleCase{"Game/Content/a.pak", true}, RuleCase{"ZEM/release.json", true},
                    RuleCase{"a b/.hidden/x.tar.gz", true}, RuleCase{"\xd0\x98\xd0\xb3\xd1\x80\xd0\xb0.txt", true},
                    RuleCase{"CONSOLE.txt/COM10/LPT/nul_x/con2", true}, RuleCase{"~1.x.y/a~b/PAK~~.txt/123456789~1", true},
                    RuleCase{"./ZEM-Play.exe", false}, RuleCase{"a/./b", false}, RuleCase{"a/../b", false},
                    RuleCase{"a//b", false}, RuleCase{"a/", false}, RuleCase{"/a", false},
                    RuleCase{"ZEM-Play.exe.", false}, RuleCase{"Saved./x", false}, RuleCase{"Paks /x", false},
                    RuleCase{"a:b", false}, RuleCase{"a\tb", false}, RuleCase{"a\x7f<b", false},
                    RuleCase{"a>b", false}, RuleCase{"a\"b", false}, RuleCase{"a|b", false},
                    RuleCase{"a?b", false}, RuleCase{"a*b", false}, RuleCase{"x/con", false},
                    RuleCase{"Aux.txt", false}, RuleCase{"nul .tar.gz", false}, RuleCase{"COM1", false},
                    RuleCase{"lpt9.log", false}, RuleCase{"COM\xc2\xb9", false}, RuleCase{"conout$", false},
                    RuleCase{"CONIN$.x", false}, RuleCase{"ZEM-PL~1.EXE", false}, RuleCase{"zem-u~12.exe", false},
                    RuleCase{"ZE3A1B~1.NEW", false}, RuleCase{"ZEM/UPDATE~1.ZIP", false}, RuleCase{"INSTAL~1", false}),
    [](const testing::TestParamInfo<RuleCase>& info) {
        return std::to_string(info.index) + (info.param.acceptable ? "_acceptable" : "_refused");
    });

TEST(EntryLocalPath, WorkingFilesAreNeverEntriesAnyOtherStateFileIs) {
    char local[zem::local_path_capacity];
    for (const char* name : {"ZEM/update-download.zip", "zem/UPDATE.SHA256", "ZEM\\release-check.json",
                             "ZEM/full-install", "ZEM/Install-Incomplete", "ZEM/install-JOURNAL", "ZEM/writer.lock", "a/b.ZEMPART",
                             "zem-play.exe.old", "./ZEM/update.sha256", "ZEM-Play.exe "}) {
        EXPECT_FALSE(zem::local_path_for_entry(name, local)) << name;
        EXPECT_STREQ("", local);
    }
    for (const char* name : {"ZEM/release.json", "ZEM/removed.txt", "ZEM/notes/full-install", "ZEM-Play.exe"}) {
        EXPECT_TRUE(zem::local_path_for_entry(name, local)) << name;
    }
    EXPECT_STREQ("ZEM-Play.exe", local);
}

// Archives of "." (bsdtar --format zip -cf game.zip .) name every entry
// "./...": leading "./" components go before the rules judge the rest.
struct DotCase {
    const char* name;
    const char* local;  // null: passed over
};

class EntryWithLeadingDots : public testing::TestWithParam<DotCase> {};

TEST_P(EntryWithLeadingDots, NamesWhatTheRestNames) {
    char local[zem::local_path_capacity];
    const DotCase& c = GetParam();
    EXPECT_EQ(c.local != nullptr, zem::local_path_for_entry(c.name, local)) << c.name;
    EXPECT_STREQ(c.local != nullptr ? c.local : "", local) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, EntryWithLeadingDots,
    testing::Values(DotCase{"./Frolix_Multiplayer/Content/a.pak", "Frolix_Multiplayer\\Content\\a.pak"},
                    DotCase{"././ZEM-Play.bat", "ZEM-Play.bat"}, DotCase{"./ZEM-Update.exe", "ZEM-Update.exe"},
                    DotCase{"./", nullptr}, DotCase{".", nullptr}, DotCase{"./.", nullptr},
                    DotCase{"a/./b", nullptr}, DotCase{".//a", nullptr}, DotCase{"./../a", nullptr},
                    DotCase{".\\a", nullptr}, DotCase{"./ZEM-Play.exe.", nullptr}),
    [](const testing::TestParamInfo<DotCase>& info) {
        return std::to_string(info.index) + (info.param.local != nullptr ? "_written" : "_passed_over");
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
    std::string made;
    zem::create_parent_folders("Game\\Content\\a.pak", &made);
    EXPECT_TRUE(is_folder("Game"));
    EXPECT_TRUE(is_folder("Game/Content"));
    EXPECT_FALSE(is_folder("Game/Content/a.pak"));
    // Existing folders are fine; a name without separators creates nothing;
    // a folder beside the one made last is made.
    zem::create_parent_folders("Game\\Content\\b.pak", &made);
    zem::create_parent_folders("top.txt", &made);
    EXPECT_FALSE(is_folder("top.txt"));
    zem::create_parent_folders("Game\\Content2\\c.pak", &made);
    EXPECT_TRUE(is_folder("Game/Content2"));
}

}  // namespace
