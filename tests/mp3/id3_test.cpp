// ID3v2.2/2.3/2.4 and ID3v1 tags as the catalogue reads them.
#include <gtest/gtest.h>

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
        const char* ids[6];
    } cases[] = {
        {2, {"TT2", "TP1", "TAL", "TCO", "TYE", "TRK"}},
        {3, {"TIT2", "TPE1", "TALB", "TCON", "TYER", "TRCK"}},
        {4, {"TIT2", "TPE1", "TALB", "TCON", "TYER", "TRCK"}},
    };
    for (const Case& c : cases) {
        std::vector<Id3Frame> frames = {
            {c.ids[0], textFrameData(0, "Title")}, {c.ids[1], textFrameData(0, "Artist")},
            {c.ids[2], textFrameData(0, "Album")}, {c.ids[3], textFrameData(0, "Jazz")},
            {c.ids[4], textFrameData(0, "1999")},  {c.ids[5], textFrameData(0, "7/10")},
        };
        Mp3Info info;
        ASSERT_TRUE(readBytes(tagged(frames, c.version), &info)) << c.version;
        EXPECT_EQ(text(info.title), "Title") << c.version;
        EXPECT_EQ(text(info.artist), "Artist");
        EXPECT_EQ(text(info.album), "Album");
        EXPECT_EQ(text(info.genre), "Jazz");
        EXPECT_EQ(text(info.date), "1999-01-01");
        EXPECT_EQ(info.track_number, 7);
        EXPECT_EQ(info.has_album_art, 0);
        mp3_info_release(&info);
    }
}

TEST(Id3Test, EncodingsDecodeToSingleBytes) {
    struct Case {
        std::string data;
        std::string expected;
    } cases[] = {
        {textFrameData(0, "Caf\xE9"), "Caf\xE9"},
        // UTF-8: characters up to U+00FF become their byte, others "?"; bytes that form no
        // sequence (Latin-1 text mislabelled as UTF-8, a cut sequence) stay as they are.
        {textFrameData(3, "Caf\xC3\xA9 \xC2\xBD"), "Caf\xE9 \xBD"},
        {textFrameData(3, "\xE2\x82\xAC"
                          "5 \xF0\x9F\x8E\xB5!"),
         "?5 ?!"},
        {textFrameData(3, "Caf\xE9 \xC3"), "Caf\xE9 \xC3"},
        {textFrameData(3, "\xC0\xA9\xC3("), "\xC0\xA9\xC3("},
        {textFrameData(1, "Caf\xE9"), "Caf\xE9"},       // FF FE
        {textFrameData(1, "Caf\xE9", true), "Caf\xE9"}, // FE FF
        {textFrameData(2, "Caf\xE9"), "Caf\xE9"},
        {textFrameData(1, "", false, {0x41, 0x263A, 0x42}), "A?B"},
        {textFrameData(1, "", false, {0x41, 0x0000, 0x42}), "A"}, // stops at a zero unit
        {std::string("\x01\xFF\xFE\x41\x00\x42", 6), "A"},        // odd trailing byte dropped
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
    struct Case {
        const char* year;
        const char* date;
        const char* track;
        int number;
    } cases[] = {
        {"1999", "1999-01-01", "3/12", 3},
        {"0", "(none)", "x", 0},
        {"12345", "12345-01-0", " 9", 9},
        {"2001-05-06", "2001-01-01", "-2", -2},
    };
    for (const Case& c : cases) {
        Mp3Info info;
        ASSERT_TRUE(readBytes(
            tagged({{"TYER", textFrameData(0, c.year)}, {"TRCK", textFrameData(0, c.track)}}, 3),
            &info));
        EXPECT_EQ(text(info.date), c.date) << c.year;
        EXPECT_EQ(info.track_number, c.number) << c.track;
        mp3_info_release(&info);
    }
}

TEST(Id3Test, Version4FrameSizesAreSyncsafe) {
    // A 300-byte comment before the title: read as a plain number its size would be wrong and
    // the title lost.
    std::vector<Id3Frame> frames = {
        {"COMM", std::string(300, 'c')},
        {"APIC", fixtures::apicFrameData("image/jpeg", "", fixtures::fakeJpeg(500))},
        {"TIT2", textFrameData(0, "After")}};
    Mp3Info info;
    ASSERT_TRUE(readBytes(tagged(frames, 4), &info));
    EXPECT_EQ(text(info.title), "After");
    EXPECT_EQ(info.has_album_art, 1);
    mp3_info_release(&info);
    // Version 3 keeps plain sizes.
    ASSERT_TRUE(readBytes(tagged(frames, 3), &info));
    EXPECT_EQ(text(info.title), "After");
    mp3_info_release(&info);
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

} // namespace
