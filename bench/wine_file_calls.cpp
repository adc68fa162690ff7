// What each file the installer writes costs in Windows file calls, timed
// call by call: the same sequence as one small entry (the size query of
// its missing file, the part file made, 5,000 bytes written, flushed,
// closed, moved into place), for 3,000 files in 40 folders. Run it under
// Wine to see where a many-file installation's time goes there.
//
// build: x86_64-w64-mingw32-g++ -O2 -static -o wine_file_calls.exe bench/wine_file_calls.cpp
// run:   in an empty folder: wine wine_file_calls.exe [--no-flush]
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int file_count = 3000;
constexpr int folder_count = 40;

double seconds_now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    const bool flush = !(argc > 1 && strcmp(argv[1], "--no-flush") == 0);
    const char* names[] = {"size query (missing)", "part file made", "5000 bytes written", "flushed", "closed",
                           "moved into place"};
    double spent[6] = {};
    static char data[5000];
    memset(data, 'x', sizeof data);
    CreateDirectoryW(L"calls", nullptr);
    for (int folder = 0; folder < folder_count; ++folder) {
        wchar_t path[64];
        swprintf(path, 64, L"calls\\%02d", folder);
        CreateDirectoryW(path, nullptr);
    }
    for (int i = 0; i < file_count; ++i) {
        wchar_t local[128], part[128];
        swprintf(local, 128, L"calls\\%02d\\item%04d.json", i % folder_count, i);
        swprintf(part, 128, L"calls\\%02d\\item%04d.json.zempart", i % folder_count, i);
        double times[7];
        times[0] = seconds_now();
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        GetFileAttributesExW(local, GetFileExInfoStandard, &attributes);
        times[1] = seconds_now();
        const HANDLE file = CreateFileW(part, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        times[2] = seconds_now();
        DWORD written = 0;
        WriteFile(file, data, sizeof data, &written, nullptr);
        times[3] = seconds_now();
        if (flush) FlushFileBuffers(file);
        times[4] = seconds_now();
        CloseHandle(file);
        times[5] = seconds_now();
        MoveFileExW(part, local, MOVEFILE_REPLACE_EXISTING);
        times[6] = seconds_now();
        for (int step = 0; step < 6; ++step) spent[step] += times[step + 1] - times[step];
    }
    double total = 0;
    for (int step = 0; step < 6; ++step) {
        printf("%-22s %7.1f us a file\n", names[step], spent[step] / file_count * 1e6);
        total += spent[step];
    }
    printf("all: %.2f s for %d files\n", total, file_count);
    return 0;
}
