// The ranged reader's background thread on Windows. _beginthreadex rather
// than CreateThread, so that the C library's per-thread state is set up
// for the thread's snprintf.
#include "platform/platform.h"

#include <new>
#include <process.h>
#include <windows.h>

namespace zem {

struct ThreadState {
    HANDLE thread;
    void (*body)(void*);
    void* argument;
};

static unsigned __stdcall run_thread_body(void* state) {
    ThreadState* thread = static_cast<ThreadState*>(state);
    thread->body(thread->argument);
    return 0;
}

Thread start_thread(void (*body)(void*), void* argument) {
    ThreadState* state = new (std::nothrow) ThreadState{nullptr, body, argument};
    if (state == nullptr) return Thread();
    const uintptr_t handle = _beginthreadex(nullptr, 0, run_thread_body, state, 0, nullptr);
    if (handle == 0) {
        delete state;
        return Thread();
    }
    state->thread = reinterpret_cast<HANDLE>(handle);
    return Thread(state);
}

// The wait on the thread's handle orders its writes before everything
// after it.
void join_thread(ThreadState* thread) {
    WaitForSingleObject(thread->thread, INFINITE);
    CloseHandle(thread->thread);
    delete thread;
}

}  // namespace zem
