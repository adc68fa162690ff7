// The full installation: reads the remote game archive through the ranged
// reader and writes every entry that is missing or has the wrong size into
// the game folder, each through a ".zempart" file moved into place when
// complete. A later run passes over complete files, so an interrupted
// installation carries on where it stopped.
#include "launcher/launcher.h"

#include "common/server.h"
#include "common/state_files.h"
#include "common/zip_reader.h"
#include "launcher/ranged_reader.h"
#include "platform/platform.h"

#include <miniz.h>

#include <cstdio>
#include <new>

namespace zem {

constexpr uint64_t free_space_margin = 268435456;  // 256 MiB on top of what is written
constexpr size_t part_path_capacity = 276;

// Passed to the write callback while an entry is extracted.
struct InstallProgress {
    FILE* output = nullptr;     // the part file being written
    uint64_t entry_bytes = 0;   // of the current entry
    uint64_t total = 0;         // uncompressed bytes of all file entries
    uint64_t done = 0;          // of entries finished or passed over
    int last_percentage = -1;
};

static double gigabytes(uint64_t bytes) {
    return static_cast<double>(bytes) / 1000000000.0;
}

static size_t write_entry_chunk(void* opaque, mz_uint64, const void* data, size_t count) {
    InstallProgress& progress = *static_cast<InstallProgress*>(opaque);
    if (fwrite(data, 1, count, progress.output) != count) return 0;
    progress.entry_bytes += count;
    const uint64_t percentage =
        progress.total == 0 ? 0 : (progress.done + progress.entry_bytes) * 100 / progress.total;
    if (static_cast<int>(percentage) != progress.last_percentage) {
        progress.last_percentage = static_cast<int>(percentage);
        printf("\r  Installing the game... %d%%   ", progress.last_percentage);
    }
    return count;
}

static void choose_archive_url() {
    if (read_environment("ZEM_INSTALL_URL", remote_archive.url, sizeof remote_archive.url) == 0) {
        snprintf(remote_archive.url, sizeof remote_archive.url, "%s", default_game_archive_url);
    }
}

// Client, window buffer and size: false when the server cannot be used.
static bool open_remote_archive() {
    remote_archive.client = http_open_client(installer_user_agent);
    remote_archive.window.reset(new (std::nothrow) unsigned char[window_capacity]);
    if (!remote_archive.client.is_open() || !remote_archive.window) return false;
    return probe_archive_size() != 0;
}

// Adds up the uncompressed sizes of all file entries, and of those whose
// file on disk does not have that size yet. Makes no network requests.
static void plan_installation(mz_zip_archive* zip, uint64_t* total, uint64_t* needed) {
    const mz_uint entry_count = mz_zip_reader_get_num_files(zip);
    for (mz_uint index = 0; index < entry_count; ++index) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip, index, &entry) || entry.m_is_directory) continue;
        *total += entry.m_uncomp_size;
        char local_path[local_path_capacity];
        if (!local_path_from_entry_name(entry.m_filename, local_path) ||
            file_size_on_disk(local_path) != entry.m_uncomp_size) {
            *needed += entry.m_uncomp_size;
        }
    }
}

enum class EntryStep { written, passed_over, failed };

// Writes one entry through its part file. Prints the failure message.
static EntryStep install_entry(mz_zip_archive* zip, mz_uint index, const mz_zip_archive_file_stat& entry,
                               InstallProgress* progress) {
    char local_path[local_path_capacity];
    if (entry.m_is_directory || !entry_name_is_safe(entry.m_filename) ||
        !local_path_from_entry_name(entry.m_filename, local_path)) {
        return EntryStep::passed_over;
    }
    // The running launcher's own file is never overwritten; an entry whose
    // file already has the right size counts as complete.
    if (equals_ignoring_ascii_case(local_path, own_file_name) ||
        file_size_on_disk(local_path) == entry.m_uncomp_size) {
        progress->done += entry.m_uncomp_size;
        return EntryStep::passed_over;
    }
    create_parent_folders(local_path);
    char part_path[part_path_capacity];
    snprintf(part_path, sizeof part_path, "%s.zempart", local_path);
    FileStream part(open_file(part_path, "wb"));
    if (!part.is_open()) {
        printf("\n  Couldn't write %s.\n", local_path);
        return EntryStep::failed;
    }
    progress->output = part.get();
    progress->entry_bytes = 0;
    const bool extracted = mz_zip_reader_extract_to_callback(zip, index, write_entry_chunk, progress, 0);
    progress->output = nullptr;
    // fclose flushes: a write that fails only then also fails the entry.
    const bool closed = fclose(part.release()) == 0;
    if (!extracted || !closed || !move_replacing(part_path, local_path)) {
        delete_file(part_path);
        printf("\n  The download stopped at %s. Tap the game again to carry on from here.\n", local_path);
        return EntryStep::failed;
    }
    progress->done += entry.m_uncomp_size;
    return EntryStep::written;
}

bool run_full_installation() {
    printf("ZEM: installing Frolix Rewrite on this device.\n"
           "  Keep Palindor open and the screen on until it's done. If it stops, tap the game again to carry on.\n");
    choose_archive_url();
    if (!open_remote_archive()) {
        printf("  Couldn't reach the ZEM site. Check the internet connection and tap the game again.\n");
        return false;
    }

    mz_zip_archive zip_record;
    mz_zip_zero_struct(&zip_record);
    zip_record.m_pRead = ranged_read;
    if (!mz_zip_reader_init(&zip_record, remote_archive.size, 0)) {
        printf("  The game download couldn't be read. Tap the game again in a few minutes.\n");
        return false;
    }
    ZipReader zip(&zip_record);

    create_state_folder();
    create_empty_marker(install_incomplete_marker_path);

    InstallProgress progress;
    uint64_t needed = 0;
    plan_installation(zip.get(), &progress.total, &needed);

    uint64_t free_bytes = 0;
    if (free_bytes_for_caller(".", &free_bytes) && free_bytes < needed + free_space_margin) {
        printf("  Not enough free space: this needs %.1f GB more and the device has %.1f GB free.\n"
               "  Free up some space and tap the game again.\n",
               gigabytes(needed), gigabytes(free_bytes));
        return false;
    }
    printf("  %.1f GB to install.\n", gigabytes(needed));

    const mz_uint entry_count = mz_zip_reader_get_num_files(zip.get());
    for (mz_uint index = 0; index < entry_count; ++index) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(zip.get(), index, &entry)) return false;
        if (install_entry(zip.get(), index, entry, &progress) == EntryStep::failed) return false;
    }
    zip.reset();

    delete_file(install_incomplete_marker_path);
    FileStream marker(open_file(full_install_marker_path, "wb"));
    if (marker.is_open()) fputs("1", marker.get());
    marker.reset();
    printf("\n  Installed. Starting the game...\n");
    return true;
}

}  // namespace zem
