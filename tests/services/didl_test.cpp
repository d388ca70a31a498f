#include "services/didl_lite.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "catalogue_fixture.h"
#include "mp3/mp3_info.h"
#include "mp3/picture_info.h"
#include "runtime/xml_escape.h"

namespace {

const char kBase[] = "http://192.0.2.1:8080/";

std::string write(const MediaObject* object, const char* filter) {
    media_db_read_lock();
    TextBuffer* buffer = textBufferCreate(nullptr, 64);
    buffer = didl_write_object(buffer, object, filter, kBase);
    std::string text = buffer->text;
    textBufferFree(buffer);
    media_db_read_unlock();
    return text;
}

int count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        n++;
    }
    return n;
}

class DidlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        buildCatalogue({{"One", "A", "Rec", "Rock", 1, false},
                        {"Two", "B", "Rec", "Pop", 2, kPicturePngTn, "2001-01-01", "0:03:05.000",
                         1000, false, "", kAudioMp3, 2},
                        {"Three", "A", "Rec", "Rock", 3, true},
                        {"Solo", "A", "Other", "Rock", 1, false, "2001-01-01", "0:03:05.000", 1000,
                         false, "", kAudioMp3x}},
                       {{"Mix", {{"P1", "C", "", "Jazz", 0, false}, {"P2", "C", "", "Jazz"}}}});
    }
};

TEST_F(DidlTest, RootAndTopContainers) {
    std::string root = write(media_db_find(0), "*");
    EXPECT_EQ(root.rfind("&lt;container id=&quot;0&quot; parentID=&quot;-1&quot; "
                         "childCount=&quot;5&quot; restricted=&quot;true&quot;&gt;\r\n"
                         "&lt;dc:title&gt;root&lt;/dc:title&gt;\r\n",
                         0),
              0u);
    const std::string tail =
        "&lt;upnp:class&gt;object.container&lt;/upnp:class&gt;\r\n&lt;/container&gt;\r\n";
    EXPECT_EQ(root.substr(root.size() - tail.size()), tail);
    for (const char* title : {"All Tracks", "Albums", "Artists", "Genres", "Playlists"}) {
        std::string text = write(findByTitle(title, 'c'), "*");
        EXPECT_NE(text.find("parentID=&quot;0&quot;"), std::string::npos) << title;
    }
}

TEST_F(DidlTest, AlbumsNameTheirAlbumArtistAndMembersGenresOnce) {
    // Tracks by A and B in one folder make an album of Various Artists: its one artist line.
    MediaObject* album = findByTitle("Rec", 'c');
    std::string text = write(album, "*");
    EXPECT_EQ(count(text, "&lt;upnp:artist&gt;"), 1);
    EXPECT_EQ(count(text, "&lt;upnp:artist&gt;Various Artists&lt;/upnp:artist&gt;"), 1);
    EXPECT_EQ(count(text, "&lt;upnp:genre&gt;"), 2);
    EXPECT_EQ(count(text, "&lt;upnp:albumArtURI"), 1);
    // The album art URL names the track under All Tracks, not the reference.
    MediaObject* art = findByTitle("Three", 'i');
    media_db_read_lock();
    bool threeFirst =
        album->first_child->target == art || (album->first_child->target->picture_format == 0 &&
                                              album->first_child->next_sibling->target == art);
    media_db_read_unlock();
    // A JPEG without a profile, or a PNG with its profile and ending.
    std::string element = "&lt;upnp:albumArtURI&gt;http://192.0.2.1:8080/virtual/" + idOf(art) +
                          ".jpg&lt;/upnp:albumArtURI&gt;&lt;upnp:class&gt;";
    if (!threeFirst) {
        element = "&lt;upnp:albumArtURI dlna:profileID=&quot;PNG_TN&quot;&gt;"
                  "http://192.0.2.1:8080/virtual/" +
                  idOf(findByTitle("Two", 'i')) + ".png&lt;/upnp:albumArtURI&gt;&lt;upnp:class&gt;";
    }
    EXPECT_NE(text.find(element), std::string::npos) << text;
    // Playlists carry their members' artists too, but never album art.
    std::string mix = write(findByTitle("Mix", 'c'), "*");
    EXPECT_EQ(count(mix, "&lt;upnp:artist&gt;C&lt;/upnp:artist&gt;"), 1);
    EXPECT_EQ(count(mix, "albumArtURI"), 0);
    // Artist and genre containers get none of these lines, whatever the filter.
    for (const char* title : {"A", "Rock"}) {
        std::string group = write(findByTitle(title, 'c'), "*");
        EXPECT_EQ(count(group, "upnp:artist"), 0) << title;
        EXPECT_EQ(count(group, "upnp:genre&gt;"), 0) << title;
        EXPECT_EQ(count(group, "albumArtURI"), 0) << title;
    }
    // Two albums of one artist both carry it.
    EXPECT_EQ(count(write(findByTitle("Other", 'c'), "upnp:artist"), "&gt;A&lt;"), 1);
}

TEST_F(DidlTest, ReferenceAndItemElements) {
    MediaObject* track = findByTitle("Two", 'i');
    MediaObject* reference = findByTitle("Two", 'r');
    std::string text = write(reference, nullptr);
    EXPECT_EQ(text.rfind("&lt;item id=&quot;" + idOf(reference) + "&quot; refID=&quot;" +
                             idOf(track) + "&quot; parentID=&quot;" + idOf(reference->parent) +
                             "&quot; restricted=&quot;true&quot;&gt;\r\n",
                         0),
              0u);
    EXPECT_NE(text.find("&lt;res size=&quot;1000&quot; duration=&quot;0:03:05.000&quot; "
                        "protocolInfo=&quot;http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;"
                        "DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000&quot;&gt;"
                        "http://192.0.2.1:8080/disk/" +
                        idOf(reference) + ".mp3&lt;/res&gt;\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("&lt;upnp:albumArtURI dlna:profileID=&quot;PNG_TN&quot;&gt;"
                        "http://192.0.2.1:8080/virtual/" +
                        idOf(reference) + ".png&lt;/upnp:albumArtURI&gt;\r\n"),
              std::string::npos);
    // The profile follows the first audio frame: MP3X, or none.
    EXPECT_NE(write(findByTitle("Solo", 'i'), "res").find("audio/mpeg:DLNA.ORG_PN=MP3X;"),
              std::string::npos);
    buildCatalogue({{"Layer II", "A", "Rec", "Rock", 1, false, "2001-01-01", "0:03:05.000", 1000,
                     false, "", kAudioNoProfile}});
    EXPECT_NE(write(findByTitle("Layer II", 'i'), "res")
                  .find("protocolInfo=&quot;http-get:*:audio/mpeg:DLNA.ORG_OP=01;DLNA.ORG_CI=0;"),
              std::string::npos);
    for (const char* element : {"dc:creator", "upnp:artist", "upnp:album", "upnp:genre", "dc:date",
                                "upnp:originalTrackNumber", "upnp:originalDiscNumber"}) {
        EXPECT_EQ(count(text, std::string("&lt;") + element + "&gt;"), 1) << element;
    }
    EXPECT_NE(text.find("&lt;upnp:originalDiscNumber&gt;2&lt;/upnp:originalDiscNumber&gt;\r\n"),
              std::string::npos);
    // A track without a disc number has no element for it.
    EXPECT_EQ(count(write(findByTitle("One", 'i'), "*"), "originalDiscNumber"), 0);
}

TEST_F(DidlTest, FilterChoosesProperties) {
    MediaObject* track = findByTitle("One", 'i');
    std::string titleOnly = write(track, "dc:title");
    EXPECT_EQ(titleOnly, "&lt;item id=&quot;" + idOf(track) + "&quot; parentID=&quot;" +
                             idOf(track->parent) +
                             "&quot; restricted=&quot;true&quot;&gt;\r\n"
                             "&lt;dc:title&gt;One&lt;/dc:title&gt;\r\n"
                             "&lt;upnp:class&gt;object.item.audioItem.musicTrack"
                             "&lt;/upnp:class&gt;\r\n&lt;/item&gt;\r\n");
    std::string res = write(track, "res");
    EXPECT_NE(res.find("&lt;res protocolInfo="), std::string::npos);
    std::string size = write(track, "res@size");
    EXPECT_NE(size.find("&lt;res size=&quot;1000&quot; protocolInfo="), std::string::npos);
    // No picture: no album-art element at all.
    EXPECT_EQ(write(track, "upnp:albumArtURI"), titleOnly);
    EXPECT_EQ(write(track, ""), titleOnly);
}

TEST_F(DidlTest, AbsentTextsGiveEmptyElements) {
    buildCatalogue({{"", "", "", "", 0, false, "", "", 0, true}});
    MediaObject* track = nullptr;
    media_db_read_lock();
    track = media_db_top().all_tracks->first_child;
    media_db_read_unlock();
    std::string text = write(track, "*");
    EXPECT_NE(text.find("&lt;dc:title&gt;&lt;/dc:title&gt;"), std::string::npos);
    EXPECT_NE(text.find("&lt;dc:date&gt;&lt;/dc:date&gt;"), std::string::npos);
    EXPECT_NE(text.find("duration=&quot;&quot; "), std::string::npos);
}

// Elements carry exactly the twice-escaped form of each text, including its cut.
TEST_F(DidlTest, ElementTextsMatchTheEscaper) {
    const std::string odd = std::string("a<b>&c\xE9\x01\td") + std::string(1500, '&');
    buildCatalogue({{odd, odd, "", "", 1}});
    TextBuffer* escaped = textBufferCreate(nullptr, 16);
    textBufferAppendXml(escaped, odd.c_str(), XmlEscape::Twice, 1022);
    const std::string area = escaped->text;
    textBufferFree(escaped);
    std::string text = write(findByTitle(odd, 'i'), "dc:creator");
    EXPECT_NE(text.find(std::string("&lt;dc:title&gt;") + area + "&lt;/dc:title&gt;\r\n"),
              std::string::npos);
    EXPECT_NE(text.find(std::string("&lt;dc:creator&gt;") + area + "&lt;/dc:creator&gt;\r\n"),
              std::string::npos);
}

TEST(DidlFilter, NamesMatchWholeWords) {
    EXPECT_TRUE(filter_includes(nullptr, "artist"));
    EXPECT_TRUE(filter_includes("*", "res"));
    EXPECT_TRUE(filter_includes("dc:title,upnp:artist", "artist"));
    EXPECT_TRUE(filter_includes("upnp:album,upnp:albumArtURI", "album"));
    EXPECT_FALSE(filter_includes("upnp:albumArtURI", "album"));
    EXPECT_TRUE(filter_includes("upnp:albumArtURI", "albumArtURI"));
    EXPECT_FALSE(filter_includes("res@size", "res"));
    EXPECT_TRUE(filter_includes("res@size", "size"));
    EXPECT_TRUE(filter_includes("res@size res", "res"));
    EXPECT_TRUE(filter_includes("dc:date\t", "date"));
    EXPECT_FALSE(filter_includes("", "title"));
    EXPECT_FALSE(filter_includes("dc:title", "creator"));
}

} // namespace
