// Embedded pictures: their type (JPEG or PNG) and pixel size read from their own headers, and
// what that makes them on the wire (MIME type, URL ending, DLNA profile).
#pragma once

#include <cstdint>
#include <cstdio>

enum PictureKind : uint8_t { kNotAPicture, kJpegPicture, kPngPicture };

struct PictureInfo {
    PictureKind kind;
    int32_t width; // 0 (with height 0) when the picture's size header was not found
    int32_t height;
};

// Reads the picture stored in `length` bytes of the file from `offset`: a JPEG (any that starts
// FF D8 FF: JFIF, Exif or bare) with its size from the first frame header (SOFn) before the
// scan, or a PNG with its size from IHDR. Nothing outside the range is read. Returns false
// (kind None) when the bytes are neither; true otherwise, with the size 0x0 when it could not
// be read. Leaves the file position anywhere.
bool picture_read_info(FILE* file, int64_t offset, int64_t length, PictureInfo* info);

// The same through a reader's window (mp3/file_bytes.h).
struct FileBytes;
bool picture_read_info_bytes(FileBytes* bytes, int64_t offset, int64_t length, PictureInfo* info);

// What a catalogue keeps of a picture: its kind and DLNA profile in one byte.
enum PictureFormat : uint8_t {
    kPictureNone,
    kPictureJpeg, // a JPEG that fits no profile (or of unknown size)
    kPictureJpegTn,
    kPictureJpegSm,
    kPictureJpegMed,
    kPictureJpegLrg,
    kPicturePng, // a PNG that fits no profile (or of unknown size)
    kPicturePngTn,
    kPicturePngLrg,
};

// The profile the size allows: JPEG_TN up to 160x160, JPEG_SM up to 640x480, JPEG_MED up to
// 1024x768, JPEG_LRG up to 4096x4096; PNG_TN up to 160x160, PNG_LRG up to 4096x4096.
PictureFormat picture_format(const PictureInfo* info);

// "image/jpeg" or "image/png"; nullptr for kPictureNone.
const char* picture_format_mime(uint8_t format);
// "jpg" or "png"; nullptr for kPictureNone.
const char* picture_format_extension(uint8_t format);
// "JPEG_TN", ..., "PNG_LRG"; nullptr when the picture has no profile.
const char* picture_format_profile(uint8_t format);
