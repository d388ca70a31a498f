// MPEG frame search, header decoding and duration over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mp3/mp3_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 4) {
        MpegHeader header;
        if (mpeg_decode_header(data, &header) &&
            (header.samplesPerFrame <= 0 || header.bitrateKbps < 0 || header.sampleRate < 0)) {
            __builtin_trap();
        }
    }
    FILE* file = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    bool found = false;
    char* text =
        mpeg_duration_text(file, 0, size >= 128 && std::memcmp(data + size - 128, "TAG", 3) == 0,
                           static_cast<int64_t>(size), &found);
    // A duration is never negative and always has its hours, minutes, seconds and thousandths.
    if (text != nullptr && (text[0] == '-' || std::strchr(text, '.') == nullptr)) {
        __builtin_trap();
    }
    std::free(text);
    std::fclose(file);
    return 0;
}
