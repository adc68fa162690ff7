// The archive size from a Content-Range value. Besides crashes and
// sanitizer reports (the value sits in an allocation of its exact size),
// checks that no '/' means no size and that the total is read as a number,
// and that a range the window check accepts is one the archive can hold.
#include "fuzz_text.h"
#include "common/content_range.h"

using zem_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> value = zem_fuzz::text_from_input(data, size);
    const uint64_t total = zem::archive_size_from_content_range(value.get());
    uint64_t first = 0, last = 0, whole = 0;
    if (zem::read_content_range(value.get(), &first, &last, &whole)) {
        require(first <= last && last < whole, "an accepted range outside its total");
        require(whole == total, "the two readings of the total disagree");
    }
    const char* slash = strchr(value.get(), '/');
    if (slash == nullptr) {
        require(total == 0, "a size without a '/'");
        return 0;
    }
    // A total that starts with a digit is that number (or the largest one).
    if (slash[1] >= '1' && slash[1] <= '9') require(total != 0, "a positive total read as no size");
    return 0;
}
