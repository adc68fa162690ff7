// The ranged reader's background thread on POSIX: pthreads.
#include "platform/platform.h"

#include <new>
#include <pthread.h>

namespace zem {

struct ThreadState {
    pthread_t thread;
    void (*body)(void*);
    void* argument;
};

static void* run_thread_body(void* state) {
    ThreadState* thread = static_cast<ThreadState*>(state);
    thread->body(thread->argument);
    return nullptr;
}

Thread start_thread(void (*body)(void*), void* argument) {
    ThreadState* state = new (std::nothrow) ThreadState{pthread_t(), body, argument};
    if (state == nullptr) return Thread();
    if (pthread_create(&state->thread, nullptr, run_thread_body, state) != 0) {
        delete state;
        return Thread();
    }
    return Thread(state);
}

// pthread_join orders the thread's writes before everything after it.
void join_thread(ThreadState* thread) {
    pthread_join(thread->thread, nullptr);
    delete thread;
}

}  // namespace zem
