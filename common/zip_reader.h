// The zip library's reader, owned: mz_zip_reader_end on every path after
// a successful initialisation.
#pragma once

#include "platform/platform.h"

#include <miniz.h>

namespace zem {

inline void end_zip_reader(mz_zip_archive* zip) {
    mz_zip_reader_end(zip);
}
// Holds a pointer to a caller's mz_zip_archive once it has been initialised.
using ZipReader = Owner<mz_zip_archive, end_zip_reader>;

}  // namespace zem
