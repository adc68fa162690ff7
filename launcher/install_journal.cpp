// The installation's journal: records written as lines of text, read back
// only when every line is exactly as written.
#include "launcher/install_journal.h"

#include "common/state_files.h"

#include <miniz.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace zem {

constexpr size_t record_line_capacity = 160;

// The line's text followed by " " + the CRC-32 of that text + "\n".
static std::string sealed_line(const char* text) {
    const size_t length = strlen(text);
    char seal[16];
    snprintf(seal, sizeof seal, " %08" PRIx32 "\n",
             static_cast<uint32_t>(mz_crc32(MZ_CRC32_INIT, reinterpret_cast<const unsigned char*>(text), length)));
    return std::string(text, length) + seal;
}

std::string in_place_line(uint32_t index, const InPlaceRecord& record) {
    char text[record_line_capacity];
    snprintf(text, sizeof text, "in-place %" PRIu32 " %" PRIu64 " %s", index, record.size, record.checksum.c_str());
    return sealed_line(text);
}

std::string part_line(uint32_t index, const PartRecord& part) {
    char text[record_line_capacity];
    snprintf(text, sizeof text, "part %" PRIu32 " %" PRIu64 " %08" PRIx32 " %" PRIu64 " %" PRIu64 " %08" PRIx32, index,
             part.size, part.entry_crc, part.data_offset, part.kept, part.kept_crc);
    return sealed_line(text);
}

static bool is_checksum_text(const char* text) {
    const size_t length = strlen(text);
    if (length != 8 && length != 64) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
    }
    return true;
}

// One line without its line feed: parsed, then written again from what
// was parsed; only a line that comes out the same is taken.
static bool read_record_line(const std::string& line, InstallJournal* journal) {
    if (line.size() >= record_line_capacity) return false;
    char kind[16] = "";
    uint32_t index = 0;
    unsigned long long size = 0;
    if (sscanf(line.c_str(), "%15s %" SCNu32 " %llu", kind, &index, &size) != 3) return false;
    if (strcmp(kind, "in-place") == 0) {
        char checksum[72] = "";
        if (sscanf(line.c_str(), "%*s %*u %*u %71s", checksum) != 1 || !is_checksum_text(checksum)) return false;
        const InPlaceRecord record{size, checksum};
        if (in_place_line(index, record) != line + "\n") return false;
        journal->in_place[index] = record;
        return true;
    }
    if (strcmp(kind, "part") == 0) {
        unsigned entry_crc = 0;
        unsigned long long data_offset = 0;
        unsigned long long kept = 0;
        unsigned kept_crc = 0;
        if (sscanf(line.c_str(), "%*s %*u %*u %x %llu %llu %x", &entry_crc, &data_offset, &kept, &kept_crc) != 4) {
            return false;
        }
        const PartRecord part{size, entry_crc, data_offset, kept, kept_crc};
        if (part_line(index, part) != line + "\n") return false;
        journal->parts[index] = part;
        return true;
    }
    return false;
}

bool read_journal_text(const char* text, InstallJournal* journal) {
    for (const char* line = text; *line != '\0';) {
        const char* end = strchr(line, '\n');
        // A last line without its line feed was cut off as it was written.
        if (end == nullptr || !read_record_line(std::string(line, end), journal)) {
            journal->in_place.clear();
            journal->parts.clear();
            return false;
        }
        line = end + 1;
    }
    return true;
}

void start_install_journal(InstallJournal* journal, bool carrying_on) {
    journal->lock = make_lock();
    if (!journal->lock.is_open()) return;
    bool read_back = false;
    if (carrying_on) {
        const FileText text = read_whole_file(install_journal_path);
        read_back = text && read_journal_text(text.get(), journal);
    }
    journal->file = FileStream(open_file(install_journal_path, read_back ? "ab" : "wb"));
}

bool journal_has_in_place(const InstallJournal& journal, uint32_t index, uint64_t size, const std::string& checksum) {
    const auto found = journal.in_place.find(index);
    return found != journal.in_place.end() && found->second.size == size && found->second.checksum == checksum;
}

const PartRecord* journal_part(const InstallJournal& journal, uint32_t index, uint64_t size, uint32_t entry_crc) {
    const auto found = journal.parts.find(index);
    if (found == journal.parts.end()) return nullptr;
    const PartRecord& part = found->second;
    return part.size == size && part.entry_crc == entry_crc && part.kept > 0 && part.kept <= size ? &part : nullptr;
}

void note_in_place(InstallJournal* journal, uint32_t index, uint64_t size, const std::string& checksum) {
    if (!journal->lock.is_open()) return;
    HeldLock held(journal->lock.get());
    if (journal->file.is_open()) journal->noted += in_place_line(index, InPlaceRecord{size, checksum});
}

// With the journal's lock held. A record that cannot be written ends the
// journal: a later line never follows one that is missing or cut off.
static bool append_records(InstallJournal* journal, const std::string& lines) {
    if (!journal->file.is_open()) return false;
    if (fwrite(lines.data(), 1, lines.size(), journal->file.get()) == lines.size() &&
        flush_file_data(journal->file.get())) {
        return true;
    }
    journal->file.reset();
    return false;
}

bool write_noted_records(InstallJournal* journal, DiskWatchState* disk_watch) {
    if (!journal->lock.is_open()) return flush_watched_writes(disk_watch);
    std::string lines;
    {
        HeldLock held(journal->lock.get());
        lines.swap(journal->noted);
    }
    if (!flush_watched_writes(disk_watch)) return false;
    if (lines.empty()) return true;
    HeldLock held(journal->lock.get());
    append_records(journal, lines);
    return true;
}

bool record_part(InstallJournal* journal, uint32_t index, const PartRecord& part) {
    if (!journal->lock.is_open()) return false;
    HeldLock held(journal->lock.get());
    return append_records(journal, part_line(index, part));
}

void end_install_journal(InstallJournal* journal) {
    if (journal->lock.is_open()) {
        HeldLock held(journal->lock.get());
        journal->file.reset();
        journal->noted.clear();
    }
    delete_file(install_journal_path);
}

}  // namespace zem
