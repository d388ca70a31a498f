#include "platform/platform.h"

#include "platform/common/thread_start.h"

#include <process.h>

static unsigned __stdcall threadTrampoline(void* raw) {
    platformThreadRun(raw);
    return 0;
}

int platformPinModule() {
    HMODULE module = nullptr;
    DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
    return GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&platformPinModule), &module) ? 0
                                                                                            : -1;
}

// _beginthreadex rather than CreateThread, so the C runtime sets up its per-thread state.
int platformThreadStart(PlatformThread* thread, PlatformThreadBody body, void* arg) {
    void* start = platformThreadPrepare(body, arg);
    if (start == nullptr) {
        return -1;
    }
    uintptr_t handle = _beginthreadex(nullptr, 0, threadTrampoline, start, 0, nullptr);
    if (handle == 0) {
        platformThreadAbandon(start);
        return -1;
    }
    *thread = reinterpret_cast<HANDLE>(handle);
    return 0;
}

void platformThreadJoin(PlatformThread thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

void platformThreadDetach(PlatformThread thread) {
    CloseHandle(thread);
}

int platformCpuCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors < 1 ? 1 : static_cast<int>(info.dwNumberOfProcessors);
}

void platformSleepMs(uint32_t ms) {
    Sleep(ms);
}

uint32_t platformTickMs() {
    return GetTickCount();
}
