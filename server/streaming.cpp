// Tracks and their embedded pictures, sent whole from the file to the client.
#include "server/streaming.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/http_writers.h"
#include "media_db/media_db.h"
#include "mp3/mp3_info.h"

// Bytes moved per read and send. Large blocks keep loopback streaming near memory speed; the
// bytes on the wire are the same whatever the block size.
constexpr int kStreamBlock = 256 * 1024;
constexpr int kPathSize = 1024;

// Resolves the number after `marker` in the target to a copy of the item's file path. False
// for no marker, no number, or a number that names no item.
static bool resolvePath(const char* target, const char* marker, char* path) {
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

// Opens the file and reads its size. With `unbuffered` the stream has no buffer of its own:
// sendBody reads whole blocks straight into its one block, so a stream holds one read buffer.
static FILE* openWithSize(const char* path, int64_t* size, bool unbuffered) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    if (unbuffered) {
        std::setvbuf(file, nullptr, _IONBF, 0);
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
static void sendBody(PlatformSocket socket, FILE* file, int64_t length) {
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

void httpServeTrack(PlatformSocket socket, const char* version, const char* path) {
    char filePath[kPathSize];
    int64_t size = 0;
    FILE* file = nullptr;
    if (resolvePath(path, "disk/", filePath)) {
        file = openWithSize(filePath, &size, true);
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
        // The picture's frame is looked for with short reads: those keep the stream's buffer.
        file = openWithSize(filePath, &size, false);
    }
    int64_t offset = 0;
    int64_t length = 0;
    // The picture is bounded by its frame: no marker inside the frame means no picture.
    bool found = file != nullptr && mp3_album_art_range(file, size, &offset, &length) &&
                 length > 0 && length <= INT32_MAX &&
                 std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
    if (!found) {
        if (file != nullptr) {
            std::fclose(file);
        }
        httpSendNotFound(socket, version, path);
        return;
    }
    httpSendOk(socket, version, static_cast<int32_t>(length), "image/jpeg", false);
    sendBody(socket, file, length);
    std::fclose(file);
}
