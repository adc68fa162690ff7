// Process start, sleep and environment on POSIX.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace zem {

BatchRun run_batch_file(const char* game_folder, uint32_t* exit_code, unsigned long* error_number) {
    // The batch file runs as a shell script, in the game folder, sharing
    // this process's standard streams like cmd.exe shares the console.
    const std::string folder = system_path(game_folder);
    // The root "/" ends in its separator already.
    const std::string script = folder + (!folder.empty() && folder.back() == '/' ? "" : "/") + "ZEM-Play.bat";
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        *error_number = static_cast<unsigned long>(errno);
        return BatchRun::not_started;
    }
    int error = posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t child = 0;
    if (error == 0) {
        char shell[] = "/bin/sh";
        char* arguments[] = {shell, const_cast<char*>(script.c_str()), nullptr};
        error = posix_spawn(&child, "/bin/sh", &actions, nullptr, arguments, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        *error_number = static_cast<unsigned long>(error);
        return BatchRun::not_started;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    uint32_t code = 0;  // an exit status that cannot be read counts as 0
    if (waited == child && WIFEXITED(status)) code = static_cast<uint32_t>(WEXITSTATUS(status));
    else if (waited == child && WIFSIGNALED(status)) code = 128u + static_cast<uint32_t>(WTERMSIG(status));
    *exit_code = code;
    return BatchRun::finished;
}

void sleep_ms(uint32_t milliseconds) {
    struct timespec wait;
    wait.tv_sec = milliseconds / 1000;
    wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

size_t read_environment(const char* name, char* buffer, size_t capacity) {
    const char* value = getenv(name);
    if (value == nullptr) return 0;
    const size_t length = strlen(value);
    if (length == 0 || length >= capacity) return 0;
    memcpy(buffer, value, length + 1);
    return length;
}

}  // namespace zem
