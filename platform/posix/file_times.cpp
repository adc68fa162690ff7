// File time stamps on POSIX.
#include "platform/platform.h"

#include <utime.h>

namespace zem {

bool set_file_times(const char* path, int64_t unix_seconds) {
    struct utimbuf times;
    times.actime = static_cast<time_t>(unix_seconds);
    times.modtime = static_cast<time_t>(unix_seconds);
    return utime(system_path(path).c_str(), &times) == 0;
}

}  // namespace zem
