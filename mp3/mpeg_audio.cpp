// First MPEG audio frame header and the duration derived from it.
#include "mp3/mp3_info.h"

#include <cstdlib>
#include <cstring>

#include "mp3/file_bytes.h"

namespace {

// kbit/s by row (MPEG-1 layers I, II, III; MPEG-2/2.5 layer I; MPEG-2/2.5 layers II and III)
// and bitrate index. Index 0 (free format) and 15 (bad) are 0.
constexpr int16_t kBitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};

constexpr int32_t kSampleRates[3][4] = {
    {44100, 48000, 32000, 0}, // MPEG-1
    {22050, 24000, 16000, 0}, // MPEG-2
    {11025, 12000, 8000, 0},  // MPEG-2.5
};

constexpr int kXingBlock = 128;

int bitrateRow(int version, int layer) {
    if (version == 1) {
        return layer - 1;
    }
    return layer == 1 ? 3 : 4;
}

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Offset of the first byte 0xFF followed by a byte of 0xE0 or more, at or after `start`;
// -1 when the file ends first.
int64_t findSync(FileBytes* bytes, int64_t start) {
    // Blocks overlap by one byte, so a pair across their border is seen.
    for (int64_t at = start; at >= 0 && at < bytes->size - 1;) {
        int64_t n = bytes->size - at < bytes->capacity ? bytes->size - at : bytes->capacity;
        const uint8_t* block = file_bytes_view(bytes, at, n);
        if (block == nullptr || n < 2) {
            return -1;
        }
        for (int64_t i = 0; i + 1 < n; i++) {
            if (block[i] == 0xFF && block[i + 1] >= 0xE0) {
                return at + i;
            }
        }
        at += n - 1;
    }
    return -1;
}

// Frame count of a Xing header in the bytes from `at` (just after the frame header); 0 when
// there is none.
int64_t xingFrames(FileBytes* bytes, int64_t at) {
    // The count stands 8 bytes after the tag, so 4 more bytes than the searched block are read.
    int64_t n = bytes->size - at < kXingBlock + 4 ? bytes->size - at : kXingBlock + 4;
    const uint8_t* block = n > 0 ? file_bytes_view(bytes, at, n) : nullptr;
    for (int64_t i = 0; block != nullptr && i <= kXingBlock - 8 && i + 12 <= n; i++) {
        if (std::memcmp(block + i, "Xing", 4) == 0) {
            return bigEndian32(block + i + 8);
        }
    }
    return 0;
}

} // namespace

bool mpeg_decode_header(const uint8_t header[4], MpegHeader* out) {
    int versionBits = header[1] & 0x18;
    int layerBits = (header[1] >> 1) & 0x03;
    if (versionBits == 0x08 || layerBits == 0) {
        return false;
    }
    int versionRow = versionBits == 0x18 ? 0 : (versionBits == 0x10 ? 1 : 2);
    out->version = versionRow == 0 ? 1 : (versionRow == 1 ? 2 : 25);
    out->layer = 4 - layerBits;
    out->bitrateKbps = kBitrates[bitrateRow(out->version, out->layer)][header[2] >> 4];
    out->sampleRate = kSampleRates[versionRow][(header[2] >> 2) & 0x03];
    if (out->layer == 1) {
        out->samplesPerFrame = 384;
    } else if (out->layer == 3 && out->version != 1) {
        out->samplesPerFrame = 576;
    } else {
        out->samplesPerFrame = 1152;
    }
    return true;
}

int64_t mpeg_duration_ms(const MpegHeader* header, int64_t xingFrameCount, int64_t audioBytes) {
    int64_t ms = 0;
    int64_t kilohertz = header->sampleRate / 1000;
    if (xingFrameCount > 0 && kilohertz > 0) {
        ms = xingFrameCount * header->samplesPerFrame / kilohertz;
    }
    if (ms == 0 && header->bitrateKbps != 0 && audioBytes > 0) {
        ms = audioBytes * 8 / header->bitrateKbps;
    }
    return ms;
}

char* mp3_format_duration(int64_t ms, char* out, int size) {
    if (ms < 0) {
        ms = 0;
    }
    std::snprintf(out, static_cast<size_t>(size), "%lld:%02d:%02d.%03d",
                  static_cast<long long>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                  static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
    return out;
}

bool mpeg_first_frame(FileBytes* bytes, int64_t start, MpegHeader* header, int64_t* frames) {
    int64_t at = findSync(bytes, start);
    uint8_t head[4];
    if (at < 0 || !file_bytes_read(bytes, at, head, 4) || !mpeg_decode_header(head, header)) {
        return false;
    }
    *frames = xingFrames(bytes, at + 4);
    return true;
}

char* mpeg_duration_text(FILE* file, int64_t start, bool hasId3v1, int64_t fileSize, bool* found,
                         MpegHeader* first) {
    uint8_t window[kFileWindow];
    FileBytes bytes = file_bytes_over(file, fileSize, window, sizeof window);
    MpegHeader header;
    int64_t frames = 0;
    *found = mpeg_first_frame(&bytes, start, &header, &frames);
    if (!*found) {
        return nullptr;
    }
    if (first != nullptr) {
        *first = header;
    }
    int64_t audioBytes = fileSize - start - (hasId3v1 ? 128 : 0);
    char text[32];
    mp3_format_duration(mpeg_duration_ms(&header, frames, audioBytes), text, sizeof text);
    return strdup(text);
}

Mp3AudioProfile mpeg_audio_profile(const MpegHeader* header) {
    // The rates of each version's table; reserved rates decode as 0 and fit neither profile.
    if (header->layer != 3 || header->sampleRate == 0) {
        return kAudioNoProfile;
    }
    return header->version == 1 ? kAudioMp3 : header->version == 2 ? kAudioMp3x : kAudioNoProfile;
}

const char* mp3_audio_profile_name(uint8_t profile) {
    return profile == kAudioMp3 ? "MP3" : profile == kAudioMp3x ? "MP3X" : nullptr;
}
