// The full installation: reads the remote game archive through the ranged
// reader and writes every entry that is missing or has the wrong size into
// the game folder, each through a ".zempart" file moved into place when
// complete. A later run passes over complete files, and carries on a
// stored entry where its part file stops, so an interrupted installation
// carries on where it stopped (launcher/install_journal.h).
#include "launcher/launcher.h"

#include "common/digests.h"
#include "common/removal_list.h"
#include "common/server.h"
#include "common/state_files.h"
#include "common/versions.h"
#include "common/zip_reader.h"
#include "launcher/install_journal.h"
#include "launcher/part_finisher.h"
#include "launcher/ranged_reader.h"
#include "platform/platform.h"

#include <miniz.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <new>

namespace zem {

constexpr uint64_t free_space_margin = 268435456;  // 256 MiB on top of what is written
constexpr size_t part_path_capacity = 276;
constexpr size_t crc_check_buffer_size = 262144;
// A stored entry is copied in the pieces the zip library reads it in, so
// the progress line moves as it does for the zip library's entries.
constexpr size_t stored_copy_piece = 65536;

// An entry's local header, as far as finding its data needs it.
constexpr uint32_t local_header_signature = 0x04034b50;
constexpr size_t local_header_size = 30;
constexpr size_t local_header_name_length_at = 26;
constexpr size_t local_header_extra_length_at = 28;
// Encrypted, patch data, strong encryption: the zip library refuses them.
constexpr mz_uint16 unsupported_entry_flags = 0x0001 | 0x0020 | 0x0040;
// A kept part file is carried on only where the archive holds its last
// this many kept bytes just before the rest.
constexpr size_t kept_overlap = 4096;

// Passed to the write callback while an entry is extracted.
struct InstallProgress {
    FILE* output = nullptr;     // the part file being written
    Sha256State* hash = nullptr;  // of the entry's bytes, for a signed release
    uint64_t entry_bytes = 0;   // of the current entry
    uint64_t total = 0;         // uncompressed bytes of all file entries
    uint64_t done = 0;          // of entries finished or passed over
    int last_percentage = -1;
    std::string folder_made;  // create_parent_folders' memory
    InstallJournal* journal = nullptr;
    DiskWatchState* disk_watch = nullptr;
    PartFinisher* finisher = nullptr;
    // By entry index: the planning pass found no file of the entry's size.
    std::vector<bool> found_short;
    // By entry index: where the run of entries that will be written from it
    // on ends in the archive (plan_read_spans).
    std::vector<uint64_t> span_end;
};

static double gigabytes(uint64_t bytes) {
    return static_cast<double>(bytes) / 1000000000.0;
}

// The zip library's write callback, and the copy of stored entries'.
static size_t write_entry_chunk(void* opaque, mz_uint64, const void* data, size_t count) {
    InstallProgress& progress = *static_cast<InstallProgress*>(opaque);
    if (fwrite(data, 1, count, progress.output) != count) return 0;
    if (progress.hash != nullptr && !sha256_add(progress.hash, data, count)) return 0;
    progress.entry_bytes += count;
    const uint64_t percentage =
        progress.total == 0 ? 0 : (progress.done + progress.entry_bytes) * 100 / progress.total;
    if (static_cast<int>(percentage) != progress.last_percentage) {
        progress.last_percentage = static_cast<int>(percentage);
        printf("\r  Installing the game... %d%%   ", progress.last_percentage);
    }
    return count;
}

static void choose_archive_url(char* url, size_t capacity) {
    if (read_environment("ZEM_INSTALL_URL", url, capacity) == 0) snprintf(url, capacity, "%s", default_game_archive_url);
}

enum class ArchiveOpening { opened, unreachable, no_size };

// Client, windows and size. A first installation (no earlier one left its
// marker) starts with the archive's first entry: its window is asked for
// alongside the probe and the archive's opening. A resumed one starts
// wherever the files stop, so it fetches nothing it may not need.
static ArchiveOpening open_game_archive(bool first_installation) {
    char url[archive_url_capacity];
    choose_archive_url(url, sizeof url);
    if (!open_remote_archive(url)) return ArchiveOpening::unreachable;
    // A first installation reads the whole archive from its first byte:
    // the first window comes while the size is probed, the one after it
    // while the archive is opened, each on a connection of its own. A
    // resumed one fetches only what its reads ask for.
    if (first_installation) read_ahead(0);
    const SizeProbe probe = probe_archive_size();
    if (probe == SizeProbe::unreachable || probe == SizeProbe::not_served) return ArchiveOpening::unreachable;
    if (probe == SizeProbe::no_size) return ArchiveOpening::no_size;
    if (first_installation) read_ahead(window_capacity);
    return ArchiveOpening::opened;
}

// However the installation ends, the archive is closed before the game
// starts: no fetch goes on behind it, no worker outlives it but those left
// in a cancelled call, and its windows' memory is given back.
struct ArchiveClose {
    ~ArchiveClose() { close_remote_archive(); }
};

// An entry whose data is its bytes as they stand, which the installer
// copies itself (and can carry on from any byte).
static bool is_plain_stored(const mz_zip_archive_file_stat& entry) {
    return entry.m_method == 0 && entry.m_comp_size == entry.m_uncomp_size &&
           (entry.m_bit_flag & unsupported_entry_flags) == 0;
}

static void make_part_path(const char* local_path, char part_path[part_path_capacity]) {
    snprintf(part_path, part_path_capacity, "%s%s", local_path, part_file_suffix);
}

// Where a kept part's entry data starts when its local header has the
// length it had when the record was made: the record's data offset in an
// archive that did not change, and moved with the entry in one that did.
static uint64_t recorded_data_offset(const mz_zip_archive_file_stat& entry, const PartRecord& part) {
    return entry.m_local_header_ofs + (part.data_offset - part.header_offset);
}

// The record of a stored entry's part file that an earlier run of this
// installation left on disk, when the part file still holds all the
// bytes it vouches for: null for none, and for a part file shorter than
// the record (a power cut took data it was told was on disk) or longer
// than the entry, and for data that would lie past the archive's end.
static const PartRecord* kept_part(const mz_zip_archive* zip, const InstallJournal& journal, const char* local_path,
                                   const mz_zip_archive_file_stat& entry, const char* part_path) {
    if (!is_plain_stored(entry)) return nullptr;
    const PartRecord* part = journal_part(journal, local_path, entry.m_uncomp_size, entry.m_crc32);
    if (part == nullptr || part->data_offset < part->header_offset ||
        recorded_data_offset(entry, *part) + entry.m_comp_size > zip->m_archive_size) {
        return nullptr;
    }
    const uint64_t on_disk = file_size_on_disk(part_path);
    return on_disk >= part->kept && on_disk <= entry.m_uncomp_size ? part : nullptr;
}

static bool ends_with_part_suffix(const std::string& name) {
    const size_t suffix_length = strlen(part_file_suffix);
    return name.size() > suffix_length && name.compare(name.size() - suffix_length, suffix_length, part_file_suffix) == 0;
}

// Deletes every part file in the folder ("" for the game folder) and the
// folders in it. Links are never followed, and a name read from the disk
// is never taken as a path: one that holds a separator (a POSIX file named
// "a\\b.zempart") is left alone, as is a path that would not fit.
static void remove_part_files_under(const std::string& folder) {
    std::vector<FolderEntry> entries;
    if (!list_folder(folder.empty() ? "." : folder.c_str(), &entries)) return;
    for (const FolderEntry& entry : entries) {
        if (entry.name.find_first_of("\\/") != std::string::npos) continue;
        const std::string path = folder.empty() ? entry.name : folder + "\\" + entry.name;
        if (path.size() >= part_path_capacity) continue;
        if (entry.kind == PathKind::folder) {
            remove_part_files_under(path);
        } else if (entry.kind == PathKind::file && ends_with_part_suffix(entry.name)) {
            delete_file(path.c_str());
        }
    }
}

// Adds up the uncompressed sizes of all file entries (for a signed
// release, those its manifest lists), and of those whose file on disk does
// not have that size yet, less what their part files keep; marks the
// latter in found_short. Makes no network requests.
static void plan_installation(mz_zip_archive* zip, const Manifest* manifest, const InstallJournal& journal,
                              uint64_t* total, uint64_t* needed, std::vector<bool>* found_short) {
    const mz_uint entry_count = mz_zip_reader_get_num_files(zip);
    found_short->assign(entry_count, false);
    for (mz_uint index = 0; index < entry_count; ++index) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip, index, &entry) || entry.m_is_directory) continue;
        if (manifest != nullptr && find_manifest_entry(*manifest, entry.m_filename) == nullptr) continue;
        *total += entry.m_uncomp_size;
        // A name that is passed over later counts as needed, and the disk
        // is never asked about it.
        char local_path[local_path_capacity];
        if (!local_path_for_entry(entry.m_filename, local_path)) {
            *needed += entry.m_uncomp_size;
        } else if (file_size_on_disk(local_path) != entry.m_uncomp_size) {
            (*found_short)[index] = true;
            char part_path[part_path_capacity];
            make_part_path(local_path, part_path);
            const PartRecord* part = kept_part(zip, journal, local_path, entry, part_path);
            *needed += entry.m_uncomp_size - (part != nullptr ? part->kept : 0);
        }
    }
}

// Where the archive's bytes that the extraction will read from each entry
// on end: at the local header of the next entry it may pass over (one not
// found short, whose file may turn out complete), or where the entries'
// data ends. The reader fetches no window past it, so a folder that holds
// most of the release fetches the entries it lacks, not the archive
// around them; a first installation's span is the whole archive. An
// archive whose entries do not lie in index order gets no limit past the
// point where the order breaks.
static void plan_read_spans(mz_zip_archive* zip, const std::vector<bool>& found_short, std::vector<uint64_t>* ends) {
    const mz_uint entry_count = mz_zip_reader_get_num_files(zip);
    const uint64_t data_end = zip->m_central_directory_file_ofs;
    ends->assign(entry_count, data_end);
    uint64_t next_header = data_end;
    bool next_is_written = true;
    // From the last entry back: each run ends where the one after it does,
    // or at the header of the entry after it when that one may be passed over.
    uint64_t next_end = data_end;
    for (mz_uint index = entry_count; index-- > 0;) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip, index, &entry) || entry.m_local_header_ofs >= next_header) {
            next_header = next_end = data_end;
            next_is_written = true;
            continue;
        }
        (*ends)[index] = next_end = next_is_written ? next_end : next_header;
        next_header = entry.m_local_header_ofs;
        next_is_written = entry.m_is_directory || found_short[index];
    }
}

// Shared by the reads that check files: one at a time, on the extraction's thread.
static unsigned char check_buffer[crc_check_buffer_size];

// Reads the file through and compares its CRC-32 with the entry's: a file
// of the right size can still hold zeros where data never reached the disk
// before a power cut, or any other damage.
static bool file_matches_entry_crc(const char* local_path, const mz_zip_archive_file_stat& entry) {
    if (entry.m_uncomp_size == 0) return true;
    FileStream file(open_file(local_path, "rb"));
    if (!file.is_open()) return false;
    mz_ulong crc = MZ_CRC32_INIT;
    for (;;) {
        const size_t got = fread(check_buffer, 1, sizeof check_buffer, file.get());
        if (got == 0) break;
        crc = mz_crc32(crc, check_buffer, got);
    }
    return ferror(file.get()) == 0 && crc == entry.m_crc32;
}

// The checksum an entry's bytes are judged by, as the journal keeps it:
// the manifest's SHA-256 for a signed release, else the entry's CRC-32.
static std::string entry_checksum(const mz_zip_archive_file_stat& entry, const ManifestEntry* signed_entry) {
    if (signed_entry != nullptr) return encode_hex(signed_entry->digest, sha256_digest_size);
    char text[9];
    snprintf(text, sizeof text, "%08" PRIx32, static_cast<uint32_t>(entry.m_crc32));
    return text;
}

// The file already holds the entry: it has the entry's size, and either
// this installation's journal says it was checked or put there, or its
// bytes are read back and match (and the journal is told).
static bool file_is_complete(const char* local_path, const mz_zip_archive_file_stat& entry,
                             const ManifestEntry* signed_entry, InstallJournal* journal) {
    if (file_size_on_disk(local_path) != entry.m_uncomp_size) return false;
    const std::string checksum = entry_checksum(entry, signed_entry);
    if (journal_has_in_place(*journal, local_path, entry.m_uncomp_size, checksum)) return true;
    const bool matches = signed_entry != nullptr ? file_matches_manifest_entry(local_path, *signed_entry)
                                                 : file_matches_entry_crc(local_path, entry);
    if (matches) note_in_place(journal, local_path, entry.m_uncomp_size, checksum);
    return matches;
}

// The launcher's previous copy is never written: it may be the image that
// is running.
static bool names_previous_copy(const char* local_path) {
    char previous_name[copy_name_capacity];
    snprintf(previous_name, sizeof previous_name, "%s%s", own_file_name, previous_copy_suffix);
    return equals_ignoring_ascii_case(local_path, previous_name);
}

// The running launcher's own file cannot be written: the release's
// launcher goes to its delivered-copy name, as an update's does, and the
// next start puts it in place. False when that name would not fit: the
// entry is then passed over, never written under a name cut short.
static bool redirect_own_file(char local_path[local_path_capacity]) {
    if (!equals_ignoring_ascii_case(local_path, own_file_name)) return true;
    const int length = snprintf(local_path, local_path_capacity, "%s%s", own_file_name, delivered_copy_suffix);
    return length > 0 && static_cast<size_t>(length) < local_path_capacity;
}

enum class EntryStep { written, passed_over, failed };

static void print_download_stop(const char* local_path) {
    printf("\n  The download stopped at %s. Tap the game again to carry on from here.\n", local_path);
}

static void print_signed_entry_refusal(const char* local_path) {
    printf("\n  %s in the game download isn't what its publisher signed, so the installation stopped."
           " Tap the game again later.\n",
           local_path);
}

// The part file holds what the manifest lists: the hash of the bytes
// written, taken as they went by, is the listed one.
static bool part_matches_manifest_entry(Sha256State* hash, const ManifestEntry& signed_entry) {
    unsigned char digest[sha256_digest_size];
    return sha256_finish(hash, digest) && memcmp(digest, signed_entry.digest, sha256_digest_size) == 0;
}

// Where a stored entry's data starts: after its local header, whose name
// and extra fields may differ in length from the central directory's.
static bool find_entry_data(mz_zip_archive* zip, const mz_zip_archive_file_stat& entry, uint64_t* data_offset) {
    unsigned char header[local_header_size];
    if (zip->m_pRead(zip->m_pIO_opaque, entry.m_local_header_ofs, header, sizeof header) != sizeof header) {
        return false;
    }
    const auto read16 = [&header](size_t at) { return static_cast<uint32_t>(header[at] | header[at + 1] << 8); };
    const uint32_t signature = read16(0) | read16(2) << 16;
    const uint64_t offset = entry.m_local_header_ofs + local_header_size + read16(local_header_name_length_at) +
                            read16(local_header_extra_length_at);
    if (signature != local_header_signature || offset + entry.m_comp_size > zip->m_archive_size) return false;
    *data_offset = offset;
    return true;
}

// The part file is on disk up to copied: flushed, then recorded in the
// journal, so that a later run keeps those bytes. A flush the disk does not
// confirm makes no record (its failure stays in the watch and ends the
// installation); a record that cannot be written costs only that.
static void record_part_on_disk(const char* local_path, const mz_zip_archive_file_stat& entry, uint64_t data_offset,
                                uint64_t copied, uint32_t crc, InstallProgress* progress) {
    if (flush_file_data(progress->output) && flush_watched_writes(progress->disk_watch)) {
        record_part(progress->journal, local_path,
                    PartRecord{entry.m_uncomp_size, entry.m_crc32, entry.m_local_header_ofs, data_offset, copied, crc});
    }
}

// Copies a stored entry's data, which starts at data_offset in the
// archive, into the part file through the write callback, adding it to
// crc: all of it, or from the byte from on (after the bytes kept). Every
// part_record_step bytes the part file is put on disk and recorded.
static bool copy_stored_entry(mz_zip_archive* zip, const char* local_path, const mz_zip_archive_file_stat& entry,
                              uint64_t data_offset, uint64_t from, uint32_t* crc, InstallProgress* progress) {
    static unsigned char piece[stored_copy_piece];
    for (uint64_t copied = from; copied < entry.m_comp_size;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(sizeof piece, entry.m_comp_size - copied));
        if (zip->m_pRead(zip->m_pIO_opaque, data_offset + copied, piece, count) != count) return false;
        *crc = static_cast<uint32_t>(mz_crc32(*crc, piece, count));
        if (write_entry_chunk(progress, copied, piece, count) != count) return false;
        copied += count;
        if (copied % part_record_step == 0 && copied < entry.m_comp_size) {
            record_part_on_disk(local_path, entry, data_offset, copied, *crc, progress);
        }
    }
    return true;
}

// Reads the part file's kept bytes back into the entry's checksums; they
// are kept only when they are still the bytes the record was made for.
// Leaves the file at their end.
static bool read_kept_bytes(FILE* part, const PartRecord& record, Sha256State* hash, uint32_t* crc) {
    uint32_t kept_crc = MZ_CRC32_INIT;
    for (uint64_t read = 0; read < record.kept;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(sizeof check_buffer, record.kept - read));
        if (fread(check_buffer, 1, count, part) != count) return false;
        kept_crc = static_cast<uint32_t>(mz_crc32(kept_crc, check_buffer, count));
        if (hash != nullptr && !sha256_add(hash, check_buffer, count)) return false;
        read += count;
    }
    if (kept_crc != record.kept_crc || !seek_file(part, record.kept)) return false;
    *crc = kept_crc;
    return true;
}

enum class KeptCheck {
    continues,  // the archive holds the kept bytes' last ones just before the rest
    differs,    // it holds other bytes there
    unread,     // the archive could not be read
};

// Whether the archive holds the part file's last kept bytes where they
// would lie if the entry's data started at data_offset: compared before
// the rest is fetched, by the entry's first read, whose window then goes on
// with the rest. Leaves the file at the kept bytes' end.
static KeptCheck kept_bytes_lie_at(mz_zip_archive* zip, FILE* part, uint64_t kept, uint64_t data_offset,
                                   const mz_zip_archive_file_stat& entry) {
    if (data_offset + entry.m_comp_size > zip->m_archive_size) return KeptCheck::differs;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kept, kept_overlap));
    unsigned char on_disk[kept_overlap];
    unsigned char in_archive[kept_overlap];
    if (!seek_file(part, kept - count) || fread(on_disk, 1, count, part) != count || !seek_file(part, kept)) {
        return KeptCheck::differs;
    }
    if (zip->m_pRead(zip->m_pIO_opaque, data_offset + kept - count, in_archive, count) != count) {
        return KeptCheck::unread;
    }
    return memcmp(on_disk, in_archive, count) == 0 ? KeptCheck::continues : KeptCheck::differs;
}

// Where the data of a kept part file's entry starts in the archive, so
// that its rest is fetched from there: looked for first where the
// recorded local header's length puts it after the entry's local header
// now (no local header is read), then after the local header itself (a
// window more: another tool may have written the archive since). An
// archive changed between the runs may have moved the entry; its bytes
// from the old offset would be fetched for nothing.
static KeptCheck find_kept_continuation(mz_zip_archive* zip, FILE* part, const PartRecord& kept,
                                        const mz_zip_archive_file_stat& entry, uint64_t* data_offset) {
    uint64_t offset = recorded_data_offset(entry, kept);
    KeptCheck check = kept_bytes_lie_at(zip, part, kept.kept, offset, entry);
    if (check == KeptCheck::differs) {
        uint64_t after_header = 0;
        if (!find_entry_data(zip, entry, &after_header)) return KeptCheck::unread;
        if (after_header == offset) return KeptCheck::differs;
        offset = after_header;
        check = kept_bytes_lie_at(zip, part, kept.kept, offset, entry);
    }
    if (check == KeptCheck::continues) *data_offset = offset;
    return check;
}

enum class PartWrite {
    complete,    // the part file holds the entry (written, not flushed yet)
    not_opened,  // the part file (or the hash) could not be had
    stopped,     // a read or a write failed
    differs,     // the bytes are not the entry's: its CRC-32 or signed SHA-256 differs
};

// Writes the entry into its part file: a stored entry copied from the
// archive (after the bytes kept, when kept names a record of its part
// file), any other inflated by the zip library, which checks their CRC-32.
// A complete part file is handed back still open, in written.
static PartWrite write_part_file(mz_zip_archive* zip, mz_uint index, const mz_zip_archive_file_stat& entry,
                                 const ManifestEntry* signed_entry, const char* local_path, const char* part_path,
                                 const PartRecord* kept, InstallProgress* progress, FileStream* written) {
    Sha256 hash;
    if (signed_entry != nullptr) {
        hash = sha256_begin();
        if (!hash.is_open()) return PartWrite::not_opened;
    }
    uint32_t crc = MZ_CRC32_INIT;
    FileStream part(open_file(part_path, kept != nullptr ? "r+b" : "wb"));
    if (kept != nullptr && !(part.is_open() && read_kept_bytes(part.get(), *kept, hash.get(), &crc))) {
        return PartWrite::differs;
    }
    if (!part.is_open()) return PartWrite::not_opened;
    const bool stored = is_plain_stored(entry);
    uint64_t data_offset = 0;
    if (kept != nullptr) {
        const KeptCheck check = find_kept_continuation(zip, part.get(), *kept, entry, &data_offset);
        if (check != KeptCheck::continues) return check == KeptCheck::differs ? PartWrite::differs : PartWrite::stopped;
    } else if (stored && entry.m_comp_size != 0 && !find_entry_data(zip, entry, &data_offset)) {
        return PartWrite::stopped;
    }
    progress->output = part.get();
    progress->hash = hash.get();
    progress->entry_bytes = kept != nullptr ? kept->kept : 0;
    const bool extracted =
        stored ? copy_stored_entry(zip, local_path, entry, data_offset, kept != nullptr ? kept->kept : 0, &crc, progress)
               : mz_zip_reader_extract_to_callback(zip, index, write_entry_chunk, progress, 0);
    progress->output = nullptr;
    progress->hash = nullptr;
    if (!extracted) return PartWrite::stopped;
    if ((stored && crc != entry.m_crc32) ||
        (signed_entry != nullptr && !part_matches_manifest_entry(hash.get(), *signed_entry))) {
        return PartWrite::differs;
    }
    *written = std::move(part);
    return PartWrite::complete;
}

// Writes one entry through its part file. Prints the failure message.
// manifest: null for an unsigned release; otherwise an entry it does not
// list is passed over, and one whose bytes differ from it stops the
// installation before it reaches its local path.
static EntryStep install_entry(mz_zip_archive* zip, mz_uint index, const mz_zip_archive_file_stat& entry,
                               const Manifest* manifest, InstallProgress* progress) {
    char local_path[local_path_capacity];
    if (entry.m_is_directory || !local_path_for_entry(entry.m_filename, local_path)) {
        return EntryStep::passed_over;
    }
    if (!wait_for_parts_before(progress->finisher, local_path)) {
        print_download_stop(progress->finisher->failed_path.c_str());
        return EntryStep::failed;
    }
    const ManifestEntry* signed_entry = manifest ? find_manifest_entry(*manifest, entry.m_filename) : nullptr;
    if (manifest != nullptr && signed_entry == nullptr) return EntryStep::passed_over;
    // An entry whose file already holds it counts as complete. A file the
    // planning pass found short is not asked about again (under Wine each
    // name not there is a scan of its folder): only this run writes the
    // folder meanwhile, and where two entries name one file, the later one
    // is written. The launcher's own file is judged as it stands, and
    // written, when it differs, under its delivered-copy name.
    if (names_previous_copy(local_path) ||
        (!progress->found_short[index] &&
         file_is_complete(local_path, entry, signed_entry, progress->journal))) {
        progress->done += entry.m_uncomp_size;
        return EntryStep::passed_over;
    }
    if (!redirect_own_file(local_path)) {
        progress->done += entry.m_uncomp_size;
        return EntryStep::passed_over;
    }
    create_parent_folders(local_path, &progress->folder_made);
    char part_path[part_path_capacity];
    make_part_path(local_path, part_path);
    const PartRecord* kept = kept_part(zip, *progress->journal, local_path, entry, part_path);
    limit_reads_to(progress->span_end[index]);
    FileStream part;
    PartWrite written = write_part_file(zip, index, entry, signed_entry, local_path, part_path, kept, progress, &part);
    if (written == PartWrite::differs && kept != nullptr) {
        // The kept bytes, or what was added to them, are not the entry's:
        // once more, from its first byte.
        delete_file(part_path);
        written = write_part_file(zip, index, entry, signed_entry, local_path, part_path, nullptr, progress, &part);
    }
    if (written == PartWrite::not_opened) {
        printf("\n  Couldn't write %s.\n", local_path);
        return EntryStep::failed;
    }
    if (written == PartWrite::differs && signed_entry != nullptr) {
        delete_file(part_path);
        print_signed_entry_refusal(local_path);
        return EntryStep::failed;
    }
    if (written != PartWrite::complete) {
        // A stored entry's part file that stopped short stays: the next run
        // carries on from what its records say is on disk.
        if (written != PartWrite::stopped || !is_plain_stored(entry)) delete_file(part_path);
        print_download_stop(local_path);
        return EntryStep::failed;
    }
    hand_over_part(progress->finisher, FinishingPart{part.release(), part_path, local_path, entry.m_uncomp_size,
                                                     entry_checksum(entry, signed_entry)});
    progress->done += entry.m_uncomp_size;
    return EntryStep::written;
}

// While the entries are written, a thread of its own hands what has been
// written so far to the disk every writeback_interval_ms (flush_watched_writes:
// syncfs on POSIX; nothing on Windows, where each file was flushed as it was
// closed), and then the journal's records of the files that flush put on
// disk. A failure it meets stays in the watch, for the final flush to
// report. The flush before the marker goes then finds little left to write,
// and the disk works while the link brings the next bytes instead of after
// the last one; the write-back also never piles up so much that the writes
// themselves are held back. (Measured with bench/install: 2.8 s to 2.0 s on
// loopback, 3.6 s to 3.5 s on a 25 ms, 200 Mbit/s link.)
constexpr uint32_t writeback_interval_ms = 500;

struct EarlyWriteback;
static void stop_early_writeback(EarlyWriteback* writeback);

// Stopped (and its thread waited for) at the latest when it goes.
struct EarlyWriteback {
    Lock lock;
    Condition stopped;  // woken when stop is set
    bool stop = false;
    DiskWatchState* disk_watch = nullptr;
    InstallJournal* journal = nullptr;
    Thread thread;  // null when it could not be started: the final flush does it all
    EarlyWriteback() = default;
    EarlyWriteback(const EarlyWriteback&) = delete;
    EarlyWriteback& operator=(const EarlyWriteback&) = delete;
    ~EarlyWriteback() { stop_early_writeback(this); }
};

static void stop_early_writeback(EarlyWriteback* writeback) {
    if (!writeback->thread.is_open()) return;
    {
        HeldLock held(writeback->lock.get());
        writeback->stop = true;
        wake_condition(writeback->stopped.get());
    }
    writeback->thread.reset();
}

// Sleeps on the condition, not in steps: it ends as soon as it is stopped.
static void write_back_until_stopped(void* argument) {
    EarlyWriteback& writeback = *static_cast<EarlyWriteback*>(argument);
    HeldLock held(writeback.lock.get());
    for (;;) {
        const uint64_t due = monotonic_ms() + writeback_interval_ms;
        for (uint64_t now = monotonic_ms(); !writeback.stop && now < due; now = monotonic_ms()) {
            wait_for_condition(writeback.stopped.get(), writeback.lock.get(), static_cast<uint32_t>(due - now));
        }
        if (writeback.stop) return;
        leave_lock(writeback.lock.get());
        write_noted_records(writeback.journal, writeback.disk_watch);
        take_lock(writeback.lock.get());
    }
}

// The marker that keeps an installation unfinished, on disk with its
// folder's entry before any file is moved into place: on a file system
// without a journal (exFAT and FAT32 SD cards), a power cut could otherwise
// keep the moved files and lose the marker, and the next start would take
// the game for installed without looking at the rest.
static bool write_install_incomplete_marker(DiskWatchState* disk_watch) {
    create_state_folder();
    FileStream marker(open_file(install_incomplete_marker_path, "wb"));
    if (!marker.is_open()) return false;
    const bool flushed = flush_file_data(marker.get());
    if (fclose(marker.release()) != 0 || !flushed) return false;
    return flush_folder_entries(state_folder) && flush_folder_entries(".") && flush_watched_writes(disk_watch);
}

// Once the marker is gone, no later run looks at the files again: what was
// written must be on disk before that, or a power cut, or a disk that lost
// writes (a worn SD card), would leave files of the right size full of
// zeros for good. The deletion itself is on disk before the full-install
// marker is written. False, with the marker in place, when the disk does
// not confirm either.
static bool remove_install_incomplete_marker(DiskWatchState* disk_watch) {
    if (!flush_watched_writes(disk_watch)) return false;
    delete_file(install_incomplete_marker_path);
    if (flush_folder_entries(state_folder) && flush_watched_writes(disk_watch)) return true;
    // Whether the deletion reached the disk is unknown: the marker comes
    // back, so that the next start checks every file again.
    create_empty_marker(install_incomplete_marker_path);
    return false;
}

// The installation stops at a state file the disk did not take: the
// install-incomplete marker before anything was written, or the
// full-install marker, which is never written over data the disk did not
// confirm.
static void print_state_file_failure(const char* path) {
    printf("\n  Couldn't write %s.\n", path);
}

static void print_unreadable_archive() {
    printf("  The game download couldn't be read. Tap the game again in a few minutes.\n");
}

static void print_unsigned_archive_refusal() {
    printf("  The game download isn't signed by its publisher, so nothing was installed. Tap the game again later.\n");
}

bool run_full_installation() {
    printf("ZEM: installing Frolix Rewrite on this device.\n"
           "  Keep Palindor open and the screen on until it's done. If it stops, tap the game again to carry on.\n");
    ArchiveClose archive_close;
    const bool first_installation = !path_exists(install_incomplete_marker_path);
    const ArchiveOpening opening = open_game_archive(first_installation);
    if (opening == ArchiveOpening::unreachable) {
        printf("  Couldn't reach the ZEM site. Check the internet connection and tap the game again.\n");
        return false;
    }
    // The site answered, but never with the archive's size.
    if (opening == ArchiveOpening::no_size) {
        print_unreadable_archive();
        return false;
    }

    // A signed release: nothing is written unless the manifest is the
    // publisher's. signed_manifest stays null for an unsigned build.
    Manifest manifest;
    const Manifest* signed_manifest = nullptr;
    if (release_signing_is_built_in()) {
        const ManifestFetch fetch = fetch_release_manifest(&manifest);
        if (fetch == ManifestFetch::unreachable) {
            printf("  Couldn't reach the ZEM site. Check the internet connection and tap the game again.\n");
            return false;
        }
        if (fetch == ManifestFetch::not_signed) {
            print_unsigned_archive_refusal();
            return false;
        }
        // As with an update: never back to an older release than the folder
        // holds (the updater hands a folder that missed updates to this
        // installation on the word of an unsigned release description).
        char installed_version[version_capacity] = "";
        read_version_file(installed_release_path, installed_version);
        if (!release_may_replace(manifest.version.c_str(), installed_version)) {
            printf("  The game download would go back to version %s, so nothing was installed."
                   " Tap the game again later.\n",
                   manifest.version.c_str());
            return false;
        }
        signed_manifest = &manifest;
    }

    mz_zip_archive zip_record;
    mz_zip_zero_struct(&zip_record);
    zip_record.m_pRead = ranged_read;
    if (!mz_zip_reader_init(&zip_record, remote_archive.size, 0)) {
        print_unreadable_archive();
        return false;
    }
    ZipReader zip(&zip_record);
    limit_reads_to(zip_record.m_central_directory_file_ofs);
    if (signed_manifest != nullptr && !manifest_matches_archive(*signed_manifest, zip.get())) {
        print_unsigned_archive_refusal();
        return false;
    }

    // Watched from before the first write, until the last flush: no failure
    // to put what the installation writes on disk goes unseen.
    DiskWatch disk_watch = watch_disk_writes(".");
    if (!write_install_incomplete_marker(disk_watch.get())) {
        print_state_file_failure(install_incomplete_marker_path);
        return false;
    }

    InstallJournal journal;
    start_install_journal(&journal, !first_installation);
    InstallProgress progress;
    progress.journal = &journal;
    progress.disk_watch = disk_watch.get();
    uint64_t needed = 0;
    plan_installation(zip.get(), signed_manifest, journal, &progress.total, &needed, &progress.found_short);
    plan_read_spans(zip.get(), progress.found_short, &progress.span_end);

    uint64_t free_bytes = 0;
    if (free_bytes_for_caller(".", &free_bytes) && free_bytes < needed + free_space_margin) {
        printf("  Not enough free space: this needs %.1f GB more and the device has %.1f GB free.\n"
               "  Free up some space and tap the game again.\n",
               gigabytes(needed), gigabytes(free_bytes));
        return false;
    }
    printf("  %.1f GB to install.\n", gigabytes(needed));

    const mz_uint entry_count = mz_zip_reader_get_num_files(zip.get());
    EarlyWriteback writeback;
    writeback.disk_watch = disk_watch.get();
    writeback.journal = &journal;
    writeback.lock = make_lock();
    writeback.stopped = make_condition();
    if (writeback.lock.is_open() && writeback.stopped.is_open()) {
        writeback.thread = start_thread(write_back_until_stopped, &writeback);
    }
    PartFinisher finisher;
    start_part_finisher(&finisher, &journal);
    progress.finisher = &finisher;
    bool extracted = true;
    for (mz_uint index = 0; extracted && index < entry_count; ++index) {
        mz_zip_archive_file_stat entry;
        extracted = mz_zip_reader_file_stat(zip.get(), index, &entry) &&
                    install_entry(zip.get(), index, entry, signed_manifest, &progress) != EntryStep::failed;
    }
    // Nothing more is read: a fetch of a window still under way would only
    // take the link from the game or the wait that follows.
    stop_reading();
    // A part that could not be put in place stops the installation at it,
    // unless an entry after it has already stopped it (and said so).
    if (!finish_all_parts(&finisher) && extracted) {
        print_download_stop(finisher.failed_path.c_str());
        extracted = false;
    }
    stop_early_writeback(&writeback);
    if (!extracted) {
        write_noted_records(&journal, disk_watch.get());
        return false;
    }
    zip.reset();
    // Once every entry is in place, no entry claims a part file that is
    // still there: those of entries an archive changed since an earlier run
    // no longer has (kept stored parts of gigabytes among them), and
    // complete parts a killed run left waiting for the finishing threads.
    // Nothing else would ever remove them once the journal is gone. Only a
    // run that carried on an installation can find any: a first one moved
    // every part it made.
    if (!first_installation) remove_part_files_under(std::string());
    // What the release retired goes too: the folder may have held an older
    // release (the updater leaves a folder too far behind for its update
    // to this installation).
    apply_removal_list();

    // The journal ends with the installation, before its marker.
    end_install_journal(&journal);
    if (!remove_install_incomplete_marker(disk_watch.get())) {
        print_state_file_failure(full_install_marker_path);
        return false;
    }
    FileStream marker(open_file(full_install_marker_path, "wb"));
    if (marker.is_open()) fputs("1", marker.get());
    marker.reset();
    printf("\n  Installed. Starting the game...\n");
    return true;
}

}  // namespace zem
