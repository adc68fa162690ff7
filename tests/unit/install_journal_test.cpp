// The installation's journal is used only when the whole file reads back
// as it was written: a line that merely parses is not enough.
#include "launcher/install_journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string first = zem::journal_first_line();
// A local path with blanks in it: the path ends the line.
const char* const in_place_path = "Frolix_Multiplayer\\Content\\Movies\\intro 2.mp4";
const char* const part_path = "Frolix_Multiplayer\\Content\\Paks\\p1.pak";
const std::string in_place = zem::in_place_line(in_place_path, zem::InPlaceRecord{6500000, "0a1b2c3d"});
const std::string part =
    zem::part_line(part_path, zem::PartRecord{20000000, 0xdeadbeef, 6500000, 6500123, 4194304, 0x12345678});

std::string with_byte(std::string text, size_t at, char byte) {
    text[at] = byte;
    return text;
}

struct JournalCase {
    const char* name;
    std::string text;
    bool reads_back;
};

TEST(InstallJournal, OnlyAJournalExactlyAsWrittenIsTaken) {
    const JournalCase cases[] = {
        {"both kinds", first + in_place + part, true},
        {"empty", "", true},
        {"no first line", in_place + part, false},
        // A power cut after the file grew and before its data was on disk,
        // and the records appended after the zeros.
        {"zeros at the end", first + in_place + std::string(40, '\0'), false},
        {"zeros before a record", first + in_place + std::string(40, '\0') + part, false},
        {"a digit of the size changed", first + with_byte(in_place, in_place.find("6500000"), '7') + part, false},
        {"the seal changed",
         first + part.substr(0, part.size() - 2) + (part[part.size() - 2] == '0' ? "1\n" : "0\n"), false},
        {"checksum in capitals",
         first + "in-place 6500000 0A1B2C3D " + in_place.substr(in_place.find(" Frolix") + 1), false},
        {"last line cut off", first + in_place + part.substr(0, part.size() - 1), false},
        {"a blank doubled", first + std::string(in_place).insert(in_place.find(' '), " "), false},
        {"a size written 06500000", first + "in-place 0" + in_place.substr(strlen("in-place ")), false},
        {"an unknown kind", first + "moved" + in_place.substr(strlen("in-place")), false},
    };
    for (const JournalCase& c : cases) {
        zem::InstallJournal journal;
        EXPECT_EQ(c.reads_back, zem::read_journal_text(c.text.data(), c.text.size(), &journal)) << c.name;
        // Nothing of a journal that does not read back is used.
        EXPECT_EQ(c.reads_back && !c.text.empty(), !journal.in_place.empty() && !journal.parts.empty()) << c.name;
    }
    zem::InstallJournal journal;
    const std::string text = first + in_place + part;
    ASSERT_TRUE(zem::read_journal_text(text.data(), text.size(), &journal));
    EXPECT_TRUE(zem::journal_has_in_place(journal, in_place_path, 6500000, "0a1b2c3d"));
    EXPECT_FALSE(zem::journal_has_in_place(journal, in_place_path, 6500001, "0a1b2c3d"));
    EXPECT_FALSE(zem::journal_has_in_place(journal, part_path, 6500000, "0a1b2c3d"));
    const zem::PartRecord* kept = zem::journal_part(journal, part_path, 20000000, 0xdeadbeef);
    ASSERT_NE(nullptr, kept);
    EXPECT_EQ(6500000u, kept->header_offset);
    EXPECT_EQ(6500123u, kept->data_offset);
    EXPECT_EQ(4194304u, kept->kept);
    EXPECT_EQ(0x12345678u, kept->kept_crc);
    EXPECT_EQ(nullptr, zem::journal_part(journal, part_path, 20000000, 0xdeadbeee));
}

}  // namespace
