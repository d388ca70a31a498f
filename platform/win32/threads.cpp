#include "platform/platform.h"

#include <cstdlib>
#include <process.h>

namespace {
struct ThreadStart {
    PlatformThreadBody body;
    void* arg;
};
} // namespace

static unsigned __stdcall threadTrampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    std::free(raw);
    start.body(start.arg);
    return 0;
}

// _beginthreadex rather than CreateThread, so the C runtime sets up its per-thread state.
int platformThreadStart(PlatformThread* thread, PlatformThreadBody body, void* arg) {
    ThreadStart* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return -1;
    }
    start->body = body;
    start->arg = arg;
    uintptr_t handle = _beginthreadex(nullptr, 0, threadTrampoline, start, 0, nullptr);
    if (handle == 0) {
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
