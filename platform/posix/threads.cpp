#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>

namespace {
struct ThreadStart {
    PlatformThreadBody body;
    void* arg;
};
} // namespace

// Bodies started and not yet returned; raised before a thread starts, lowered as it ends.
static std::atomic<int32_t> runningThreads{0};

static void* threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    std::free(raw);
    start.body(start.arg);
    runningThreads.fetch_sub(1, std::memory_order_release);
    return nullptr;
}

int platformThreadsRunning() {
    return runningThreads.load(std::memory_order_acquire);
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
    ThreadStart* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return -1;
    }
    start->body = body;
    start->arg = arg;
    runningThreads.fetch_add(1, std::memory_order_relaxed);
    if (pthread_create(thread, nullptr, threadTrampoline, start) != 0) {
        runningThreads.fetch_sub(1, std::memory_order_relaxed);
        std::free(start);
        return -1;
    }
    return 0;
}

int platformThreadStartDetached(PlatformThreadBody body, void* arg) {
    PlatformThread thread;
    if (platformThreadStart(&thread, body, arg) != 0) {
        return -1;
    }
    pthread_detach(thread);
    return 0;
}

void platformThreadJoin(PlatformThread thread) {
    pthread_join(thread, nullptr);
}

void platformThreadDetach(PlatformThread thread) {
    pthread_detach(thread);
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
