#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <pthread.h>

namespace {
struct ThreadStart {
    PlatformThreadBody body;
    void* arg;
};
} // namespace

static void* threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    std::free(raw);
    start.body(start.arg);
    return nullptr;
}

int platformThreadStart(PlatformThread* thread, PlatformThreadBody body, void* arg) {
    ThreadStart* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return -1;
    }
    start->body = body;
    start->arg = arg;
    if (pthread_create(thread, nullptr, threadTrampoline, start) != 0) {
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
