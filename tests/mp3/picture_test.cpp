// Picture type and size from the picture's own header, and the profile that size allows.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "mp3/picture_info.h"
#include "support/fixtures_media.h"

namespace {

using fixtures::jpegPicture;
using fixtures::pngPicture;

TEST(PictureTest, TypeSizeAndProfile) {
    const std::string cut = jpegPicture(100, 100, 20);
    struct Case {
        const char* name;
        std::string bytes;
        int64_t length; // bytes of `bytes` that belong to the picture; -1 for all
        PictureKind kind;
        int32_t width, height;
        const char* profile;
    } cases[] = {
        {"jfif thumbnail", jpegPicture(160, 160), -1, kJpegPicture, 160, 160, "JPEG_TN"},
        {"exif small", jpegPicture(161, 120, 3000), -1, kJpegPicture, 161, 120, "JPEG_SM"},
        {"640x480", jpegPicture(640, 480), -1, kJpegPicture, 640, 480, "JPEG_SM"},
        {"641x480", jpegPicture(641, 480), -1, kJpegPicture, 641, 480, "JPEG_MED"},
        {"portrait", jpegPicture(480, 640), -1, kJpegPicture, 480, 640, "JPEG_MED"},
        {"1024x768", jpegPicture(1024, 768), -1, kJpegPicture, 1024, 768, "JPEG_MED"},
        {"1024x769", jpegPicture(1024, 769), -1, kJpegPicture, 1024, 769, "JPEG_LRG"},
        {"4096x4096", jpegPicture(4096, 4096), -1, kJpegPicture, 4096, 4096, "JPEG_LRG"},
        {"4097 wide", jpegPicture(4097, 10), -1, kJpegPicture, 4097, 10, nullptr},
        // A bare JPEG starting with its quantisation table, with fill bytes before a marker.
        {"bare",
         std::string("\xFF\xD8\xFF\xDB\x00\x04\x01\x01\xFF\xFF\xC2\x00\x0B\x08\x00\x20\x00\x30",
                     18),
         -1, kJpegPicture, 48, 32, "JPEG_TN"},
        // No frame header before the image data or the range's end: a JPEG of unknown size.
        {"no frame header", fixtures::fakeJpeg(40), -1, kJpegPicture, 0, 0, nullptr},
        {"cut before size", cut, static_cast<int64_t>(cut.size()) - 10, kJpegPicture, 0, 0,
         nullptr},
        {"zero height", jpegPicture(100, 0), -1, kJpegPicture, 0, 0, nullptr},
        {"png thumbnail", pngPicture(160, 160), -1, kPngPicture, 160, 160, "PNG_TN"},
        {"png large", pngPicture(161, 1), -1, kPngPicture, 161, 1, "PNG_LRG"},
        {"png 4096", pngPicture(4096, 4096), -1, kPngPicture, 4096, 4096, "PNG_LRG"},
        {"png too large", pngPicture(4096, 4097), -1, kPngPicture, 4096, 4097, nullptr},
        {"png absurd", pngPicture(0x80000000u, 5), -1, kPngPicture, 0, 0, nullptr},
        {"gif", "GIF89a\x10\x00\x10\x00", -1, kNotAPicture, 0, 0, nullptr},
        {"two bytes", std::string("\xFF\xD8", 2), -1, kNotAPicture, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        std::string bytes = c.bytes + "trailing bytes outside the picture";
        FILE* file = fmemopen(&bytes[0], bytes.size(), "rb");
        ASSERT_NE(file, nullptr);
        PictureInfo info;
        int64_t length = c.length >= 0 ? c.length : static_cast<int64_t>(c.bytes.size());
        EXPECT_EQ(picture_read_info(file, 0, length, &info), c.kind != kNotAPicture) << c.name;
        std::fclose(file);
        EXPECT_EQ(info.kind, c.kind) << c.name;
        EXPECT_EQ(info.width, c.width) << c.name;
        EXPECT_EQ(info.height, c.height) << c.name;
        uint8_t format = picture_format(&info);
        EXPECT_STREQ(picture_format_profile(format), c.profile) << c.name;
        const char* mime = c.kind == kJpegPicture  ? "image/jpeg"
                           : c.kind == kPngPicture ? "image/png"
                                                   : nullptr;
        EXPECT_STREQ(picture_format_mime(format), mime) << c.name;
    }
}

} // namespace
