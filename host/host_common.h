// Pieces both stand-in hosts share: the plug-in record as the host declares it, the command
// parser, and the media-library writer behind --music.
#pragma once

#include <cstdint>

// The general-purpose plug-in record, as the host sees it: 32-bit fields on Windows.
template <typename Window, typename Instance> struct HostPluginRecord {
    int32_t version;
    const char* description;
    int (*init)();
    void (*config)();
    void (*quit)();
    Window hostWindow;
    Instance instance;
};

// Host-window messages.
constexpr uint32_t kHostUserMessage = 0x400; // WM_USER
constexpr intptr_t kSettingsPathQuery = 334;
constexpr uint32_t kTrayMessage = 3731;
constexpr uintptr_t kTrayIconId = 1024;
constexpr intptr_t kTrayLeftButtonDown = 0x201;

enum class HostCommandKind { None, Click, Message, Config, Quit, Invalid };

struct HostCommand {
    HostCommandKind kind;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

// Parses one line of standard input: "click", "message MSG WPARAM LPARAM" (decimal or 0x-hex),
// "config" or "quit". Blank lines give None, anything else Invalid.
HostCommand hostParseCommand(const char* line);

// Command-line options of both hosts.
struct HostOptions {
    const char* music; // --music DIR, or nullptr
    long stayMs;       // --stay MS: how long to live on after the plug-ins are unloaded
};

// Reads "[--music DIR] [--stay MS]". Returns true on success; otherwise prints the usage on
// standard error and returns false.
bool hostParseOptions(int argc, char** argv, HostOptions* options);

// Scans `musicDir` recursively and writes, under `hostDir`, Plugins/ml/main.dat (the .mp3
// paths, each ended by a zero byte) and Plugins/gen_ml.ini (one saved query per .m3u, its value
// the playlist's path relative to Plugins/ml/). Progress goes to standard error. Returns 0 on
// success; on failure prints why and returns -1.
int hostWriteMusicLibrary(const char* musicDir, const char* hostDir);
