#include "launcher/launcher.h"

int main() {
    return zem::run_launcher();
}
