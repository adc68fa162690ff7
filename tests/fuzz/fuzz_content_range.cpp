// The archive size from a Content-Range value. Besides crashes and
// sanitizer reports (the value sits in an allocation of its exact size),
// checks that no '/' means no size and that the total is read as a number.
#include "fuzz_text.h"
#include "launcher/ranged_reader.h"

using zem_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> value = zem_fuzz::text_from_input(data, size);
    const uint64_t total = zem::archive_size_from_content_range(value.get());
    const char* slash = strchr(value.get(), '/');
    if (slash == nullptr) {
        require(total == 0, "a size without a '/'");
        return 0;
    }
    // A total that starts with a digit is that number (or the largest one).
    if (slash[1] >= '1' && slash[1] <= '9') require(total != 0, "a positive total read as no size");
    return 0;
}
