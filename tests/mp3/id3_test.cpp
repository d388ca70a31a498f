// ID3v2.2/2.3/2.4 and ID3v1 tags as the catalogue reads them.
#include <gtest/gtest.h>

#include <cstdio>

#include "mp3/picture_info.h"
#include "mp3_test_util.h"

namespace {

using fixtures::Id3Frame;
using fixtures::textFrameData;

std::string tagged(const std::vector<Id3Frame>& frames, int version,
                   const std::string& trailer = "") {
    fixtures::Id3v2Options options;
    options.version = version;
    return fixtures::id3v2Tag(frames, options) + audio() + trailer;
}

TEST(Id3Test, TextFramesOfEachVersion) {
    struct Case {
        int version;
        const char* ids[8];
    } cases[] = {
        {2, {"TT2", "TP1", "TAL", "TCO", "TYE", "TRK", "TP2", "TPA"}},
        {3, {"TIT2", "TPE1", "TALB", "TCON", "TYER", "TRCK", "TPE2", "TPOS"}},
        {4, {"TIT2", "TPE1", "TALB", "TCON", "TYER", "TRCK", "TPE2", "TPOS"}},
    };
    for (const Case& c : cases) {
        std::vector<Id3Frame> frames = {
            {c.ids[0], textFrameData(0, "Title")}, {c.ids[1], textFrameData(0, "Artist")},
            {c.ids[2], textFrameData(0, "Album")}, {c.ids[3], textFrameData(0, "Jazz")},
            {c.ids[4], textFrameData(0, "1999")},  {c.ids[5], textFrameData(0, "7/10")},
            {c.ids[6], textFrameData(0, "Band ")}, {c.ids[7], textFrameData(0, "2/3")},
        };
        Mp3Info info;
        ASSERT_TRUE(readBytes(tagged(frames, c.version), &info)) << c.version;
        EXPECT_EQ(text(info.title), "Title") << c.version;
        EXPECT_EQ(text(info.artist), "Artist");
        EXPECT_EQ(text(info.album), "Album");
        EXPECT_EQ(text(info.album_artist), "Band");
        EXPECT_EQ(text(info.genre), "Jazz");
        EXPECT_EQ(text(info.date), "1999-01-01");
        EXPECT_EQ(info.track_number, 7);
        EXPECT_EQ(info.disc_number, 2);
        EXPECT_EQ(info.has_album_art, 0);
        mp3_info_release(&info);
    }
    // Without the frames: no album artist (the catalogue works one out), disc 0.
    Mp3Info info;
    ASSERT_TRUE(readBytes(tagged({{"TIT2", textFrameData(0, "Title")}}, 3), &info));
    EXPECT_EQ(info.album_artist, nullptr);
    EXPECT_EQ(info.disc_number, 0);
    mp3_info_release(&info);
}

TEST(Id3Test, EncodingsDecodeToUtf8) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string data;
        std::string expected;
    } cases[] = {
        {textFrameData(0, "Caf\xE9 \xFF"), "Caf\xC3\xA9 \xC3\xBF"},
        {textFrameData(3, "Caf\xC3\xA9 \xC2\xBD"), "Caf\xC3\xA9 \xC2\xBD"},
        {textFrameData(3, "\xE2\x82\xAC"
                          "5 \xF0\x9F\x8E\xB5!"),
         "\xE2\x82\xAC"
         "5 \xF0\x9F\x8E\xB5!"},
        // Ill-formed UTF-8: one U+FFFD per maximal bad part, never a stray byte.
        {textFrameData(3, "Caf\xE9 \xC3"), "Caf" + fffd + " " + fffd},
        {textFrameData(3, "\xC0\xA9\xC3("), fffd + fffd + fffd + "("},
        {textFrameData(3, "\xE0\x80\xAF|\xED\xA0\x80|\xF4\x90\x80\x80"),
         fffd + fffd + fffd + "|" + fffd + fffd + fffd + "|" + fffd + fffd + fffd + fffd},
        {textFrameData(3, "\xE2\x82|\xF0\x9F\x8E"), fffd + "|" + fffd},
        {textFrameData(1, "Caf\xE9"), "Caf\xC3\xA9"},       // FF FE
        {textFrameData(1, "Caf\xE9", true), "Caf\xC3\xA9"}, // FE FF
        {textFrameData(2, "Caf\xE9"), "Caf\xC3\xA9"},
        {textFrameData(1, "", false, {0x41, 0x263A, 0x42}), "A\xE2\x98\xBA"
                                                            "B"},
        {textFrameData(2, "", false, {0xD83C, 0xDFB5}), "\xF0\x9F\x8E\xB5"},
        {textFrameData(1, "", false, {0x41, 0xD800, 0x42, 0xDC00}), "A" + fffd + "B" + fffd},
        {textFrameData(1, "", false, {0x41, 0x0000, 0x42}), "A"}, // stops at a zero unit
        {std::string("\x01\xFF\xFE\x41\x00\x42", 6), "A"},        // odd trailing byte dropped
        {std::string("\x01\x00\x41\x00\x42", 5), "AB"},           // no byte-order mark
        {fixtures::textFrameUtf8(1, "Звезда"), "Звезда"},
        {fixtures::textFrameUtf8(2, "Ωμέγα"), "Ωμέγα"},
        {fixtures::textFrameUtf8(3, "夜の曲"), "夜の曲"},
        {textFrameData(0, std::string("One\0Two", 7)), "One"}, // the first of several values
    };
    for (const Case& c : cases) {
        Mp3Info info;
        ASSERT_TRUE(readBytes(tagged({{"TIT2", c.data}}, 3), &info));
        EXPECT_EQ(text(info.title), c.expected);
        mp3_info_release(&info);
    }
    // An unknown encoding gives no text, so the default applies.
    Mp3Info info;
    ASSERT_TRUE(readBytes(tagged({{"TIT2", "\x04Name"}}, 3), &info));
    EXPECT_EQ(text(info.title), "Unknown");
    mp3_info_release(&info);
    // ID3v1 fields are ISO-8859-1.
    fixtures::Id3v1Spec v1;
    v1.title = "Caf\xE9";
    ASSERT_TRUE(readBytes(audio() + fixtures::id3v1Tag(v1), &info));
    EXPECT_EQ(text(info.title), "Caf\xC3\xA9");
    mp3_info_release(&info);
}

TEST(Id3Test, GenreForms) {
    struct Case {
        const char* frame;
        const char* expected;
    } cases[] = {
        {"(17)", "Rock"},   {"(17)Rock", "Rock"},  {"(148)", "(148)"},
        {"(273)", "Rock"},  {"Rock ", "Rock"},     {"(RX)", "(RX)"},
        {"(0)", "Blues"},   {"(147)", "SynthPop"}, {"Psychadelic", "Psychadelic"},
        {"   ", "Unknown"},
    };
    for (const Case& c : cases) {
        Mp3Info info;
        ASSERT_TRUE(readBytes(tagged({{"TCON", textFrameData(0, c.frame)}}, 3), &info));
        EXPECT_EQ(text(info.genre), c.expected) << c.frame;
        mp3_info_release(&info);
    }
    EXPECT_STREQ(id3_genre_name(67), "Psychadelic");
    EXPECT_STREQ(id3_genre_name(118), "Rhytmic Soul");
    EXPECT_STREQ(id3_genre_name(64), "Native US");
    EXPECT_STREQ(id3_genre_name(140), "Contemporary C");
    EXPECT_EQ(id3_genre_name(148), nullptr);
}

TEST(Id3Test, Id3v1FallbackPerField) {
    fixtures::Id3v1Spec v1;
    v1.title = "V1 Title";
    v1.artist = "V1 Artist";
    v1.album = "V1 Album";
    v1.year = "1987";
    v1.track = 5;
    v1.genre = 17;
    // ID3v2 has a title of spaces (present, so no fallback) and a track of 0.
    std::vector<Id3Frame> frames = {{"TIT2", textFrameData(0, "   ")},
                                    {"TPE1", textFrameData(0, "V2 Artist")},
                                    {"TRCK", textFrameData(0, "0")}};
    Mp3Info info;
    ASSERT_TRUE(readBytes(tagged(frames, 3, fixtures::id3v1Tag(v1)), &info));
    EXPECT_EQ(text(info.title), "Unknown");
    EXPECT_EQ(text(info.artist), "V2 Artist");
    EXPECT_EQ(text(info.album), "V1 Album");
    EXPECT_EQ(text(info.genre), "Rock");
    EXPECT_EQ(text(info.date), "1987-01-01");
    EXPECT_EQ(info.track_number, 5);
    mp3_info_release(&info);

    // Only ID3v1: a full-width field, a track byte read as signed, genre 255.
    v1.title = std::string(30, 'T');
    v1.track = 200;
    v1.genre = 255;
    v1.year = "";
    ASSERT_TRUE(readBytes(audio() + fixtures::id3v1Tag(v1), &info));
    EXPECT_EQ(text(info.title), std::string(30, 'T'));
    EXPECT_EQ(info.track_number, -56);
    EXPECT_EQ(text(info.genre), "Unknown");
    EXPECT_EQ(info.date, nullptr);
    mp3_info_release(&info);
}

TEST(Id3Test, DatesAndTrackNumbers) {
    // The year: recording time (its first four digits), then the year frame, then ID3v1; the
    // first of them with a year of 1 to 9999 counts.
    struct Case {
        const char* recorded;
        const char* year;
        const char* v1Year;
        const char* date;
        const char* track;
        int number;
    } cases[] = {
        {"", "1999", "", "1999-01-01", "3/12", 3},
        {"", "0", "", "(none)", "x", 0},
        {"", "12345", "", "(none)", " 9", 9},
        {"", "-5", "1987", "1987-01-01", "", 0},
        {"", "2001-05-06", "", "2001-01-01", "-2", -2},
        {"2004-05-06T10:00", "1999", "1987", "2004-01-01", "", 0},
        {"0000", "1999", "", "1999-01-01", "", 0},
        {"0042", "", "", "0042-01-01", "", 0},
        {"", "", "1987", "1987-01-01", "", 0},
    };
    for (const Case& c : cases) {
        std::vector<Id3Frame> frames;
        if (*c.recorded != '\0') {
            frames.push_back({"TDRC", textFrameData(0, c.recorded)});
        }
        if (*c.year != '\0') {
            frames.push_back({"TYER", textFrameData(0, c.year)});
        }
        if (*c.track != '\0') {
            frames.push_back({"TRCK", textFrameData(0, c.track)});
        }
        fixtures::Id3v1Spec v1;
        v1.year = c.v1Year;
        Mp3Info info;
        ASSERT_TRUE(
            readBytes(tagged(frames, 4, *c.v1Year != '\0' ? fixtures::id3v1Tag(v1) : ""), &info));
        EXPECT_EQ(text(info.date), c.date) << c.recorded << " " << c.year;
        EXPECT_EQ(info.track_number, c.number) << c.track;
        mp3_info_release(&info);
    }
}

TEST(Id3Test, Version4FrameSizesSyncsafeOrPlain) {
    // A 300-byte comment before the title: read the wrong way, its size would lose the title.
    std::vector<Id3Frame> frames = {
        {"COMM", std::string(300, 'c')},
        {"APIC", fixtures::apicFrameData("image/jpeg", "", fixtures::fakeJpeg(500))},
        {"TIT2", textFrameData(0, "After")}};
    for (bool plain : {false, true}) {
        fixtures::Id3v2Options options;
        options.version = 4;
        options.plainV4Sizes = plain; // a broken writer: detected by where the sizes land
        options.padding = 32;
        Mp3Info info;
        ASSERT_TRUE(readBytes(fixtures::id3v2Tag(frames, options) + audio(), &info));
        EXPECT_EQ(text(info.title), "After") << plain;
        EXPECT_EQ(info.has_album_art, 1);
        mp3_info_release(&info);
    }
    // A plain size with a byte of 0x80 or more can only be plain; 200 bytes is 00 00 00 C8.
    fixtures::Id3v2Options options;
    options.version = 4;
    options.plainV4Sizes = true;
    Mp3Info info;
    ASSERT_TRUE(readBytes(
        fixtures::id3v2Tag({{"COMM", std::string(200, 'c')}, {"TIT2", textFrameData(0, "Last")}},
                           options) +
            audio(),
        &info));
    EXPECT_EQ(text(info.title), "Last");
    mp3_info_release(&info);
    // Version 3 keeps plain sizes.
    ASSERT_TRUE(readBytes(tagged(frames, 3), &info));
    EXPECT_EQ(text(info.title), "After");
    mp3_info_release(&info);
}

TEST(Id3Test, UnsynchronisationIsUndoneBeforeFramesAreRead) {
    // FF bytes everywhere unsynchronisation inserts a zero: a UTF-16 byte-order mark (FF FE), a
    // Latin-1 y-diaeresis before a zero, and (versions 2 and 3) a frame size of 511 = 00 01 FF
    // followed by a zero flag byte in the frame header.
    std::vector<Id3Frame> frames = {
        {"COMM", std::string(511, 'c')},
        {"TIT2", fixtures::textFrameUtf8(1, "Звезда")},
        {"TPE1", textFrameData(0, std::string("\xFF\0", 2))},
        {"APIC", fixtures::apicFrameData("image/jpeg", "", fixtures::fakeJpeg(64))},
        {"TALB", textFrameData(1, "\xFF\xE0")}};
    for (int version : {2, 3, 4}) {
        std::vector<Id3Frame> shaped = frames;
        if (version == 2) {
            const char* ids[] = {"COM", "TT2", "TP1", "PIC", "TAL"};
            for (size_t i = 0; i < shaped.size(); i++) {
                shaped[i].id = ids[i];
            }
        }
        fixtures::Id3v2Options options;
        options.version = version;
        options.unsynchronise = true;
        std::string tag = fixtures::id3v2Tag(shaped, options);
        ASSERT_NE(tag.find(std::string("\xFF\x00\xFE", 3)), std::string::npos);
        Mp3Info info;
        ASSERT_TRUE(readBytes(tag + audio(), &info)) << version;
        EXPECT_EQ(text(info.title), "Звезда") << version;
        EXPECT_EQ(text(info.artist), "\xC3\xBF") << version;
        EXPECT_EQ(text(info.album), "\xC3\xBF\xC3\xA0") << version;
        // Pictures are sent straight from the file, which here holds them unsynchronised: none is
        // offered.
        EXPECT_EQ(info.has_album_art, 0) << version;
        mp3_info_release(&info);
    }
}

TEST(Id3Test, ExtendedHeaderSizeRulesPerVersion) {
    for (int version : {3, 4}) {
        fixtures::Id3v2Options options;
        options.version = version;
        options.extendedHeader = 6;
        Mp3Info info;
        ASSERT_TRUE(readBytes(
            fixtures::id3v2Tag({{"TIT2", textFrameData(0, "Ext")}}, options) + audio(), &info));
        EXPECT_EQ(text(info.title), "Ext") << version;
        mp3_info_release(&info);
    }
}

TEST(Id3Test, DamagedFrameListsKeepWhatWasRead) {
    fixtures::Id3v2Options options;
    options.padding = 100;
    std::string tag = fixtures::id3v2Tag(
        {{"TIT2", textFrameData(0, "First")}, {"TPE1", textFrameData(0, "Second")}}, options);
    // Padding ends the list: fields after it are not invented.
    Mp3Info info;
    ASSERT_TRUE(readBytes(tag + audio(), &info));
    EXPECT_EQ(text(info.title), "First");
    EXPECT_EQ(text(info.artist), "Second");
    mp3_info_release(&info);

    // A frame size past the tag end stops the walk after the first frame.
    std::string broken = tag;
    size_t second = broken.find("TPE1");
    broken[second + 4] = 0x7F;
    ASSERT_TRUE(readBytes(broken + audio(), &info));
    EXPECT_EQ(text(info.title), "First");
    EXPECT_EQ(text(info.artist), "Unknown");
    mp3_info_release(&info);

    // A zero frame size stops it as well.
    broken = tag;
    broken.replace(second + 4, 4, std::string(4, '\0'));
    ASSERT_TRUE(readBytes(broken + audio(), &info));
    EXPECT_EQ(text(info.artist), "Unknown");
    mp3_info_release(&info);
}

TEST(Id3Test, BadVersionsAndUnreadableFilesFillNothing) {
    for (int version : {0, 1, 5, 255}) {
        fixtures::Id3v2Options options;
        options.version = version;
        Mp3Info info;
        EXPECT_FALSE(readBytes(
            fixtures::id3v2Tag({{"TIT2", textFrameData(0, "X")}}, options) + audio(), &info));
        EXPECT_EQ(info.title, nullptr);
        EXPECT_EQ(info.duration, nullptr);
        EXPECT_EQ(info.size, 0);
    }
    Mp3Info info;
    EXPECT_FALSE(mp3_read_info("/nonexistent/kb/none.mp3", &info));
    EXPECT_FALSE(mp3_read_info(nullptr, &info));
    // Tags but no MPEG frame: nothing either.
    EXPECT_FALSE(readBytes(
        fixtures::id3v2Tag({{"TIT2", textFrameData(0, "X")}}) + std::string(300, '\x7F'), &info));
    EXPECT_EQ(info.title, nullptr);
}

TEST(Id3Test, PictureFlagFollowsThePictureFrame) {
    Mp3Info info;
    ASSERT_TRUE(readBytes(
        tagged({{"PIC", fixtures::picFrameData("JPG", "", fixtures::jpegPicture(90, 60))}}, 2),
        &info));
    EXPECT_EQ(info.has_album_art, 1);
    EXPECT_EQ(info.picture_format, kPictureJpegTn);
    mp3_info_release(&info);
    // Only a picture that will be served counts: a GIF does not.
    ASSERT_TRUE(readBytes(
        tagged({{"APIC", fixtures::apicFrameData("image/gif", "", "GIF89a\x01\0\x01\0")}}, 3),
        &info));
    EXPECT_EQ(info.has_album_art, 0);
    mp3_info_release(&info);
    // "PIC" is the version 2 id only; a version 3 tag needs APIC.
    ASSERT_TRUE(readBytes(tagged({{"TIT2", textFrameData(0, "EPIC")}}, 3), &info));
    EXPECT_EQ(info.has_album_art, 0);
    mp3_info_release(&info);
}

// The reader holds a window of the file's head: frames, pictures, padding and ID3v1 that lie
// past it are read all the same, and the path with the size already known, the path that asks
// the file, and the stream reader agree.
TEST(Id3Test, ReadsPastTheFileWindow) {
    fixtures::MpegSpec longer;
    longer.frames = 60; // about 25 KB of audio
    fixtures::Id3v1Spec v1;
    v1.artist = "Last Artist";
    fixtures::Id3v2Options padded;
    padded.padding = 20000;
    std::string bigPicture =
        fixtures::apicFrameData("image/jpeg", "", fixtures::jpegPicture(640, 480, 20000));
    struct Case {
        const char* name;
        std::string bytes;
        const char* artist;
        int art;
    } cases[] = {
        {"text frame after a large picture",
         fixtures::id3v2Tag({{"APIC", bigPicture}, {"TPE1", textFrameData(0, "After")}}) + audio(),
         "After", 1},
        {"audio after padding",
         fixtures::id3v2Tag({{"TPE1", textFrameData(0, "Padded")}}, padded) + audio(), "Padded", 0},
        {"ID3v1 at the end of a long file",
         fixtures::id3v2Tag({{"TIT2", textFrameData(0, "T")}}) + fixtures::mpegAudio(longer) +
             fixtures::id3v1Tag(v1),
         "Last Artist", 0},
    };
    for (const Case& c : cases) {
        std::string dir = fixtures::makeTempDir("mp3");
        std::string path = dir + "/t.mp3";
        fixtures::writeFile(path, c.bytes);
        auto size = static_cast<int64_t>(c.bytes.size());
        Mp3Info asked;
        Mp3Info known;
        Mp3Info streamed;
        ASSERT_TRUE(mp3_read_info(path.c_str(), &asked)) << c.name;
        ASSERT_TRUE(mp3_read_info(path.c_str(), &known, size)) << c.name;
        FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(mp3_read_info_stream(file, size, &streamed)) << c.name;
        std::fclose(file);
        for (const Mp3Info* info : {&asked, &known, &streamed}) {
            EXPECT_EQ(text(info->artist), c.artist) << c.name;
            EXPECT_EQ(info->has_album_art, c.art) << c.name;
            EXPECT_EQ(info->size, size) << c.name;
            EXPECT_EQ(text(info->duration), text(asked.duration)) << c.name;
        }
        if (c.art != 0) {
            EXPECT_EQ(asked.picture_format, kPictureJpegSm) << c.name;
        }
        for (Mp3Info* info : {&asked, &known, &streamed}) {
            mp3_info_release(info);
        }
        fixtures::removeTree(dir);
    }
}

} // namespace
