// Tracks and their embedded pictures, sent from the file to the client whole or by byte range.
#include "server/streaming.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "http/byte_range.h"
#include "http/http_writers.h"
#include "media_db/media_db.h"
#include "mp3/dlna_info.h"
#include "mp3/mp3_info.h"
#include "mp3/picture_info.h"
#include "runtime/ascii.h"

// Bytes moved per read and send. Large blocks keep loopback streaming near memory speed; the
// bytes on the wire are the same whatever the block size.
constexpr int kStreamBlock = 256 * 1024;

// What streaming needs of an item, copied out under the catalogue lock.
struct ItemCopy {
    char* path; // owned; sized to the path, however long
    uint8_t audioProfile;
};

// Resolves the number after `marker` in the target. False for no marker, no number, a number
// that names no item, or short memory.
static bool resolveItem(const char* target, const char* marker, ItemCopy* copy) {
    const char* id = target != nullptr ? std::strstr(target, marker) : nullptr;
    if (id == nullptr) {
        return false;
    }
    media_db_read_lock();
    const MediaObject* item = media_db_item_for_id(id + std::strlen(marker));
    size_t length = media_db_item_path(item, nullptr, 0);
    copy->path = item != nullptr ? static_cast<char*>(std::malloc(length + 1)) : nullptr;
    bool ok = copy->path != nullptr;
    if (ok) {
        media_db_item_path(item, copy->path, length + 1);
        copy->audioProfile = item->audio_profile;
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

// Sends `length` bytes of the file from `offset`. A read or send failure ends the body early;
// the client then sees fewer bytes than announced.
static void sendBody(PlatformSocket socket, FILE* file, int64_t offset, int64_t length) {
    char* block = static_cast<char*>(std::malloc(kStreamBlock));
    if (block == nullptr || std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) {
        std::free(block);
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

// The transfer mode the client asks for, when it names one; `standard` otherwise.
static const char* transferMode(const char* asked, const char* standard) {
    for (const char* mode : {"Streaming", "Interactive", "Background"}) {
        if (asked != nullptr && asciiStartsWithNoCase(asked, mode)) {
            return mode;
        }
    }
    return standard;
}

// What one resource is: its bytes in the file, type and DLNA profile.
struct Resource {
    FILE* file;
    int64_t offset;
    int64_t size;
    const char* mime;
    const char* profile; // nullptr when it fits no DLNA profile
    DlnaMedia media;
};

// Answers for the resource: 406 for a time seek without a byte range, 416 for a range past its
// end, 206 for a range, 200 for the whole.
static void serveResource(PlatformSocket socket, const MediaRequest& request, const Resource& r) {
    const HttpMediaHeaders& asked = request.headers;
    HttpMediaHead answer = {200, r.mime, r.size, 0, r.size, nullptr, nullptr};
    if (asked.range == nullptr && asked.timeSeekRange != nullptr) {
        answer = {406, nullptr, 0, 0, r.size, nullptr, nullptr};
        httpSendMediaHead(socket, request.version, answer);
        return;
    }
    // No validator is ever sent, so an If-Range condition cannot hold: the whole body goes.
    ByteRange range = httpParseByteRange(asked.ifRange != nullptr ? nullptr : asked.range, r.size);
    if (range.kind == ByteRangeKind::Unsatisfiable) {
        answer = {416, nullptr, 0, 0, r.size, nullptr, nullptr};
        httpSendMediaHead(socket, request.version, answer);
        return;
    }
    if (range.kind == ByteRangeKind::Partial) {
        answer = {206, r.mime, range.length, range.first, r.size, nullptr, nullptr};
    }
    char features[160];
    if (asked.contentFeatures != nullptr && asked.contentFeatures[0] == '1') {
        answer.features = dlna_features(features, sizeof features, r.profile, r.media);
    }
    answer.transferMode =
        transferMode(asked.transferMode, r.media == kDlnaAudio ? "Streaming" : "Interactive");
    httpSendMediaHead(socket, request.version, answer);
    if (request.headOnly) {
        return;
    }
    // A renderer pauses by no longer reading; wait for it rather than end its stream.
    platformSocketSetTimeouts(socket, kMediaStallMs, kMediaStallMs);
    sendBody(socket, r.file, r.offset + answer.rangeFirst, answer.contentLength);
}

void httpServeTrack(PlatformSocket socket, const MediaRequest& request) {
    ItemCopy item{};
    int64_t size = 0;
    FILE* file = nullptr;
    if (resolveItem(request.path, "disk/", &item)) {
        file = openWithSize(item.path, &size, true);
        std::free(item.path);
    }
    if (file == nullptr) {
        httpSendNotFound(socket, request.version, request.path, request.headOnly);
        return;
    }
    Resource track = {file,      0, size, "audio/mpeg", mp3_audio_profile_name(item.audioProfile),
                      kDlnaAudio};
    serveResource(socket, request, track);
    std::fclose(file);
}

void httpServeAlbumArt(PlatformSocket socket, const MediaRequest& request) {
    ItemCopy item{};
    int64_t size = 0;
    FILE* file = nullptr;
    if (resolveItem(request.path, "virtual/", &item)) {
        // The picture's frame is looked for with short reads: those keep the stream's buffer.
        file = openWithSize(item.path, &size, false);
        std::free(item.path);
    }
    Mp3Picture picture{};
    if (file == nullptr || !mp3_album_art_range(file, size, &picture)) {
        if (file != nullptr) {
            std::fclose(file);
        }
        httpSendNotFound(socket, request.version, request.path, request.headOnly);
        return;
    }
    Resource art = {file,
                    picture.offset,
                    picture.length,
                    picture_format_mime(picture.format),
                    picture_format_profile(picture.format),
                    kDlnaPicture};
    serveResource(socket, request, art);
    std::fclose(file);
}
