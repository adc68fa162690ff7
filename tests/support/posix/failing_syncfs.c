// Preloaded (LD_PRELOAD) into a program under test: one syncfs call fails
// with EIO, as Linux reports data that a disk did not take (once, to the
// first call that asks). ZEM_FAIL_SYNCFS names the call: "main:N" the Nth
// on the process's main thread, "other:N" the Nth on any other thread.
// Every other call goes to the C library's syncfs.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static atomic_int main_calls;
static atomic_int other_calls;

int syncfs(int descriptor) {
    int (*real_syncfs)(int) = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
    const int on_main = syscall(SYS_gettid) == getpid();
    const int call = atomic_fetch_add(on_main ? &main_calls : &other_calls, 1) + 1;
    const char* wanted = getenv("ZEM_FAIL_SYNCFS");
    const char* prefix = on_main ? "main:" : "other:";
    if (wanted != NULL && strncmp(wanted, prefix, strlen(prefix)) == 0 && atoi(wanted + strlen(prefix)) == call) {
        errno = EIO;
        return -1;
    }
    return real_syncfs(descriptor);
}
