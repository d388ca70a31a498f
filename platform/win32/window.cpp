#include "platform/platform.h"

#include <cstring>
#include <shellapi.h>

PlatformWndProc platformWindowSetProc(PlatformWindow window, PlatformWndProc proc) {
    if (window == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
}

PlatformLResult platformWindowCallProc(PlatformWndProc proc, PlatformWindow window, uint32_t msg,
                                       PlatformWParam wParam, PlatformLParam lParam) {
    if (proc == nullptr) {
        return DefWindowProcA(window, msg, wParam, lParam);
    }
    return CallWindowProcA(proc, window, msg, wParam, lParam);
}

PlatformLResult platformWindowSendMessage(PlatformWindow window, uint32_t msg,
                                          PlatformWParam wParam, PlatformLParam lParam) {
    if (window == nullptr) {
        return 0;
    }
    return SendMessageA(window, msg, wParam, lParam);
}

PlatformIcon platformLoadIcon(PlatformInstance instance, int resourceId) {
    return LoadIconA(instance, MAKEINTRESOURCEA(resourceId));
}

// The 88-byte first form of NOTIFYICONDATA, which every shell version accepts.
static void fillTrayData(NOTIFYICONDATAA* data, PlatformWindow owner, uint32_t id) {
    std::memset(data, 0, sizeof *data);
    data->cbSize = NOTIFYICONDATAA_V1_SIZE;
    data->hWnd = owner;
    data->uID = id;
}

int platformTrayAdd(PlatformWindow owner, uint32_t id, uint32_t callbackMessage, PlatformIcon icon,
                    const char* tip) {
    NOTIFYICONDATAA data;
    fillTrayData(&data, owner, id);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = callbackMessage;
    data.hIcon = icon;
    // The first form holds a 64-byte tip.
    lstrcpynA(data.szTip, tip != nullptr ? tip : "", 64);
    return Shell_NotifyIconA(NIM_ADD, &data) ? 0 : -1;
}

int platformTrayDelete(PlatformWindow owner, uint32_t id) {
    NOTIFYICONDATAA data;
    fillTrayData(&data, owner, id);
    return Shell_NotifyIconA(NIM_DELETE, &data) ? 0 : -1;
}
