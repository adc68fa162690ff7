// The installation's journal is used only when every line reads back as
// it was written: a line that merely parses is not enough.
#include "launcher/install_journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string in_place = zem::in_place_line(3, zem::InPlaceRecord{6500000, "0a1b2c3d"});
const std::string part = zem::part_line(7, zem::PartRecord{20000000, 0xdeadbeef, 6500123, 4194304, 0x12345678});

std::string with_byte(std::string text, size_t at, char byte) {
    text[at] = byte;
    return text;
}

struct JournalCase {
    const char* name;
    std::string text;
    bool reads_back;
};

TEST(InstallJournal, OnlyLinesExactlyAsWrittenAreTaken) {
    const JournalCase cases[] = {
        {"both kinds", in_place + part, true},
        {"empty", "", true},
        {"a digit of the size changed", with_byte(in_place, in_place.find("6500000"), '7') + part, false},
        {"the seal changed", part.substr(0, part.size() - 2) + (part[part.size() - 2] == '0' ? "1\n" : "0\n"), false},
        {"checksum in capitals", "in-place 3 6500000 0A1B2C3D " + in_place.substr(in_place.size() - 9), false},
        {"last line cut off", in_place + part.substr(0, part.size() - 1), false},
        {"a blank doubled", std::string(in_place).insert(in_place.find(' '), " "), false},
        {"an index written 03", "in-place 03" + in_place.substr(strlen("in-place 3")), false},
        {"an unknown kind", "moved" + in_place.substr(strlen("in-place")), false},
    };
    for (const JournalCase& c : cases) {
        zem::InstallJournal journal;
        EXPECT_EQ(c.reads_back, zem::read_journal_text(c.text.c_str(), &journal)) << c.name;
        // Nothing of a journal that does not read back is used.
        EXPECT_EQ(c.reads_back && !c.text.empty(), !journal.in_place.empty() && !journal.parts.empty()) << c.name;
    }
    zem::InstallJournal journal;
    ASSERT_TRUE(zem::read_journal_text((in_place + part).c_str(), &journal));
    EXPECT_TRUE(zem::journal_has_in_place(journal, 3, 6500000, "0a1b2c3d"));
    EXPECT_FALSE(zem::journal_has_in_place(journal, 3, 6500001, "0a1b2c3d"));
    const zem::PartRecord* kept = zem::journal_part(journal, 7, 20000000, 0xdeadbeef);
    ASSERT_NE(nullptr, kept);
    EXPECT_EQ(6500123u, kept->data_offset);
    EXPECT_EQ(4194304u, kept->kept);
    EXPECT_EQ(0x12345678u, kept->kept_crc);
    EXPECT_EQ(nullptr, zem::journal_part(journal, 7, 20000000, 0xdeadbeee));
}

}  // namespace
