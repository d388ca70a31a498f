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

// Title, artist, album, genre, year, track and length as mutagen reads them.
std::string mutagenView(const std::string& path) {
    std::string script =
        "import sys\n"
        "from mutagen.mp3 import MP3\n"
        "f = MP3(sys.argv[1])\n"
        "t = f.tags\n"
        "def g(k):\n"
        "    return str(t[k].text[0]) if t is not None and k in t else '-'\n"
        "print('|'.join([g('TIT2'), g('TPE1'), g('TALB'), g('TCON'), g('TDRC'), g('TRCK'),\n"
        "                str(int(f.info.length * 1000)), str(f.info.bitrate // 1000)]))\n";
    std::string dir = fixtures::makeTempDir("mutagen");
    fixtures::writeFile(dir + "/view.py", script);
    std::string out = run(std::string(kPython) + " " + dir + "/view.py " + path + " 2>&1");
    fixtures::removeTree(dir);
    return out;
}

TEST(CrossCheckTest, MutagenReadsTheFixtureWriterAlike) {
    if (!haveMutagen()) {
        GTEST_SKIP() << "python3-mutagen not available";
    }
    std::string dir = fixtures::makeTempDir("xcheck");
    for (int version : {3, 4}) {
        fixtures::Mp3Spec shape;
        shape.version = version;
        shape.title = "Caf\xE9";
        shape.artist = "Band";
        shape.album = "Record";
        shape.genre = "Jazz";
        shape.year = "1999";
        shape.track = "4/9";
        shape.audio.xingFrames = 1000; // 1000 x 1152 / 44100 = 26122 ms
        std::string path = dir + "/v" + std::to_string(version) + ".mp3";
        fixtures::writeFile(path, fixtures::buildMp3(shape));
        // mutagen decodes Latin-1 to text and prints it as UTF-8.
        EXPECT_EQ(mutagenView(path), "Caf\xC3\xA9|Band|Record|Jazz|1999|4/9|26122|128\n")
            << version;
        Mp3Info info;
        ASSERT_TRUE(mp3_read_info(path.c_str(), &info));
        EXPECT_EQ(text(info.title), "Caf\xE9");
        EXPECT_EQ(text(info.genre), "Jazz");
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
    for (int i = 0; i < 6; i++) {
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
