// kbhost: a stand-in for the media player on Linux. It loads every Plugins/gen_*.so of its own
// folder as the player loads its general-purpose plug-ins, owns the "host window" the plug-ins
// hook, and turns lines of standard input into the window messages the player would send.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/host_common.h"
#include "platform/posix/platform_types.h"

namespace {
using Record = HostPluginRecord<PlatformWindow, void*>;

struct LoadedPlugin {
    std::string name;
    void* module;
    Record* record;
};
} // namespace

static PlatformHostWindow hostWindow;
static std::string iniPath;
static volatile sig_atomic_t quitSignalled = 0;

// The host's own window procedure: answers the settings-file query, ignores everything else.
static PlatformLResult hostWindowProc(PlatformWindow, uint32_t msg, PlatformWParam,
                                      PlatformLParam lParam) {
    if (msg == kHostUserMessage && lParam == kSettingsPathQuery) {
        return reinterpret_cast<PlatformLResult>(iniPath.c_str());
    }
    return 0;
}

static PlatformLResult sendToWindow(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    return hostWindow.proc(&hostWindow, msg, wParam, lParam);
}

static std::string hostFolder() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash != nullptr) {
        *slash = '\0';
    }
    return path;
}

static bool isPluginFile(const char* name) {
    size_t n = std::strlen(name);
    return std::strncmp(name, "gen_", 4) == 0 && n > 7 && std::strcmp(name + n - 3, ".so") == 0;
}

static std::vector<LoadedPlugin> loadPlugins(const std::string& folder) {
    std::vector<LoadedPlugin> plugins;
    std::string dirPath = folder + "/Plugins";
    DIR* dir = opendir(dirPath.c_str());
    if (dir == nullptr) {
        std::printf("kbhost: no plug-in folder %s\n", dirPath.c_str());
        return plugins;
    }
    std::vector<std::string> names;
    for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (isPluginFile(entry->d_name)) {
            names.push_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = dirPath + "/" + name;
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            std::printf("kbhost: cannot load %s: %s\n", name.c_str(), dlerror());
            continue;
        }
        using Entry = Record* (*)();
        Entry entry = reinterpret_cast<Entry>(dlsym(module, "winampGetGeneralPurposePlugin"));
        Record* record = entry != nullptr ? entry() : nullptr;
        if (record == nullptr) {
            std::printf("kbhost: %s is no general-purpose plug-in\n", name.c_str());
            dlclose(module);
            continue;
        }
        plugins.push_back({name, module, record});
    }
    return plugins;
}

static void startPlugins(std::vector<LoadedPlugin>* plugins) {
    for (LoadedPlugin& plugin : *plugins) {
        Record* record = plugin.record;
        std::printf("kbhost: loaded %s: version=%d description=\"%s\"\n", plugin.name.c_str(),
                    static_cast<int>(record->version),
                    record->description != nullptr ? record->description : "");
        record->hostWindow = &hostWindow;
        record->instance = plugin.module;
        record->init();
    }
}

// Quits the plug-ins, last loaded first, and unloads them. A module that left its procedure in
// the host window stays loaded: unloading it would leave the window calling into freed code.
static long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static void stopPlugins(std::vector<LoadedPlugin>* plugins) {
    long long began = monotonicMs();
    for (auto it = plugins->rbegin(); it != plugins->rend(); ++it) {
        it->record->quit();
    }
    // How long the plug-ins' quit held the host's window thread.
    std::printf("kbhost: quit took %lld ms\n", monotonicMs() - began);
    std::fflush(stdout);
    if (hostWindow.proc != hostWindowProc) {
        std::printf("kbhost: warning: the host window procedure was not restored\n");
        return;
    }
    for (auto it = plugins->rbegin(); it != plugins->rend(); ++it) {
        dlclose(it->module);
    }
    plugins->clear();
}

static void onSignal(int) {
    quitSignalled = 1;
}

// SIGINT and SIGTERM stay blocked on every thread (plug-in threads inherit the mask) and are
// taken only inside ppoll on the main thread, where they end the command loop.
static void setUpSignals(sigset_t* waitMask) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, waitMask);
    sigdelset(waitMask, SIGINT);
    sigdelset(waitMask, SIGTERM);
}

// Reads one line of standard input. Returns false at end of input or on a quit signal.
static bool readLine(std::string* pending, std::string* line, const sigset_t* waitMask) {
    for (;;) {
        size_t newline = pending->find('\n');
        if (newline != std::string::npos) {
            *line = pending->substr(0, newline);
            pending->erase(0, newline + 1);
            return true;
        }
        pollfd input = {0, POLLIN, 0};
        int ready = ppoll(&input, 1, nullptr, waitMask);
        if (quitSignalled) {
            return false;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        char block[512];
        ssize_t n = read(0, block, sizeof block);
        if (n <= 0) {
            *line = *pending; // a last line without its newline still counts
            pending->clear();
            return !line->empty();
        }
        pending->append(block, static_cast<size_t>(n));
    }
}

// Runs commands until quit, end of input or a signal.
static void commandLoop(std::vector<LoadedPlugin>* plugins, const sigset_t* waitMask) {
    std::string pending, line;
    while (readLine(&pending, &line, waitMask)) {
        HostCommand command = hostParseCommand(line.c_str());
        switch (command.kind) {
        case HostCommandKind::None:
            break;
        case HostCommandKind::Click:
            sendToWindow(command.msg, command.wParam, command.lParam);
            break;
        case HostCommandKind::Message:
            std::printf("result: %lld\n", static_cast<long long>(sendToWindow(
                                              command.msg, command.wParam, command.lParam)));
            break;
        case HostCommandKind::Config:
            for (LoadedPlugin& plugin : *plugins) {
                plugin.record->config();
            }
            break;
        case HostCommandKind::Quit:
            return;
        case HostCommandKind::Invalid:
            std::printf("kbhost: unknown command: %s\n", line.c_str());
            break;
        }
    }
}

int main(int argc, char** argv) {
    // Line-buffered even on a pipe, so a reader sees each line as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    HostOptions options;
    if (!hostParseOptions(argc, argv, &options)) {
        return 2;
    }
    std::string folder = hostFolder();
    if (options.music != nullptr && hostWriteMusicLibrary(options.music, folder.c_str()) != 0) {
        return 1;
    }
    iniPath = folder + "/winamp.ini";
    hostWindow.proc = hostWindowProc;
    sigset_t waitMask;
    setUpSignals(&waitMask);

    std::vector<LoadedPlugin> plugins = loadPlugins(folder);
    startPlugins(&plugins);
    std::printf("kbhost: started\n");
    commandLoop(&plugins, &waitMask);
    stopPlugins(&plugins);
    std::printf("kbhost: stopped\n");
    // Threads left running in an unloaded module fault within this time instead of being
    // hidden by the process ending at once.
    if (options.stayMs > 0) {
        usleep(static_cast<useconds_t>(options.stayMs) * 1000);
    }
    return 0;
}
