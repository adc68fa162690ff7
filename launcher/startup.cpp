// The launcher's start-up: put delivered program copies into place, install
// the game when it is missing or unfinished, then run "ZEM-Play.bat" and
// pass its exit code on.
#include "launcher/launcher.h"

#include "common/state_files.h"
#include "common/utf16_length.h"
#include "common/waits.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>

namespace zem {

char own_file_name[own_path_capacity];


static int end_after_wait(uint32_t milliseconds) {
    sleep_ms(scaled_wait_ms(milliseconds));
    return 1;
}

// Moves a delivered launcher over the running one. The running file goes
// to its ".old" name first (a running executable can be renamed but not
// replaced); if the delivered copy then cannot take its place, the old file
// is moved back at once so the folder never lacks a launcher.
static void put_delivered_launcher_in_place(const char* delivered_name, const char* previous_name) {
    if (!path_exists(delivered_name)) return;
    if (!move_replacing(own_file_name, previous_name)) return;
    if (!move_replacing(delivered_name, own_file_name)) move_replacing(previous_name, own_file_name);
}

static bool game_is_installed() {
    return path_exists(game_executable_path) && !path_exists(install_incomplete_marker_path);
}

void split_own_path(char* own_path, char* file_name, size_t file_name_capacity) {
    char* last_separator = strrchr(own_path, '\\');
    snprintf(file_name, file_name_capacity, "%s", last_separator ? last_separator + 1 : own_path);
    if (!last_separator) return;
    const bool folder_is_a_root = last_separator == own_path || last_separator[-1] == ':';
    last_separator[folder_is_a_root ? 1 : 0] = '\0';
}

int run_launcher() {
    setvbuf(stdout, nullptr, _IONBF, 0);

    // The own path's limit counts UTF-16 units, as Windows does, so that a
    // folder named in Cyrillic or Japanese gets as far as an ASCII one.
    char own_path[own_path_capacity];
    const size_t own_path_length = own_executable_path(own_path, sizeof own_path);
    if (own_path_length == 0 || own_path_length >= sizeof own_path) return 1;
    if (utf16_length(own_path) > own_path_unit_limit) return 1;

    split_own_path(own_path, own_file_name, sizeof own_file_name);
    const char* game_folder = own_path;
    change_directory(game_folder);

    char delivered_name[copy_name_capacity];
    char previous_name[copy_name_capacity];
    snprintf(delivered_name, sizeof delivered_name, "%s%s", own_file_name, delivered_copy_suffix);
    snprintf(previous_name, sizeof previous_name, "%s%s", own_file_name, previous_copy_suffix);

    // Held while this run writes the game folder: a second window started
    // at the same time (a double tap) waits here, then finds the game
    // installed.
    FileLock writer_lock =
        take_writer_lock("ZEM: another window is installing or updating the game. Waiting for it to finish...\n");
    delete_file(previous_name);
    put_delivered_launcher_in_place(delivered_name, previous_name);
    if (path_exists(delivered_updater_path)) move_replacing(delivered_updater_path, updater_file_name);

    const bool installed = game_is_installed() || run_full_installation();
    // Neither the game nor a waiting window waits for this one any longer.
    writer_lock.reset();
    if (!installed) return end_after_wait(installation_failure_wait_ms);

    if (!path_exists(batch_file_name)) {
        printf("ZEM: ZEM-Play.bat isn't next to this file. Put this file in the Frolix folder.\n");
        return end_after_wait(batch_failure_wait_ms);
    }

    uint32_t exit_code = 0;
    unsigned long error_number = 0;
    if (run_batch_file(game_folder, &exit_code, &error_number) == BatchRun::not_started) {
        printf("ZEM: couldn't start ZEM-Play.bat (error %lu).\n", error_number);
        return end_after_wait(batch_failure_wait_ms);
    }
    return static_cast<int>(exit_code);
}

}  // namespace zem
