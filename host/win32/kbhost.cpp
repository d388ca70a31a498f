// kbhost.exe: a stand-in for the media player on Windows (and under Wine). It owns a real main
// window with a message loop, loads every Plugins\gen_*.dll of its own folder as the player
// loads its general-purpose plug-ins, and turns lines of standard input, read on a thread of
// their own and posted to the loop, into the window messages the player would send.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/host_common.h"

namespace {
using Record = HostPluginRecord<HWND, HINSTANCE>;

struct LoadedPlugin {
    std::string name;
    HMODULE module;
    Record* record;
};
} // namespace

// A line of input posted to the main thread; lParam is a malloc'ed text, freed by the loop.
constexpr UINT kInputLineMessage = WM_APP + 1;

static HWND hostWindow;
static DWORD mainThreadId;
static std::string iniPath;

// The host's own window procedure: answers the settings-file query.
static LRESULT CALLBACK hostWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kHostUserMessage && lParam == kSettingsPathQuery) {
        return reinterpret_cast<LRESULT>(iniPath.c_str());
    }
    return DefWindowProcA(window, msg, wParam, lParam);
}

static void postLine(const char* line) {
    char* copy = _strdup(line);
    if (copy != nullptr &&
        !PostThreadMessageA(mainThreadId, kInputLineMessage, 0, reinterpret_cast<LPARAM>(copy))) {
        std::free(copy);
    }
}

// Reads standard input; end of input counts as "quit".
static DWORD WINAPI inputThread(void*) {
    char line[512];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        postLine(line);
    }
    postLine("quit");
    return 0;
}

static BOOL WINAPI onConsoleControl(DWORD) {
    postLine("quit");
    return TRUE;
}

static std::string hostFolder() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        return ".";
    }
    char* slash = std::strrchr(path, '\\');
    if (slash != nullptr) {
        *slash = '\0';
    }
    return path;
}

static std::vector<LoadedPlugin> loadPlugins(const std::string& folder) {
    std::vector<LoadedPlugin> plugins;
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\Plugins\\gen_*.dll").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            names.push_back(found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        HMODULE module = LoadLibraryA((folder + "\\Plugins\\" + name).c_str());
        if (module == nullptr) {
            std::printf("kbhost: cannot load %s: error %lu\n", name.c_str(), GetLastError());
            continue;
        }
        using Entry = Record* (*)();
        Entry entry = reinterpret_cast<Entry>(
            reinterpret_cast<void*>(GetProcAddress(module, "winampGetGeneralPurposePlugin")));
        Record* record = entry != nullptr ? entry() : nullptr;
        if (record == nullptr) {
            std::printf("kbhost: %s is no general-purpose plug-in\n", name.c_str());
            FreeLibrary(module);
            continue;
        }
        plugins.push_back({name, module, record});
    }
    return plugins;
}

static void startPlugins(std::vector<LoadedPlugin>* plugins) {
    for (LoadedPlugin& plugin : *plugins) {
        Record* record = plugin.record;
        std::printf("kbhost: loaded %s: version=%d description=\"%s\" record=%u bytes\n",
                    plugin.name.c_str(), static_cast<int>(record->version),
                    record->description != nullptr ? record->description : "",
                    static_cast<unsigned>(sizeof(Record)));
        record->hostWindow = hostWindow;
        record->instance = plugin.module;
        record->init();
    }
}

// Quits the plug-ins, last loaded first, and unloads them; a module whose procedure is still
// in the window's chain stays loaded, since unloading it would leave the window calling freed
// code.
static void stopPlugins(std::vector<LoadedPlugin>* plugins) {
    DWORD began = GetTickCount();
    for (auto it = plugins->rbegin(); it != plugins->rend(); ++it) {
        it->record->quit();
    }
    // How long the plug-ins' quit held the host's window thread.
    std::printf("kbhost: quit took %lu ms\n", static_cast<unsigned long>(GetTickCount() - began));
    std::fflush(stdout);
    WNDPROC current = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hostWindow, GWLP_WNDPROC));
    if (current != hostWindowProc) {
        std::printf("kbhost: warning: the host window procedure was not restored\n");
        return;
    }
    for (auto it = plugins->rbegin(); it != plugins->rend(); ++it) {
        FreeLibrary(it->module);
    }
    plugins->clear();
}

// Runs one input line. Returns false for quit.
static bool runCommand(const char* line, std::vector<LoadedPlugin>* plugins) {
    HostCommand command = hostParseCommand(line);
    switch (command.kind) {
    case HostCommandKind::None:
        break;
    case HostCommandKind::Click:
        SendMessageA(hostWindow, command.msg, command.wParam, command.lParam);
        break;
    case HostCommandKind::Message:
        std::printf("result: %lld\n",
                    static_cast<long long>(
                        SendMessageA(hostWindow, command.msg, command.wParam, command.lParam)));
        break;
    case HostCommandKind::Config:
        for (LoadedPlugin& plugin : *plugins) {
            plugin.record->config();
        }
        break;
    case HostCommandKind::Quit:
        return false;
    case HostCommandKind::Invalid:
        std::printf("kbhost: unknown command: %s", line);
        break;
    }
    return true;
}

static bool createHostWindow(HINSTANCE instance) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = hostWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "KestrelBloomStandInHost";
    if (RegisterClassA(&windowClass) == 0) {
        return false;
    }
    hostWindow = CreateWindowExA(0, windowClass.lpszClassName, "KestrelBloom stand-in host",
                                 WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 200,
                                 nullptr, nullptr, instance, nullptr);
    return hostWindow != nullptr;
}

// Dispatches window messages and runs input lines until quit.
static void messageLoop(std::vector<LoadedPlugin>* plugins) {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == kInputLineMessage) {
            char* line = reinterpret_cast<char*>(msg.lParam);
            bool goOn = runCommand(line, plugins);
            std::free(line);
            if (!goOn) {
                return;
            }
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

int main(int argc, char** argv) {
    // The C runtime buffers a pipe fully; unbuffered, every line reaches a reader at once.
    setvbuf(stdout, nullptr, _IONBF, 0);
    HostOptions options;
    if (!hostParseOptions(argc, argv, &options)) {
        return 2;
    }
    std::string folder = hostFolder();
    if (options.music != nullptr && hostWriteMusicLibrary(options.music, folder.c_str()) != 0) {
        return 1;
    }
    iniPath = folder + "\\winamp.ini";
    if (!createHostWindow(GetModuleHandleA(nullptr))) {
        std::fprintf(stderr, "kbhost: cannot create the host window\n");
        return 1;
    }
    mainThreadId = GetCurrentThreadId();
    MSG peek;
    PeekMessageA(&peek, nullptr, WM_USER, WM_USER, PM_NOREMOVE); // the thread's queue exists
    SetConsoleCtrlHandler(onConsoleControl, TRUE);

    std::vector<LoadedPlugin> plugins = loadPlugins(folder);
    startPlugins(&plugins);
    std::printf("kbhost: started\n");
    HANDLE reader = CreateThread(nullptr, 0, inputThread, nullptr, 0, nullptr);
    if (reader != nullptr) {
        CloseHandle(reader);
    }
    messageLoop(&plugins);
    stopPlugins(&plugins);
    std::printf("kbhost: stopped\n");
    // Threads left running in an unloaded module fault within this time instead of being
    // hidden by the process ending at once.
    if (options.stayMs > 0) {
        Sleep(static_cast<DWORD>(options.stayMs));
    }
    DestroyWindow(hostWindow);
    return 0;
}
