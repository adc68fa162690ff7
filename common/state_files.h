// The state folder "ZEM" and the files through which the two programs
// remember things between runs and hand things to each other.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace zem {

constexpr const char* state_folder = "ZEM";
constexpr const char* installed_release_path = "ZEM\\release.json";
constexpr const char* release_check_path = "ZEM\\release-check.json";
constexpr const char* stored_hash_path = "ZEM\\update.sha256";
constexpr const char* removal_list_path = "ZEM\\removed.txt";
constexpr const char* full_install_marker_path = "ZEM\\full-install";
constexpr const char* install_incomplete_marker_path = "ZEM\\install-incomplete";
// What an unfinished installation had done: the files it checked and moved
// into place, and how much of a part file is on disk (launcher/install_journal.h).
constexpr const char* install_journal_path = "ZEM\\install-journal";
constexpr const char* update_download_path = "ZEM\\update-download.zip";
// Held locked by a run while it writes the game folder: one writer at a time.
constexpr const char* writer_lock_path = "ZEM\\writer.lock";

constexpr const char* launcher_file_name = "ZEM-Play.exe";
constexpr const char* updater_file_name = "ZEM-Update.exe";
constexpr const char* delivered_launcher_path = "ZEM-Play.exe.new";
constexpr const char* delivered_updater_path = "ZEM-Update.exe.new";
// The launcher's delivered and previous copies: its own file name + ".new"
// / ".old".
constexpr const char* delivered_copy_suffix = ".new";
constexpr const char* previous_copy_suffix = ".old";
constexpr const char* previous_launcher_path = "ZEM-Play.exe.old";
// The installer writes each entry as its local path + ".zempart" first.
constexpr const char* part_file_suffix = ".zempart";

// A version string holds at most 63 characters; a stored hash 64.
constexpr size_t version_capacity = 64;
constexpr size_t stored_hash_capacity = 65;

// A whole small file, NUL-terminated after its data.
struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using FileText = std::unique_ptr<char, FreeDeleter>;

// Reads the file into one NUL-terminated buffer, its length (without the
// NUL) in *length when length is given: the file may hold NUL bytes of its
// own. Empty (null) when the file cannot be opened, is 2 GiB or larger, or
// cannot be read whole.
FileText read_whole_file(const char* path, size_t* length = nullptr);

// Finds the value of the first "version" key by a plain text search and
// copies it into version (capacity version_capacity) when it is shorter
// than 64 characters. version is left as it was otherwise.
void extract_version(const char* release_text, char* version);

// The release an update archive was made against, as zem-publish records
// it in the update's release description and in the server's: the value of
// the first "base" key after the "version" key's value, found the same way
// (so the version's own search never meets it, and a version spelled
// "base" is never taken for the key). base (capacity version_capacity) is
// left as it was when there is none, or it is 64 characters or longer.
void extract_base_version(const char* release_text, char* base);

// Reads "ZEM\release.json"-style files: read_whole_file + extract_version.
void read_version_file(const char* path, char* version);

// The stored update hash in the text of its file: at most the first 64
// characters, ended at the first NUL, CR, LF or space. hash has capacity
// stored_hash_capacity and is always NUL-terminated.
void trim_stored_hash(const char* text, char* hash);

// The stored update hash: trim_stored_hash of "ZEM\update.sha256". Empty
// when the file is missing.
void read_stored_hash(char* hash);

// One directory creation of "ZEM"; an existing folder is fine.
void create_state_folder();

// Creates an empty marker file (failure ignored).
void create_empty_marker(const char* path);

// Takes the game folder's writer lock, which a run holds for as long as it
// writes the game folder; the returned owner releases it. When another run
// holds it, prints waiting_line once and waits for that run to end. A lock
// that cannot be had at all (no state folder, a file system without locks)
// gives a null owner, and the run carries on as it would have without.
FileLock take_writer_lock(const char* waiting_line);

// The updater's presence test: the file can be read whole (empty counts).
bool file_is_readable(const char* path);

// Compares two strings ignoring the case of the ASCII letters A-Z only.
bool equals_ignoring_ascii_case(const char* a, const char* b);

// The length bytes at text equal word, all of it, ignoring the case of the
// ASCII letters A-Z only.
bool span_equals_ignoring_ascii_case(const char* text, size_t length, const char* word);

}  // namespace zem
