// miniz's compressor at its best level: Debian has no mingw-w64 build of
// libdeflate, so the Windows build of zem-publish makes archives a few
// percent larger than the Linux build's.
#include "publish/publish_platform.h"

#include <miniz.h>

namespace zem {

static bool deflate_at(int level, const unsigned char* data, size_t size, std::vector<unsigned char>* deflated) {
    const int flags = static_cast<int>(tdefl_create_comp_flags_from_zip_params(level, -MZ_DEFAULT_WINDOW_BITS,
                                                                                 MZ_DEFAULT_STRATEGY));
    size_t length = 0;
    void* out = tdefl_compress_mem_to_heap(data, size, &length, flags);
    if (out == nullptr && size != 0) return false;
    deflated->assign(static_cast<unsigned char*>(out), static_cast<unsigned char*>(out) + length);
    mz_free(out);
    return true;
}

bool deflate_best(const unsigned char* data, size_t size, std::vector<unsigned char>* deflated) {
    return deflate_at(MZ_UBER_COMPRESSION, data, size, deflated);
}

bool deflate_quick(const unsigned char* data, size_t size, std::vector<unsigned char>* deflated) {
    return deflate_at(MZ_DEFAULT_LEVEL, data, size, deflated);
}

const char* deflate_engine_name() {
    return "miniz level 10";
}

}  // namespace zem
