// The installation's journal: records written as lines of text, read back
// only when the whole file is exactly as written.
#include "launcher/install_journal.h"

#include "common/entry_paths.h"
#include "common/state_files.h"

#include <miniz.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace zem {

// A record line holds a local path (at most 259 bytes) after its numbers.
constexpr size_t record_line_capacity = 512;
// The journal's first line: a journal of another form is not used.
constexpr const char* journal_form = "zem install journal 2";

// The line's text followed by " " + the CRC-32 of that text + "\n".
static std::string sealed_line(const char* text) {
    const size_t length = strlen(text);
    char seal[16];
    snprintf(seal, sizeof seal, " %08" PRIx32 "\n",
             static_cast<uint32_t>(mz_crc32(MZ_CRC32_INIT, reinterpret_cast<const unsigned char*>(text), length)));
    return std::string(text, length) + seal;
}

std::string journal_first_line() {
    return sealed_line(journal_form);
}

std::string in_place_line(const char* local_path, const InPlaceRecord& record) {
    char text[record_line_capacity];
    snprintf(text, sizeof text, "in-place %" PRIu64 " %s %s", record.size, record.checksum.c_str(), local_path);
    return sealed_line(text);
}

std::string part_line(const char* local_path, const PartRecord& part) {
    char text[record_line_capacity];
    snprintf(text, sizeof text, "part %" PRIu64 " %08" PRIx32 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %08" PRIx32 " %s",
             part.size, part.entry_crc, part.header_offset, part.data_offset, part.kept, part.kept_crc, local_path);
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

// The local path that ends a record line: what lies between the blank at
// fields_end and the last blank (the seal's), blanks in it included. Empty
// when there is none.
static std::string path_before_seal(const std::string& line, int fields_end) {
    const size_t from = static_cast<size_t>(fields_end) + 1;
    const size_t seal = line.rfind(' ');
    if (fields_end <= 0 || line[static_cast<size_t>(fields_end)] != ' ' || seal == std::string::npos || seal <= from) {
        return std::string();
    }
    return line.substr(from, seal - from);
}

// One line without its line feed: parsed, then written again from what
// was parsed; only a line that comes out the same is taken.
static bool read_record_line(const std::string& line, InstallJournal* journal) {
    if (line.size() >= record_line_capacity) return false;
    char kind[16] = "";
    unsigned long long size = 0;
    if (sscanf(line.c_str(), "%15s %llu", kind, &size) != 2) return false;
    if (strcmp(kind, "in-place") == 0) {
        char checksum[72] = "";
        int fields_end = 0;
        if (sscanf(line.c_str(), "%*s %*u %71s%n", checksum, &fields_end) != 1 || !is_checksum_text(checksum)) {
            return false;
        }
        const std::string path = path_before_seal(line, fields_end);
        const InPlaceRecord record{size, checksum};
        if (path.empty() || in_place_line(path.c_str(), record) != line + "\n") return false;
        journal->in_place[path] = record;
        return true;
    }
    if (strcmp(kind, "part") == 0) {
        unsigned entry_crc = 0;
        unsigned long long header_offset = 0;
        unsigned long long data_offset = 0;
        unsigned long long kept = 0;
        unsigned kept_crc = 0;
        int fields_end = 0;
        if (sscanf(line.c_str(), "%*s %*u %x %llu %llu %llu %x%n", &entry_crc, &header_offset, &data_offset, &kept,
                   &kept_crc, &fields_end) != 5) {
            return false;
        }
        const std::string path = path_before_seal(line, fields_end);
        const PartRecord part{size, entry_crc, header_offset, data_offset, kept, kept_crc};
        if (path.empty() || part_line(path.c_str(), part) != line + "\n") return false;
        journal->parts[path] = part;
        return true;
    }
    return false;
}

bool read_journal_text(const char* text, size_t length, InstallJournal* journal) {
    if (length == 0) return true;
    const std::string first = journal_first_line();
    bool whole = memchr(text, '\0', length) == nullptr && length >= first.size() &&
                 memcmp(text, first.data(), first.size()) == 0;
    for (const char* line = text + first.size(); whole && line < text + length;) {
        const char* end = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(text + length - line)));
        // A last line without its line feed was cut off as it was written.
        whole = end != nullptr && read_record_line(std::string(line, end), journal);
        if (end != nullptr) line = end + 1;
    }
    if (!whole) {
        journal->in_place.clear();
        journal->parts.clear();
    }
    return whole;
}

void start_install_journal(InstallJournal* journal, bool carrying_on) {
    journal->lock = make_lock();
    if (!journal->lock.is_open()) return;
    bool read_back = false;
    if (carrying_on) {
        size_t length = 0;
        const FileText text = read_whole_file(install_journal_path, &length);
        // An empty journal is begun again: its first line is not there.
        read_back = text && length != 0 && read_journal_text(text.get(), length, journal);
    }
    journal->file = FileStream(open_file(install_journal_path, read_back ? "ab" : "wb"));
    // Written with the first record, by the same flush.
    if (!read_back && journal->file.is_open()) {
        const std::string first = journal_first_line();
        if (fwrite(first.data(), 1, first.size(), journal->file.get()) != first.size()) journal->file.reset();
    }
}

bool journal_has_in_place(const InstallJournal& journal, const char* local_path, uint64_t size,
                          const std::string& checksum) {
    const auto found = journal.in_place.find(local_path);
    return found != journal.in_place.end() && found->second.size == size && found->second.checksum == checksum;
}

const PartRecord* journal_part(const InstallJournal& journal, const char* local_path, uint64_t size,
                               uint32_t entry_crc) {
    const auto found = journal.parts.find(local_path);
    if (found == journal.parts.end()) return nullptr;
    const PartRecord& part = found->second;
    return part.size == size && part.entry_crc == entry_crc && part.kept > 0 && part.kept <= size ? &part : nullptr;
}

// The folder a local path is in, as the file functions take it ("." for
// the game folder itself).
static std::string folder_of(const char* local_path) {
    const size_t length = parent_folder_length(local_path);
    return length == 0 ? std::string(".") : std::string(local_path, length - 1);
}

void note_in_place(InstallJournal* journal, const char* local_path, uint64_t size, const std::string& checksum) {
    if (!journal->lock.is_open()) return;
    HeldLock held(journal->lock.get());
    if (!journal->file.is_open()) return;
    journal->noted += in_place_line(local_path, InPlaceRecord{size, checksum});
    // An archive's entries of one folder come one after another.
    const std::string folder = folder_of(local_path);
    if (std::find(journal->noted_folders.begin(), journal->noted_folders.end(), folder) ==
        journal->noted_folders.end()) {
        journal->noted_folders.push_back(folder);
    }
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
    std::vector<std::string> folders;
    {
        HeldLock held(journal->lock.get());
        lines.swap(journal->noted);
        folders.swap(journal->noted_folders);
    }
    if (!flush_watched_writes(disk_watch)) return false;
    if (lines.empty()) return true;
    for (const std::string& folder : folders) {
        if (!flush_folder_entries(folder.c_str())) return false;
    }
    HeldLock held(journal->lock.get());
    append_records(journal, lines);
    return true;
}

bool record_part(InstallJournal* journal, const char* local_path, const PartRecord& part) {
    if (!journal->lock.is_open()) return false;
    HeldLock held(journal->lock.get());
    return append_records(journal, part_line(local_path, part));
}

void end_install_journal(InstallJournal* journal) {
    if (journal->lock.is_open()) {
        HeldLock held(journal->lock.get());
        journal->file.reset();
        journal->noted.clear();
        journal->noted_folders.clear();
    }
    delete_file(install_journal_path);
}

}  // namespace zem
