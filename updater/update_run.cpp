// The update run.
#include "updater/updater.h"

#include <miniz.h>

#include <cstdio>

namespace zem {

int run_updater(int, char**) {
    // Not built yet.
    printf("ZEM: checking for updates...\n");
    (void)mz_version();
    return 0;
}

}  // namespace zem
