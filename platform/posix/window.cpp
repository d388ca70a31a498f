// The stand-in host's window is a record with a procedure slot (platform_types.h); these calls
// act on it as SetWindowLong, CallWindowProc and SendMessage act on a real window.
#include "platform/platform.h"

#include <cstdio>

// Each loaded module resolves its own icons; any two distinct non-null handles will do.
static const char kIconNames[2][8] = {"icon104", "icon105"};

PlatformWndProc platformWindowSetProc(PlatformWindow window, PlatformWndProc proc) {
    if (window == nullptr) {
        return nullptr;
    }
    PlatformWndProc previous = window->proc;
    window->proc = proc;
    return previous;
}

PlatformLResult platformWindowCallProc(PlatformWndProc proc, PlatformWindow window, uint32_t msg,
                                       PlatformWParam wParam, PlatformLParam lParam) {
    if (proc == nullptr) {
        return 0;
    }
    return proc(window, msg, wParam, lParam);
}

PlatformLResult platformWindowSendMessage(PlatformWindow window, uint32_t msg,
                                          PlatformWParam wParam, PlatformLParam lParam) {
    if (window == nullptr) {
        return 0;
    }
    return platformWindowCallProc(window->proc, window, msg, wParam, lParam);
}

PlatformIcon platformLoadIcon(PlatformInstance, int resourceId) {
    if (resourceId == 104) {
        return kIconNames[0];
    }
    if (resourceId == 105) {
        return kIconNames[1];
    }
    return nullptr;
}

int platformTrayAdd(PlatformWindow owner, uint32_t, uint32_t, PlatformIcon, const char* tip) {
    if (owner == nullptr) {
        return -1;
    }
    // The stand-in tray is a line on standard output, flushed so a pipe reader sees it at once.
    std::printf("tray: %s\n", tip != nullptr ? tip : "");
    std::fflush(stdout);
    return 0;
}

int platformTrayDelete(PlatformWindow owner, uint32_t) {
    return owner == nullptr ? -1 : 0;
}
