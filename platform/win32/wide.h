// UTF-8 <-> UTF-16 for the Win32 implementation. Paths are UTF-8 in the
// logic, as miniz takes them for the files it extracts, so folders, part
// files, size queries and moves all name the same files.
#pragma once

#include <string>
#include <windows.h>

namespace zem {

inline std::wstring to_wide(const char* text) {
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], needed);
    wide.resize(static_cast<size_t>(needed) - 1);
    return wide;
}

inline std::string to_utf8(const wchar_t* text) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string narrow(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], needed, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(needed) - 1);
    return narrow;
}

// The form in which the Win32 file functions take a path of any length:
// "\\?\" and the absolute path, '\'-separated. A relative path is put
// after the current directory as it stands, without the normalisation the
// plain form gets (no "." or ".." resolved, no trailing dots or blanks
// stripped), so a name read from the disk is addressed as itself; the
// path "." is the current directory. A UNC path "\\server\share\..."
// becomes "\\?\UNC\server\share\...". A path in the long form already,
// or a device path ("\\.\"), is kept; so are a drive-relative "E:name"
// and a rooted "\name", which only the system can resolve (nothing in the
// programs makes them). Empty when path is empty: no file has that name.
std::wstring long_path(const char* path);

// long_path with the current directory given (as GetCurrentDirectoryW
// gives it); a relative path stays as it is when current_directory is
// empty.
std::wstring long_path_from(const std::wstring& current_directory, const char* path);

}  // namespace zem
