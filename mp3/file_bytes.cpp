// A window over a media file, so that the many small reads of tag and frame parsing cost a copy
// rather than a call into the file each.
#include "mp3/file_bytes.h"

#include <cstring>

namespace {

// Reads `count` bytes at `at` straight from the file, seeking only when it stands elsewhere.
bool readFile(FileBytes* bytes, int64_t at, uint8_t* out, int64_t count) {
    if (at != bytes->filePosition &&
        std::fseek(bytes->file, static_cast<long>(at), SEEK_SET) != 0) {
        bytes->filePosition = -1;
        return false;
    }
    size_t n = std::fread(out, 1, static_cast<size_t>(count), bytes->file);
    bytes->filePosition = n == static_cast<size_t>(count) ? at + count : -1;
    return n == static_cast<size_t>(count);
}

bool inWindow(const FileBytes* bytes, int64_t at, int64_t count) {
    return at >= bytes->windowStart && at + count <= bytes->windowStart + bytes->windowLength;
}

// Moves the window to start at `at`, filled as far as the file goes; true when that covers
// `need` bytes (a file shorter than its stated size may still hold those).
bool loadWindow(FileBytes* bytes, int64_t at, int64_t need) {
    int64_t length = bytes->size - at < bytes->capacity ? bytes->size - at : bytes->capacity;
    bytes->windowLength = 0;
    if (at != bytes->filePosition &&
        std::fseek(bytes->file, static_cast<long>(at), SEEK_SET) != 0) {
        bytes->filePosition = -1;
        return false;
    }
    auto n = static_cast<int64_t>(
        std::fread(bytes->window, 1, static_cast<size_t>(length), bytes->file));
    bytes->filePosition = at + n;
    bytes->windowStart = at;
    bytes->windowLength = n;
    return n >= need;
}

} // namespace

FileBytes file_bytes_over(FILE* file, int64_t size, uint8_t* window, int64_t capacity) {
    return FileBytes{file, size, window, window != nullptr ? capacity : 0, 0, 0, -1};
}

bool file_bytes_read(FileBytes* bytes, int64_t at, uint8_t* out, int64_t count) {
    if (at < 0 || count < 0 || count > bytes->size - at) {
        return false;
    }
    if (!inWindow(bytes, at, count)) {
        // A read larger than half the window would push out more than it brings in.
        if (count > bytes->capacity / 2) {
            return readFile(bytes, at, out, count);
        }
        if (!loadWindow(bytes, at, count)) {
            return false;
        }
    }
    std::memcpy(out, bytes->window + (at - bytes->windowStart), static_cast<size_t>(count));
    return true;
}

const uint8_t* file_bytes_view(FileBytes* bytes, int64_t at, int64_t count) {
    if (at < 0 || count < 0 || count > bytes->size - at || count > bytes->capacity) {
        return nullptr;
    }
    if (!inWindow(bytes, at, count) && !loadWindow(bytes, at, count)) {
        return nullptr;
    }
    return bytes->window + (at - bytes->windowStart);
}

bool file_bytes_load_head(FileBytes* bytes, int64_t sizeHint) {
    int64_t want = sizeHint >= 0 && sizeHint < bytes->capacity ? sizeHint : bytes->capacity;
    size_t n = std::fread(bytes->window, 1, static_cast<size_t>(want), bytes->file);
    bytes->windowStart = 0;
    bytes->windowLength = static_cast<int64_t>(n);
    bytes->filePosition = static_cast<int64_t>(n);
    if (n < static_cast<size_t>(want)) {
        // The file ended first (or shrank since its status was read).
        bytes->size = static_cast<int64_t>(n);
        return std::ferror(bytes->file) == 0;
    }
    if (sizeHint >= 0) {
        bytes->size = sizeHint;
        return true;
    }
    long length = std::fseek(bytes->file, 0, SEEK_END) == 0 ? std::ftell(bytes->file) : -1;
    bytes->size = length;
    bytes->filePosition = length;
    return length >= 0;
}
