// Picture headers: the JPEG marker segments up to the frame header, or the PNG IHDR chunk.
#include "mp3/picture_info.h"

#include <cstring>

#include "mp3/file_bytes.h"

namespace {

// Marker segments walked at most before a JPEG is taken as one of unknown size.
constexpr int kMaxJpegSegments = 1024;

// Reads `count` bytes at `at` when they lie inside [.., end).
bool readAt(FileBytes* file, int64_t at, int64_t end, uint8_t* out, int count) {
    return at >= 0 && at + count <= end && file_bytes_read(file, at, out, count);
}

int32_t bigEndian16(const uint8_t* p) {
    return (p[0] << 8) | p[1];
}

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Start-of-frame markers (C0 to CF except DHT C4, JPG C8 and DAC CC) carry the image size.
bool isFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Walks the marker segments after SOI until a frame header; leaves the size 0x0 when the scan,
// the end of the image or damage comes first.
void readJpegSize(FileBytes* file, int64_t at, int64_t end, PictureInfo* info) {
    uint8_t bytes[9];
    for (int segment = 0; segment < kMaxJpegSegments; segment++) {
        if (!readAt(file, at, end, bytes, 2) || bytes[0] != 0xFF) {
            return;
        }
        uint8_t marker = bytes[1];
        if (marker == 0xFF) { // fill byte before a marker
            at += 1;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) { // no length follows
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA || !readAt(file, at + 2, end, bytes + 2, 2)) {
            return;
        }
        int32_t length = bigEndian16(bytes + 2);
        if (length < 2) {
            return;
        }
        if (isFrameHeader(marker)) {
            // Length, precision, height, width.
            if (length >= 7 && readAt(file, at + 4, end, bytes + 4, 5)) {
                info->height = bigEndian16(bytes + 5);
                info->width = bigEndian16(bytes + 7);
            }
            return;
        }
        at += 2 + length;
    }
}

void readPngSize(FileBytes* file, int64_t at, int64_t end, PictureInfo* info) {
    uint8_t chunk[16]; // length, type, width, height
    if (!readAt(file, at, end, chunk, 16) || std::memcmp(chunk + 4, "IHDR", 4) != 0) {
        return;
    }
    uint32_t width = bigEndian32(chunk + 8);
    uint32_t height = bigEndian32(chunk + 12);
    if (width <= INT32_MAX && height <= INT32_MAX) {
        info->width = static_cast<int32_t>(width);
        info->height = static_cast<int32_t>(height);
    }
}

bool fits(const PictureInfo* info, int32_t width, int32_t height) {
    return info->width <= width && info->height <= height;
}

struct FormatText {
    const char* mime;
    const char* extension;
    const char* profile;
};

// By PictureFormat.
constexpr FormatText kFormats[] = {
    {nullptr, nullptr, nullptr},       {"image/jpeg", "jpg", nullptr},
    {"image/jpeg", "jpg", "JPEG_TN"},  {"image/jpeg", "jpg", "JPEG_SM"},
    {"image/jpeg", "jpg", "JPEG_MED"}, {"image/jpeg", "jpg", "JPEG_LRG"},
    {"image/png", "png", nullptr},     {"image/png", "png", "PNG_TN"},
    {"image/png", "png", "PNG_LRG"},
};

const FormatText& formatText(uint8_t format) {
    return kFormats[format < sizeof kFormats / sizeof kFormats[0] ? format : 0];
}

} // namespace

bool picture_read_info(FILE* file, int64_t offset, int64_t length, PictureInfo* info) {
    // Nothing past the picture is read, so its end stands for the file's size.
    uint8_t window[kFileWindow];
    FileBytes bytes = file_bytes_over(file, offset + length, window, sizeof window);
    return picture_read_info_bytes(&bytes, offset, length, info);
}

bool picture_read_info_bytes(FileBytes* file, int64_t offset, int64_t length, PictureInfo* info) {
    *info = PictureInfo{kNotAPicture, 0, 0};
    const int64_t end = offset + length;
    uint8_t start[8];
    static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (readAt(file, offset, end, start, 3) && start[0] == 0xFF && start[1] == 0xD8 &&
        start[2] == 0xFF) {
        info->kind = kJpegPicture;
        readJpegSize(file, offset + 2, end, info);
    } else if (readAt(file, offset, end, start, 8) && std::memcmp(start, kPngSignature, 8) == 0) {
        info->kind = kPngPicture;
        readPngSize(file, offset + 8, end, info);
    } else {
        return false;
    }
    if (info->width == 0 || info->height == 0) {
        info->width = 0;
        info->height = 0;
    }
    return true;
}

PictureFormat picture_format(const PictureInfo* info) {
    bool sized = info->width > 0;
    if (info->kind == kJpegPicture) {
        return !sized                   ? kPictureJpeg
               : fits(info, 160, 160)   ? kPictureJpegTn
               : fits(info, 640, 480)   ? kPictureJpegSm
               : fits(info, 1024, 768)  ? kPictureJpegMed
               : fits(info, 4096, 4096) ? kPictureJpegLrg
                                        : kPictureJpeg;
    }
    if (info->kind == kPngPicture) {
        return !sized                   ? kPicturePng
               : fits(info, 160, 160)   ? kPicturePngTn
               : fits(info, 4096, 4096) ? kPicturePngLrg
                                        : kPicturePng;
    }
    return kPictureNone;
}

const char* picture_format_mime(uint8_t format) {
    return formatText(format).mime;
}

const char* picture_format_extension(uint8_t format) {
    return formatText(format).extension;
}

const char* picture_format_profile(uint8_t format) {
    return formatText(format).profile;
}
