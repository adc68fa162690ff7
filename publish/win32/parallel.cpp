// Win32 threads: the mingw-w64 toolchain here uses the win32 thread model,
// whose libstdc++ has no std::thread.
#include "publish/publish_platform.h"

#include <windows.h>

namespace zem {

unsigned processor_count() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

struct ThreadStart {
    void (*work)(void*);
    void* context;
};

static DWORD WINAPI thread_main(void* parameter) {
    const ThreadStart* start = static_cast<const ThreadStart*>(parameter);
    start->work(start->context);
    return 0;
}

void run_in_parallel(unsigned workers, void (*work)(void* context), void* context) {
    ThreadStart start{work, context};
    std::vector<HANDLE> threads;
    for (unsigned i = 1; i < workers; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, thread_main, &start, 0, nullptr);
        if (thread != nullptr) threads.push_back(thread);
    }
    // The calling thread is one of the workers, so the work gets done even
    // when no thread could be started.
    work(context);
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

}  // namespace zem
