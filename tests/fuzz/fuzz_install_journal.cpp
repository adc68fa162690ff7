// The installation's journal "ZEM\install-journal", as a power cut or a
// damaged disk may leave it. The input is read twice: as the journal's
// whole text (NUL bytes included), and as lines each given its correct
// seal after the journal's first line, so that the fields of every line
// are parsed. Besides crashes and sanitizer reports, checks that a journal
// read back holds only what its lines say: each record, written again,
// is one of the text's lines, and none is kept from a text that does not
// read back.
#include "fuzz_text.h"
#include "launcher/install_journal.h"

#include <miniz.h>

#include <cinttypes>
#include <string>
#include <vector>

using zem_fuzz::require;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size() - 1;
        lines.push_back(text.substr(at, end + 1 - at));
        at = end + 1;
    }
    return lines;
}

bool is_line_of(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& candidate : lines) {
        if (candidate == line) return true;
    }
    return false;
}

void check_reading(const std::string& text) {
    // In an allocation of its exact size (and the NUL that read_whole_file
    // adds): a read past the text's end is a finding.
    const std::unique_ptr<char[]> exact =
        zem_fuzz::text_from_input(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    zem::InstallJournal journal;
    const bool read_back = zem::read_journal_text(exact.get(), text.size(), &journal);
    if (!read_back) {
        require(journal.in_place.empty() && journal.parts.empty(), "records kept from a journal that did not read back");
        return;
    }
    require(text.empty() || text.compare(0, zem::journal_first_line().size(), zem::journal_first_line()) == 0,
            "a journal read back without its first line");
    require(text.find('\0') == std::string::npos, "a journal with a NUL byte read back");
    const std::vector<std::string> lines = lines_of(text);
    for (const auto& record : journal.in_place) {
        require(is_line_of(lines, zem::in_place_line(record.first.c_str(), record.second)),
                "an in-place record that is not one of the journal's lines");
        require(zem::journal_has_in_place(journal, record.first.c_str(), record.second.size, record.second.checksum),
                "an in-place record read back but not found");
    }
    for (const auto& record : journal.parts) {
        require(is_line_of(lines, zem::part_line(record.first.c_str(), record.second)),
                "a part record that is not one of the journal's lines");
    }
}

// The journal's first line, then each line of the input with " " + the
// CRC-32 of its text + "\n".
std::string sealed_journal(const std::string& input) {
    std::string text = zem::journal_first_line();
    for (size_t at = 0; at <= input.size();) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(at, end - at);
        char seal[16];
        snprintf(seal, sizeof seal, " %08" PRIx32 "\n",
                 static_cast<uint32_t>(
                     mz_crc32(MZ_CRC32_INIT, reinterpret_cast<const unsigned char*>(line.data()), line.size())));
        text += line + seal;
        at = end + 1;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_reading(text);
    check_reading(sealed_journal(text));
    return 0;
}
