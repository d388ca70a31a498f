// Cross-checks with independent tools: files from the fixture writer read back by mutagen, and
// files encoded and tagged by lame read by our reader.
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "mp3_test_util.h"

namespace {

const char* kPython = "/usr/bin/python3";

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, pipe)) > 0) {
        out.append(block, n);
    }
    pclose(pipe);
    return out;
}

bool haveMutagen() {
    return access(kPython, X_OK) == 0 &&
           run(std::string(kPython) + " -c 'import mutagen; print(1)' 2>/dev/null") == "1\n";
}

// Title, artist, album, album artist, genre, year, track, disc, length and bitrate as mutagen
// reads them (its version 2.4 view: TYER becomes TDRC, version 2.2 ids their long forms).
std::string mutagenView(const std::string& path) {
    std::string script =
        "import re, sys\n"
        "from mutagen.mp3 import MP3\n"
        "f = MP3(sys.argv[1])\n"
        "t = f.tags\n"
        "def g(k):\n"
        "    return str(t[k].text[0]) if t is not None and k in t else '-'\n"
        "def n(k):\n"
        "    m = re.match(r'\\s*[-+]?\\d+', g(k))\n"
        "    return str(int(m.group(0))) if m else '0'\n"
        "print('|'.join([g('TIT2'), g('TPE1'), g('TALB'), g('TPE2'), g('TCON'), g('TDRC')[:4],\n"
        "                n('TRCK'), n('TPOS'), str(int(f.info.length * 1000)),\n"
        "                str(f.info.bitrate // 1000)]))\n";
    std::string dir = fixtures::makeTempDir("mutagen");
    fixtures::writeFile(dir + "/view.py", script);
    std::string out = run(std::string(kPython) + " " + dir + "/view.py " + path + " 2>&1");
    fixtures::removeTree(dir);
    return out;
}

// Our reading in the same form (no length: ours reads the rate in whole kHz).
std::string ourView(const Mp3Info& info) {
    auto field = [](const char* value) { return std::string(value != nullptr ? value : "-"); };
    return field(info.title) + "|" + field(info.artist) + "|" + field(info.album) + "|" +
           field(info.album_artist) + "|" + field(info.genre) + "|" +
           (info.date != nullptr ? std::string(info.date, 4) : "-") + "|" +
           std::to_string(info.track_number) + "|" + std::to_string(info.disc_number);
}

fixtures::Mp3Spec shapeOf(int version, int encoding, const char* title, const char* artist,
                          const char* album) {
    fixtures::Mp3Spec shape;
    shape.version = version;
    shape.encoding = encoding;
    shape.title = title;
    shape.artist = artist;
    shape.album = album;
    shape.genre = "Jazz";
    shape.track = "4/9";
    shape.audio.xingFrames = 1000; // 1000 x 1152 / 44100 = 26122 ms
    return shape;
}

TEST(CrossCheckTest, MutagenReadsTheFixtureWriterAlike) {
    if (!haveMutagen()) {
        GTEST_SKIP() << "python3-mutagen not available";
    }
    // A title long enough (over 127 bytes) that its frame size differs when read syncsafe.
    std::string longTitle = "Ωμέγα:";
    for (int i = 0; i < 20; i++) {
        longTitle += " ωμέγα";
    }
    struct Case {
        fixtures::Mp3Spec shape;
        std::string expected; // title|artist|album|album artist|genre|year|track|disc
    } cases[] = {
        {shapeOf(3, 0, "Caf\xE9", "Band", "Record"), "Café|Band|Record|-|Jazz|-|4|0"},
        {shapeOf(4, 1, "Звезда", "Кино", "Группа крови"),
         "Звезда|Кино|Группа крови|Кино|Jazz|1988|4|2"},
        {shapeOf(4, 3, "夜の曲", "久石譲", "夜"), "夜の曲|久石譲|夜|-|Jazz|2004|4|1"},
        {shapeOf(3, 1, "Hits One", "Queen", "Greatest Hits"),
         "Hits One|Queen|Greatest Hits|Queen|Jazz|1981|4|0"},
        {shapeOf(4, 2, "Hits Two", "ABBA", "Greatest Hits"),
         "Hits Two|ABBA|Greatest Hits|-|Jazz|1975|4|0"},
        {shapeOf(4, 3, longTitle.c_str(), "Plain Sizes", "Broken Writer"),
         longTitle + "|Plain Sizes|Broken Writer|-|Jazz|-|4|0"},
        {shapeOf(3, 1, "Ωμέγα", "Unsync", "Whole Tag"), "Ωμέγα|Unsync|Whole Tag|-|Jazz|1999|4|3"},
        {shapeOf(4, 1, "Ωμέγα", "Unsync", "Per Frame"), "Ωμέγα|Unsync|Per Frame|-|Jazz|2001|4|0"},
        {shapeOf(2, 1, "Звезда", "Old Tag", "Version 2"),
         "Звезда|Old Tag|Version 2|V2|Jazz|1990|4|1"},
    };
    cases[1].shape.albumArtist = "Кино";
    cases[1].shape.recorded = "1988-01-05";
    cases[1].shape.disc = "2/2";
    cases[2].shape.recorded = "2004";
    cases[2].shape.disc = "1";
    cases[3].shape.albumArtist = "Queen";
    cases[3].shape.year = "1981";
    cases[4].shape.recorded = "1975-10-01";
    cases[5].shape.plainV4Sizes = true;
    cases[6].shape.unsynchronise = true;
    cases[6].shape.year = "1999";
    cases[6].shape.disc = "3/4";
    cases[7].shape.unsynchronise = true;
    cases[7].shape.recorded = "2001";
    cases[8].shape.albumArtist = "V2";
    cases[8].shape.year = "1990";
    cases[8].shape.disc = "1/1";

    std::string dir = fixtures::makeTempDir("xcheck");
    int index = 0;
    for (const Case& c : cases) {
        std::string path = dir + "/case" + std::to_string(index++) + ".mp3";
        fixtures::writeFile(path, fixtures::buildMp3(c.shape));
        // mutagen prints text as UTF-8, as our reader keeps it.
        EXPECT_EQ(mutagenView(path), c.expected + "|26122|128\n") << path;
        Mp3Info info;
        ASSERT_TRUE(mp3_read_info(path.c_str(), &info));
        EXPECT_EQ(ourView(info), c.expected) << path;
        EXPECT_EQ(text(info.duration), "0:00:26.181"); // whole-kHz rate: 1152000 / 44
        mp3_info_release(&info);
    }
    fixtures::removeTree(dir);
}

std::string wavOfSilence(int seconds, int rate) {
    int samples = seconds * rate;
    std::string data(static_cast<size_t>(samples) * 2, '\0');
    for (int i = 0; i < samples; i++) {
        data[static_cast<size_t>(i) * 2] = static_cast<char>((i * 37) & 0x0F); // faint noise
    }
    auto le = [](uint32_t v, int n) {
        std::string s;
        for (int i = 0; i < n; i++) {
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
        }
        return s;
    };
    return "RIFF" + le(36 + static_cast<uint32_t>(data.size()), 4) + "WAVEfmt " + le(16, 4) +
           le(1, 2) + le(1, 2) + le(rate, 4) + le(rate * 2, 4) + le(2, 2) + le(16, 2) + "data" +
           le(static_cast<uint32_t>(data.size()), 4) + data;
}

TEST(CrossCheckTest, ReadsFilesEncodedAndTaggedByLame) {
    if (access("/usr/bin/lame", X_OK) != 0 || !haveMutagen()) {
        GTEST_SKIP() << "lame or mutagen not available";
    }
    std::string dir = fixtures::makeTempDir("lame");
    fixtures::writeFile(dir + "/in.wav", wavOfSilence(20, 44100));
    std::string out = dir + "/out.mp3";
    run("/usr/bin/lame --quiet -b 128 --id3v2-only --tt 'Lame Title' --ta 'Lame Artist' "
        "--tl 'Lame Album' --ty 2004 --tn 6/12 --tg Rock " +
        dir + "/in.wav " + out + " 2>&1");
    Mp3Info info;
    ASSERT_TRUE(mp3_read_info(out.c_str(), &info));
    EXPECT_EQ(text(info.title), "Lame Title");
    EXPECT_EQ(text(info.artist), "Lame Artist");
    EXPECT_EQ(text(info.album), "Lame Album");
    EXPECT_EQ(text(info.genre), "Rock");
    EXPECT_EQ(info.track_number, 6);
    // mutagen's length against ours: within 1% (ours reads the rate in whole kHz).
    std::string view = mutagenView(out);
    size_t bar = 0;
    for (int i = 0; i < 8; i++) {
        bar = view.find('|', bar) + 1;
    }
    long mutagenMs = std::strtol(view.c_str() + bar, nullptr, 10);
    ASSERT_NE(info.duration, nullptr);
    int h = 0, m = 0, s = 0, ms = 0;
    ASSERT_EQ(std::sscanf(info.duration, "%d:%d:%d.%d", &h, &m, &s, &ms), 4);
    long ourMs = ((h * 60L + m) * 60 + s) * 1000 + ms;
    EXPECT_NEAR(ourMs, mutagenMs, mutagenMs / 100 + 30) << view;
    EXPECT_NEAR(ourMs, 20000, 400);
    mp3_info_release(&info);
    fixtures::removeTree(dir);
}

} // namespace
