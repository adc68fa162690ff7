// zem-long-path-cases: the win32 seam's long "\\?\" path forms
// (platform/win32/wide.h) for current directories a Wine test cannot make
// (a UNC share) as well as the common ones. The Wine end-to-end tests run it.
//
// usage: zem-long-path-cases   exit code 0 when every case gives its form;
// otherwise one line per failing case on standard output and exit code 1.
#include "platform/win32/wide.h"

#include <cstdio>

namespace {

struct Case {
    const wchar_t* current_directory;
    const char* path;
    const wchar_t* expected;
};

const Case cases[] = {
    {L"C:\\Games\\Frolix", "ZEM\\release.json", L"\\\\?\\C:\\Games\\Frolix\\ZEM\\release.json"},
    {L"C:\\Games\\Frolix", "Content/Maps/a.pak", L"\\\\?\\C:\\Games\\Frolix\\Content\\Maps\\a.pak"},
    {L"C:\\Games\\Frolix", ".", L"\\\\?\\C:\\Games\\Frolix"},
    // At a drive's root: one separator, and "." is the root itself, not the volume ("\\?\E:").
    {L"E:\\", "ZEM-Play.bat", L"\\\\?\\E:\\ZEM-Play.bat"},
    {L"E:\\", ".", L"\\\\?\\E:\\"},
    {L"\\\\server\\share\\Games", "ZEM\\writer.lock", L"\\\\?\\UNC\\server\\share\\Games\\ZEM\\writer.lock"},
    {L"\\\\server\\share\\", "a.pak", L"\\\\?\\UNC\\server\\share\\a.pak"},
    {L"\\\\?\\C:\\Deep", "a.pak", L"\\\\?\\C:\\Deep\\a.pak"},
    // No normalisation: a name read from the disk stays itself.
    {L"C:\\Games", "Old\\keep.", L"\\\\?\\C:\\Games\\Old\\keep."},
    {L"C:\\Games", "Old\\blank ", L"\\\\?\\C:\\Games\\Old\\blank "},
    {L"C:\\Games", "\xd0\xa4\xd1\x80\xd0\xbe\\\xe6\x97\xa5.txt", L"\\\\?\\C:\\Games\\\u0424\u0440\u043e\\\u65e5.txt"},
    // Already absolute.
    {L"C:\\Games", "D:\\Other\\x.pak", L"\\\\?\\D:\\Other\\x.pak"},
    {L"C:\\Games", "\\\\nas\\share\\x.pak", L"\\\\?\\UNC\\nas\\share\\x.pak"},
    {L"C:\\Games", "\\\\?\\D:\\x.pak", L"\\\\?\\D:\\x.pak"},
    {L"C:\\Games", "\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
    // Left to the system, which alone knows the drive's current directory.
    {L"C:\\Games", "D:x.pak", L"D:x.pak"},
    {L"C:\\Games", "\\x.pak", L"\\x.pak"},
    {L"C:\\Games", "", L""},
    {L"", "x.pak", L"x.pak"},
};

}  // namespace

int main() {
    int failures = 0;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const std::wstring got = zem::long_path_from(cases[i].current_directory, cases[i].path);
        if (got == cases[i].expected) continue;
        printf("case %u: \"%s\" gave \"%s\", not \"%s\"\n", static_cast<unsigned>(i), cases[i].path,
               zem::to_utf8(got.c_str()).c_str(), zem::to_utf8(cases[i].expected).c_str());
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
