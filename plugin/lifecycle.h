// The plug-in's start, stop, window hook and tray icon; internal to plugin/ and its tests.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "plugin/plugin.h"
#include "plugin/servers.h"

// Tray icon and host messages.
constexpr uint32_t kTrayIconId = 1024;
constexpr uint32_t kTrayCallbackMessage = 3731;
constexpr uint32_t kLeftButtonDown = 0x201;
constexpr uint32_t kHostMessage = 0x400; // WM_USER
constexpr PlatformLParam kSettingsPathQuery = 334;
constexpr int kEnabledIconId = 104;
constexpr int kDisabledIconId = 105;

extern const char kSettingsSection[];
extern const char kSettingsKey[];
extern const char kTipWhileOn[];
extern const char kTipWhileOff[];

// The one record the host obtains; init, config and quit run on the host's window thread.
PluginRecord* pluginRecord();
int pluginInit();
void pluginConfig();
void pluginQuit();
PlatformLResult PLATFORM_CALLBACK hostWindowProc(PlatformWindow window, uint32_t msg,
                                                 PlatformWParam wParam, PlatformLParam lParam);

// Non-zero while the server is switched on.
int pluginServerEnabled();

// The operations of other subsystems that start and stop call. Constant-initialised with the
// real ones; tests put recording stand-ins in their place so no server ever starts.
struct LifecycleHooks {
    int (*libraryStart)();
    void (*libraryStop)();
    void (*databaseDestroy)();
    int (*netStartup)();
    void (*netCleanup)();
    void (*startServers)();
    void (*stopServers)();
    void (*setRestartOnAddressChange)(int flag);
    void (*startAddressChangeThread)(ServerOperation operation, int flag);
    void (*stopAddressChangeThread)();
    void (*shutdownConnections)();
    void (*interruptDeliveries)(); // drops queued events, cuts a delivery in progress short
    void (*stopDeliveries)();      // the same, then waits for the delivery thread
    int (*threadsRunning)();
    int (*pinModule)();
    uint32_t quitWaitMs; // longest wait for threads that end on their own after stopServers
};

// Replaces the hooks (nullptr restores the real ones) and puts every switch back to its state
// at load. Window thread only, never while the plug-in is started.
void lifecycleReset(const LifecycleHooks* hooks);
