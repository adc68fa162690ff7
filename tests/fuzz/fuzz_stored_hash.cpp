// The stored update hash read from the text of its file. Besides crashes
// and sanitizer reports (the hash buffer is allocated at its exact
// capacity), checks that the result is the text's first word, cut at 64.
#include "common/state_files.h"
#include "fuzz_text.h"

using zem_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> text = zem_fuzz::text_from_input(data, size);
    std::unique_ptr<char[]> hash(new char[zem::stored_hash_capacity]);
    memset(hash.get(), 'x', zem::stored_hash_capacity);
    zem::trim_stored_hash(text.get(), hash.get());

    const size_t word = strcspn(text.get(), "\r\n ");
    const size_t expected = word < zem::stored_hash_capacity - 1 ? word : zem::stored_hash_capacity - 1;
    require(memchr(hash.get(), '\0', zem::stored_hash_capacity) != nullptr, "hash not terminated");
    require(strlen(hash.get()) == expected, "hash is not the first word cut at 64");
    require(memcmp(hash.get(), text.get(), expected) == 0, "hash is not the text's start");
    return 0;
}
