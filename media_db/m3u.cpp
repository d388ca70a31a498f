// Extended M3U playlists: each becomes a playlist container whose items are the entries that
// exist on disk, in file order.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "mp3/mp3_info.h"
#include "platform/platform.h"
#include "runtime/utf8.h"

namespace {

constexpr int kLineSize = 512; // at most 511 characters per read; longer lines split
// A line's text as UTF-8: each byte of the host's encoding gives at most 3 bytes.
constexpr int kTextSize = 3 * kLineSize;

struct M3uEntry {
    char title[kLineSize];
    char path[kLineSize];
    int64_t size;
    long long seconds;
};

// The entries read so far; `items` is owned (std::free).
struct M3uEntries {
    M3uEntry* items;
    size_t count;
    size_t capacity;
};

// Room for one more entry, doubling the array. Nullptr when memory is short.
M3uEntry* addEntry(M3uEntries* entries) {
    if (entries->count == entries->capacity) {
        size_t capacity = entries->capacity == 0 ? 16 : 2 * entries->capacity;
        auto* grown =
            static_cast<M3uEntry*>(std::realloc(entries->items, capacity * sizeof(M3uEntry)));
        if (grown == nullptr) {
            return nullptr;
        }
        entries->items = grown;
        entries->capacity = capacity;
    }
    return &entries->items[entries->count++];
}

// Reads one line without its line end ("\n" or "\r\n"). False at the end of the file.
bool readLine(FILE* file, char* line) {
    if (std::fgets(line, kLineSize, file) == nullptr) {
        return false;
    }
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        line[--length] = '\0';
    }
    if (length > 0 && line[length - 1] == '\r') {
        line[--length] = '\0';
    }
    return true;
}

// The playlist's title: the name, cut to 511 characters, without its last four characters when
// it contains ".m3u" and is longer than that.
void playlistTitle(const char* name, char* title) {
    size_t length = strnlen(name, kLineSize - 1);
    std::memcpy(title, name, length);
    title[length] = '\0';
    if (std::strstr(title, ".m3u") != nullptr && length > 4) {
        title[length - 4] = '\0';
    }
}

// An entry's file into `path` (kLineSize bytes, cut to fit): absolute path lines as they
// stand, others relative to the playlist's folder.
void resolvePath(const char* playlistPath, const char* line, char* path) {
    int folderLength = 0;
    if (!platformPathIsAbsolute(line)) {
        const char* separator = std::strrchr(playlistPath, platformPathSeparator);
        if (separator != nullptr) {
            folderLength = static_cast<int>(separator - playlistPath + 1);
        }
    }
    // A longer path is cut to fit; such an entry then names no file and is dropped.
    size_t folder = static_cast<size_t>(folderLength) < kLineSize - 1
                        ? static_cast<size_t>(folderLength)
                        : kLineSize - 1;
    std::memcpy(path, playlistPath, folder);
    size_t rest = strnlen(line, kLineSize - 1 - folder);
    std::memcpy(path + folder, line, rest);
    path[folder + rest] = '\0';
}

// Reads the entries after the first line until the pattern breaks; entries whose file does not
// exist are dropped.
// Stops early, keeping what was read, when memory is short.
void readEntries(FILE* file, const char* playlistPath, M3uEntries* entries) {
    char line[kLineSize];
    char pathLine[kLineSize];
    while (readLine(file, line)) {
        if (std::strncmp(line, "#EXTINF:", 8) != 0) {
            return;
        }
        const char* comma = std::strchr(line, ',');
        if (comma == nullptr || !readLine(file, pathLine)) {
            return;
        }
        char path[kLineSize];
        resolvePath(playlistPath, pathLine, path);
        PlatformFileStatus status;
        if (platformFileStatus(path, &status) != 0) {
            continue;
        }
        M3uEntry* entry = addEntry(entries);
        if (entry == nullptr) {
            return;
        }
        entry->seconds = std::strtoll(line + 8, nullptr, 10);
        std::snprintf(entry->title, sizeof entry->title, "%s", comma + 1);
        std::memcpy(entry->path, path, sizeof path);
        entry->size = status.size;
    }
}

// Fills one playlist item; false on short memory. The title is the host's text (its code page
// on Windows), kept as UTF-8 like every catalogue text.
bool fillEntry(MediaObject* item, const M3uEntry& entry, int32_t trackNumber) {
    char title[kTextSize];
    utf8FromHostText(entry.title, title, kTextSize);
    item->title = strdup(title);
    if (item->title == nullptr) {
        return false;
    }
    item->size = static_cast<int32_t>(entry.size);
    item->track_number = trackNumber;
    // An unknown length (negative seconds) gets no duration rather than a negative time.
    if (entry.seconds >= 0 && entry.seconds < INT64_MAX / 1000) {
        char text[32];
        item->duration = strdup(mp3_format_duration(entry.seconds * 1000, text, sizeof text));
    }
    return true;
}

} // namespace

void media_db_read_m3u(const char* path, const char* name) {
    if (path == nullptr || name == nullptr) {
        return;
    }
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return;
    }
    char first[kLineSize];
    if (!readLine(file, first)) {
        std::fclose(file);
        return;
    }
    // The file system is queried before the lock is taken, so readers never wait for the disk.
    M3uEntries entries = {nullptr, 0, 0};
    readEntries(file, path, &entries);
    std::fclose(file);

    char name511[kLineSize];
    playlistTitle(name, name511);
    char title[kTextSize];
    utf8FromHostText(name511, title, kTextSize); // a name from the host's settings file
    media_db_lock();
    MediaObject* playlist =
        add_child_container(title, media_db_top().playlists, kClassPlaylistContainer);
    for (size_t i = 0; playlist != nullptr && i < entries.count; i++) {
        MediaObject* item = make_item(entries.items[i].path, kClassMusicTrack);
        if (item == nullptr) {
            break;
        }
        if (!fillEntry(item, entries.items[i], static_cast<int32_t>(i + 1))) {
            media_db_free_unlinked(item);
            break;
        }
        media_db_append_child(playlist, item);
    }
    media_db_unlock();
    std::free(entries.items);
}
