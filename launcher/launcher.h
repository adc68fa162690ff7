// ZEM-Play: start-up, hand-over to the game's batch file, full installation.
#pragma once

#include "common/entry_paths.h"
#include "common/release_signing.h"

#include <miniz.h>

#include <cstddef>
#include <cstdint>

namespace zem {

constexpr const char* game_executable_path =
    "Frolix_Multiplayer\\Binaries\\Win64\\Frolix_Multiplayer-Win64-Shipping.exe";
constexpr const char* batch_file_name = "ZEM-Play.bat";

constexpr uint32_t batch_failure_wait_ms = 10000;
constexpr uint32_t installation_failure_wait_ms = 20000;

// The launcher's own path is accepted up to 259 UTF-16 units, the classic
// Windows limit counted as Windows counts it (common/utf16_length.h), on
// every platform. In UTF-8 one unit takes at most 3 bytes.
constexpr size_t own_path_unit_limit = 259;
constexpr size_t own_path_capacity = own_path_unit_limit * 3 + 1;

// The launcher's own file name (the part of its path after the last '\'),
// set at start-up; the installer never writes an archive entry of that name.
extern char own_file_name[own_path_capacity];
// Its delivered and previous copies: own file name + ".new" / ".old".
constexpr size_t copy_name_capacity = own_path_capacity + 8;

// Splits the own path at its last '\': own_path keeps the game folder and
// file_name receives the rest (the whole path when it has no '\'). A folder
// at a root keeps its separator, "E:\" (or "\", the POSIX root "/"): "E:"
// alone would name the current directory on drive E:, and "" no folder.
void split_own_path(char* own_path, char* file_name, size_t file_name_capacity);

// The launcher's whole run; returns its exit code.
int run_launcher();

// Installs the whole game from the remote archive. True when every entry
// is in place and the markers are updated; it has printed its own message
// on failure (except when an entry's statistics cannot be read).
bool run_full_installation();

// ---------------------------------------------------------------- signed releases
// With the publisher's key or a root key built in, the installer writes
// only what the full archive's signed manifest lists, each file only when
// its bytes hash to the manifest's digest.

enum class ManifestFetch { verified, unreachable, not_signed };

// Fetches the manifest beside the remote archive (its URL + ".manifest")
// over the launcher's client and verifies it with the release key: the
// publisher's key, or in a rooted build the key that the server's keys
// text delegates (fetched first, from the server's files/, and walked as
// common/key_chain.h says). unreachable: no answer, or the body was cut
// off; not_signed: any answer but 200, a text over its size limit, or one
// that the walk or read_manifest refuses.
ManifestFetch fetch_release_manifest(Manifest* manifest);

// The archive's central directory agrees with the manifest: every listed
// file is there with the listed size. (File entries the manifest does not
// list are passed over, and not a reason to refuse.)
bool manifest_matches_archive(const Manifest& manifest, mz_zip_archive* zip);

// The file on disk has the entry's size and SHA-256.
bool file_matches_manifest_entry(const char* local_path, const ManifestEntry& entry);

}  // namespace zem
