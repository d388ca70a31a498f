#include "platform/platform.h"

#include <atomic>
#include <cstdlib>
#include <process.h>

namespace {
struct ThreadStart {
    PlatformThreadBody body;
    void* arg;
};
} // namespace

// Bodies started and not yet returned; raised before a thread starts, lowered as it ends.
static std::atomic<int32_t> runningThreads{0};

static unsigned __stdcall threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    std::free(raw);
    start.body(start.arg);
    runningThreads.fetch_sub(1, std::memory_order_release);
    return 0;
}

int platformThreadsRunning() {
    return runningThreads.load(std::memory_order_acquire);
}

int platformPinModule() {
    HMODULE module = nullptr;
    DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
    return GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&platformPinModule), &module) ? 0
                                                                                            : -1;
}

// _beginthreadex rather than CreateThread, so the C runtime sets up its per-thread state.
int platformThreadStart(PlatformThread* thread, PlatformThreadBody body, void* arg) {
    ThreadStart* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return -1;
    }
    start->body = body;
    start->arg = arg;
    runningThreads.fetch_add(1, std::memory_order_relaxed);
    uintptr_t handle = _beginthreadex(nullptr, 0, threadTrampoline, start, 0, nullptr);
    if (handle == 0) {
        runningThreads.fetch_sub(1, std::memory_order_relaxed);
        std::free(start);
        return -1;
    }
    *thread = reinterpret_cast<HANDLE>(handle);
    return 0;
}

int platformThreadStartDetached(PlatformThreadBody body, void* arg) {
    PlatformThread thread;
    if (platformThreadStart(&thread, body, arg) != 0) {
        return -1;
    }
    CloseHandle(thread);
    return 0;
}

void platformThreadJoin(PlatformThread thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

void platformThreadDetach(PlatformThread thread) {
    CloseHandle(thread);
}

void platformSleepMs(uint32_t ms) {
    Sleep(ms);
}

uint32_t platformTickMs() {
    return GetTickCount();
}
