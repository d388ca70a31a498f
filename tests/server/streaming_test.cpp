// Tracks and pictures sent byte for byte, and the not-found answers.
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "media_db/media_db.h"
#include "server/streaming.h"
#include "support/fixtures_media.h"
#include "support/http_socket_pair.h"

namespace {

using Serve = void (*)(PlatformSocket, const MediaRequest&);

struct ServeJob {
    Serve serve;
    PlatformSocket socket;
    std::string target;
    std::string head;
    bool headOnly;
};

void serveBody(void* arg) {
    auto* job = static_cast<ServeJob*>(arg);
    // The header values as the router finds them.
    HttpRoute route = httpRouteRequest(&job->head[0]);
    job->serve(job->socket,
               MediaRequest{"HTTP/1.1", job->target.c_str(), route.media, job->headOnly});
    platformSocketClose(job->socket);
}

// Serves `target` on its own thread (bodies may exceed the socket buffers) with the header
// lines given, and returns what the client received.
std::string fetch(Serve serve, const std::string& target, const std::string& headers = "",
                  bool headOnly = false) {
    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return "<no socket pair>";
    }
    ServeJob job{serve, pair.server, target, "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n",
                 headOnly};
    pair.server = kPlatformInvalidSocket;
    PlatformThread thread;
    if (platformThreadStart(&thread, serveBody, &job) != 0) {
        httpSocketPairClose(&pair);
        return "<no thread>";
    }
    std::string answer = httpReadAll(pair.client, 5000);
    platformThreadJoin(thread);
    httpSocketPairClose(&pair);
    return answer;
}

struct Answer {
    std::string head;
    std::string body;
};

Answer split(const std::string& answer) {
    size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos) {
        return {answer, ""};
    }
    return {answer.substr(0, end + 2), answer.substr(end + 4)};
}

std::string headerValue(const std::string& head, const std::string& name) {
    size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return "(absent)";
    }
    at += name.size() + 4;
    return head.substr(at, head.find("\r\n", at) - at);
}

class StreamingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fixtures::makeTempDir("stream");
        media_db_build();
    }
    void TearDown() override {
        media_db_destroy();
        fixtures::removeTree(dir_);
    }
    // Writes the file and adds it as a track; returns the item's ObjectID text.
    std::string addTrack(const std::string& name, const std::string& bytes) {
        std::string path = dir_ + "/" + name;
        EXPECT_TRUE(fixtures::writeFile(path, bytes));
        media_db_add_track(path.c_str());
        media_db_read_lock();
        std::string id = std::to_string(media_db_object_id(media_db_top().all_tracks->first_child));
        media_db_read_unlock();
        return id;
    }
    std::string picture(const std::string& id) {
        return fetch(httpServeAlbumArt, "/virtual/" + id + ".jpg");
    }
    void expectNotFound(const std::string& answer, const std::string& target) {
        EXPECT_EQ(answer.compare(0, 22, "HTTP/1.1 404 Not Found"), 0) << answer.substr(0, 80);
        EXPECT_NE(answer.find("The requested URL " + target + " was not found"), std::string::npos);
    }
    std::string dir_;
};

TEST_F(StreamingTest, TrackBytesAreSentWhole) {
    fixtures::Mp3Spec shape;
    shape.title = "Long";
    shape.audio.frames = 1500; // about 600 KB: several send blocks
    std::string bytes = fixtures::buildMp3(shape);
    std::string id = addTrack("long.mp3", bytes);
    for (const char* ending : {".mp3", ".jpg", ""}) {
        Answer answer = split(fetch(httpServeTrack, "/disk/" + id + ending));
        EXPECT_EQ(answer.head.compare(0, 15, "HTTP/1.1 200 OK"), 0) << answer.head;
        EXPECT_EQ(headerValue(answer.head, "Content-Type"), "audio/mpeg");
        EXPECT_EQ(headerValue(answer.head, "Content-Length"), std::to_string(bytes.size()));
        EXPECT_TRUE(answer.body == bytes) << "body of " << answer.body.size() << " bytes";
    }
    // A reference (under Albums) names the same file.
    media_db_read_lock();
    MediaObject* album = find_child_by_title("Unknown", media_db_top().albums);
    std::string reference = std::to_string(media_db_object_id(album->first_child));
    media_db_read_unlock();
    EXPECT_TRUE(split(fetch(httpServeTrack, "/disk/" + reference + ".mp3")).body == bytes);
}

// A track deep in folders, its path longer than any fixed buffer would hold, streams whole.
TEST_F(StreamingTest, ATrackWithAVeryLongPathStreams) {
    std::string folders;
    for (int i = 0; i < 6; i++) {
        folders += std::string(250, static_cast<char>('a' + i)) + "/";
    }
    fixtures::Mp3Spec shape;
    shape.jpeg = fixtures::jpegPicture(10, 10);
    std::string bytes = fixtures::buildMp3(shape);
    std::string id = addTrack(folders + "deep.mp3", bytes);
    EXPECT_TRUE(split(fetch(httpServeTrack, "/disk/" + id + ".mp3")).body == bytes);
    EXPECT_TRUE(split(picture(id)).body == shape.jpeg);
}

TEST_F(StreamingTest, RangesHeadAndDlnaHeaders) {
    fixtures::Mp3Spec shape;
    shape.jpeg = fixtures::jpegPicture(100, 100);
    std::string bytes = fixtures::buildMp3(shape);
    std::string id = addTrack("ranges.mp3", bytes);
    const std::string& jpeg = shape.jpeg;
    const std::string size = std::to_string(bytes.size());
    const std::string track = "/disk/" + id + ".mp3";
    const std::string art = "/virtual/" + id + ".jpg";
    const std::string audioFeatures = "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                                      "DLNA.ORG_FLAGS=01700000000000000000000000000000";
    struct Case {
        Serve serve;
        std::string target;
        std::string headers;
        bool headOnly;
        std::string status;
        std::string body; // expected body; its length is the expected Content-Length
        std::string contentRange;
        std::string features;
        std::string mode;
    } cases[] = {
        {httpServeTrack, track, "", false, "200 OK", bytes, "(absent)", "(absent)", "Streaming"},
        {httpServeTrack, track, "Range: bytes=100-199\r\n", false, "206 Partial Content",
         bytes.substr(100, 100), "bytes 100-199/" + size, "(absent)", "Streaming"},
        {httpServeTrack, track, "range: bytes=-5\r\nHost: x\r\n", false, "206 Partial Content",
         bytes.substr(bytes.size() - 5),
         "bytes " + std::to_string(bytes.size() - 5) + "-" + std::to_string(bytes.size() - 1) +
             "/" + size,
         "(absent)", "Streaming"},
        {httpServeTrack, track, "Range: bytes=" + size + "-\r\n", false,
         "416 Range Not Satisfiable", "", "bytes */" + size, "(absent)", "(absent)"},
        {httpServeTrack, track, "Range: bytes=0-1,4-5\r\n", false, "200 OK", bytes, "(absent)",
         "(absent)", "Streaming"},
        {httpServeTrack, track, "Range: bytes=5-\r\nIf-Range: \"v1\"\r\n", false, "200 OK", bytes,
         "(absent)", "(absent)", "Streaming"},
        {httpServeTrack, track, "TimeSeekRange.dlna.org: npt=10.0-\r\n", false,
         "406 Not Acceptable", "", "(absent)", "(absent)", "(absent)"},
        {httpServeTrack, track, "TimeSeekRange.dlna.org: npt=10.0-\r\nRange: bytes=10-\r\n", false,
         "206 Partial Content", bytes.substr(10),
         "bytes 10-" + std::to_string(bytes.size() - 1) + "/" + size, "(absent)", "Streaming"},
        {httpServeTrack, track,
         "getcontentFeatures.dlna.org: 1\r\ntransferMode.dlna.org: Background\r\n", false, "200 OK",
         bytes, "(absent)", audioFeatures, "Background"},
        {httpServeTrack, track, "Range: bytes=0-9\r\ngetcontentFeatures.dlna.org: 1\r\n", true,
         "206 Partial Content", bytes.substr(0, 10), "bytes 0-9/" + size, audioFeatures,
         "Streaming"},
        {httpServeAlbumArt, art, "getcontentFeatures.dlna.org: 1\r\n", false, "200 OK", jpeg,
         "(absent)",
         "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
         "DLNA.ORG_FLAGS=00D00000000000000000000000000000",
         "Interactive"},
        {httpServeAlbumArt, art, "Range: bytes=2-\r\n", true, "206 Partial Content", jpeg.substr(2),
         "bytes 2-" + std::to_string(jpeg.size() - 1) + "/" + std::to_string(jpeg.size()),
         "(absent)", "Interactive"},
    };
    for (const Case& c : cases) {
        std::string what = c.target + " " + c.headers + (c.headOnly ? " HEAD" : "");
        Answer answer = split(fetch(c.serve, c.target, c.headers, c.headOnly));
        EXPECT_EQ(answer.head.substr(0, 9 + c.status.size()), "HTTP/1.1 " + c.status) << what;
        EXPECT_EQ(headerValue(answer.head, "Content-Length"), std::to_string(c.body.size()))
            << what;
        EXPECT_TRUE(answer.body == (c.headOnly ? "" : c.body)) << what;
        EXPECT_EQ(headerValue(answer.head, "Content-Range"), c.contentRange) << what;
        EXPECT_EQ(headerValue(answer.head, "Accept-Ranges"), "bytes") << what;
        EXPECT_EQ(headerValue(answer.head, "contentFeatures.dlna.org"), c.features) << what;
        EXPECT_EQ(headerValue(answer.head, "transferMode.dlna.org"), c.mode) << what;
    }
    // HEAD of the 404 page: its head, with the page's length, and no page.
    Answer page = split(fetch(httpServeTrack, "/disk/0.mp3"));
    Answer head = split(fetch(httpServeTrack, "/disk/0.mp3", "", true));
    EXPECT_EQ(head.head.substr(0, 22), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(headerValue(head.head, "Content-Length"), std::to_string(page.body.size()));
    EXPECT_EQ(headerValue(page.head, "Content-Length"), std::to_string(page.body.size()));
    EXPECT_EQ(head.body, "");
}

TEST_F(StreamingTest, TracksThatNameNoFileAreNotFound) {
    std::string id = addTrack("a.mp3", fixtures::buildMp3(fixtures::Mp3Spec{}));
    media_db_read_lock();
    std::string container = std::to_string(media_db_object_id(media_db_top().albums));
    media_db_read_unlock();
    for (const std::string& target :
         std::vector<std::string>{"/disk/0.mp3", "/disk/" + container + ".mp3", "/disk/abc.mp3",
                                  "/disk/", "/disk/" + id + "000.mp3"}) {
        expectNotFound(fetch(httpServeTrack, target), target);
    }
    ASSERT_EQ(unlink((dir_ + "/a.mp3").c_str()), 0);
    expectNotFound(fetch(httpServeTrack, "/disk/" + id + ".mp3"), "/disk/" + id + ".mp3");
    // After a rebuild the old number names nothing.
    addTrack("b.mp3", fixtures::buildMp3(fixtures::Mp3Spec{}));
    media_db_build();
    expectNotFound(fetch(httpServeTrack, "/disk/" + id + ".mp3"), "/disk/" + id + ".mp3");
}

TEST_F(StreamingTest, PicturesAreTheJpegBytesToTheFrameEnd) {
    std::string jpeg = fixtures::fakeJpeg(300000); // larger than one send block
    for (int version : {2, 3, 4}) {
        fixtures::Mp3Spec shape;
        shape.version = version;
        shape.title = "Art";
        shape.jpeg = jpeg;
        std::string id =
            addTrack("art" + std::to_string(version) + ".mp3", fixtures::buildMp3(shape));
        Answer answer = split(picture(id));
        EXPECT_EQ(answer.head.compare(0, 15, "HTTP/1.1 200 OK"), 0) << version;
        EXPECT_EQ(headerValue(answer.head, "Content-Type"), "image/jpeg");
        EXPECT_EQ(headerValue(answer.head, "Content-Length"), std::to_string(jpeg.size()));
        EXPECT_TRUE(answer.body == jpeg) << "version " << version << ": " << answer.body.size();
    }
}

TEST_F(StreamingTest, PictureIsTheFrameContentAfterItsFields) {
    using fixtures::apicFrameData;
    using fixtures::Id3Frame;
    std::string jpeg = fixtures::jpegPicture(300, 200);
    std::string exif = fixtures::jpegPicture(90, 90, 400);
    std::string png = fixtures::pngPicture(16, 16);
    std::string audio = fixtures::mpegAudio(fixtures::MpegSpec{});
    std::string marker("\xFF\xD8\xFF\xE0", 4);
    // UTF-16 description whose bytes hold a JPEG marker and single zero bytes.
    std::string wideDescription = std::string("\xFF\xFE", 2) + marker + std::string("A\0B\0", 4);
    struct Case {
        const char* name;
        std::vector<Id3Frame> frames;
        int version;
        std::string expected; // "" for not found
        const char* mime;
    } cases[] = {
        // A comment that mentions APIC comes first; the real frame is still the one used.
        {"comment",
         {{"COMM", "xxxAPIC\x7F\x7F\x7F\x7F"}, {"APIC", apicFrameData("image/jpeg", "d", jpeg)}},
         3,
         jpeg,
         "image/jpeg"},
        {"png", {{"APIC", apicFrameData("image/png", "", png)}}, 3, png, "image/png"},
        {"exif", {{"APIC", apicFrameData("image/jpeg", "", exif)}}, 4, exif, "image/jpeg"},
        // The type is read from the bytes, not from the frame's MIME type.
        {"mislabelled", {{"APIC", apicFrameData("image/jpg", "", png)}}, 3, png, "image/png"},
        {"wide description",
         {{"APIC", apicFrameData("image/png", wideDescription, png, 3, 1)}},
         3,
         png,
         "image/png"},
        {"latin description with a marker",
         {{"APIC", apicFrameData("image/png", marker + "x", png)}},
         3,
         png,
         "image/png"},
        {"version 2", {{"PIC", fixtures::picFrameData("PNG", "cover", png)}}, 2, png, "image/png"},
        // The front cover wins over an earlier picture; else the first picture is used.
        {"front cover later",
         {{"APIC", apicFrameData("image/jpeg", "", jpeg, 0)},
          {"APIC", apicFrameData("image/png", "", png, 3)}},
         3,
         png,
         "image/png"},
        {"first of the others",
         {{"APIC", apicFrameData("image/jpeg", "", jpeg, 4)},
          {"APIC", apicFrameData("image/png", "", png, 5)}},
         3,
         jpeg,
         "image/jpeg"},
        // A frame that holds no JPEG or PNG is passed over.
        {"gif then jpeg",
         {{"APIC", apicFrameData("image/gif", "", "GIF89a\x01\0\x01\0", 3)},
          {"APIC", apicFrameData("image/jpeg", "", jpeg, 3)}},
         3,
         jpeg,
         "image/jpeg"},
        {"link", {{"APIC", apicFrameData("-->", "", "http://x/" + marker)}}, 3, "", nullptr},
        {"no terminator", {{"APIC", std::string("\0image/jpeg", 11) + marker}}, 3, "", nullptr},
        {"none", {{"TIT2", fixtures::textFrameData(0, "No art")}}, 3, "", nullptr},
    };
    for (const Case& c : cases) {
        fixtures::Id3v2Options options;
        options.version = c.version;
        // A marker after the tag is never taken for a picture.
        std::string id = addTrack(std::string(c.name) + ".mp3",
                                  fixtures::id3v2Tag(c.frames, options) + audio + marker);
        std::string answer = picture(id);
        if (c.expected.empty()) {
            expectNotFound(answer, "/virtual/" + id + ".jpg");
            continue;
        }
        Answer parts = split(answer);
        EXPECT_EQ(headerValue(parts.head, "Content-Type"), c.mime) << c.name;
        EXPECT_EQ(headerValue(parts.head, "Content-Length"), std::to_string(c.expected.size()))
            << c.name;
        EXPECT_TRUE(parts.body == c.expected) << c.name;
    }
    // Content not stored as is (an unsynchronised tag) is not served.
    std::string tag = fixtures::id3v2Tag({{"APIC", apicFrameData("image/png", "", png)}});
    tag[5] = static_cast<char>(0x80);
    std::string unsync = addTrack("unsync.mp3", tag + audio);
    expectNotFound(picture(unsync), "/virtual/" + unsync + ".jpg");
    expectNotFound(picture("0"), "/virtual/0.jpg");
    expectNotFound(fetch(httpServeAlbumArt, "/nothing"), "/nothing");
}

} // namespace
