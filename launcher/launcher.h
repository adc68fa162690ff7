// ZEM-Play: start-up, hand-over to the game's batch file, full installation.
#pragma once

#include "common/entry_paths.h"

#include <cstdint>

namespace zem {

constexpr const char* game_executable_path =
    "Frolix_Multiplayer\\Binaries\\Win64\\Frolix_Multiplayer-Win64-Shipping.exe";
constexpr const char* batch_file_name = "ZEM-Play.bat";

constexpr uint32_t batch_failure_wait_ms = 10000;
constexpr uint32_t installation_failure_wait_ms = 20000;

// The launcher's own file name (the part of its path after the last '\'),
// set at start-up; the installer never writes an archive entry of that name.
extern char own_file_name[local_path_capacity];

// The launcher's whole run; returns its exit code.
int run_launcher();

// Installs the whole game from the remote archive. True when every entry
// is in place and the markers are updated; it has printed its own message
// on failure (except when an entry's statistics cannot be read).
bool run_full_installation();

}  // namespace zem
