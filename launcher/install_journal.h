// The journal of an unfinished installation, "ZEM\install-journal": what a
// run that carries on after an interruption may take as done without
// reading it again.
//   - An entry checked and moved into place: a later run passes its file
//     over by its size alone, instead of reading it back to check it.
//   - How far a stored entry's part file is on disk: a later run keeps
//     those bytes and fetches only the rest.
// Records name the file they vouch for by its local path, never by the
// entry's place in the archive: an archive changed between two runs may
// give another entry that place. A first line names the journal's form,
// and each line ends in the CRC-32 of the rest of it; a journal that does
// not read back whole, exactly as written, is not used at all (every file
// is checked, every part file starts over). The journal is begun anew by
// every first installation and deleted when the installation completes;
// the updater deletes it before it writes the game folder.
#pragma once

#include "common/waits.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace zem {

// A stored entry's part file is flushed, and its record made, each time
// this much more of it has been written: a kill or a power cut costs at
// most this much of the entry again. Measured with bench/install: records
// every 4 MiB leave a native installation's time as it was (2.41 s against
// 2.41 s for 500 MB); every 64 MiB, a kill at 90% of a 2 GB entry fetched
// 255 MB again instead of 201 MB. The test build (its waits shortened too)
// records every MiB, so that archives of a few MB show it.
constexpr uint64_t part_record_step = (wait_divisor == 1 ? 4ull : 1ull) * 1024 * 1024;

// An entry in place: its size and the checksum its bytes were judged by
// (8 hex digits of CRC-32, or 64 of SHA-256 for a signed release).
struct InPlaceRecord {
    uint64_t size = 0;
    std::string checksum;
};

// The first kept bytes of a stored entry's part file, and their CRC-32;
// size and entry_crc name the entry they belong to, header_offset and
// data_offset where its local header and its data started in the archive
// (so that carrying on reads no local header, also when the archive has
// changed and moved the entry: the data follows the header as it did).
struct PartRecord {
    uint64_t size = 0;
    uint32_t entry_crc = 0;
    uint64_t header_offset = 0;
    uint64_t data_offset = 0;
    uint64_t kept = 0;
    uint32_t kept_crc = 0;
};

struct InstallJournal {
    Lock lock;        // the extraction and the write-back thread both write the file
    FileStream file;  // null when it cannot be written: nothing more is recorded
    // Records of entries moved into place, to be written once what they
    // name is on disk (write_noted_records), and the folders their files
    // are in, whose entries are flushed first.
    std::string noted;
    std::vector<std::string> noted_folders;
    // Read back from an earlier run, by local path (the latest record of
    // each).
    std::unordered_map<std::string, InPlaceRecord> in_place;
    std::unordered_map<std::string, PartRecord> parts;
};

// Starts the journal for this run. carrying_on: an earlier installation was
// left unfinished; its journal is read back and appended to. Otherwise, or
// when it does not read back exactly, the journal starts empty.
void start_install_journal(InstallJournal* journal, bool carrying_on);

// Reads the journal's text of length bytes; false when it does not begin
// with the journal's first line, or any line is not a record as record
// lines are written, or its CRC-32 does not match, or a NUL byte lies
// anywhere in it (a power cut after the file grew and before its data
// reached the disk leaves zeros: what follows them could never be read
// again). The records are then left empty. An empty text is a journal with
// no records.
bool read_journal_text(const char* text, size_t length, InstallJournal* journal);

// The record for the file at local_path the journal says is in place with
// this size and checksum.
bool journal_has_in_place(const InstallJournal& journal, const char* local_path, uint64_t size,
                          const std::string& checksum);

// The part record for the stored entry written to local_path, of this size
// and CRC-32; null when there is none.
const PartRecord* journal_part(const InstallJournal& journal, const char* local_path, uint64_t size,
                               uint32_t entry_crc);

// Notes an entry whose file was checked or moved into place. It is written
// by the next write_noted_records, after the flush that puts the file and
// its folder's entries on disk: no record ever names a file the disk does
// not have yet.
void note_in_place(InstallJournal* journal, const char* local_path, uint64_t size, const std::string& checksum);

// Flushes what was written (flush_watched_writes on disk_watch) and the
// entries of the folders the noted files are in (a rename into place is
// there; on Windows no volume flush covers it), and then writes and flushes
// the records noted before it. False when a flush fails: those records are
// then not written.
bool write_noted_records(InstallJournal* journal, DiskWatchState* disk_watch);

// Records that the part file's first kept bytes are on disk: the caller
// has flushed them (flush_file_data and flush_watched_writes). False when
// the record could not be written and flushed.
bool record_part(InstallJournal* journal, const char* local_path, const PartRecord& part);

// The installation is complete: the journal goes.
void end_install_journal(InstallJournal* journal);

// The text of the journal's first line and of one record line (each with
// its CRC-32 and line feed).
std::string journal_first_line();
std::string in_place_line(const char* local_path, const InPlaceRecord& record);
std::string part_line(const char* local_path, const PartRecord& part);

}  // namespace zem
