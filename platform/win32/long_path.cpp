// Paths beyond MAX_PATH on Windows (see long_path in wide.h). With the
// "\\?\" prefix the file functions lift the 260-character limit on every
// Windows version, whether or not the system allows long plain paths.
#include "platform/win32/wide.h"

namespace zem {

static bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

static bool is_drive_letter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// "\\?\" form of an absolute path: kept when it has it already, "UNC\"
// for "\\server\share\...", the prefix alone for "E:\...".
static std::wstring with_long_prefix(const std::wstring& absolute) {
    if (starts_with(absolute, L"\\\\?\\") || starts_with(absolute, L"\\\\.\\")) return absolute;
    if (starts_with(absolute, L"\\\\")) return L"\\\\?\\UNC\\" + absolute.substr(2);
    return L"\\\\?\\" + absolute;
}

// The current directory as Windows keeps it: "E:\" at a root, without a
// trailing '\' elsewhere. Empty when it cannot be read.
static std::wstring current_directory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring folder(needed, L'\0');
    const DWORD length = GetCurrentDirectoryW(needed, &folder[0]);
    if (length == 0 || length >= needed) return std::wstring();
    folder.resize(length);
    return folder;
}

std::wstring long_path_from(const std::wstring& current_directory, const char* path) {
    std::wstring wide = to_wide(path);
    if (wide.empty()) return wide;
    // The prefix turns off the system's reading of '/' as a separator.
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    if (starts_with(wide, L"\\\\")) return with_long_prefix(wide);
    if (wide.size() >= 3 && is_drive_letter(wide[0]) && wide[1] == L':' && wide[2] == L'\\') {
        return with_long_prefix(wide);
    }
    if (wide[0] == L'\\' || (wide.size() >= 2 && wide[1] == L':')) return wide;

    if (current_directory.empty()) return wide;
    std::wstring absolute = with_long_prefix(current_directory);
    if (wide == L".") return absolute;
    // At a root the current directory ends in '\' already ("E:\").
    if (absolute.back() != L'\\') absolute += L'\\';
    return absolute + wide;
}

std::wstring long_path(const char* path) {
    return long_path_from(current_directory(), path);
}

}  // namespace zem
