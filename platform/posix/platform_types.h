// Handle types of the POSIX build. The host window is a record owned by the stand-in host
// (host/posix), with a window-procedure slot that the plug-in can replace.
#pragma once

#include <cstdint>
#include <pthread.h>

using PlatformSocket = int;
constexpr PlatformSocket kPlatformInvalidSocket = -1;

using PlatformThread = pthread_t;

using PlatformLResult = intptr_t;
using PlatformWParam = uintptr_t;
using PlatformLParam = intptr_t;

struct PlatformHostWindow;
using PlatformWindow = PlatformHostWindow*;
using PlatformInstance = void*;
using PlatformIcon = const void*;

#define PLATFORM_CALLBACK

using PlatformWndProc = PlatformLResult(PLATFORM_CALLBACK*)(PlatformWindow, uint32_t,
                                                            PlatformWParam, PlatformLParam);

// The stand-in host's window: the host creates one and hands it to the plug-in record.
struct PlatformHostWindow {
    PlatformWndProc proc;
};

// Exported entry points carry default visibility; everything else is hidden.
#define PLATFORM_EXPORT extern "C" __attribute__((visibility("default")))
