// The ranged reader's threads on POSIX: pthreads, their locks and
// conditions, and the monotonic clock.
#include "platform/platform.h"

#include <atomic>
#include <new>
#include <pthread.h>
#include <time.h>

namespace zem {

struct ThreadState {
    pthread_t thread;
    void (*body)(void*);
    void* argument;
    // The thread's end and a detach each give the state up; the last goes
    // with it. A joined thread's is deleted by the join.
    std::atomic<int> holders{2};
};

static void give_up(ThreadState* thread) {
    if (thread->holders.fetch_sub(1) == 1) delete thread;
}

static void* run_thread_body(void* state) {
    ThreadState* thread = static_cast<ThreadState*>(state);
    thread->body(thread->argument);
    give_up(thread);
    return nullptr;
}

Thread start_thread(void (*body)(void*), void* argument) {
    ThreadState* state = new (std::nothrow) ThreadState{pthread_t(), body, argument, {2}};
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

void detach_thread(ThreadState* thread) {
    pthread_detach(thread->thread);
    give_up(thread);
}

struct LockState {
    pthread_mutex_t mutex;
};

struct ConditionState {
    pthread_cond_t condition;
};

Lock make_lock() {
    LockState* lock = new (std::nothrow) LockState;
    if (lock == nullptr) return Lock();
    if (pthread_mutex_init(&lock->mutex, nullptr) != 0) {
        delete lock;
        return Lock();
    }
    return Lock(lock);
}

void close_lock(LockState* lock) {
    pthread_mutex_destroy(&lock->mutex);
    delete lock;
}

// The condition times its waits on the monotonic clock, so that a change
// of the wall clock neither cuts a wait short nor stretches it.
Condition make_condition() {
    ConditionState* condition = new (std::nothrow) ConditionState;
    if (condition == nullptr) return Condition();
    pthread_condattr_t attributes;
    bool made = pthread_condattr_init(&attributes) == 0;
    if (made) {
        made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
               pthread_cond_init(&condition->condition, &attributes) == 0;
        pthread_condattr_destroy(&attributes);
    }
    if (!made) {
        delete condition;
        return Condition();
    }
    return Condition(condition);
}

void close_condition(ConditionState* condition) {
    pthread_cond_destroy(&condition->condition);
    delete condition;
}

void take_lock(LockState* lock) {
    pthread_mutex_lock(&lock->mutex);
}

void leave_lock(LockState* lock) {
    pthread_mutex_unlock(&lock->mutex);
}

void wait_for_condition(ConditionState* condition, LockState* lock, uint32_t timeout_ms) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&condition->condition, &lock->mutex, &until);
}

void wake_condition(ConditionState* condition) {
    pthread_cond_broadcast(&condition->condition);
}

void wake_one_waiter(ConditionState* condition) {
    pthread_cond_signal(&condition->condition);
}

uint64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace zem
