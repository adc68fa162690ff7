// ZEM-Update: the update run, whole-file download, package check and
// installation, removal list.
#pragma once

namespace zem {

// The updater's whole run; its exit code is always 0.
int run_updater(int argc, char** argv);

}  // namespace zem
