// The downloaded update archive: recognised by its SHA-256 digest when it
// is the one installed last time, otherwise extracted entry by entry into
// the game folder. The two programs cannot be overwritten while in use, so
// their entries at the archive's top level are written under ".new" names
// for the launcher to move into place at its next start. Nothing is undone
// after a failure; the digest is stored only after a complete installation.
#include "updater/updater.h"

#include "common/digests.h"
#include "common/entry_paths.h"
#include "common/key_chain.h"
#include "common/release_signing.h"
#include "common/state_files.h"
#include "common/versions.h"
#include "common/zip_reader.h"
#include "platform/platform.h"

#include <miniz.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zem {

bool hash_file(const char* path, char digest_text[digest_text_capacity]) {
    unsigned char digest[sha256_digest_size];
    if (!sha256_of_file(path, digest, nullptr)) return false;
    snprintf(digest_text, digest_text_capacity, "%s", encode_hex(digest, sha256_digest_size).c_str());
    return true;
}

// The programs at the archive's top level go to their ".new" names, always
// in this letter case; the whole path is compared, so bin\ZEM-Play.exe is
// written as it is.
static void redirect_program_file(char local_path[local_path_capacity]) {
    if (equals_ignoring_ascii_case(local_path, launcher_file_name)) {
        snprintf(local_path, local_path_capacity, "%s", delivered_launcher_path);
    }
    if (equals_ignoring_ascii_case(local_path, updater_file_name)) {
        snprintf(local_path, local_path_capacity, "%s", delivered_updater_path);
    }
}

// The local path an entry is written to; false for an entry that is passed
// over silently: a directory entry (folders are made only as parents of
// files), or a name that local_path_for_entry refuses.
static bool local_path_for_entry(mz_zip_archive* zip, mz_uint index, const char* entry_name,
                                 char local_path[local_path_capacity]) {
    if (mz_zip_reader_is_file_a_directory(zip, index)) return false;
    if (!local_path_for_entry(entry_name, local_path)) return false;
    redirect_program_file(local_path);
    return true;
}

// Writes the entry to local_path and dates it with the entry's time, as
// mz_zip_reader_extract_to_file does, but opening and dating the file
// through the platform's path mapping: miniz dates the file through the C
// library's utime(), which on Windows reads the path in the ANSI code page,
// so a file with a non-ASCII name kept the time of its extraction. False
// (nothing created) for an entry miniz cannot extract, and when the file
// cannot be opened, written or closed.
static bool extract_entry_to_file(mz_zip_archive* zip, mz_uint index, const mz_zip_archive_file_stat& entry,
                                  const char* local_path) {
    if (entry.m_is_directory || !entry.m_is_supported) return false;
    FileStream file(open_file(local_path, "wb"));
    if (!file.is_open()) return false;
    const bool extracted = mz_zip_reader_extract_to_cfile(zip, index, file.get(), 0);
    // Handed to the disk before the digest is stored (see
    // check_and_install_update_package); fclose's own flush can fail too,
    // e.g. on a full disk, and then fails the entry.
    const bool flushed = extracted && flush_file_data(file.get());
    const bool closed = fclose(file.release()) == 0;
    if (!extracted || !flushed || !closed) return false;
    set_file_times(local_path, static_cast<int64_t>(entry.m_time));  // a failure leaves the file as written
    return true;
}

static void print_install_progress(mz_uint done, mz_uint entry_count, const char* line_end) {
    printf("\r  Installing the update... %d / %d files%s", static_cast<int>(done), static_cast<int>(entry_count),
           line_end);
    fflush(stdout);
}

// Writes one entry to its local path; prints the failure line.
static bool write_entry(mz_zip_archive* zip, mz_uint index, const mz_zip_archive_file_stat& entry,
                        const char* local_path, std::string* folder_made) {
    create_parent_folders(local_path, folder_made);
    if (extract_entry_to_file(zip, index, entry, local_path)) return true;
    printf("  Couldn't write %s (is the game still running?)\n", local_path);
    return false;
}

// Extracts every entry of the opened archive. True when all were handled
// and are on disk; false when an entry cannot be read or written, or the
// disk does not confirm the writes.
// The release description is written last: it names the release the game
// folder holds, so after an installation that stopped halfway the next run
// still reads the old version and installs the update again, instead of
// taking the half-written folder for the new release. For the same reason
// it is written only once everything else is on disk: after a power cut,
// or on a disk that lost writes, it never names a release whose files are
// not all there.
static bool install_entries(ZipReader& zip, DiskWatchState* disk_watch) {
    // An unfinished installation's journal vouches for files as that
    // installation left them; these writes change them.
    delete_file(install_journal_path);

    const mz_uint entry_count = mz_zip_reader_get_num_files(zip.get());
    std::vector<mz_uint> release_descriptions;
    std::string folder_made;
    bool installed = true;
    for (mz_uint i = 0; i < entry_count; ++i) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip.get(), i, &entry)) {
            installed = false;
            break;
        }
        char local_path[local_path_capacity];
        if (!local_path_for_entry(zip.get(), i, entry.m_filename, local_path)) continue;

        if (equals_ignoring_ascii_case(local_path, installed_release_path)) {
            release_descriptions.push_back(i);
        } else if (!write_entry(zip.get(), i, entry, local_path, &folder_made)) {
            installed = false;
        }
        if (i % install_progress_interval == 0) print_install_progress(i, entry_count, "");
        if (!installed) break;
    }
    if (installed && !release_descriptions.empty()) installed = flush_watched_writes(disk_watch);
    for (size_t k = 0; installed && k < release_descriptions.size(); ++k) {
        mz_zip_archive_file_stat entry;
        char local_path[local_path_capacity];
        installed = mz_zip_reader_file_stat(zip.get(), release_descriptions[k], &entry) &&
                    local_path_for_entry(zip.get(), release_descriptions[k], entry.m_filename, local_path) &&
                    write_entry(zip.get(), release_descriptions[k], entry, local_path, &folder_made);
    }
    // The closing line always shows the full count.
    print_install_progress(entry_count, entry_count, "\n");
    return installed;
}

static void store_update_hash(const char* digest_text) {
    FileStream file(open_file(stored_hash_path, "wb"));
    if (!file.is_open()) return;
    fwrite(digest_text, 1, strlen(digest_text), file.get());
}

// The archive against its signature: not_signed unless the signature file
// is the publisher's and names this digest; older_release when its version
// may not replace the installed one (an old release may have flaws that a
// later one mended, so no going back); installed when it holds.
static UpdateOutcome check_update_signature(const unsigned char public_key[ecdsa_public_key_size],
                                            const unsigned char digest[sha256_digest_size],
                                            const char* installed_version, char signed_version[version_capacity]) {
    FileText text = read_whole_file(update_signature_path);
    UpdateSignature signature;
    if (!text || !read_update_signature(public_key, text.get(), strlen(text.get()), &signature) ||
        memcmp(signature.archive_digest, digest, sha256_digest_size) != 0) {
        return UpdateOutcome::not_signed;
    }
    snprintf(signed_version, version_capacity, "%s", signature.version.c_str());
    // Not the update decision's comparison, which calls any text difference
    // newer both ways round: v0.9 would pass for a successor of v1.0.
    if (!release_may_replace(signature.version.c_str(), installed_version)) {
        return UpdateOutcome::older_release;
    }
    return UpdateOutcome::installed;
}

// The largest release description read out of an update archive.
constexpr size_t release_description_limit = 65536;

// The version of the release an update archive brings and the release it
// was made against, from its own release description (the last of them,
// as the installation would leave it); each left as it was when the
// archive has none.
static void read_update_release(ZipReader& zip, char version[version_capacity], char base[version_capacity]) {
    const mz_uint entry_count = mz_zip_reader_get_num_files(zip.get());
    for (mz_uint i = 0; i < entry_count; ++i) {
        mz_zip_archive_file_stat entry;
        char local_path[local_path_capacity];
        if (!mz_zip_reader_file_stat(zip.get(), i, &entry) || entry.m_uncomp_size > release_description_limit ||
            !local_path_for_entry(zip.get(), i, entry.m_filename, local_path) ||
            !equals_ignoring_ascii_case(local_path, installed_release_path)) {
            continue;
        }
        size_t size = 0;
        void* data = mz_zip_reader_extract_to_heap(zip.get(), i, &size, 0);
        if (data == nullptr) continue;
        const std::string text(static_cast<const char*>(data), size);
        mz_free(data);
        extract_version(text.c_str(), version);
        extract_base_version(text.c_str(), base);
    }
}

bool is_behind_base(const char* installed_version, const char* base_version) {
    if (base_version[0] == '\0') return false;
    return installed_version[0] == '\0' || release_order(installed_version, base_version) == VersionOrder::older;
}

UpdateOutcome check_and_install_update_package(const char* archive_path, const char* stored_hash,
                                               const char* installed_version, char named_version[version_capacity]) {
    char digest_text[digest_text_capacity];
    if (!hash_file(archive_path, digest_text)) return UpdateOutcome::not_downloaded;
    unsigned char public_key[ecdsa_public_key_size];
    if (release_signing_is_built_in()) {
        // The key the update must be signed with: the built-in publisher
        // key, or the release key of the keys text fetched beside it.
        FileText keys = read_whole_file(keys_download_path);
        if (!release_key_of_this_build(keys.get(), keys ? strlen(keys.get()) : 0, public_key)) {
            return UpdateOutcome::not_signed;
        }
        unsigned char digest[sha256_digest_size];
        decode_hex(digest_text, 2 * sha256_digest_size, digest);
        const UpdateOutcome signature = check_update_signature(public_key, digest, installed_version, named_version);
        if (signature != UpdateOutcome::installed) return signature;
    }
    // An empty stored hash never equals a digest.
    if (equals_ignoring_ascii_case(digest_text, stored_hash)) return UpdateOutcome::already_installed;
    // Made against a release after the installed one: extracting it would
    // leave a mix of releases. The archive's word holds, whatever the
    // server's release description said.
    // Opened once, for both: the archive's central directory is read once.
    mz_zip_archive archive;
    memset(&archive, 0, sizeof archive);
    if (!mz_zip_reader_init_file(&archive, system_path(archive_path).c_str(), 0)) {
        return UpdateOutcome::installation_failed;
    }
    ZipReader zip(&archive);
    char base[version_capacity] = "";
    read_update_release(zip, named_version, base);
    if (is_behind_base(installed_version, base)) return UpdateOutcome::behind_base;
    // Watched from before the first write: no failure to put an entry on
    // disk goes unseen (see watch_disk_writes).
    DiskWatch disk_watch = watch_disk_writes(".");
    if (!install_entries(zip, disk_watch.get())) return UpdateOutcome::installation_failed;
    // The stored digest says the files are in place: after a power cut they
    // must not come back as zeros under it, and a disk that lost writes
    // must not have them taken for installed.
    if (!flush_watched_writes(disk_watch.get())) return UpdateOutcome::installation_failed;
    store_update_hash(digest_text);
    return UpdateOutcome::installed;
}

}  // namespace zem
