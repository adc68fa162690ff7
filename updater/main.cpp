#include "updater/updater.h"

int main(int argc, char** argv) {
    return zem::run_updater(argc, argv);
}
