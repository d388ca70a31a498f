// Extended M3U playlists: each becomes a playlist container whose items are the entries that
// exist on disk, in file order.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "mp3/mp3_info.h"
#include "platform/platform.h"

namespace {

constexpr int kLineSize = 512; // at most 511 characters per read; longer lines split

struct M3uEntry {
    std::string title;
    std::string path;
    int64_t size;
    long long seconds;
};

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
std::string playlistTitle(const char* name) {
    std::string title(name, strnlen(name, kLineSize - 1));
    if (title.find(".m3u") != std::string::npos && title.size() > 4) {
        title.resize(title.size() - 4);
    }
    return title;
}

// An entry's file: absolute path lines as they stand, others relative to the playlist's folder.
std::string resolvePath(const char* playlistPath, const char* line) {
    std::string path;
    if (!platformPathIsAbsolute(line)) {
        const char* separator = std::strrchr(playlistPath, platformPathSeparator);
        if (separator != nullptr) {
            path.assign(playlistPath, static_cast<size_t>(separator - playlistPath + 1));
        }
    }
    path += line;
    if (path.size() > kLineSize - 1) {
        path.resize(kLineSize - 1);
    }
    return path;
}

// Reads the entries after the first line until the pattern breaks; entries whose file does not
// exist are dropped.
void readEntries(FILE* file, const char* playlistPath, std::vector<M3uEntry>* entries) {
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
        M3uEntry entry;
        entry.seconds = std::strtoll(line + 8, nullptr, 10);
        entry.title = comma + 1;
        entry.path = resolvePath(playlistPath, pathLine);
        PlatformFileStatus status;
        if (platformFileStatus(entry.path.c_str(), &status) != 0) {
            continue;
        }
        entry.size = status.size;
        entries->push_back(entry);
    }
}

// Fills one playlist item; false on short memory.
bool fillEntry(MediaObject* item, const M3uEntry& entry, int32_t trackNumber) {
    item->title = strdup(entry.title.c_str());
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
    std::vector<M3uEntry> entries;
    readEntries(file, path, &entries);
    std::fclose(file);

    media_db_lock();
    MediaObject* playlist = add_child_container(playlistTitle(name).c_str(),
                                                media_db_top().playlists, kClassPlaylistContainer);
    for (size_t i = 0; playlist != nullptr && i < entries.size(); i++) {
        MediaObject* item = make_item(entries[i].path.c_str(), kClassMusicTrack);
        if (item == nullptr) {
            break;
        }
        if (!fillEntry(item, entries[i], static_cast<int32_t>(i + 1))) {
            media_db_free_unlinked(item);
            break;
        }
        media_db_append_child(playlist, item);
    }
    media_db_unlock();
}
