#include "plugin/lifecycle.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "eventing/delivery.h"
#include "eventing/notify.h"
#include "media_db/library_import.h"
#include "media_db/media_db.h"
#include "runtime/diagnostics.h"
#include "server/http_server.h"

const char kSettingsSection[] = "KestrelBloom UPnP Media Server";
const char kSettingsKey[] = "STARTED";
const char kTipWhileOn[] = "disable KestrelBloom Media Server - Winamp";
const char kTipWhileOff[] = "enable KestrelBloom Media Server - Winamp";

// Announces a catalogue change to the event subscribers, with the changed containers.
static void announceCatalogueChange(const MediaChange* changes, int32_t count) {
    GenaContainerUpdate updates[kMaxAnnouncedContainers];
    int listed = 0;
    for (int32_t i = 0; i < count && listed < kMaxAnnouncedContainers; i++) {
        updates[listed++] = GenaContainerUpdate{changes[i].id, changes[i].update_id};
    }
    announceContainerUpdates(updates, listed);
}

// The watcher announces each catalogue change to the event subscribers.
static int startLibraryWatcher() {
    media_library_set_change_hook(announceCatalogueChange);
    return media_library_start();
}

static const LifecycleHooks kRealHooks = {
    startLibraryWatcher,
    media_library_stop,
    media_db_destroy,
    platformNetStartup,
    platformNetCleanup,
    startServers,
    stopServers,
    setRestartOnAddressChange,
    startAddressChangeThread,
    stopAddressChangeThread,
    httpShutdownConnections,
    genaDeliveryInterrupt,
    genaDeliveryStop,
    platformThreadsRunning,
    platformPinModule,
    1500,
};

// Everything below is written on the host's window thread only; the two flags are also read by
// other threads (the library watcher, tests), hence atomic words.
static const LifecycleHooks* hooks = &kRealHooks;
static std::atomic<int32_t> serverEnabled{1};
static std::atomic<int32_t> pluginRunning{1};
static char iniFilePath[1024];
static PlatformWndProc previousWindowProc = nullptr;
static bool windowHooked = false;
static PlatformIcon enabledIcon = nullptr;
static PlatformIcon disabledIcon = nullptr;

static PluginRecord record = {
    16,      "KestrelBloom UPnP Media Server v0.9", pluginInit, pluginConfig, pluginQuit, nullptr,
    nullptr,
};

// The host reads the record through its own 32-bit declaration of these fields.
static_assert(sizeof(void*) != 4 || sizeof(PluginRecord) == 28, "host record layout");

PluginRecord* pluginRecord() {
    return &record;
}

int pluginIsRunning() {
    return pluginRunning.load(std::memory_order_relaxed);
}

int pluginServerEnabled() {
    return serverEnabled.load(std::memory_order_relaxed);
}

void lifecycleReset(const LifecycleHooks* replacement) {
    hooks = replacement != nullptr ? replacement : &kRealHooks;
    serverEnabled.store(1, std::memory_order_relaxed);
    pluginRunning.store(1, std::memory_order_relaxed);
    iniFilePath[0] = '\0';
    previousWindowProc = nullptr;
    windowHooked = false;
    enabledIcon = nullptr;
    disabledIcon = nullptr;
    record.hostWindow = nullptr;
    record.instance = nullptr;
}

static void updateTrayIcon() {
    platformTrayDelete(record.hostWindow, kTrayIconId);
    bool on = pluginServerEnabled() != 0;
    platformTrayAdd(record.hostWindow, kTrayIconId, kTrayCallbackMessage,
                    on ? enabledIcon : disabledIcon, on ? kTipWhileOn : kTipWhileOff);
}

// Asks the host for its settings file; an answer below 0x10000 is no path.
static void readSettings() {
    PlatformLResult answer =
        platformWindowSendMessage(record.hostWindow, kHostMessage, 0, kSettingsPathQuery);
    const char* path = "winamp.ini";
    if (static_cast<uintptr_t>(answer) >= 0x10000) {
        path = reinterpret_cast<const char*>(answer);
    }
    std::snprintf(iniFilePath, sizeof iniFilePath, "%s", path);
    serverEnabled.store(
        platformIniReadInt(kSettingsSection, kSettingsKey, pluginServerEnabled(), iniFilePath),
        std::memory_order_relaxed);
}

static void writeSettings() {
    char value[16];
    std::snprintf(value, sizeof value, "%d", static_cast<int>(pluginServerEnabled()));
    platformIniWriteString(kSettingsSection, kSettingsKey, value, iniFilePath);
}

int pluginInit() {
    pluginRunning.store(1, std::memory_order_relaxed);
    readSettings();
    previousWindowProc = platformWindowSetProc(record.hostWindow, hostWindowProc);
    windowHooked = previousWindowProc != nullptr;
    enabledIcon = platformLoadIcon(record.instance, kEnabledIconId);
    disabledIcon = platformLoadIcon(record.instance, kDisabledIconId);
    updateTrayIcon();
    hooks->libraryStart();
    hooks->netStartup();
    if (pluginServerEnabled() != 0) {
        hooks->startServers();
    }
    hooks->startAddressChangeThread(restartServers, pluginServerEnabled());
    return 0;
}

void pluginConfig() {}

// Takes hostWindowProc out of the host window's chain. When another module has put its own
// procedure in front of ours since init, that one stays in front and still calls ours, so
// false is returned: the module must then stay loaded.
static bool unhookWindow() {
    if (!windowHooked) {
        return true;
    }
    PlatformWndProc current = platformWindowSetProc(record.hostWindow, previousWindowProc);
    if (current != hostWindowProc) {
        platformWindowSetProc(record.hostWindow, current);
        logPrint("KestrelBloom: host window procedure was replaced after ours; left in place\n");
        return false;
    }
    windowHooked = false;
    return true;
}

// Waits, at most timeoutMs, until no thread started by the plug-in is left. Returns the number
// still running.
static int waitForThreads(uint32_t timeoutMs) {
    uint32_t start = platformTickMs();
    int running = hooks->threadsRunning();
    while (running > 0 && platformTickMs() - start < timeoutMs) {
        platformSleepMs(10);
        running = hooks->threadsRunning();
    }
    if (running == 0) {
        platformSleepMs(20); // the last thread to end still has its return to run in our code
    }
    return running;
}

void pluginQuit() {
    pluginRunning.store(0, std::memory_order_relaxed);
    writeSettings();
    platformTrayDelete(record.hostWindow, kTrayIconId);
    bool unhooked = unhookWindow();
    // Everything that could hold quit up is cut short before any thread is waited for: no
    // restart on an address change, no event delivery (queued events are dropped, a connect
    // in progress fails), no live connection (a stream to a slow reader ends).
    hooks->setRestartOnAddressChange(0);
    hooks->interruptDeliveries();
    hooks->shutdownConnections();
    hooks->stopAddressChangeThread();
    hooks->stopServers();
    hooks->libraryStop();
    hooks->stopDeliveries();
    // Connections accepted while the servers were stopping.
    hooks->shutdownConnections();
    int running = waitForThreads(hooks->quitWaitMs);
    hooks->netCleanup();
    if (running > 0 || !unhooked) {
        // Threads still at work would run into unmapped code once the host unloads the module,
        // and may still read the catalogue; a window procedure hooked in front of ours still
        // calls ours. Keep both.
        hooks->pinModule();
        if (running > 0) {
            logPrint("KestrelBloom: %d thread(s) still running at quit; the module stays loaded\n",
                     running);
            return;
        }
    }
    hooks->databaseDestroy();
}

static void toggleServer() {
    if (pluginServerEnabled() != 0) {
        serverEnabled.store(0, std::memory_order_relaxed);
        // The flag goes first: a restart for an address change that is under way then leaves
        // the servers stopped instead of starting them again behind this stop.
        hooks->setRestartOnAddressChange(0);
        hooks->stopServers();
    } else {
        serverEnabled.store(1, std::memory_order_relaxed);
        hooks->startServers();
        hooks->setRestartOnAddressChange(1);
    }
    updateTrayIcon();
}

PlatformLResult PLATFORM_CALLBACK hostWindowProc(PlatformWindow window, uint32_t msg,
                                                 PlatformWParam wParam, PlatformLParam lParam) {
    bool trayClick = msg == kTrayCallbackMessage && (lParam & 0xFFFF) == kLeftButtonDown &&
                     (wParam & 0xFFFF) == kTrayIconId;
    if (trayClick && windowHooked && pluginIsRunning()) {
        toggleServer();
        return 0;
    }
    return platformWindowCallProc(previousWindowProc, window, msg, wParam, lParam);
}
