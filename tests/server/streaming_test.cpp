// Tracks and pictures sent byte for byte, and the not-found answers.
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "media_db/media_db.h"
#include "server/streaming.h"
#include "support/fixtures_media.h"
#include "support/http_socket_pair.h"

namespace {

struct ServeJob {
    void (*serve)(PlatformSocket, const char*, const char*);
    PlatformSocket socket;
    std::string target;
};

void serveBody(void* arg) {
    auto* job = static_cast<ServeJob*>(arg);
    job->serve(job->socket, "HTTP/1.1", job->target.c_str());
    platformSocketClose(job->socket);
}

// Serves `target` on its own thread (bodies may exceed the socket buffers) and returns what
// the client received.
std::string fetch(void (*serve)(PlatformSocket, const char*, const char*),
                  const std::string& target) {
    HttpSocketPair pair;
    if (!httpSocketPairOpen(&pair)) {
        return "<no socket pair>";
    }
    ServeJob job{serve, pair.server, target};
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

TEST_F(StreamingTest, PictureSearchStaysInsideThePictureFrame) {
    using fixtures::Id3Frame;
    std::string jpeg = fixtures::fakeJpeg(200);
    std::string audio = fixtures::mpegAudio(fixtures::MpegSpec{});
    std::string marker("\xFF\xD8\xFF\xE0", 4);
    struct Case {
        const char* name;
        std::vector<Id3Frame> frames;
        std::string trailer;  // bytes after the audio
        std::string expected; // "" for not found
    } cases[] = {
        // A comment that mentions APIC comes first; the real frame is still the one used.
        {"comment",
         {{"COMM", "xxxAPIC\x7F\x7F\x7F\x7F"},
          {"APIC", fixtures::apicFrameData("image/jpeg", "d", jpeg)}},
         "",
         jpeg},
        // A doubled first marker byte does not hide the marker one byte later.
        {"doubled", {{"APIC", fixtures::apicFrameData("image/jpeg", "", "\xFF" + jpeg)}}, "", jpeg},
        {"png",
         {{"APIC",
           fixtures::apicFrameData("image/png", "", "\x89PNG\r\n\x1A\n" + std::string(50, 'p'))}},
         marker + "after",
         ""},
        {"exif",
         {{"APIC",
           fixtures::apicFrameData("image/jpeg", "", "\xFF\xD8\xFF\xE1" + std::string(50, 'e'))}},
         "",
         ""},
        {"none", {{"TIT2", fixtures::textFrameData(0, "No art")}}, marker + "after", ""},
    };
    for (const Case& c : cases) {
        std::string id = addTrack(std::string(c.name) + ".mp3",
                                  fixtures::id3v2Tag(c.frames) + audio + c.trailer);
        std::string answer = picture(id);
        if (c.expected.empty()) {
            expectNotFound(answer, "/virtual/" + id + ".jpg");
        } else {
            Answer parts = split(answer);
            EXPECT_EQ(headerValue(parts.head, "Content-Length"), std::to_string(c.expected.size()))
                << c.name;
            EXPECT_TRUE(parts.body == c.expected) << c.name;
        }
    }
    expectNotFound(picture("0"), "/virtual/0.jpg");
    expectNotFound(fetch(httpServeAlbumArt, "/nothing"), "/nothing");
}

} // namespace
