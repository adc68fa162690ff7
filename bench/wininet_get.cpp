// A bare WinINet download, the floor the Windows launcher is timed against
// under Wine (bench/install --wine): the archive read into a buffer that is
// thrown away, nothing written, nothing checked but the status and the
// byte count (the Content-Length of a whole answer, the range's length for a
// ranged one). With RANGE arguments (FIRST-LAST), each range is fetched on
// its own thread and request handle, all at once, with a Range header.
// Prints the bytes read in all; exits 1 on any failure.
//
// usage: wininet_get.exe URL [FIRST-LAST ...]
// Built by bench/install with x86_64-w64-mingw32-g++ -O2 -static (not part
// of the CMake build).
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD request_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE;
constexpr DWORD buffer_size = 256 * 1024;

struct Fetch {
    HINTERNET internet;
    std::wstring url;
    std::wstring headers;  // empty, or "Range: bytes=FIRST-LAST\r\n"
    DWORD expected_status;
    unsigned long long expected_bytes;  // 0: the answer's Content-Length
    unsigned long long bytes = 0;
    bool ok = false;
};

DWORD WINAPI fetch(void* argument) {
    Fetch& f = *static_cast<Fetch*>(argument);
    HINTERNET request = InternetOpenUrlW(f.internet, f.url.c_str(), f.headers.empty() ? nullptr : f.headers.c_str(),
                                         f.headers.empty() ? 0 : static_cast<DWORD>(-1), request_flags, 0);
    if (!request) {
        std::fprintf(stderr, "InternetOpenUrlW failed: %lu\n", GetLastError());
        return 1;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
    if (status != f.expected_status) {
        std::fprintf(stderr, "HTTP status %lu, expected %lu\n", status, f.expected_status);
        InternetCloseHandle(request);
        return 1;
    }
    if (f.expected_bytes == 0) {
        wchar_t length[32] = L"";
        size = sizeof length;
        if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, length, &size, nullptr)) {
            f.expected_bytes = _wcstoui64(length, nullptr, 10);
        }
    }
    std::vector<char> buffer(buffer_size);
    for (;;) {
        DWORD count = 0;
        if (!InternetReadFile(request, buffer.data(), buffer_size, &count)) {
            std::fprintf(stderr, "InternetReadFile failed: %lu\n", GetLastError());
            InternetCloseHandle(request);
            return 1;
        }
        if (count == 0) break;
        f.bytes += count;
    }
    InternetCloseHandle(request);
    if (f.bytes != f.expected_bytes) {
        std::fprintf(stderr, "read %llu bytes, expected %llu\n", f.bytes, f.expected_bytes);
        return 1;
    }
    f.ok = true;
    return 0;
}

std::wstring widened(const char* text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wininet_get.exe URL [FIRST-LAST ...]\n");
        return 2;
    }
    // WinINet allows two connections per server by default.
    DWORD connections = static_cast<DWORD>(argc - 2);
    if (connections > 2) {
        InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
    }
    HINTERNET internet = InternetOpenW(L"zem-bench-wininet", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!internet) {
        std::fprintf(stderr, "InternetOpenW failed: %lu\n", GetLastError());
        return 1;
    }
    std::vector<Fetch> fetches;
    if (argc == 2) {
        fetches.push_back(Fetch{internet, widened(argv[1]), L"", HTTP_STATUS_OK, 0});
    } else {
        for (int i = 2; i < argc; ++i) {
            unsigned long long first = 0, last = 0;
            if (std::sscanf(argv[i], "%llu-%llu", &first, &last) != 2 || last < first) {
                std::fprintf(stderr, "not a range FIRST-LAST: %s\n", argv[i]);
                return 2;
            }
            fetches.push_back(Fetch{internet, widened(argv[1]), L"Range: bytes=" + widened(argv[i]) + L"\r\n",
                                    HTTP_STATUS_PARTIAL_CONTENT, last - first + 1});
        }
    }
    std::vector<HANDLE> threads;
    for (Fetch& f : fetches) {
        HANDLE thread = CreateThread(nullptr, 0, fetch, &f, 0, nullptr);
        if (!thread) {
            std::fprintf(stderr, "CreateThread failed: %lu\n", GetLastError());
            return 1;
        }
        threads.push_back(thread);
    }
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    unsigned long long total = 0;
    bool ok = true;
    for (std::size_t i = 0; i < fetches.size(); ++i) {
        CloseHandle(threads[i]);
        total += fetches[i].bytes;
        ok = ok && fetches[i].ok;
    }
    InternetCloseHandle(internet);
    std::printf("%llu\n", total);
    return ok ? 0 : 1;
}
