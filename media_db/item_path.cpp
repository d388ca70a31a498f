// An item's file path, read whole from its two parts: a track of a shared record keeps its
// folder once for all the folder's tracks (a shared text) and only its file name in the record;
// an item owning its texts keeps the whole path.
#include <cstring>

#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "platform/platform.h"

namespace {

// The byte at `index` of the whole path (0 past its end).
unsigned char byteAt(const PathParts& parts, size_t index) {
    return static_cast<unsigned char>(index < parts.folder_length
                                          ? parts.folder[index]
                                          : parts.name[index - parts.folder_length]);
}

} // namespace

size_t path_folder_length(const char* path) {
    const char* separator = std::strrchr(path, platformPathSeparator);
    return separator != nullptr ? static_cast<size_t>(separator - path) + 1 : 0;
}

PathParts media_db_path_parts(const MediaObject* item) {
    TrackRecord* record = track_record_of(item);
    const char* folder = record != nullptr ? record->shared[kRecordFolder] : nullptr;
    if (folder == nullptr) {
        return PathParts{"", 0, item->path_tail};
    }
    return PathParts{folder, std::strlen(folder), item->path_tail};
}

int path_parts_compare(const PathParts& a, const PathParts& b) {
    // The same folder (a folder's tracks share one text) or none: the names decide.
    if (a.folder_length == b.folder_length && (a.folder == b.folder || a.folder_length == 0)) {
        return std::strcmp(a.name, b.name);
    }
    for (size_t i = 0;; i++) {
        unsigned char x = byteAt(a, i);
        unsigned char y = byteAt(b, i);
        if (x != y || x == 0) {
            return x < y ? -1 : x > y ? 1 : 0;
        }
    }
}

size_t media_db_item_path(const MediaObject* item, char* out, size_t capacity) {
    if (item == nullptr) {
        return 0;
    }
    PathParts parts = media_db_path_parts(item);
    size_t nameLength = std::strlen(parts.name);
    size_t length = parts.folder_length + nameLength;
    if (length < capacity) {
        std::memcpy(out, parts.folder, parts.folder_length);
        std::memcpy(out + parts.folder_length, parts.name, nameLength + 1);
    }
    return length;
}

bool media_db_item_path_equals(const MediaObject* item, const char* path) {
    if (item == nullptr || path == nullptr) {
        return false;
    }
    PathParts parts = media_db_path_parts(item);
    // A path shorter than the folder differs within it, at its own end.
    return std::strncmp(parts.folder, path, parts.folder_length) == 0 &&
           std::strcmp(parts.name, path + parts.folder_length) == 0;
}

int media_db_item_path_compare(const MediaObject* a, const MediaObject* b) {
    return path_parts_compare(media_db_path_parts(a), media_db_path_parts(b));
}
