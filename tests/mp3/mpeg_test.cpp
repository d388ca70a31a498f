// First-frame search, header decoding and the duration text.
#include <gtest/gtest.h>

#include "mp3_test_util.h"

namespace {

using fixtures::MpegSpec;

std::string duration(const std::string& bytes) {
    Mp3Info info;
    if (!readBytes(bytes, &info)) {
        return "(failed)";
    }
    std::string out = text(info.duration);
    mp3_info_release(&info);
    return out;
}

TEST(MpegTest, BitrateEstimateFromFileSize) {
    // 4,000,000 bytes of MPEG-1 Layer III at 128 kbit/s, no tags: 250 s.
    std::string head = fixtures::mpegHeader(MpegSpec{});
    std::string file = head + std::string(4000000 - head.size(), '\0');
    EXPECT_EQ(duration(file), "0:04:10.000");

    // With an ID3v2 tag of size S and an ID3v1 tag the audio is size - S - 10 - 128; junk
    // between the tag and the first frame counts as audio.
    std::string tag = fixtures::id3v2Tag({{"TIT2", fixtures::textFrameData(0, "x")}});
    std::string junk(1000, 'j');
    std::string body = head + std::string(160000 - head.size(), '\0');
    std::string v1 = fixtures::id3v1Tag(fixtures::Id3v1Spec{});
    // (1000 + 160000) bytes * 8 / 128 = 10062 ms
    EXPECT_EQ(duration(tag + junk + body + v1), "0:00:10.062");
}

TEST(MpegTest, XingCountUsesTheSamplesPerFrameOfVersionAndLayer) {
    MpegSpec shape;
    shape.xingFrames = 10000;
    EXPECT_EQ(duration(fixtures::mpegAudio(shape)), "0:04:21.818"); // 44100 Hz read as 44 kHz
    shape.rateIndex = 1;
    EXPECT_EQ(duration(fixtures::mpegAudio(shape)), "0:04:00.000"); // 48000 Hz
    shape.mono = true;
    EXPECT_EQ(duration(fixtures::mpegAudio(shape)), "0:04:00.000"); // Xing after mono side info

    // MPEG-2 Layer III: 576 samples per frame, 10000 frames at 24000 Hz = 240 s.
    MpegSpec v2;
    v2.version = 2;
    v2.bitrateIndex = 8; // 64 kbit/s
    v2.rateIndex = 1;
    v2.xingFrames = 10000;
    EXPECT_EQ(duration(fixtures::mpegAudio(v2)), "0:04:00.000");
    v2.version = 25; // 12000 Hz
    EXPECT_EQ(duration(fixtures::mpegAudio(v2)), "0:08:00.000");

    // A count of 0 falls back to the bitrate estimate.
    MpegSpec zero;
    zero.xingFrames = 0;
    zero.frames = 0;
    std::string file = fixtures::mpegAudio(zero);
    int64_t ms = static_cast<int64_t>(file.size()) * 8 / 128;
    char expected[32];
    EXPECT_EQ(duration(file), mp3_format_duration(ms, expected, sizeof expected));
}

TEST(MpegTest, HeaderDecoding) {
    struct Case {
        uint8_t bytes[4];
        bool ok;
        int version, layer, kbps, rate, samples;
        const char* profile;
    } cases[] = {
        {{0xFF, 0xFB, 0x90, 0x44}, true, 1, 3, 128, 44100, 1152, "MP3"},
        {{0xFF, 0xFB, 0x98, 0x44}, true, 1, 3, 128, 32000, 1152, "MP3"},
        {{0xFF, 0xFD, 0xE4, 0x44}, true, 1, 2, 384, 48000, 1152, nullptr},
        {{0xFF, 0xFF, 0xE8, 0x44}, true, 1, 1, 448, 32000, 384, nullptr},
        {{0xFF, 0xF3, 0x80, 0x44}, true, 2, 3, 64, 22050, 576, "MP3X"},
        {{0xFF, 0xF3, 0x88, 0x44}, true, 2, 3, 64, 16000, 576, "MP3X"},
        {{0xFF, 0xE3, 0x18, 0x44}, true, 25, 3, 8, 8000, 576, nullptr},
        {{0xFF, 0xF7, 0xF0, 0x44}, true, 2, 1, 0, 22050, 384, nullptr}, // bad bitrate index 15
        {{0xFF, 0xFB, 0x0C, 0x44}, true, 1, 3, 0, 0, 1152, nullptr}, // free format, reserved rate
        {{0xFF, 0xEB, 0x90, 0x44}, false, 0, 0, 0, 0, 0, nullptr},   // reserved version
        {{0xFF, 0xF9, 0x90, 0x44}, false, 0, 0, 0, 0, 0, nullptr},   // reserved layer
    };
    for (const Case& c : cases) {
        MpegHeader header{};
        ASSERT_EQ(mpeg_decode_header(c.bytes, &header), c.ok) << std::hex << int(c.bytes[1]);
        if (c.ok) {
            EXPECT_EQ(header.version, c.version);
            EXPECT_EQ(header.layer, c.layer);
            EXPECT_EQ(header.bitrateKbps, c.kbps);
            EXPECT_EQ(header.sampleRate, c.rate);
            EXPECT_EQ(header.samplesPerFrame, c.samples);
            const char* profile = mp3_audio_profile_name(mpeg_audio_profile(&header));
            EXPECT_STREQ(profile, c.profile) << std::hex << int(c.bytes[1]) << int(c.bytes[2]);
        }
    }
    // The reader keeps the first frame's profile.
    Mp3Info info;
    ASSERT_TRUE(readBytes(audio(), &info));
    EXPECT_EQ(info.audio_profile, kAudioMp3);
    mp3_info_release(&info);
}

TEST(MpegTest, SyncSearchRules) {
    // A free-format first frame without Xing: 0:00:00.000.
    MpegSpec free;
    free.bitrateIndex = 0;
    EXPECT_EQ(duration(fixtures::mpegAudio(free)), "0:00:00.000");
    // A reserved version in the first sync makes the whole file yield nothing, even with a
    // valid frame after it.
    std::string bad("\xFF\xEB\x90\x44", 4);
    EXPECT_EQ(duration(bad + audio()), "(failed)");
    // An FF at the end of a read block followed by the second sync byte in the next block.
    std::string padded(4095, '\0');
    EXPECT_NE(duration(padded + audio()), "(failed)");
    // No sync at all.
    EXPECT_EQ(duration(std::string(5000, '\x11')), "(failed)");
    // A sync at the very end without room for the header.
    EXPECT_EQ(duration(std::string(100, '\0') + "\xFF\xE0"), "(failed)");
}

TEST(MpegTest, DurationsCarryIntoHours) {
    char out[32];
    EXPECT_STREQ(mp3_format_duration(75 * 60000, out, sizeof out), "1:15:00.000");
    EXPECT_STREQ(mp3_format_duration(59 * 60000 + 59999, out, sizeof out), "0:59:59.999");
    EXPECT_STREQ(mp3_format_duration(0, out, sizeof out), "0:00:00.000");
    EXPECT_STREQ(mp3_format_duration(-5, out, sizeof out), "0:00:00.000");
    EXPECT_STREQ(mp3_format_duration(100LL * 3600000 + 1, out, sizeof out), "100:00:00.001");
    // A 75-minute file by its bitrate.
    std::string head = fixtures::mpegHeader(MpegSpec{});
    std::string file = head + std::string(72000000 - head.size(), '\0'); // 4500 s at 128 kbit/s
    EXPECT_EQ(duration(file), "1:15:00.000");
}

} // namespace
