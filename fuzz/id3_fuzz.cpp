// ID3 tag reader over arbitrary bytes: tags, frames, encodings, and the picture search.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "mp3/mp3_info.h"
#include "mp3/picture_info.h"

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
    Mp3Picture picture{};
    if (mp3_album_art_range(file, static_cast<int64_t>(size), &picture) &&
        (picture.offset <= 0 || picture.length <= 0 ||
         picture.offset + picture.length > static_cast<int64_t>(size) ||
         picture_format_mime(picture.format) == nullptr)) {
        __builtin_trap();
    }
    std::fclose(file);
    return 0;
}
