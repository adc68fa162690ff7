// The removal list: its line rules one line at a time, and its effect on
// real files, folders and links in a temporary game folder.
#include "updater/updater.h"

#include "common/state_files.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

using zem::RemovalEntry;
using zem_test::read_file;
using zem_test::TempFolder;
using zem_test::write_file;

namespace {

struct LineCase {
    const char* name;
    std::string line;
    RemovalEntry expected;
    std::string path;  // for accepted lines
};

// Shown by name in test listings.
void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class RemovalLine : public testing::TestWithParam<LineCase> {};

TEST_P(RemovalLine, IsAcceptedOrRefused) {
    const LineCase& c = GetParam();
    char path[zem::local_path_capacity] = "untouched";
    const RemovalEntry entry = zem::parse_removal_line(c.line.data(), c.line.size(), path);
    EXPECT_EQ(c.expected, entry) << "line \"" << c.line << "\"";
    if (c.expected != RemovalEntry::refused) {
        EXPECT_EQ(c.path, path);
    }
}

const std::string root = "Frolix_Multiplayer/";
// A listed path of exactly 259 characters, and one of 260.
const std::string path_259 = root + "Content/" + std::string(259 - root.size() - 8, 'x');
const std::string path_260 = path_259 + "y";
std::string backslashed(std::string text) {
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, RemovalLine,
    testing::Values(
        LineCase{"folder_entry", "Frolix_Multiplayer/Content/Movies/", RemovalEntry::folder,
                 "Frolix_Multiplayer\\Content\\Movies"},
        LineCase{"file_entry", "Frolix_Multiplayer/Content/old.pak", RemovalEntry::file,
                 "Frolix_Multiplayer\\Content\\old.pak"},
        LineCase{"backslashes_and_blanks", "  Frolix_Multiplayer\\Content\\old.pak  ", RemovalEntry::file,
                 "Frolix_Multiplayer\\Content\\old.pak"},
        LineCase{"tabs_around", "\t Frolix_Multiplayer/Content/old.pak\t", RemovalEntry::file,
                 "Frolix_Multiplayer\\Content\\old.pak"},
        LineCase{"mixed_separators_folder", "Frolix_Multiplayer\\Content/Movies\\", RemovalEntry::folder,
                 "Frolix_Multiplayer\\Content\\Movies"},
        LineCase{"prefix_in_any_case", "frolix_multiplayer/content/old.pak", RemovalEntry::file,
                 "frolix_multiplayer\\content\\old.pak"},
        LineCase{"blanks_inside_are_kept", "Frolix_Multiplayer/Con tent/a b.txt", RemovalEntry::file,
                 "Frolix_Multiplayer\\Con tent\\a b.txt"},
        LineCase{"dots_inside_a_name", "Frolix_Multiplayer/a/b..c", RemovalEntry::file,
                 "Frolix_Multiplayer\\a\\b..c"},
        LineCase{"protected_name_as_part_of_a_name", "Frolix_Multiplayer/Content/Saved.txt", RemovalEntry::file,
                 "Frolix_Multiplayer\\Content\\Saved.txt"},
        LineCase{"deep_path", "Frolix_Multiplayer/a/b/c/d/e", RemovalEntry::file,
                 "Frolix_Multiplayer\\a\\b\\c\\d\\e"},
        LineCase{"longest_path_fits", path_259, RemovalEntry::file, backslashed(path_259)},
        LineCase{"trailing_blanks_do_not_count_against_the_length", "  " + path_259 + "      ",
                 RemovalEntry::file, backslashed(path_259)}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Refused, RemovalLine,
    testing::Values(
        LineCase{"saved", "Frolix_Multiplayer/Saved/x", RemovalEntry::refused, ""},
        LineCase{"saved_any_case_as_folder", "Frolix_Multiplayer/Content/SAVED/", RemovalEntry::refused, ""},
        LineCase{"paks_lower_case", "Frolix_Multiplayer/Content/paks/x", RemovalEntry::refused, ""},
        LineCase{"paks_as_last_component", "Frolix_Multiplayer/Content/Paks", RemovalEntry::refused, ""},
        LineCase{"parent_component", "Frolix_Multiplayer/Content/../x", RemovalEntry::refused, ""},
        LineCase{"parent_as_last_component", "Frolix_Multiplayer/Content/..", RemovalEntry::refused, ""},
        LineCase{"empty_component", "Frolix_Multiplayer//x/y", RemovalEntry::refused, ""},
        LineCase{"three_final_separators", "Frolix_Multiplayer/Content/Movies///", RemovalEntry::refused, ""},
        // Windows reads each of these as another path: the whole game
        // folder, a way round the depth rule, or the protected folders.
        LineCase{"two_final_separators", "Frolix_Multiplayer/Content/Movies//", RemovalEntry::refused, ""},
        LineCase{"dot_components", "Frolix_Multiplayer/././", RemovalEntry::refused, ""},
        LineCase{"dot_adds_a_component", "Frolix_Multiplayer/./Binaries/", RemovalEntry::refused, ""},
        LineCase{"three_dots", "Frolix_Multiplayer/a/...", RemovalEntry::refused, ""},
        LineCase{"saved_with_a_final_dot", "Frolix_Multiplayer/Saved./SaveGames/", RemovalEntry::refused, ""},
        LineCase{"paks_with_a_final_dot", "Frolix_Multiplayer/Content/Paks./", RemovalEntry::refused, ""},
        LineCase{"paks_with_a_final_blank", "Frolix_Multiplayer/Content/Paks /x", RemovalEntry::refused, ""},
        LineCase{"short_alias", "Frolix_Multiplayer/Content/PAKSFO~1/", RemovalEntry::refused, ""},
        LineCase{"two_components", "Frolix_Multiplayer/Binaries", RemovalEntry::refused, ""},
        LineCase{"two_components_folder", "Frolix_Multiplayer/Binaries/", RemovalEntry::refused, ""},
        LineCase{"root_only", "Frolix_Multiplayer/", RemovalEntry::refused, ""},
        LineCase{"root_without_separator", "Frolix_Multiplayer", RemovalEntry::refused, ""},
        LineCase{"wrong_prefix", "Other/Content/x", RemovalEntry::refused, ""},
        LineCase{"prefix_with_more_letters", "Frolix_MultiplayerX/Content/x", RemovalEntry::refused, ""},
        LineCase{"leading_separator", "/Frolix_Multiplayer/Content/x", RemovalEntry::refused, ""},
        LineCase{"leading_backslash", "\\Frolix_Multiplayer\\Content\\x", RemovalEntry::refused, ""},
        LineCase{"colon", "Frolix_Multiplayer/a:b/c", RemovalEntry::refused, ""},
        LineCase{"drive", "C:/Frolix_Multiplayer/a/b", RemovalEntry::refused, ""},
        LineCase{"comment", "#Frolix_Multiplayer/Content/x", RemovalEntry::refused, ""},
        LineCase{"comment_after_blanks", "   #Frolix_Multiplayer/Content/x", RemovalEntry::refused, ""},
        LineCase{"empty", "", RemovalEntry::refused, ""},
        LineCase{"blanks_only", " \t ", RemovalEntry::refused, ""},
        LineCase{"lone_separator", "/", RemovalEntry::refused, ""},
        LineCase{"too_long_is_never_cut", path_260, RemovalEntry::refused, ""},
        LineCase{"too_long_folder_entry_is_never_cut", path_259 + "/", RemovalEntry::refused, ""}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- on disk

// Anything at the path, a dangling link included.
bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void make_folders(const std::string& path) {
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
    }
}

void put_file(const std::string& path, const std::string& content = "x") {
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) make_folders(path.substr(0, slash));
    write_file(path, content);
}

void put_list(const std::string& text) {
    mkdir("ZEM", 0777);
    write_file("ZEM/removed.txt", text);
}

// Applies the list; returns what it printed.
std::string apply_list() {
    testing::internal::CaptureStdout();
    zem::apply_removal_list();
    return testing::internal::GetCapturedStdout();
}

TEST(RemovalList, AnyMixOfLineEndsAndBlankLines) {
    TempFolder game;
    const char* names[] = {"a", "b", "c", "d", "e", "f"};
    for (const char* name : names) put_file(std::string("Frolix_Multiplayer/C/") + name + ".txt");
    put_file("Frolix_Multiplayer/C/kept.txt");
    put_list("Frolix_Multiplayer/C/a.txt\r\n"
             "Frolix_Multiplayer/C/b.txt\n\n\n"
             "Frolix_Multiplayer/C/c.txt\r"
             "Frolix_Multiplayer/C/d.txt\n\r\n\r"
             "  \r\n"
             "Frolix_Multiplayer/C/e.txt\n\r"
             "\tFrolix_Multiplayer/C/f.txt");  // no line end at all
    EXPECT_EQ("", apply_list());
    for (const char* name : names) EXPECT_FALSE(exists(std::string("Frolix_Multiplayer/C/") + name + ".txt")) << name;
    EXPECT_TRUE(exists("Frolix_Multiplayer/C/kept.txt"));
    EXPECT_EQ("Frolix_Multiplayer/C/a.txt\r\n", read_file("ZEM/removed.txt").substr(0, 28));  // list untouched
}

TEST(RemovalList, EndsAtItsFirstNulByte) {
    TempFolder game;
    put_file("Frolix_Multiplayer/C/a.txt");
    put_file("Frolix_Multiplayer/C/b.txt");
    put_list(std::string("Frolix_Multiplayer/C/a.txt\n\0Frolix_Multiplayer/C/b.txt\n", 55));
    apply_list();
    EXPECT_FALSE(exists("Frolix_Multiplayer/C/a.txt"));
    EXPECT_TRUE(exists("Frolix_Multiplayer/C/b.txt"));
}

TEST(RemovalList, MissingListDoesNothing) {
    TempFolder game;
    put_file("Frolix_Multiplayer/C/a.txt");
    EXPECT_EQ("", apply_list());
    EXPECT_TRUE(exists("Frolix_Multiplayer/C/a.txt"));
}

TEST(RemovalList, RefusedLinesLeaveTheirFilesAlone) {
    TempFolder game;
    const char* paths[] = {"Frolix_Multiplayer/Saved/x", "Frolix_Multiplayer/Content/paks/x",
                           "Frolix_Multiplayer/Binaries", "Other/Content/x", "Frolix_Multiplayer/a:b/c",
                           "Frolix_Multiplayer/Content/x"};
    for (const char* path : paths) put_file(path);
    put_list("Frolix_Multiplayer/Saved/x\n"
             "Frolix_Multiplayer/Content/paks/x\n"
             "Frolix_Multiplayer/Content/paks/\n"
             "Frolix_Multiplayer/Content/../Saved/x\n"
             "Frolix_Multiplayer//Saved/x\n"
             "Frolix_Multiplayer/Binaries\n"
             "Other/Content/x\n"
             "Frolix_Multiplayer/a:b/c\n"
             "#Frolix_Multiplayer/Content/x\n");
    EXPECT_EQ("", apply_list());
    for (const char* path : paths) EXPECT_TRUE(exists(path)) << path;
}

TEST(RemovalList, FileEntryDeletesQuietlyButNotReadOnlyFilesOrFolders) {
    TempFolder game;
    put_file("Frolix_Multiplayer/Content/old.pak");
    put_file("Frolix_Multiplayer/Content/locked.pak");
    chmod("Frolix_Multiplayer/Content/locked.pak", 0444);
    make_folders("Frolix_Multiplayer/Content/Folder");
    put_file("Frolix_Multiplayer/Content/Folder/inside.txt");
    put_list("Frolix_Multiplayer\\Content\\old.pak  \n"
             "Frolix_Multiplayer/Content/locked.pak\n"
             "Frolix_Multiplayer/Content/Folder\n"
             "Frolix_Multiplayer/Content/missing.pak\n");
    EXPECT_EQ("", apply_list());
    EXPECT_FALSE(exists("Frolix_Multiplayer/Content/old.pak"));
    // A plain deletion: a read-only file is not made writable first.
    EXPECT_TRUE(exists("Frolix_Multiplayer/Content/locked.pak"));
    EXPECT_TRUE(exists("Frolix_Multiplayer/Content/Folder/inside.txt"));
}

TEST(RemovalList, FolderEntryNamingAFileDeletesNothing) {
    TempFolder game;
    put_file("Frolix_Multiplayer/Content/Movies");
    put_list("Frolix_Multiplayer/Content/Movies/\n");
    EXPECT_EQ("", apply_list());
    EXPECT_TRUE(exists("Frolix_Multiplayer/Content/Movies"));
}

TEST(RemovalList, FolderEntryDeletesTheWholeTreeReadOnlyFilesIncluded) {
    TempFolder game;
    put_file("Frolix_Multiplayer/Content/Movies/intro.bk2");
    put_file("Frolix_Multiplayer/Content/Movies/Deep/er/Saved/clip.bk2");  // names inside do not matter
    put_file("Frolix_Multiplayer/Content/Movies/readonly.bk2");
    chmod("Frolix_Multiplayer/Content/Movies/readonly.bk2", 0444);
    chmod("Frolix_Multiplayer/Content/Movies/Deep/er/Saved/clip.bk2", 0400);
    make_folders("Frolix_Multiplayer/Content/Movies/Empty");
    put_file("Frolix_Multiplayer/Content/Other/kept.txt");
    put_list("Frolix_Multiplayer/Content/Movies/\r\n");
    EXPECT_EQ("  Removed old Frolix_Multiplayer\\Content\\Movies\n", apply_list());
    EXPECT_FALSE(exists("Frolix_Multiplayer/Content/Movies"));
    EXPECT_TRUE(exists("Frolix_Multiplayer/Content/Other/kept.txt"));
    // Applied again: the folder is gone, so nothing is printed.
    EXPECT_EQ("", apply_list());
}

TEST(RemovalList, LinksInsideAFolderTreeAreRemovedAsLinksNeverFollowed) {
    TempFolder game;
    put_file("outside/keep/treasure.txt", "mine");
    put_file("outside/file.txt", "also mine");
    chmod("outside/keep/treasure.txt", 0444);
    put_file("Frolix_Multiplayer/Content/Movies/intro.bk2");
    make_folders("Frolix_Multiplayer/Content/Movies/Sub");
    ASSERT_EQ(0, symlink("../../../../outside/keep", "Frolix_Multiplayer/Content/Movies/Sub/to_folder"));
    ASSERT_EQ(0, symlink("../../../outside/file.txt", "Frolix_Multiplayer/Content/Movies/to_file"));
    ASSERT_EQ(0, symlink("nowhere", "Frolix_Multiplayer/Content/Movies/dangling"));
    put_list("Frolix_Multiplayer/Content/Movies/\n");
    EXPECT_EQ("  Removed old Frolix_Multiplayer\\Content\\Movies\n", apply_list());
    EXPECT_FALSE(exists("Frolix_Multiplayer/Content/Movies"));
    EXPECT_EQ("mine", read_file("outside/keep/treasure.txt"));
    EXPECT_EQ("also mine", read_file("outside/file.txt"));
    struct stat info;
    ASSERT_EQ(0, stat("outside/keep/treasure.txt", &info));
    EXPECT_EQ(0444u, info.st_mode & 0777u);  // not even made writable
}

TEST(RemovalList, ListedLinksAreRemovedAsLinks) {
    TempFolder game;
    put_file("outside/keep/treasure.txt", "mine");
    put_file("outside/file.txt", "also mine");
    make_folders("Frolix_Multiplayer/Content");
    ASSERT_EQ(0, symlink("../../outside/keep", "Frolix_Multiplayer/Content/Movies"));
    ASSERT_EQ(0, symlink("../../outside/keep", "Frolix_Multiplayer/Content/Music"));
    ASSERT_EQ(0, symlink("../../outside/file.txt", "Frolix_Multiplayer/Content/file.lnk"));
    ASSERT_EQ(0, symlink("../../outside/keep", "Frolix_Multiplayer/Content/folder.lnk"));
    put_list("Frolix_Multiplayer/Content/Movies/\n"
             "Frolix_Multiplayer/Content/Music//\n"       // refused: an empty component
             "Frolix_Multiplayer/Content/file.lnk\n"
             "Frolix_Multiplayer/Content/folder.lnk\n"    // a file entry for a folder: nothing
             "Frolix_Multiplayer/Content/file.lnk/\n");   // (gone already)
    EXPECT_EQ("  Removed old Frolix_Multiplayer\\Content\\Movies\n", apply_list());
    EXPECT_FALSE(exists("Frolix_Multiplayer/Content/Movies"));
    EXPECT_TRUE(exists("Frolix_Multiplayer/Content/Music"));
    EXPECT_FALSE(exists("Frolix_Multiplayer/Content/file.lnk"));
    EXPECT_TRUE(exists("Frolix_Multiplayer/Content/folder.lnk"));
    EXPECT_EQ("mine", read_file("outside/keep/treasure.txt"));
    EXPECT_EQ("also mine", read_file("outside/file.txt"));
}

// Found by the removal list's fuzz target: a line through a link deleted
// what lay behind it.
TEST(RemovalList, PathsThroughALinkAreLeftAlone) {
    TempFolder game;
    put_file("outside/keep/treasure.txt", "mine");
    put_file("Frolix_Multiplayer/Saved/SaveGames/slot1.sav", "save");
    make_folders("Frolix_Multiplayer/Content/Movies");
    ASSERT_EQ(0, symlink("../../../outside/keep", "Frolix_Multiplayer/Content/Movies/beyond"));
    ASSERT_EQ(0, symlink("../Saved", "Frolix_Multiplayer/Content/saves"));
    put_list("Frolix_Multiplayer/Content/Movies/beyond/treasure.txt\n"
             "Frolix_Multiplayer/Content/saves/SaveGames/\n"
             "Frolix_Multiplayer/Content/saves/SaveGames/slot1.sav\n");
    EXPECT_EQ("", apply_list());
    EXPECT_EQ("mine", read_file("outside/keep/treasure.txt"));
    EXPECT_EQ("save", read_file("Frolix_Multiplayer/Saved/SaveGames/slot1.sav"));
}

TEST(RemovalList, ChildPathTooLongIsLeftAloneNeverCutShort) {
    TempFolder game;
    const std::string folder = "Frolix_Multiplayer/Content/Movies";  // 33 characters
    const std::string long_name(240, 'n');                            // child path 274
    put_file(folder + "/" + long_name, "long");
    put_file(folder + "/short.txt");
    put_list("Frolix_Multiplayer/Content/Movies/\n");
    EXPECT_EQ("  Removed old Frolix_Multiplayer\\Content\\Movies\n", apply_list());
    EXPECT_FALSE(exists(folder + "/short.txt"));
    EXPECT_EQ("long", read_file(folder + "/" + long_name));
    EXPECT_TRUE(exists(folder));  // not empty, so it stays
}

TEST(RemovalList, LineTooLongIsNeverActedOn) {
    TempFolder game;
    const std::string folder = "Frolix_Multiplayer/Content";
    const std::string name(240, 'n');  // listed path of 267 characters
    put_file(folder + "/" + name);
    // What a 259-character cut would name.
    const std::string cut = (folder + "/" + name).substr(0, 259);
    put_file(cut);
    put_list(folder + "/" + name + "\n");
    EXPECT_EQ("", apply_list());
    EXPECT_TRUE(exists(folder + "/" + name));
    EXPECT_TRUE(exists(cut));
}

}  // namespace
