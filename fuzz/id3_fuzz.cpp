// ID3 tag reader over arbitrary bytes: tags, frames, encodings, and the picture search.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "mp3/mp3_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return 0;
    }
    Mp3Info info;
    if (mp3_read_info_stream(file, static_cast<int64_t>(size), &info)) {
        mp3_info_release(&info);
    }
    // A picture found always lies inside the file.
    int64_t offset = 0;
    int64_t length = 0;
    if (mp3_album_art_range(file, static_cast<int64_t>(size), &offset, &length) &&
        (offset < 0 || length <= 0 || offset + length > static_cast<int64_t>(size))) {
        __builtin_trap();
    }
    std::fclose(file);
    return 0;
}
