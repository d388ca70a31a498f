// The plug-in record the host obtains, and the plug-in's process-wide switches.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The host's plug-in interface: this exact field order and 32-bit layout on Windows.
struct PluginRecord {
    int32_t version;
    const char* description;
    int (*init)();
    void (*config)();
    void (*quit)();
    PlatformWindow hostWindow;
    PlatformInstance instance;
};

PLATFORM_EXPORT PluginRecord* winampGetGeneralPurposePlugin();

// Non-zero until quit begins; the media-library watcher runs while it is set.
int pluginIsRunning();
