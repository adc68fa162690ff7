// File time stamps on Windows, through the wide file functions with UTF-8
// paths (see wide.h). The C library's utime() takes its path in the ANSI
// code page, so a UTF-8 name with non-ASCII characters names another file
// there (or none); this sets the time of the file the other functions name.
#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace zem {

// A FILETIME counts 100-nanosecond intervals since 1601-01-01 UTC.
constexpr int64_t seconds_from_1601_to_1970 = 11644473600LL;
constexpr uint64_t filetime_ticks_per_second = 10000000ULL;

// False for a time before 1601, which a FILETIME cannot hold, and when the
// file cannot be opened for its attributes or SetFileTime fails.
bool set_file_times(const char* path, int64_t unix_seconds) {
    if (unix_seconds < -seconds_from_1601_to_1970) return false;
    const uint64_t ticks = static_cast<uint64_t>(unix_seconds + seconds_from_1601_to_1970) * filetime_ticks_per_second;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    HANDLE file = CreateFileW(long_path(path).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const BOOL set = SetFileTime(file, nullptr, &time, &time);
    CloseHandle(file);
    return set != 0;
}

}  // namespace zem
