// First MPEG audio frame header and the duration derived from it.
#include "mp3/mp3_info.h"

#include <cstdlib>
#include <cstring>

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
constexpr int kReadBlock = 4096;

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
int64_t findSync(FILE* file, int64_t start) {
    if (std::fseek(file, static_cast<long>(start), SEEK_SET) != 0) {
        return -1;
    }
    uint8_t block[kReadBlock + 1];
    int64_t blockStart = start;
    size_t carried = 0; // a trailing 0xFF of the previous block, kept at block[0]
    for (;;) {
        size_t n = std::fread(block + carried, 1, kReadBlock, file);
        if (n == 0) {
            return -1;
        }
        size_t total = carried + n;
        for (size_t i = 0; i + 1 < total; i++) {
            if (block[i] == 0xFF && block[i + 1] >= 0xE0) {
                return blockStart + static_cast<int64_t>(i);
            }
        }
        carried = block[total - 1] == 0xFF ? 1 : 0;
        blockStart += static_cast<int64_t>(total - carried);
        if (carried != 0) {
            block[0] = 0xFF;
        }
    }
}

// Frame count of a Xing header in the bytes after the frame header; 0 when there is none.
int64_t xingFrames(FILE* file) {
    // The count stands 8 bytes after the tag, so 4 more bytes than the searched block are read.
    uint8_t block[kXingBlock + 4];
    size_t n = std::fread(block, 1, sizeof block, file);
    for (size_t i = 0; i <= kXingBlock - 8 && i + 12 <= n; i++) {
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

char* mpeg_duration_text(FILE* file, int64_t start, bool hasId3v1, int64_t fileSize, bool* found,
                         MpegHeader* first) {
    *found = false;
    int64_t at = findSync(file, start);
    uint8_t bytes[4];
    if (at < 0 || std::fseek(file, static_cast<long>(at), SEEK_SET) != 0 ||
        std::fread(bytes, 1, 4, file) != 4) {
        return nullptr;
    }
    MpegHeader header;
    if (!mpeg_decode_header(bytes, &header)) {
        return nullptr;
    }
    *found = true;
    if (first != nullptr) {
        *first = header;
    }
    int64_t frames = xingFrames(file);
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
