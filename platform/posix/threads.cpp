#include "platform/platform.h"

#include "platform/common/thread_start.h"

#include <cerrno>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

static void* threadTrampoline(void* raw) {
    platformThreadRun(raw);
    return nullptr;
}

int platformPinModule() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&platformPinModule), &info) == 0 ||
        info.dli_fname == nullptr) {
        return -1;
    }
    // A reference that is never released, on a module marked never to be unloaded.
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr ? 0 : -1;
}

int platformThreadStart(PlatformThread* thread, PlatformThreadBody body, void* arg) {
    void* start = platformThreadPrepare(body, arg);
    if (start == nullptr) {
        return -1;
    }
    if (pthread_create(thread, nullptr, threadTrampoline, start) != 0) {
        platformThreadAbandon(start);
        return -1;
    }
    return 0;
}

void platformThreadJoin(PlatformThread thread) {
    pthread_join(thread, nullptr);
}

void platformThreadDetach(PlatformThread thread) {
    pthread_detach(thread);
}

int platformCpuCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > 1024 ? 1024 : static_cast<int>(n);
}

void platformSleepMs(uint32_t ms) {
    timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

uint32_t platformTickMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}
