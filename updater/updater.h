// ZEM-Update: the update run, whole-file download, package check and
// installation, removal list.
#pragma once

#include "common/entry_paths.h"
#include "common/removal_list.h"
#include "common/removal_lines.h"
#include "common/state_files.h"
#include "common/versions.h"

#include <cstddef>
#include <cstdint>

namespace zem {

// ---------------------------------------------------------------- update run

// The one argument the updater reads: print the zip library's licence
// notice and touch nothing.
constexpr const char* licenses_argument = "--licenses";

// The updater's whole run; its exit code is always 0.
int run_updater(int argc, char** argv);

// Writes the licence notice of the zip library the updater is built with.
void print_licence_notice();

// The run's decision after a successful release check. installation_is_known:
// a stored update hash or the full-install marker is present.
bool update_archive_is_needed(const char* server_version, const char* installed_version,
                              bool installation_is_known);

// ---------------------------------------------------------------- download

constexpr const char* download_user_agent = "ZEMUpdate/1.0";
constexpr const char* download_request_headers = "Cache-Control: no-cache\r\n";
constexpr uint32_t required_status_code = 200;
constexpr size_t transfer_buffer_size = 65536;

// Fetches url whole into local_path, replacing any file there. Not quiet:
// prints the percentage line (when the server gave a Content-Length) and
// its closing line feed. True when the download is complete; false leaves
// no file written by this download, and, when the server could not be
// reached at all, leaves a file from an earlier run untouched.
bool download_to_file(const char* url, const char* local_path, bool quiet);

// ---------------------------------------------------------------- package

constexpr size_t digest_text_capacity = 65;  // 64 lower-case hex digits + NUL
constexpr int install_progress_interval = 25;

// not_signed and older_release come only from a build with the publisher's
// key (common/release_signing.h): the archive's signature is missing, not
// the publisher's or not for this archive; or it names a version that may
// not replace the installed one (release_may_replace). Nothing is installed
// then. behind_base: the archive was made against a release that comes
// after the installed one; nothing is installed from it either.
enum class UpdateOutcome {
    not_downloaded,
    already_installed,
    installation_failed,
    installed,
    not_signed,
    older_release,
    behind_base
};

// SHA-256 of the whole file as 64 lower-case hexadecimal characters. False
// when the file cannot be opened or read through, or the hash cannot be
// made; digest_text is then left as it was.
bool hash_file(const char* path, char digest_text[digest_text_capacity]);

// Hashes the archive; when its digest equals the stored hash (ignoring
// letter case) it is already installed, otherwise every entry is extracted
// into the game folder (the two programs at its top level under their
// ".new" names) and, only when all of them were written and the disk has
// confirmed it has them, the digest is stored. Prints the installation's
// progress and failure lines.
//
// With the publisher's key built in, the archive must first match the
// signature at update_signature_path: signed by that key, for this digest,
// and for a version that may replace installed_version (the signed version
// is written to named_version, capacity version_capacity, for
// older_release). An archive whose own release description names a base
// that installed_version comes before is not extracted: behind_base, with
// the version it brings in named_version (left as it was when it names
// none).
UpdateOutcome check_and_install_update_package(const char* archive_path, const char* stored_hash,
                                               const char* installed_version, char named_version[version_capacity]);

// The installed release comes before the one an update was made against
// (release_order; no installed version counts as before). False when the
// update names no base.
bool is_behind_base(const char* installed_version, const char* base_version);

}  // namespace zem
