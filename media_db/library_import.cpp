// The media-library watcher: follows the host library's track list and saved playlists and,
// when either file changes, builds the next catalogue version (re-reading only changed track
// files) and publishes it when something in it changed.
#include "media_db/library_import.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "media_db/catalogue_update.h"
#include "media_db/folder_watch.h"
#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "platform/platform.h"

namespace {

constexpr int kPathSize = 1024;
constexpr uint32_t kPassMs = 1000;
constexpr uint32_t kWakeStepMs = 20;
// How long a changed library or settings file must keep its size and time before it is read.
constexpr uint32_t kSettleMs = 300;
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

// Collects every zero-terminated text ending in ".mp3", in file order, into *paths (pointers
// into bytes; free the array). False on short memory.
bool libraryPaths(const char* bytes, size_t size, const char*** paths, int32_t* count) {
    *paths = nullptr;
    *count = 0;
    int32_t capacity = 0;
    // Every zero byte ends a text; the text is a path when ".mp3" stands right before it.
    const char* start = bytes;
    const char* end = bytes + size;
    while (start < end) {
        const char* zero = static_cast<const char*>(std::memchr(start, '\0', end - start));
        if (zero == nullptr) {
            break;
        }
        const char* text = start;
        start = zero + 1;
        if (zero - bytes < 4 || std::memcmp(zero - 4, ".mp3", 4) != 0) {
            continue;
        }
        if (*count == capacity) {
            capacity = capacity == 0 ? 1024 : capacity * 2;
            void* grown = std::realloc(*paths, sizeof(char*) * static_cast<size_t>(capacity));
            if (grown == nullptr) {
                return false;
            }
            *paths = static_cast<const char**>(grown);
        }
        (*paths)[(*count)++] = text;
    }
    return true;
}

// Hands the published version's changed containers to the change hook.
void announceVersion() {
    MediaLibraryChangeHook hook = gChangeHook.load(std::memory_order_relaxed);
    if (hook == nullptr) {
        return;
    }
    MediaCatalogue* version = media_db_acquire();
    int32_t count = 0;
    const MediaChange* changes = media_db_version_changes(version, &count);
    hook(changes, count);
    media_db_release(version);
}

struct PlaylistSource {
    const char* folder;
    const char* settingsPath;
    bool exists;
};

// Adds the saved playlists to the version being written.
void readPlaylists(void* context) {
    const auto* source = static_cast<const PlaylistSource*>(context);
    if (!source->exists) {
        return;
    }
    const char* folder = source->folder;
    const char* settingsPath = source->settingsPath;
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

void sleepUnlessStopped(uint32_t ms) {
    for (uint32_t slept = 0; slept < ms && gStopping.load(std::memory_order_relaxed) == 0;
         slept += kWakeStepMs) {
        platformSleepMs(kWakeStepMs);
    }
}

// Whether the file still has the status *seen recorded. When it does not, *seen is marked so
// that the next pass sees the file as changed again and checks it anew.
bool stillAsSeen(const char* path, SeenFile* seen) {
    SeenFile again = *seen;
    if (!fileChanged(path, &again)) {
        return true;
    }
    seen->modifiedNs = -1; // no file's time: the next pass compares unequal
    return false;
}

// The host rewrites its files in place, so a pass can catch one half-written (an empty or cut
// library would drop tracks and give them new ids when they come back). A changed file that
// was seen before is read only once its status has held still for `settleMs`.
bool settled(const char* path, SeenFile* seen, bool seenBefore, uint32_t settleMs) {
    if (!seenBefore || !seen->exists || settleMs == 0) {
        return true;
    }
    sleepUnlessStopped(settleMs);
    return stillAsSeen(path, seen);
}

} // namespace

bool media_library_pass(const char* folder, LibraryWatchState* state) {
    char libraryPath[kPathSize];
    char settingsPath[kPathSize];
    joinPath(libraryPath, folder, "Plugins/ml/main.dat");
    joinPath(settingsPath, folder, "Plugins/gen_ml.ini");

    // Every pass takes in the folders' reported changes, so that the system's queue does not
    // fill while the library stays the same, and always before any file's status is asked.
    if (state->folders == nullptr) {
        state->folders = folder_watch_open();
    }
    folder_watch_drain(state->folders);
    const bool librarySeenBefore = state->library.seen;
    const bool settingsSeenBefore = state->settings.seen;
    bool libraryChanged = fileChanged(libraryPath, &state->library);
    bool settingsChanged = fileChanged(settingsPath, &state->settings);
    if (!libraryChanged && !settingsChanged) {
        return false;
    }
    if ((libraryChanged &&
         !settled(libraryPath, &state->library, librarySeenBefore, state->settleMs)) ||
        (settingsChanged &&
         !settled(settingsPath, &state->settings, settingsSeenBefore, state->settleMs))) {
        return false;
    }
    char* bytes = nullptr;
    size_t size = 0;
    const char** paths = nullptr;
    int32_t count = 0;
    // A missing library is an empty one; one that cannot be read is tried again next pass.
    bool loaded = !libraryChanged || !state->library.exists || loadFile(libraryPath, &bytes, &size);
    // A library that changed while it was read is read again next pass.
    bool whole = !libraryChanged || stillAsSeen(libraryPath, &state->library);
    if (!loaded || !whole || !libraryPaths(bytes, size, &paths, &count)) {
        state->library.seen = whole ? false : state->library.seen;
        std::free(bytes);
        std::free(paths);
        return false;
    }
    PlaylistSource source{folder, settingsPath, state->settings.exists};
    CatalogueInput input{};
    input.paths = paths;
    input.count = count;
    input.keepTracks = !libraryChanged;
    input.playlistsChanged = settingsChanged;
    input.readPlaylists = readPlaylists;
    input.context = &source;
    input.stop = &gStopping;
    input.watch = state->folders;
    CatalogueResult result = catalogue_update(input);
    std::free(bytes);
    std::free(paths);
    if (result == CatalogueResult::Published) {
        // What the build read and worked with is freed only now: its pages go back rather than
        // stay resident until the next change.
        platformReleaseFreeMemory();
    }
    if (result == CatalogueResult::Failed || result == CatalogueResult::Stopped) {
        // Seen again as changed next pass.
        state->library.seen = false;
        return false;
    }
    gReadAt.store(static_cast<int64_t>(std::time(nullptr)), std::memory_order_relaxed);
    if (result == CatalogueResult::Published) {
        announceVersion();
        return true;
    }
    return false;
}

void media_library_state_release(LibraryWatchState* state) {
    folder_watch_close(state->folders);
    *state = LibraryWatchState{};
}

void media_library_import(void*) {
    LibraryWatchState state{};
    state.settleMs = kSettleMs;
    char folder[kPathSize];
    while (gStopping.load(std::memory_order_relaxed) == 0) {
        // A host path without a folder is skipped for this pass, not for the rest of the run.
        if (hostFolder(folder)) {
            media_library_pass(folder, &state);
        }
        sleepUnlessStopped(kPassMs);
    }
    media_library_state_release(&state);
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
