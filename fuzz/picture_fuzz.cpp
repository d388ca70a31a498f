// Picture headers over arbitrary bytes: JPEG marker segments and the PNG IHDR chunk.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "mp3/picture_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    // The whole input, and the input less its first and last bytes (a picture inside a frame).
    for (int64_t skip : {int64_t{0}, int64_t{1}}) {
        PictureInfo info;
        int64_t length = static_cast<int64_t>(size) - 2 * skip;
        bool found = length > 0 && picture_read_info(file, skip, length, &info);
        if (found && (info.kind == kNotAPicture || info.width < 0 || info.height < 0 ||
                      (info.width == 0) != (info.height == 0) ||
                      picture_format_mime(picture_format(&info)) == nullptr)) {
            __builtin_trap();
        }
    }
    std::fclose(file);
    return 0;
}
