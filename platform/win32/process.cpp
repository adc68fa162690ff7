// Process start, sleep and environment on Windows.
#include "platform/platform.h"
#include "platform/win32/wide.h"

#include <cstdio>
#include <cstring>

namespace zem {

BatchRun run_batch_file(const char* game_folder, uint32_t* exit_code, unsigned long* error_number) {
    // cmd.exe /c ""<folder>\ZEM-Play.bat"": the batch file's path in quotes
    // inside an outer pair, so that blanks in the folder's path survive
    // cmd.exe's quote handling.
    // The folder stays in its plain form: CreateProcess takes no "\\?\"
    // current directory, and the own path's limit keeps it within MAX_PATH.
    // A folder at a drive's root ends in '\' already ("E:\").
    const std::wstring folder = to_wide(game_folder);
    const wchar_t* separator = !folder.empty() && folder.back() == L'\\' ? L"" : L"\\";
    std::wstring command = L"cmd.exe /c \"\"" + folder + separator + L"ZEM-Play.bat\"\"";
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process)) {
        *error_number = GetLastError();
        return BatchRun::not_started;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;  // stays 0 when the exit code cannot be read
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    *exit_code = code;
    return BatchRun::finished;
}

void sleep_ms(uint32_t milliseconds) {
    Sleep(milliseconds);
}

size_t read_environment(const char* name, char* buffer, size_t capacity) {
    wchar_t value[1024];
    const DWORD length = GetEnvironmentVariableW(to_wide(name).c_str(), value, 1024);
    if (length == 0 || length >= 1024) return 0;
    const std::string narrow = to_utf8(value);
    if (narrow.empty() || narrow.size() >= capacity) return 0;
    memcpy(buffer, narrow.c_str(), narrow.size() + 1);
    return narrow.size();
}

}  // namespace zem
