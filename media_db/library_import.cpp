// The media-library watcher: follows the host library's track list and saved playlists and
// rebuilds the matching part of the catalogue when either file changes.
#include "media_db/library_import.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "platform/platform.h"

namespace {

constexpr int kPathSize = 1024;
constexpr uint32_t kPassMs = 1000;
constexpr uint32_t kWakeStepMs = 20;
constexpr const char* kSettingsSection = "gen_ml_config";

// Set by media_library_stop, cleared by media_library_start (window thread); polled by the
// watcher between passes, tracks and playlists so that quit does not wait for a rebuild.
std::atomic<int32_t> gStopping{0};
// Set by the watcher after each pass that read a changed file; read by the status page.
std::atomic<int64_t> gReadAt{0};
// Written only by the window thread in start and stop.
PlatformThread gThread;
bool gThreadStarted = false;
// Set at start on the window thread, read by the watcher.
std::atomic<MediaLibraryChangeHook> gChangeHook{nullptr};

// Updates *seen from the file's status; true when that differs from the last pass.
bool fileChanged(const char* path, SeenFile* seen) {
    PlatformFileStatus status{};
    bool exists = platformFileStatus(path, &status) == 0;
    SeenFile now{true, exists, exists ? status.size : 0, exists ? status.modifiedNs : 0};
    bool changed = !seen->seen || now.exists != seen->exists || now.size != seen->size ||
                   now.modifiedNs != seen->modifiedNs;
    *seen = now;
    return changed;
}

// "folder/part/part/..." with the platform's separator, cut to kPathSize - 1 characters (a cut
// path names no file, so it is simply not found).
void joinPath(char* out, const char* folder, const char* tail) {
    int length = std::snprintf(out, kPathSize, "%s%c%s", folder, platformPathSeparator, tail);
    if (length < 0) {
        out[0] = '\0';
        return;
    }
    for (char* p = out + std::strlen(folder); *p != '\0'; p++) {
        if (*p == '/' || *p == '\\') {
            *p = platformPathSeparator;
        }
    }
}

// The host program's folder; false when its path has no separator.
bool hostFolder(char* folder) {
    if (platformHostProgramPath(folder, kPathSize) <= 0) {
        return false;
    }
    char* last = std::strrchr(folder, platformPathSeparator);
    if (last == nullptr) {
        return false;
    }
    *last = '\0';
    return true;
}

// Loads the whole library file into *bytes (nullptr for an empty file). False when it cannot
// be opened or read.
bool loadFile(const char* path, char** bytes, size_t* size) {
    *bytes = nullptr;
    *size = 0;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    long length = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    bool ok = length >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    if (ok && length > 0) {
        *bytes = static_cast<char*>(std::malloc(static_cast<size_t>(length)));
        ok = *bytes != nullptr;
    }
    if (ok && length > 0) {
        *size = std::fread(*bytes, 1, static_cast<size_t>(length), file);
        ok = *size == static_cast<size_t>(length);
    }
    std::fclose(file);
    return ok;
}

// Adds every zero-terminated text ending in ".mp3" in file order. Stops early at quit.
void addLibraryTracks(const char* bytes, size_t size) {
    for (size_t i = 0; i + 5 <= size && gStopping.load(std::memory_order_relaxed) == 0; i++) {
        if (std::memcmp(bytes + i, ".mp3", 5) != 0) {
            continue;
        }
        size_t start = i;
        while (start > 0 && bytes[start - 1] != '\0') {
            start--;
        }
        media_db_add_track(bytes + start);
    }
}

// Rebuilds the whole catalogue from the library file. Returns false when the file existed but
// could not be loaded, so that the next pass tries again.
bool rebuildLibrary(const char* path, bool exists) {
    media_db_build();
    if (!exists) {
        return true; // a missing library is an empty one
    }
    char* bytes = nullptr;
    size_t size = 0;
    bool loaded = loadFile(path, &bytes, &size);
    addLibraryTracks(bytes, size);
    std::free(bytes);
    return loaded;
}

void readPlaylists(const char* folder, const char* settingsPath) {
    media_db_clear_playlists();
    int count = platformIniReadInt(kSettingsSection, "query_num", 0, settingsPath);
    char key[32];
    char value[kPathSize];
    char name[kPathSize];
    char m3uPath[kPathSize];
    char m3uTail[kPathSize + 16];
    for (int i = 1; i <= count && gStopping.load(std::memory_order_relaxed) == 0; i++) {
        std::snprintf(key, sizeof key, "query%d_val", i);
        platformIniReadString(kSettingsSection, key, "", value, kPathSize, settingsPath);
        if (std::strstr(value, ".m3u") == nullptr) {
            continue;
        }
        std::snprintf(key, sizeof key, "query%d_name", i);
        platformIniReadString(kSettingsSection, key, "", name, kPathSize, settingsPath);
        if (std::snprintf(m3uTail, sizeof m3uTail, "Plugins/ml/%s", value) < 0) {
            continue;
        }
        joinPath(m3uPath, folder, m3uTail);
        media_db_read_m3u(m3uPath, name);
    }
}

} // namespace

bool media_library_pass(const char* folder, LibraryWatchState* state) {
    char libraryPath[kPathSize];
    char settingsPath[kPathSize];
    joinPath(libraryPath, folder, "Plugins/ml/main.dat");
    joinPath(settingsPath, folder, "Plugins/gen_ml.ini");

    bool changed = false;
    if (fileChanged(libraryPath, &state->library)) {
        changed = true;
        if (!rebuildLibrary(libraryPath, state->library.exists)) {
            state->library.seen = false;
        }
    }
    if (fileChanged(settingsPath, &state->settings) || changed) {
        changed = true;
        if (state->settings.exists) {
            readPlaylists(folder, settingsPath);
        } else {
            media_db_clear_playlists();
        }
    }
    if (changed) {
        media_db_order_catalogue();
        gReadAt.store(static_cast<int64_t>(std::time(nullptr)), std::memory_order_relaxed);
    }
    if (changed && gStopping.load(std::memory_order_relaxed) == 0) {
        MediaLibraryChangeHook hook = gChangeHook.load(std::memory_order_relaxed);
        if (hook != nullptr) {
            hook();
        }
        return true;
    }
    return false;
}

namespace {

void sleepUnlessStopped(uint32_t ms) {
    for (uint32_t slept = 0; slept < ms && gStopping.load(std::memory_order_relaxed) == 0;
         slept += kWakeStepMs) {
        platformSleepMs(kWakeStepMs);
    }
}

} // namespace

void media_library_import(void*) {
    LibraryWatchState state{};
    char folder[kPathSize];
    while (gStopping.load(std::memory_order_relaxed) == 0) {
        // A host path without a folder is skipped for this pass, not for the rest of the run.
        if (hostFolder(folder)) {
            media_library_pass(folder, &state);
        }
        sleepUnlessStopped(kPassMs);
    }
}

void media_library_set_change_hook(MediaLibraryChangeHook hook) {
    gChangeHook.store(hook, std::memory_order_relaxed);
}

int64_t media_library_read_at() {
    return gReadAt.load(std::memory_order_relaxed);
}

int media_library_start() {
    if (gThreadStarted) {
        return 0;
    }
    gStopping.store(0, std::memory_order_relaxed);
    if (platformThreadStart(&gThread, media_library_import, nullptr) != 0) {
        return -1;
    }
    gThreadStarted = true;
    return 0;
}

void media_library_stop() {
    gStopping.store(1, std::memory_order_relaxed);
    if (gThreadStarted) {
        platformThreadJoin(gThread);
        gThreadStarted = false;
    }
}
