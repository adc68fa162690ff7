#include "publish/publish_platform.h"

#include <thread>
#include <unistd.h>

namespace zem {

unsigned processor_count() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

void run_in_parallel(unsigned workers, void (*work)(void* context), void* context) {
    if (workers <= 1) {
        work(context);
        return;
    }
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < workers; ++i) threads.emplace_back(work, context);
    for (std::thread& thread : threads) thread.join();
}

}  // namespace zem
