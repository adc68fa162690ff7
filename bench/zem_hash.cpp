// Prints a file's SHA-256 exactly as the updater hashes its downloaded
// archive (its static 65,536-byte buffer and the platform's SHA-256), in
// sha256sum's format, so that bench/update can time the two side by side.
#include "updater/updater.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: zem-hash FILE\n");
        return 2;
    }
    char digest[zem::digest_text_capacity];
    if (!zem::hash_file(argv[1], digest)) {
        fprintf(stderr, "zem-hash: cannot hash %s\n", argv[1]);
        return 1;
    }
    printf("%s  %s\n", digest, argv[1]);
    return 0;
}
