// The update run: tidy what earlier releases retired, ask the server for
// its release description, decide whether the update archive is needed,
// and if so fetch, check and install it. Every ending prints one line and
// the exit code is always 0.
#include "updater/updater.h"

#include "common/key_chain.h"
#include "common/release_signing.h"
#include "common/server.h"
#include "common/state_files.h"
#include "common/versions.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>

namespace zem {

// The zip library's own notice (Expat/MIT), for the copy in third_party/miniz.
static const char licence_notice[] =
    "miniz 3.1.1\n"
    "https://github.com/richgel999/miniz\n"
    "\n"
    "Copyright 2013-2014 RAD Game Tools and Valve Software\n"
    "Copyright 2010-2014 Rich Geldreich and Tenacious Software LLC\n"
    "All Rights Reserved.\n"
    "\n"
    "Permission is hereby granted, free of charge, to any person obtaining a copy\n"
    "of this software and associated documentation files (the \"Software\"), to deal\n"
    "in the Software without restriction, including without limitation the rights\n"
    "to use, copy, modify, merge, publish, distribute, sublicense, and/or sell\n"
    "copies of the Software, and to permit persons to whom the Software is\n"
    "furnished to do so, subject to the following conditions:\n"
    "\n"
    "The above copyright notice and this permission notice shall be included in\n"
    "all copies or substantial portions of the Software.\n"
    "\n"
    "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR\n"
    "IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,\n"
    "FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE\n"
    "AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER\n"
    "LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,\n"
    "OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN\n"
    "THE SOFTWARE.\n";

void print_licence_notice() {
    printf("%s", licence_notice);
}

bool update_archive_is_needed(const char* server_version, const char* installed_version,
                              bool installation_is_known) {
    // No usable server version: fetch, and let the digest decide.
    if (server_version[0] == '\0') return true;
    if (compare_versions(server_version, installed_version) == VersionOrder::newer) return true;
    // Same or older, but nothing tells what the files on disk are.
    return !installation_is_known;
}

// The installed version as most messages show it: "?" when there is none.
static const char* version_or_question_mark(const char* version) {
    return version[0] != '\0' ? version : "?";
}

// The game folder holds a release older than the one the update was made
// against, so the update alone would leave a mix. The install-incomplete
// marker hands the folder to the launcher: its next start installs the
// release from the full archive, fetching only the entries whose files
// differ, and then applies the release's removal list.
static void leave_release_to_launcher(const char* version) {
    create_empty_marker(install_incomplete_marker_path);
    printf("  This game missed some updates: it brings itself to version %s at its next start.\n",
           version_or_question_mark(version));
}

int run_updater(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], licenses_argument) == 0) {
        print_licence_notice();
        return 0;
    }

    printf("ZEM: checking for updates...\n");
    const bool signatures_are_checked = release_signing_is_built_in();
    unsigned char root_key[ecdsa_public_key_size];
    const bool root_key_is_built_in = built_in_root_key(root_key);
    // Held until the run ends: nothing else writes the game folder meanwhile.
    FileLock writer_lock = take_writer_lock(
        "  Another window is installing or updating the game. Waiting for it to finish...\n");

    char installed_version[version_capacity] = "";
    read_version_file(installed_release_path, installed_version);
    char stored_hash[stored_hash_capacity] = "";
    read_stored_hash(stored_hash);

    create_state_folder();
    apply_removal_list();

    if (!download_to_file(release_description_url, release_check_path, true)) {
        printf("  Couldn't reach the ZEM site. Playing version %s.\n", version_or_question_mark(installed_version));
        return 0;
    }
    char server_version[version_capacity] = "";
    char server_base[version_capacity] = "";
    {
        FileText release_text = read_whole_file(release_check_path);
        extract_version(release_text.get(), server_version);
        extract_base_version(release_text.get(), server_base);
    }
    delete_file(release_check_path);

    const bool full_install_marker_present = file_is_readable(full_install_marker_path);
    const bool installation_is_known = stored_hash[0] != '\0' || full_install_marker_present;
    if (!update_archive_is_needed(server_version, installed_version, installation_is_known)) {
        printf("  Version %s, up to date.\n", installed_version);
        return 0;
    }

    // Too far behind for the update archive: the server's description says
    // so, and nothing of the archive is fetched.
    if (is_behind_base(installed_version, server_base)) {
        leave_release_to_launcher(server_version);
        return 0;
    }

    printf("  Getting the latest update...\n");
    UpdateOutcome outcome = UpdateOutcome::not_downloaded;
    // The version an outcome names: the signed one, or the archive's own.
    char named_version[version_capacity] = "";
    snprintf(named_version, sizeof named_version, "%s", server_version);
    if (download_to_file(update_archive_url, update_download_path, false)) {
        // A signature that cannot be fetched is as good as none: the check
        // then refuses the archive. None from an earlier run may stand in.
        // A rooted build also needs the keys text that names the release key.
        if (signatures_are_checked) {
            delete_file(update_signature_path);
            download_to_file(update_signature_url, update_signature_path, true);
        }
        if (root_key_is_built_in) {
            delete_file(keys_download_path);
            download_to_file(keys_url, keys_download_path, true);
        }
        outcome = check_and_install_update_package(update_download_path, stored_hash, installed_version,
                                                   named_version);
    }
    if (signatures_are_checked) delete_file(update_signature_path);
    if (root_key_is_built_in) delete_file(keys_download_path);

    switch (outcome) {
    case UpdateOutcome::not_downloaded:
        printf("  The update didn't download. Playing version %s; it tries again next time.\n",
               version_or_question_mark(installed_version));
        delete_file(update_download_path);
        return 0;
    case UpdateOutcome::already_installed:
        delete_file(update_download_path);
        printf("  Up to date (version %s).\n", version_or_question_mark(installed_version));
        return 0;
    case UpdateOutcome::installation_failed:
        printf("  The update didn't finish installing; it tries again next time.\n");
        delete_file(update_download_path);
        return 0;
    case UpdateOutcome::not_signed:
        printf("  The update isn't signed by the game's publisher, so it wasn't installed. Playing version %s.\n",
               version_or_question_mark(installed_version));
        delete_file(update_download_path);
        return 0;
    case UpdateOutcome::older_release:
        printf("  The update would go back to version %s, so it wasn't installed. Playing version %s.\n",
               named_version, version_or_question_mark(installed_version));
        delete_file(update_download_path);
        return 0;
    case UpdateOutcome::behind_base:
        delete_file(update_download_path);
        leave_release_to_launcher(named_version);
        return 0;
    case UpdateOutcome::installed:
        delete_file(full_install_marker_path);
        apply_removal_list();
        delete_file(update_download_path);
        // Read into the same string: without a new value the old one stays.
        read_version_file(installed_release_path, installed_version);
        printf("  Updated to version %s.\n", installed_version);
        return 0;
    }
    return 0;
}

}  // namespace zem
