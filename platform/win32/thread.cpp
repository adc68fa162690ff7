// The ranged reader's threads on Windows, their locks (SRW locks) and
// conditions (condition variables), and the monotonic clock.
// _beginthreadex rather than CreateThread, so that the C library's
// per-thread state is set up for the thread's snprintf.
#include "platform/platform.h"

#include <atomic>
#include <new>
#include <process.h>
#include <windows.h>

namespace zem {

struct ThreadState {
    HANDLE thread;
    void (*body)(void*);
    void* argument;
    // The thread's end and a detach each give the state up; the last goes
    // with it. A joined thread's is deleted by the join.
    std::atomic<int> holders{2};
};

static void give_up(ThreadState* thread) {
    if (thread->holders.fetch_sub(1) == 1) delete thread;
}

static unsigned __stdcall run_thread_body(void* state) {
    ThreadState* thread = static_cast<ThreadState*>(state);
    thread->body(thread->argument);
    give_up(thread);
    return 0;
}

Thread start_thread(void (*body)(void*), void* argument) {
    ThreadState* state = new (std::nothrow) ThreadState{nullptr, body, argument, {2}};
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

void detach_thread(ThreadState* thread) {
    CloseHandle(thread->thread);
    give_up(thread);
}

struct LockState {
    SRWLOCK lock;
};

struct ConditionState {
    CONDITION_VARIABLE condition;
};

Lock make_lock() {
    LockState* lock = new (std::nothrow) LockState;
    if (lock == nullptr) return Lock();
    InitializeSRWLock(&lock->lock);
    return Lock(lock);
}

// An SRW lock and a condition variable need no release of their own.
void close_lock(LockState* lock) {
    delete lock;
}

Condition make_condition() {
    ConditionState* condition = new (std::nothrow) ConditionState;
    if (condition == nullptr) return Condition();
    InitializeConditionVariable(&condition->condition);
    return Condition(condition);
}

void close_condition(ConditionState* condition) {
    delete condition;
}

void take_lock(LockState* lock) {
    AcquireSRWLockExclusive(&lock->lock);
}

void leave_lock(LockState* lock) {
    ReleaseSRWLockExclusive(&lock->lock);
}

void wait_for_condition(ConditionState* condition, LockState* lock, uint32_t timeout_ms) {
    SleepConditionVariableSRW(&condition->condition, &lock->lock, timeout_ms, 0);
}

void wake_condition(ConditionState* condition) {
    WakeAllConditionVariable(&condition->condition);
}

void wake_one_waiter(ConditionState* condition) {
    WakeConditionVariable(&condition->condition);
}

uint64_t monotonic_ms() {
    return GetTickCount64();
}

}  // namespace zem
