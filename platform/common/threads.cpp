// The parts of thread start-up that do not depend on the platform.
#include "platform/common/thread_start.h"

#include <atomic>
#include <cstdlib>

namespace {
struct ThreadStart {
    PlatformThreadBody body;
    void* arg;
};
} // namespace

// Bodies started and not yet returned; raised before a thread starts, lowered as it ends.
static std::atomic<int32_t> runningThreads{0};

void* platformThreadPrepare(PlatformThreadBody body, void* arg) {
    auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return nullptr;
    }
    start->body = body;
    start->arg = arg;
    runningThreads.fetch_add(1, std::memory_order_relaxed);
    return start;
}

void platformThreadAbandon(void* start) {
    runningThreads.fetch_sub(1, std::memory_order_relaxed);
    std::free(start);
}

void platformThreadRun(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    std::free(raw);
    start.body(start.arg);
    runningThreads.fetch_sub(1, std::memory_order_release);
}

int platformThreadsRunning() {
    return runningThreads.load(std::memory_order_acquire);
}

int platformThreadStartDetached(PlatformThreadBody body, void* arg) {
    PlatformThread thread;
    if (platformThreadStart(&thread, body, arg) != 0) {
        return -1;
    }
    platformThreadDetach(thread);
    return 0;
}
