// Tracks and their embedded pictures, sent whole from the file to the client.
#include "http/streaming.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/http_writers.h"
#include "media_db/media_db.h"
#include "mp3/mp3_info.h"
#include "mp3/picture_info.h"

namespace {

// Bytes moved per read and send. Large blocks keep loopback streaming near memory speed; the
// bytes on the wire are the same whatever the block size.
constexpr int kStreamBlock = 256 * 1024;
constexpr int kPathSize = 1024;

// Resolves the number after `marker` in the target to a copy of the item's file path. False
// for no marker, no number, or a number that names no item.
bool resolvePath(const char* target, const char* marker, char* path) {
    const char* id = target != nullptr ? std::strstr(target, marker) : nullptr;
    if (id == nullptr) {
        return false;
    }
    media_db_read_lock();
    const char* found = media_db_path_for_id(id + std::strlen(marker));
    bool ok = found != nullptr && std::strlen(found) < kPathSize;
    if (ok) {
        std::strcpy(path, found);
    }
    media_db_read_unlock();
    return ok;
}

FILE* openWithSize(const char* path, int64_t* size) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    long length = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    if (length < 0 || length > INT32_MAX || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    *size = length;
    return file;
}

// Sends `length` bytes of the file from its current position. A read or send failure ends the
// body early; the client then sees fewer bytes than announced.
void sendBody(PlatformSocket socket, FILE* file, int64_t length) {
    char* block = static_cast<char*>(std::malloc(kStreamBlock));
    if (block == nullptr) {
        return;
    }
    while (length > 0) {
        size_t want = length < kStreamBlock ? static_cast<size_t>(length) : kStreamBlock;
        size_t n = std::fread(block, 1, want, file);
        if (n == 0 || !httpSendAll(socket, block, static_cast<int>(n))) {
            break;
        }
        length -= static_cast<int64_t>(n);
    }
    std::free(block);
}

} // namespace

void httpServeTrack(PlatformSocket socket, const char* version, const char* path) {
    char filePath[kPathSize];
    int64_t size = 0;
    FILE* file = nullptr;
    if (resolvePath(path, "disk/", filePath)) {
        file = openWithSize(filePath, &size);
    }
    if (file == nullptr) {
        httpSendNotFound(socket, version, path);
        return;
    }
    httpSendOk(socket, version, static_cast<int32_t>(size), "audio/mpeg", false);
    sendBody(socket, file, size);
    std::fclose(file);
}

void httpServeAlbumArt(PlatformSocket socket, const char* version, const char* path) {
    char filePath[kPathSize];
    int64_t size = 0;
    FILE* file = nullptr;
    if (resolvePath(path, "virtual/", filePath)) {
        file = openWithSize(filePath, &size);
    }
    Mp3Picture picture{};
    bool found = file != nullptr && mp3_album_art_range(file, size, &picture) &&
                 picture.length <= INT32_MAX &&
                 std::fseek(file, static_cast<long>(picture.offset), SEEK_SET) == 0;
    if (!found) {
        if (file != nullptr) {
            std::fclose(file);
        }
        httpSendNotFound(socket, version, path);
        return;
    }
    httpSendOk(socket, version, static_cast<int32_t>(picture.length),
               picture_format_mime(picture.format), false);
    sendBody(socket, file, picture.length);
    std::fclose(file);
}
