// The full installation of the game from the remote archive.
#include "launcher/launcher.h"

namespace zem {

bool run_full_installation() {
    // Not built yet: a game that is not installed ends as a failed
    // installation does.
    return false;
}

}  // namespace zem
