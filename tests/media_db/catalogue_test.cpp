// Filling the catalogue: tracks and their groupings, M3U playlists, and the watcher's passes.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "eventing/notify.h"
#include "media_db/file_status.h"
#include "media_db/folder_watch.h"
#include "media_db/library_import.h"
#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "media_db/shared_texts.h"
#include "mp3/mp3_info.h"
#include "platform/platform.h"
#include "support/fixtures_media.h"

namespace {

// The watcher's change hook, as the plug-in installs it (without the container list).
void announceChange(const MediaChange*, int32_t) {
    announceContentChange();
}

std::vector<std::string> titles(const MediaObject* container) {
    std::vector<std::string> out;
    for (const MediaObject* c = container->first_child; c != nullptr; c = c->next_sibling) {
        const MediaObject* shown = c->kind == 'r' ? c->target : c;
        out.push_back(shown->title != nullptr ? shown->title : "(none)");
    }
    return out;
}

std::string trackFile(const std::string& title, const std::string& artist, const std::string& album,
                      const std::string& genre) {
    fixtures::Mp3Spec shape;
    shape.title = title;
    shape.artist = artist;
    shape.album = album;
    shape.genre = genre;
    return fixtures::buildMp3(shape);
}

class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fixtures::makeTempDir("catalogue");
        media_db_build();
    }
    void TearDown() override {
        media_db_destroy();
        fixtures::removeTree(dir_);
    }
    std::string put(const std::string& name, const std::string& bytes) {
        std::string path = dir_ + "/" + name;
        EXPECT_TRUE(fixtures::writeFile(path, bytes));
        return path;
    }
    std::string dir_;
};

TEST_F(CatalogueTest, TracksAreGroupedByExactTitles) {
    media_db_add_track(put("1.mp3", trackFile("One", "Ann", "X", "Rock")).c_str());
    media_db_add_track(put("2.mp3", trackFile("Two", "Bob", "X", "Rock")).c_str());
    media_db_add_track(put("3.mp3", trackFile("Three", "Ann", "x", "(17)")).c_str());
    media_db_add_track(put("4.mp3", fixtures::mpegAudio(fixtures::MpegSpec{})).c_str());
    media_db_add_track((dir_ + "/missing.mp3").c_str());

    media_db_read_lock();
    MediaTop top = media_db_top();
    EXPECT_EQ(top.track_count, 5);
    EXPECT_EQ(titles(top.all_tracks),
              (std::vector<std::string>{"(none)", "Unknown", "Three", "Two", "One"}));
    EXPECT_EQ(titles(top.albums), (std::vector<std::string>{"Unknown", "x", "X"}));
    MediaObject* albumX = find_child_by_title("X", top.albums);
    ASSERT_NE(albumX, nullptr);
    EXPECT_EQ(albumX->upnp_class, kClassMusicAlbum);
    EXPECT_EQ(albumX->child_count, 2);
    EXPECT_EQ(titles(albumX), (std::vector<std::string>{"Two", "One"}));
    EXPECT_EQ(titles(find_child_by_title("Ann", top.artists)),
              (std::vector<std::string>{"Three", "One"}));
    EXPECT_EQ(find_child_by_title("Ann", top.artists)->upnp_class, kClassMusicArtist);
    // "Rock" and "(17)" meet in one genre.
    EXPECT_EQ(titles(find_child_by_title("Rock", top.genres)),
              (std::vector<std::string>{"Three", "Two", "One"}));
    EXPECT_EQ(find_child_by_title("Rock", top.genres)->upnp_class, kClassMusicGenre);
    // The unreadable file is in All Tracks only, with its path and nothing else.
    MediaObject* missing = top.all_tracks->first_child;
    EXPECT_EQ(missing->title, nullptr);
    EXPECT_EQ(missing->size, 0);
    EXPECT_EQ(fixtures::itemPath(missing), dir_ + "/missing.mp3");
    EXPECT_EQ(top.genres->child_count, 2);
    EXPECT_EQ(top.artists->child_count, 3);
    media_db_read_unlock();
}

TEST_F(CatalogueTest, AlbumsAreTitleAndAlbumArtist) {
    struct Track {
        const char* file;
        const char* album;
        const char* artist;
        const char* albumArtist; // TPE2, "" for none
    } tracks[] = {
        {"a/1.mp3", "Greatest Hits", "Queen", ""},
        {"b/1.mp3", "Greatest Hits", "ABBA", ""},
        {"c/1.mp3", "Now", "Xo", ""},
        {"c/2.mp3", "Now", "Xo", ""},
        {"c/3.mp3", "Now", "Yu", ""},
        {"c/4.mp3", "Now", "Zed", ""},
        {"d/1.mp3", "Live", "Sting", ""},
        {"e/1.mp3", "Live", "Sting", ""},
        {"f/1.mp3", "Split", "Pat", "Band"},
        {"f/2.mp3", "Split", "Quin", "Band"},
        {"g/1.mp3", "Greatest Hits", "Freddie", "Queen"},
        {"h/1.mp3", "Mix", "Sting", "Sting"},
        {"h/2.mp3", "Mix", "Sting", ""},
        {"h/3.mp3", "Mix", "Bono", ""},
    };
    for (const Track& t : tracks) {
        fixtures::Mp3Spec shape;
        shape.title = t.file;
        shape.artist = t.artist;
        shape.album = t.album;
        shape.albumArtist = t.albumArtist;
        media_db_add_track(put(t.file, fixtures::buildMp3(shape)).c_str());
    }
    media_db_read_lock();
    MediaTop top = media_db_top();
    std::vector<std::string> albums;
    for (const MediaObject* a = top.albums->first_child; a != nullptr; a = a->next_sibling) {
        std::vector<std::string> members = titles(a);
        std::sort(members.begin(), members.end());
        std::string line = std::string(a->title) + " / " + a->artist + ":";
        for (const std::string& m : members) {
            line += " " + m;
        }
        albums.push_back(line);
        EXPECT_EQ(a->child_count, static_cast<int32_t>(members.size()));
    }
    std::sort(albums.begin(), albums.end());
    EXPECT_EQ(albums, (std::vector<std::string>{
                          "Greatest Hits / ABBA: b/1.mp3",
                          "Greatest Hits / Queen: a/1.mp3 g/1.mp3",
                          "Live / Sting: d/1.mp3 e/1.mp3",
                          "Mix / Sting: h/1.mp3",
                          "Mix / Various Artists: h/2.mp3 h/3.mp3",
                          "Now / Various Artists: c/1.mp3 c/2.mp3 c/3.mp3 c/4.mp3",
                          "Split / Band: f/1.mp3 f/2.mp3",
                      }));
    EXPECT_EQ(media_db_find_album("Now", "Xo"),
              nullptr); // emptied when the folder turned out mixed
    EXPECT_NE(media_db_find_album("Greatest Hits", "ABBA"), nullptr);
    // Artists are unchanged: one per track artist.
    EXPECT_EQ(top.artists->child_count, 10);
    // The moved references are live objects; the dropped ones are gone.
    const MediaObject* now = media_db_find_album("Now", "Various Artists");
    for (const MediaObject* r = now->first_child; r != nullptr; r = r->next_sibling) {
        EXPECT_EQ(media_db_find(r->handle), r);
        EXPECT_EQ(r->parent, now);
    }
    media_db_read_unlock();
}

// A track's folder is kept apart from its file name, split at this platform's separator; the
// whole path reads back as given, whatever its length, and matches only itself.
TEST_F(CatalogueTest, PathsReadBackWholeFromFolderAndName) {
    const bool slash = platformPathSeparator == '/';
    const std::string longFolder =
        "/music/" + std::string(300, 'f') + "/" + std::string(3000, 'g') + "/";
    struct Case {
        std::string path;
        std::string folder; // kept apart, as this platform tells folders
    } cases[] = {
        {"/music/Artist/Album/01 Title.mp3", slash ? "/music/Artist/Album/" : ""},
        {"/a.mp3", slash ? "/" : ""},
        {"a.mp3", ""}, // no folder at all
        {"C:\\Music\\Album\\a b.mp3", slash ? "" : "C:\\Music\\Album\\"},
        {"C:\\Music/mixed\\a.mp3", slash ? "C:\\Music/" : "C:\\Music/mixed\\"},
        {longFolder + "t.mp3", slash ? longFolder : ""},
    };
    media_db_lock();
    for (const Case& c : cases) {
        Mp3Info info{};
        TrackRecord* record = track_record_make(c.path.c_str(), &info, -1, 0);
        ASSERT_NE(record, nullptr);
        MediaObject* item = track_record_item(record, media_db_next_handle());
        track_record_release(record);
        ASSERT_NE(item, nullptr);
        const char* folder = record->shared[kRecordFolder];
        EXPECT_EQ(folder != nullptr ? folder : "", c.folder) << c.path;
        EXPECT_EQ(fixtures::itemPath(item), c.path);
        // Too small a buffer is left alone and the length needed is returned.
        std::string room(c.path.size(), 'u'); // one byte short: no room for the NUL
        EXPECT_EQ(media_db_item_path(item, &room[0], room.size()), c.path.size());
        EXPECT_EQ(room, std::string(c.path.size(), 'u'));
        EXPECT_TRUE(media_db_item_path_equals(item, c.path.c_str())) << c.path;
        EXPECT_FALSE(media_db_item_path_equals(item, (c.path + "x").c_str())) << c.path;
        EXPECT_FALSE(media_db_item_path_equals(item, c.path.substr(0, c.path.size() - 1).c_str()));
        EXPECT_FALSE(media_db_item_path_equals(item, c.folder.c_str())) << c.path;
        // An item owning its whole path reads and compares the same.
        MediaObject* owned = make_item(c.path.c_str(), kClassMusicTrack);
        ASSERT_NE(owned, nullptr);
        EXPECT_EQ(fixtures::itemPath(owned), c.path);
        EXPECT_EQ(media_db_item_path_compare(owned, item), 0) << c.path;
        media_db_file_track(item);
        media_db_free_unlinked(owned);
    }
    media_db_unlock();
}

// Paths order as their whole texts do, wherever the folder ends.
TEST_F(CatalogueTest, PathsOrderAsWholeTexts) {
    const std::string paths[] = {"/m/a.mp3", "/m/ab.mp3", "/m/a/b.mp3", "/m.mp3", "/ma/a.mp3"};
    media_db_lock();
    std::vector<MediaObject*> items;
    for (const std::string& path : paths) {
        Mp3Info info{};
        TrackRecord* record = track_record_make(path.c_str(), &info, -1, 0);
        ASSERT_NE(record, nullptr);
        items.push_back(track_record_item(record, media_db_next_handle()));
        track_record_release(record);
        ASSERT_NE(items.back(), nullptr);
        media_db_file_track(items.back());
    }
    for (size_t i = 0; i < items.size(); i++) {
        for (size_t j = 0; j < items.size(); j++) {
            int want = std::strcmp(paths[i].c_str(), paths[j].c_str());
            int got = media_db_item_path_compare(items[i], items[j]);
            EXPECT_EQ(want < 0, got < 0) << paths[i] << " " << paths[j];
            EXPECT_EQ(want == 0, got == 0) << paths[i] << " " << paths[j];
        }
    }
    media_db_unlock();
}

// A folder's text is kept once for its tracks and goes with the last of them.
TEST(TrackRecordTest, AFolderIsKeptOnceUntilItsLastTrackGoes) {
    int32_t keptBefore = shared_texts_count();
    std::string folder = "/kept-once-" + std::to_string(getpid()) + "/";
    Mp3Info info{};
    TrackRecord* a = track_record_make((folder + "a.mp3").c_str(), &info, -1, 0);
    TrackRecord* b = track_record_make((folder + "b.mp3").c_str(), &info, -1, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->shared[kRecordFolder], b->shared[kRecordFolder]);
    EXPECT_EQ(shared_texts_count(), keptBefore + 1);
    track_record_release(a);
    EXPECT_EQ(shared_texts_count(), keptBefore + 1);
    EXPECT_EQ(std::string(b->shared[kRecordFolder]), folder);
    track_record_release(b);
    EXPECT_EQ(shared_texts_count(), keptBefore);
}

TEST_F(CatalogueTest, SamePathTwiceGivesTwoItems) {
    std::string path = put("a.mp3", trackFile("A", "B", "C", "D"));
    media_db_add_track(path.c_str());
    media_db_add_track(path.c_str());
    media_db_read_lock();
    MediaTop top = media_db_top();
    EXPECT_EQ(top.all_tracks->child_count, 2);
    EXPECT_NE(top.all_tracks->first_child->handle,
              top.all_tracks->first_child->next_sibling->handle);
    EXPECT_EQ(find_child_by_title("C", top.albums)->child_count, 2);
    EXPECT_EQ(top.albums->child_count, 1);
    media_db_read_unlock();
}

TEST_F(CatalogueTest, NoTrackIsAddedBeforeABuild) {
    media_db_destroy();
    media_db_add_track(put("a.mp3", trackFile("A", "B", "C", "D")).c_str());
    media_db_read_lock();
    EXPECT_EQ(media_db_top().root, nullptr);
    media_db_read_unlock();
}

// ---- M3U --------------------------------------------------------------------------------------

class M3uTest : public CatalogueTest {
  protected:
    const MediaObject* onlyPlaylist() {
        MediaTop top = media_db_top();
        EXPECT_EQ(top.playlists->child_count, 1);
        return top.playlists->first_child;
    }
};

TEST_F(M3uTest, EntriesKeepFileOrderAndSkipMissingFiles) {
    put("music/a.mp3", std::string(1234, 'a'));
    put("music/c.mp3", std::string(99, 'c'));
    std::string absolute = put("abs.mp3", std::string(7, 'z'));
    std::string list = put("lists/Party.m3u", fixtures::m3uText({{245, "Song A", "../music/a.mp3"},
                                                                 {10, "Song B", "../music/b.mp3"},
                                                                 {4500, "Song C", "../music/c.mp3"},
                                                                 {-1, "Stream", absolute}},
                                                                "\r\n"));
    media_db_read_m3u(list.c_str(), "Party.m3u");
    media_db_read_lock();
    const MediaObject* playlist = onlyPlaylist();
    ASSERT_NE(playlist, nullptr);
    EXPECT_STREQ(playlist->title, "Party");
    EXPECT_EQ(playlist->upnp_class, kClassPlaylistContainer);
    EXPECT_EQ(titles(playlist), (std::vector<std::string>{"Song A", "Song C", "Stream"}));
    const MediaObject* a = media_db_child_at(playlist, 0);
    EXPECT_EQ(fixtures::itemPath(a), dir_ + "/lists/../music/a.mp3");
    EXPECT_EQ(a->size, 1234);
    EXPECT_EQ(a->track_number, 1);
    EXPECT_STREQ(a->duration, "0:04:05.000");
    EXPECT_EQ(a->upnp_class, kClassMusicTrack);
    const MediaObject* c = media_db_child_at(playlist, 1);
    EXPECT_EQ(c->track_number, 2);
    EXPECT_STREQ(c->duration, "1:15:00.000");
    const MediaObject* stream = media_db_child_at(playlist, 2);
    EXPECT_EQ(fixtures::itemPath(stream), absolute);
    EXPECT_EQ(stream->duration, nullptr); // unknown length
    EXPECT_EQ(stream->size, 7);
    // Playlist entries are items of their own, outside All Tracks.
    EXPECT_EQ(media_db_top().all_tracks->child_count, 0);
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(std::to_string(a->handle).c_str())),
              fixtures::itemPath(a));
    media_db_read_unlock();
}

TEST_F(M3uTest, PatternBreaksEndThePlaylist) {
    put("x.mp3", "x");
    struct Case {
        std::string text;
        size_t entries;
    } cases[] = {
        {"x.mp3\nx.mp3\n", 0},                                            // paths only
        {"#EXTM3U\n#EXTINF:1,A\nx.mp3\n\n#EXTINF:2,B\nx.mp3\n", 1},       // blank line
        {"#EXTM3U\n#EXTINF:1,A\nx.mp3\n# note\n#EXTINF:2,B\nx.mp3\n", 1}, // comment line
        {"#EXTM3U\n#EXTINF:1 no comma\nx.mp3\n", 0},
        {"#EXTM3U\n#EXTINF:1,A\nx.mp3\n#EXTINF:2,B", 1}, // no path line
        {"#EXTM3U\n#extinf:1,A\nx.mp3\n", 0},            // exact case
        {"#EXTM3U\n#EXTINF:1,A\nx.mp3", 1},              // last line without line end
    };
    for (const Case& c : cases) {
        media_db_clear_playlists();
        media_db_read_m3u(put("l.m3u", c.text).c_str(), "L");
        media_db_read_lock();
        EXPECT_EQ(static_cast<size_t>(onlyPlaylist()->child_count), c.entries) << c.text;
        media_db_read_unlock();
    }
    media_db_clear_playlists();
    media_db_read_m3u(put("empty.m3u", "").c_str(), "Empty");
    media_db_read_m3u((dir_ + "/none.m3u").c_str(), "None");
    media_db_read_lock();
    EXPECT_EQ(media_db_top().playlists->child_count, 0);
    media_db_read_unlock();
}

TEST_F(M3uTest, TitlesOfPlaylistsAndLongLines) {
    std::string list = put("l.m3u", "#EXTM3U\n");
    // Names and titles from the host are UTF-8 here (its code page on Windows); bytes that are
    // not become U+FFFD.
    const char* names[] = {"Party.m3u", "Loud.M3U", "plain",  ".m3u",
                           "a.m3u.bak", "Пляж.m3u", "Caf\xE9"};
    for (const char* name : names) {
        media_db_read_m3u(list.c_str(), name);
    }
    media_db_read_lock();
    EXPECT_EQ(titles(media_db_top().playlists),
              (std::vector<std::string>{"Caf\uFFFD", "Пляж", "a.m3u", ".m3u", "plain", "Loud.M3U",
                                        "Party"}));
    media_db_read_unlock();
    put("y.mp3", "y");
    media_db_clear_playlists();
    media_db_read_m3u(
        put("u.m3u", "#EXTM3U\n#EXTINF:1,Ωμέγα\ny.mp3\n#EXTINF:1,x\xFFy\ny.mp3\n").c_str(), "U");
    media_db_read_lock();
    EXPECT_EQ(titles(onlyPlaylist()), (std::vector<std::string>{"Ωμέγα", "x\uFFFDy"}));
    media_db_read_unlock();

    // A title line of more than 511 characters is read as two lines; the second breaks the
    // pattern, so the entry is lost and the playlist ends.
    put("x.mp3", "x");
    media_db_clear_playlists();
    media_db_read_m3u(
        put("long.m3u", "#EXTM3U\n#EXTINF:1," + std::string(600, 't') + "\nx.mp3\n").c_str(),
        "Long");
    media_db_read_lock();
    EXPECT_EQ(onlyPlaylist()->child_count, 0);
    media_db_read_unlock();
}

// ---- Watcher ----------------------------------------------------------------------------------

class WatcherTest : public CatalogueTest {
  protected:
    void SetUp() override {
        CatalogueTest::SetUp();
        media_db_destroy();
        media_library_set_change_hook(announceChange);
        state_ = LibraryWatchState{};
    }
    void TearDown() override {
        media_library_set_change_hook(nullptr);
        media_library_state_release(&state_);
        CatalogueTest::TearDown();
    }
    bool pass() { return media_library_pass(dir_.c_str(), &state_); }
    // Sets a file's modification time exactly, so tests never depend on the clock's grain.
    void touch(const std::string& name, long seconds, long nanoseconds) {
        timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir_ + "/" + name).c_str(), times, 0), 0);
    }
    int64_t idOfTrack(const char* title) {
        media_db_read_lock();
        int64_t id = -1;
        for (MediaObject* c = media_db_top().all_tracks->first_child; c != nullptr;
             c = c->next_sibling) {
            id = std::string(c->title) == title ? c->handle : id;
        }
        media_db_read_unlock();
        return id;
    }
    LibraryWatchState state_;
};

TEST_F(WatcherTest, LibraryChangeRebuildsAllSettingsChangeOnlyPlaylists) {
    std::string a = put("music/a.mp3", trackFile("A", "Ann", "X", "Rock"));
    std::string b = put("music/b.mp3", trackFile("B", "Bob", "Y", "Jazz"));
    put("Plugins/ml/main.dat", fixtures::libraryFile({a, dir_ + "/music/c.MP3", b}));
    put("Plugins/ml/list.m3u", fixtures::m3uText({{1, "Entry", a}}));
    put("Plugins/gen_ml.ini", fixtures::settingsFile({{"Mix", "list.m3u"}, {"Recent", "x > 3"}}));

    int32_t before = currentSystemUpdateId();
    int64_t startedAt = static_cast<int64_t>(std::time(nullptr));
    EXPECT_TRUE(pass());
    EXPECT_EQ(currentSystemUpdateId(), before + 1); // one announcement for both files
    EXPECT_GE(media_library_read_at(), startedAt);
    media_db_read_lock();
    MediaTop top = media_db_top();
    // A pass that changed something leaves the catalogue in its default order.
    EXPECT_EQ(titles(top.all_tracks), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(titles(top.playlists), (std::vector<std::string>{"Mix"}));
    media_db_read_unlock();
    int64_t trackId = idOfTrack("B");

    EXPECT_FALSE(pass()); // nothing changed
    EXPECT_EQ(currentSystemUpdateId(), before + 1);

    // Settings only: playlists rebuilt, tracks and their ids kept.
    put("Plugins/gen_ml.ini", fixtures::settingsFile({{"Mix", "list.m3u"}, {"Two", "list.m3u"}}));
    EXPECT_TRUE(pass());
    EXPECT_EQ(currentSystemUpdateId(), before + 2);
    EXPECT_EQ(idOfTrack("B"), trackId);
    media_db_read_lock();
    EXPECT_EQ(titles(media_db_top().playlists), (std::vector<std::string>{"Mix", "Two"}));
    media_db_read_unlock();

    // Library: rebuilt, the remaining track keeps its id, playlists read again.
    put("Plugins/ml/main.dat", fixtures::libraryFile({b}));
    EXPECT_TRUE(pass());
    EXPECT_EQ(currentSystemUpdateId(), before + 3);
    EXPECT_EQ(idOfTrack("B"), trackId);
    media_db_read_lock();
    EXPECT_EQ(titles(media_db_top().all_tracks), (std::vector<std::string>{"B"}));
    EXPECT_EQ(media_db_top().playlists->child_count, 2);
    media_db_read_unlock();
}

// Ids of All Tracks in file order, and of a grouping container's references by track title.
std::vector<int64_t> trackIds(const MediaCatalogue* version) {
    std::vector<int64_t> ids;
    for (int32_t i = 0; i < version->file_order_count; i++) {
        ids.push_back(version->file_order[i]->handle);
    }
    return ids;
}

MediaObject* group(const MediaObject* groups, const char* title) {
    for (MediaObject* c = groups->first_child; c != nullptr; c = c->next_sibling) {
        if (std::string(c->title) == title) {
            return c;
        }
    }
    return nullptr;
}

int64_t refTo(const MediaObject* container, const char* title) {
    for (MediaObject* c = container->first_child; c != nullptr; c = c->next_sibling) {
        if (std::string(c->target->title) == title) {
            return c->handle;
        }
    }
    return -1;
}

bool listed(const MediaCatalogue* version, const MediaObject* container) {
    int32_t count = 0;
    const MediaChange* changes = media_db_version_changes(version, &count);
    for (int32_t i = 0; i < count; i++) {
        if (changes[i].id == container->handle) {
            return changes[i].update_id == container->update_id;
        }
    }
    return false;
}

TEST_F(WatcherTest, IdsLiveOnAndOnlyChangedFilesAreReadAgain) {
    std::string a = put("music/a.mp3", trackFile("A", "Ann", "X", "Rock"));
    std::string b = put("music/b.mp3", trackFile("B", "Bob", "X", "Jazz"));
    touch("music/a.mp3", 1700000000, 0);
    touch("music/b.mp3", 1700000000, 0);
    put("Plugins/ml/main.dat", fixtures::libraryFile({a, b, a})); // a listed twice: two items
    ASSERT_TRUE(pass());
    MediaCatalogue* first = media_db_acquire();
    MediaTop top = media_db_version_top(first);
    std::vector<int64_t> ids = trackIds(first);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_NE(ids[0], ids[2]);
    MediaObject* albumX = group(top.albums, "X");
    int64_t albumId = albumX->handle;
    int64_t annRef = refTo(group(top.artists, "Ann"), "A");
    int64_t jazzRef = refTo(group(top.genres, "Jazz"), "B");
    int32_t updateId = currentSystemUpdateId();

    // Touching the library without changing it publishes nothing: same version, same
    // SystemUpdateID. A file rewritten with the same size and time is not read again.
    put("music/a.mp3", trackFile("Q", "Ann", "X", "Rock"));
    touch("music/a.mp3", 1700000000, 0);
    touch("Plugins/ml/main.dat", 1700000100, 0);
    EXPECT_FALSE(pass());
    MediaCatalogue* same = media_db_acquire();
    EXPECT_EQ(same, first);
    media_db_release(same);
    EXPECT_EQ(currentSystemUpdateId(), updateId);

    // A real change: b retagged to album Y, c added at the end.
    put("music/b.mp3", trackFile("B", "Bob", "Y", "Jazz"));
    touch("music/b.mp3", 1700000200, 0);
    std::string c = put("music/c.mp3", trackFile("C", "Cy", "X", "Rock"));
    put("Plugins/ml/main.dat", fixtures::libraryFile({a, b, a, c}));
    ASSERT_TRUE(pass());
    EXPECT_EQ(currentSystemUpdateId(), updateId + 1);
    MediaCatalogue* next = media_db_acquire();
    MediaTop now = media_db_version_top(next);
    std::vector<int64_t> nowIds = trackIds(next);
    ASSERT_EQ(nowIds.size(), 4u);
    EXPECT_EQ(std::vector<int64_t>(nowIds.begin(), nowIds.begin() + 3), ids);
    EXPECT_GT(nowIds[3], *std::max_element(ids.begin(), ids.end()));
    EXPECT_STREQ(next->file_order[0]->title, "A"); // a unchanged: not read again
    EXPECT_EQ(group(now.albums, "X")->handle, albumId);
    EXPECT_EQ(refTo(group(now.artists, "Ann"), "A"), annRef);
    EXPECT_EQ(refTo(group(now.genres, "Jazz"), "B"), jazzRef);
    // X lost b and gained c: its update id rises and it is listed; the unchanged Ann is not.
    EXPECT_EQ(group(now.albums, "X")->update_id, albumX->update_id + 1);
    EXPECT_TRUE(listed(next, group(now.albums, "X")));
    EXPECT_TRUE(listed(next, now.albums));
    EXPECT_TRUE(listed(next, now.all_tracks));
    EXPECT_FALSE(listed(next, group(now.artists, "Ann")));
    // The version pinned before still reads whole.
    EXPECT_EQ(media_db_version_top(first).all_tracks->child_count, 3);
    EXPECT_STREQ(group(media_db_version_top(first).albums, "X")->first_child->target->title, "A");
    media_db_release(first);

    // Removed objects' ids name nothing afterwards, and are not handed out again.
    put("Plugins/ml/main.dat", fixtures::libraryFile({c}));
    ASSERT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(trackIds(media_db_current()), std::vector<int64_t>{nowIds[3]});
    for (int64_t gone : ids) {
        EXPECT_EQ(media_db_find(gone), nullptr);
    }
    EXPECT_EQ(media_db_find(jazzRef), nullptr);
    // X's folder now has one artist: the album is X by Cy, no longer X by Various Artists, so
    // it is another album with an id of its own.
    MediaObject* xByCy = group(media_db_top().albums, "X");
    EXPECT_STREQ(xByCy->artist, "Cy");
    EXPECT_NE(xByCy->handle, albumId);
    EXPECT_EQ(media_db_find(albumId), nullptr);
    media_db_read_unlock();
    media_db_release(next);
}

// Albums keep their ids by title and album artist; a retag that changes only the disc number
// or the album artist is a change.
TEST_F(WatcherTest, AlbumIdsFollowTitleAndAlbumArtist) {
    auto tagged = [](const char* title, const char* albumArtist, const char* disc) {
        fixtures::Mp3Spec shape;
        shape.title = title;
        shape.artist = "Ann";
        shape.album = "T";
        shape.genre = "Rock";
        shape.albumArtist = albumArtist;
        shape.disc = disc;
        return fixtures::buildMp3(shape);
    };
    std::string p = put("one/p.mp3", tagged("P", "Pat", "1"));
    std::string q = put("two/q.mp3", tagged("Q", "Quin", "1"));
    touch("one/p.mp3", 1700000000, 0);
    touch("two/q.mp3", 1700000000, 0);
    put("Plugins/ml/main.dat", fixtures::libraryFile({p, q}));
    ASSERT_TRUE(pass());
    media_db_read_lock();
    ASSERT_EQ(media_db_top().albums->child_count, 2);
    int64_t byPat = media_db_find_album("T", "Pat")->handle;
    int64_t byQuin = media_db_find_album("T", "Quin")->handle;
    media_db_read_unlock();

    put("one/p.mp3", tagged("P", "Pat", "2"));
    touch("one/p.mp3", 1700000100, 0);
    touch("Plugins/ml/main.dat", 1700000100, 0);
    ASSERT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(media_db_find_album("T", "Pat")->handle, byPat);
    EXPECT_EQ(media_db_find_album("T", "Quin")->handle, byQuin);
    EXPECT_EQ(media_db_find_album("T", "Pat")->first_child->target->disc_number, 2);
    media_db_read_unlock();

    put("two/q.mp3", tagged("Q", "Pat", "1"));
    touch("two/q.mp3", 1700000200, 0);
    touch("Plugins/ml/main.dat", 1700000200, 0);
    ASSERT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(media_db_top().albums->child_count, 1);
    EXPECT_EQ(media_db_find_album("T", "Pat")->handle, byPat);
    EXPECT_EQ(media_db_find_album("T", "Pat")->child_count, 2);
    EXPECT_EQ(media_db_find_album("T", "Quin"), nullptr);
    media_db_read_unlock();
}

// Texts tracks repeat are kept once; a renamed artist is a text of its own while the version
// pinned before still reads the old one; the texts go with the last version that uses them.
TEST_F(WatcherTest, RepeatedTextsAreKeptOnceAcrossVersions) {
    int32_t keptBefore = shared_texts_count();
    std::string a = put("music/a.mp3", trackFile("A", "Ann", "X", "Rock"));
    std::string b = put("music/b.mp3", trackFile("B", "Ann", "X", "Rock"));
    touch("music/a.mp3", 1700000000, 0);
    touch("music/b.mp3", 1700000000, 0);
    put("Plugins/ml/main.dat", fixtures::libraryFile({a, b}));
    ASSERT_TRUE(pass());
    MediaCatalogue* first = media_db_acquire();
    const MediaObject* firstA = first->file_order[0];
    const MediaObject* firstB = first->file_order[1];
    EXPECT_EQ(firstA->artist, firstB->artist); // one copy for both tracks
    EXPECT_EQ(firstA->album, firstB->album);
    EXPECT_EQ(firstA->genre, firstB->genre);
    int32_t kept = shared_texts_count();
    EXPECT_GE(kept, keptBefore + 3);

    put("music/b.mp3", trackFile("B", "Anna", "X", "Rock"));
    touch("music/b.mp3", 1700000100, 0);
    touch("Plugins/ml/main.dat", 1700000100, 0);
    ASSERT_TRUE(pass());
    MediaCatalogue* next = media_db_acquire();
    EXPECT_STREQ(next->file_order[1]->artist, "Anna");
    EXPECT_EQ(next->file_order[0]->artist, firstA->artist); // a unchanged: its record shared
    EXPECT_EQ(next->file_order[1]->album, firstA->album);
    EXPECT_NE(group(media_db_version_top(next).artists, "Anna"), nullptr);
    EXPECT_EQ(shared_texts_count(), kept + 1);
    // The pinned version still reads its own texts.
    EXPECT_STREQ(firstB->artist, "Ann");
    EXPECT_STREQ(group(media_db_version_top(first).artists, "Ann")->title, "Ann");
    media_db_release(first);
    EXPECT_EQ(shared_texts_count(), kept + 1); // "Ann" is still a's
    media_db_release(next);

    // b renamed back: "Anna" goes with the version that used it.
    put("music/b.mp3", trackFile("B", "Ann", "X", "Rock"));
    touch("music/b.mp3", 1700000200, 0);
    touch("Plugins/ml/main.dat", 1700000200, 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(shared_texts_count(), kept);
    media_db_destroy();
    EXPECT_EQ(shared_texts_count(), keptBefore);
}

// Many texts through the shared table: growth, removal from the middle of probe runs, and
// texts taken again while others go, each always found at its one copy.
TEST(SharedTextsTest, EachTextHasOneCopyWhileUsed) {
    int32_t keptBefore = shared_texts_count();
    std::vector<std::string> texts;
    for (int i = 0; i < 1000; i++) {
        texts.push_back("text " + std::to_string(i * 7919 % 1000));
    }
    std::vector<const char*> first(texts.size()), second(texts.size());
    std::vector<const char*> raw;
    for (const std::string& text : texts) {
        raw.push_back(text.c_str());
    }
    ASSERT_TRUE(shared_texts_take(raw.data(), static_cast<int32_t>(raw.size()), first.data()));
    EXPECT_EQ(shared_texts_count(), keptBefore + 1000);
    ASSERT_TRUE(shared_texts_take(raw.data(), static_cast<int32_t>(raw.size()), second.data()));
    EXPECT_EQ(first, second);
    // One use of every text goes; then every other text goes entirely.
    shared_texts_drop(first.data(), static_cast<int32_t>(first.size()));
    for (size_t i = 0; i < texts.size(); i += 2) {
        shared_texts_drop(&second[i], 1);
    }
    EXPECT_EQ(shared_texts_count(), keptBefore + 500);
    for (size_t i = 1; i < texts.size(); i += 2) {
        const char* again = nullptr;
        ASSERT_TRUE(shared_texts_take(&raw[i], 1, &again));
        EXPECT_EQ(again, second[i]) << texts[i];
        EXPECT_STREQ(again, raw[i]);
        shared_texts_drop(&again, 1);
    }
    const char* absent[] = {nullptr, "x"};
    const char* shared[2];
    ASSERT_TRUE(shared_texts_take(absent, 2, shared));
    EXPECT_EQ(shared[0], nullptr);
    shared_texts_drop(shared, 2);
    for (size_t i = 1; i < texts.size(); i += 2) {
        shared_texts_drop(&second[i], 1);
    }
    EXPECT_EQ(shared_texts_count(), keptBefore);
}

// A built version holds its children arrays packed; tools may still write it in place.
TEST_F(WatcherTest, ABuiltVersionCanBeWrittenInPlace) {
    std::string a = put("music/a.mp3", trackFile("A", "Ann", "X", "Rock"));
    std::string b = put("music/b.mp3", trackFile("B", "Bob", "X", "Rock"));
    put("Plugins/ml/main.dat", fixtures::libraryFile({a, b}));
    ASSERT_TRUE(pass());
    media_db_lock();
    for (const char* title : {"C", "D", "E", "F"}) {
        media_db_add_track(
            put(std::string("music/") + title + ".mp3", trackFile(title, "Ann", "X", "Rock"))
                .c_str());
    }
    MediaTop top = media_db_top();
    MediaObject* ann = group(top.artists, "Ann");
    media_db_remove_child(ann, media_db_child_at(ann, 1));
    EXPECT_EQ(titles(top.all_tracks), (std::vector<std::string>{"F", "E", "D", "C", "A", "B"}));
    EXPECT_EQ(titles(ann), (std::vector<std::string>{"F", "D", "C", "A"}));
    for (const MediaObject* container : {top.all_tracks, ann}) {
        std::vector<std::string> byIndex;
        for (int32_t i = 0; i < container->child_count; i++) {
            const MediaObject* child = media_db_child_at(container, i);
            byIndex.push_back((child->kind == 'r' ? child->target : child)->title);
        }
        EXPECT_EQ(byIndex, titles(container));
    }
    media_db_unlock();
}

struct VersionReaders {
    std::atomic<int> stop{0};
    std::atomic<long> reads{0};
    std::atomic<long> mixed{0};
};

// Every version a reader pins lists one whole library: 12 tracks titled "A" or 6 titled "B",
// with their album holding them all.
void versionReader(void* arg) {
    auto* state = static_cast<VersionReaders*>(arg);
    while (state->stop.load() == 0) {
        MediaCatalogue* version = media_db_acquire();
        MediaTop top = media_db_version_top(version);
        if (top.all_tracks != nullptr && top.all_tracks->child_count > 0) {
            std::vector<std::string> seen = titles(top.all_tracks);
            size_t expected = seen[0] == "A" ? 12 : 6;
            bool whole = seen.size() == expected && top.albums->child_count == 1 &&
                         top.albums->first_child->child_count == static_cast<int32_t>(expected);
            for (const std::string& title : seen) {
                whole = whole && title == seen[0];
            }
            state->mixed += whole ? 0 : 1;
            state->reads++;
        }
        media_db_release(version);
    }
}

TEST_F(WatcherTest, ReadersSeeOneWholeVersionWhileTheLibraryChanges) {
    std::vector<std::string> a;
    std::vector<std::string> b;
    for (int i = 0; i < 12; i++) {
        a.push_back(put("a" + std::to_string(i) + ".mp3", trackFile("A", "Ann", "X", "Rock")));
    }
    for (int i = 0; i < 6; i++) {
        b.push_back(put("b" + std::to_string(i) + ".mp3", trackFile("B", "Bob", "X", "Jazz")));
    }
    VersionReaders state;
    PlatformThread readers[2];
    for (PlatformThread& reader : readers) {
        ASSERT_EQ(platformThreadStart(&reader, versionReader, &state), 0);
    }
    for (int round = 0; round < 40 || (state.reads.load() < 200 && round < 2000); round++) {
        put("Plugins/ml/main.dat", fixtures::libraryFile(round % 2 == 0 ? a : b));
        EXPECT_TRUE(pass());
    }
    state.stop = 1;
    for (PlatformThread reader : readers) {
        platformThreadJoin(reader);
    }
    EXPECT_EQ(state.mixed.load(), 0);
    EXPECT_GT(state.reads.load(), 0);
}

TEST_F(WatcherTest, PathsMustEndInLowerCaseMp3FollowedByZero) {
    std::string a = put("a.mp3", trackFile("A", "Ann", "X", "Rock"));
    std::string bytes = fixtures::libraryFile({a, dir_ + "/b.MP3"}) + dir_ + "/c.mp3x" +
                        std::string(1, '\0') + dir_ + "/tail.mp3";
    put("Plugins/ml/main.dat", bytes);
    EXPECT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(media_db_top().all_tracks->child_count, 1);
    EXPECT_EQ(fixtures::itemPath(media_db_top().all_tracks->first_child), a);
    media_db_read_unlock();
}

TEST_F(WatcherTest, MissingFilesAreEmptyAndPickedUpLater) {
    EXPECT_TRUE(pass()); // first pass: an empty catalogue is built and announced
    media_db_read_lock();
    ASSERT_NE(media_db_top().root, nullptr);
    EXPECT_EQ(media_db_top().all_tracks->child_count, 0);
    media_db_read_unlock();
    EXPECT_FALSE(pass());

    std::string a = put("a.mp3", trackFile("A", "Ann", "X", "Rock"));
    put("Plugins/ml/main.dat", fixtures::libraryFile({a}));
    EXPECT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(media_db_top().all_tracks->child_count, 1);
    media_db_read_unlock();

    // The settings file appears later still.
    put("Plugins/ml/l.m3u", fixtures::m3uText({{1, "E", a}}));
    put("Plugins/gen_ml.ini", fixtures::settingsFile({{"L", "l.m3u"}}));
    EXPECT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(media_db_top().playlists->child_count, 1);
    EXPECT_EQ(media_db_top().all_tracks->child_count, 1);
    media_db_read_unlock();
}

TEST_F(WatcherTest, ChangesWithinOneSecondAreSeen) {
    std::string a = put("a.mp3", trackFile("A", "Ann", "X", "Rock"));
    std::string b = put("b.mp3", trackFile("B", "Bob", "X", "Rock"));
    put("Plugins/ml/main.dat", fixtures::libraryFile({a}));
    touch("Plugins/ml/main.dat", 1700000000, 100);
    EXPECT_TRUE(pass());
    // Same size, same second, a different nanosecond.
    put("Plugins/ml/main.dat", fixtures::libraryFile({b}));
    touch("Plugins/ml/main.dat", 1700000000, 200);
    EXPECT_TRUE(pass());
    media_db_read_lock();
    EXPECT_STREQ(media_db_top().all_tracks->first_child->title, "B");
    media_db_read_unlock();
    // Same time, different size.
    put("Plugins/ml/main.dat", fixtures::libraryFile({a, b}));
    touch("Plugins/ml/main.dat", 1700000000, 200);
    EXPECT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(media_db_top().all_tracks->child_count, 2);
    media_db_read_unlock();
    // Caught half-written (emptied, then written again while the pass waits for it to hold
    // still), the library is not read; the next pass reads the finished file.
    state_.settleMs = 1000;
    put("Plugins/ml/main.dat", "");
    std::thread writer([&] {
        platformSleepMs(50);
        put("Plugins/ml/main.dat", fixtures::libraryFile({a}));
    });
    EXPECT_FALSE(pass());
    writer.join();
    media_db_read_lock();
    EXPECT_EQ(media_db_top().all_tracks->child_count, 2);
    media_db_read_unlock();
    EXPECT_TRUE(pass());
    media_db_read_lock();
    EXPECT_EQ(media_db_top().all_tracks->child_count, 1);
    media_db_read_unlock();
}

// Asked folder by folder, the files' status is what asking path by path gives, whatever the
// order of the paths, and a changed size or time is seen at once.
TEST_F(WatcherTest, FileStatusFolderByFolderAnswersAsPathByPath) {
    std::string a = put("one/a.mp3", "a");
    std::string b = put("two/b.mp3", "bb");
    std::string c = put("one/c.mp3", "ccc");
    std::string d = put("two/d.mp3", "dddd");
    ASSERT_EQ(mkdir((dir_ + "/locked").c_str(), 0755), 0);
    std::string hidden = put("locked/e.mp3", "e");
    const std::vector<std::string> paths = {
        a,
        b,
        c,
        a,                                     // interleaved folders, a path listed twice
        dir_ + "/one/gone.mp3",                // a missing file in a folder that exists
        dir_ + "/none/x.mp3",                  // a folder that does not exist
        dir_ + "/one/./c.mp3",                 // the same file by another spelling
        dir_ + "/one",                         // a folder named as a file
        "relative-name-that-is-not-there.mp3", // no folder part
        dir_ + "/one/",                        // no name part
        d,
    };
    auto check = [&](const char* when) {
        std::vector<const char*> texts;
        for (const std::string& path : paths) {
            texts.push_back(path.c_str());
        }
        std::vector<PlatformFileStatus> got(paths.size());
        std::unique_ptr<bool[]> found(new bool[paths.size()]);
        ASSERT_TRUE(files_status(texts.data(), static_cast<int32_t>(texts.size()), got.data(),
                                 found.get()));
        for (size_t i = 0; i < paths.size(); i++) {
            PlatformFileStatus want{};
            bool exists = platformFileStatus(texts[i], &want) == 0;
            EXPECT_EQ(found[i], exists) << when << ": " << paths[i];
            if (exists && found[i]) {
                EXPECT_EQ(got[i].size, want.size) << when << ": " << paths[i];
                EXPECT_EQ(got[i].modifiedNs, want.modifiedNs) << when << ": " << paths[i];
            }
        }
    };
    touch("one/a.mp3", 1700000000, 100);
    check("first");
    // Another nanosecond, another size: both seen.
    touch("one/a.mp3", 1700000000, 200);
    put("two/b.mp3", "b");
    check("after a change");
    // A folder that may be passed through but not listed still answers for its files.
    ASSERT_EQ(chmod((dir_ + "/locked").c_str(), 0111), 0);
    std::vector<const char*> one = {hidden.c_str()};
    PlatformFileStatus status{};
    bool found = false;
    ASSERT_TRUE(files_status(one.data(), 1, &status, &found));
    EXPECT_TRUE(found);
    EXPECT_EQ(status.size, 1);
    chmod((dir_ + "/locked").c_str(), 0755);
}

// Folders watched since their files were checked are not asked again; every kind of change
// in them, and a change whose report was lost, is still seen by the next pass.
TEST_F(WatcherTest, WatchedFoldersAreTrustedOnlyWhileNothingIsReported) {
    auto trusted = [this](const std::string& folder) {
        std::string path = dir_ + "/" + folder + "/";
        return folder_watch_trusted(state_.folders, path.c_str(), path.size());
    };
    auto titleOf = [](const std::string& path) {
        std::string title;
        media_db_read_lock();
        for (MediaObject* c = media_db_top().all_tracks->first_child; c != nullptr;
             c = c->next_sibling) {
            title = path == fixtures::itemPath(c) ? c->title : title;
        }
        media_db_read_unlock();
        return title;
    };
    // Rewrites a file's bytes in place (same size), then gives it a time of its own.
    auto overwrite = [this](const std::string& name, const std::string& bytes, long seconds) {
        std::FILE* file = std::fopen((dir_ + "/" + name).c_str(), "r+b");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        std::fclose(file);
        touch(name, seconds, 0);
    };
    std::string a = put("music/a.mp3", trackFile("A", "Ann", "X", "Rock"));
    std::string n = put("noise/n.mp3", trackFile("N", "Ann", "X", "Rock"));
    std::string real = put("elsewhere/real.mp3", trackFile("R", "Ann", "X", "Rock"));
    ASSERT_EQ(mkdir((dir_ + "/links").c_str(), 0755), 0);
    std::string link = dir_ + "/links/l.mp3";
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    std::vector<std::string> library = {a, n, link};
    put("Plugins/ml/main.dat", fixtures::libraryFile(library));
    ASSERT_TRUE(pass());
    EXPECT_TRUE(trusted("music"));
    EXPECT_TRUE(trusted("noise"));
    // A file reached through a link may change without a report in its own folder.
    EXPECT_FALSE(trusted("links"));

    // The same size, rewritten in place: reported, seen, and trusted again after the check.
    overwrite("music/a.mp3", trackFile("B", "Ann", "X", "Rock"), 1700000100);
    folder_watch_drain(state_.folders);
    EXPECT_FALSE(trusted("music"));
    EXPECT_TRUE(trusted("noise"));
    touch("Plugins/ml/main.dat", 1700000100, 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(titleOf(a), "B");
    EXPECT_TRUE(trusted("music"));

    // Replaced by a rename.
    put("music/new.tmp", trackFile("C", "Ann", "X", "Rock"));
    touch("music/new.tmp", 1700000200, 0);
    ASSERT_EQ(std::rename((dir_ + "/music/new.tmp").c_str(), a.c_str()), 0);
    touch("Plugins/ml/main.dat", 1700000200, 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(titleOf(a), "C");

    // The linked file changed in the other folder.
    overwrite("elsewhere/real.mp3", trackFile("S", "Ann", "X", "Rock"), 1700000300);
    touch("Plugins/ml/main.dat", 1700000300, 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(titleOf(link), "S");

    // The folder removed and made again: its old watch is gone; the new folder is checked and
    // watched anew.
    fixtures::removeTree(dir_ + "/music");
    put("music/a.mp3", trackFile("D", "Ann", "X", "Rock"));
    touch("music/a.mp3", 1700000400, 0);
    touch("Plugins/ml/main.dat", 1700000400, 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(titleOf(a), "D");
    EXPECT_TRUE(trusted("music"));
    overwrite("music/a.mp3", trackFile("E", "Ann", "X", "Rock"), 1700000500);
    touch("Plugins/ml/main.dat", 1700000500, 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(titleOf(a), "E");

    // Reports lost to a full queue: enough changes in noise/ to fill it, then one in music/
    // whose report is dropped. Every folder is checked again.
    long queue = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue;
    if (queue <= 0 || queue > 1000000) {
        GTEST_SKIP() << "queue length unknown or too large to fill: " << queue;
    }
    put("noise/x", "x");
    put("noise/y", "y");
    for (long i = 0; i <= queue; i++) {
        touch(i % 2 == 0 ? "noise/x" : "noise/y", 1700000000 + i, 0);
    }
    overwrite("music/a.mp3", trackFile("F", "Ann", "X", "Rock"), 1700000600);
    touch("Plugins/ml/main.dat", 1700000600, 0);
    ASSERT_TRUE(pass());
    EXPECT_EQ(titleOf(a), "F");
    EXPECT_TRUE(trusted("music"));
}

TEST(WatcherThreadTest, StartsBuildingAndStopsOnRequest) {
    // The test program's folder has no library files: the thread builds the empty catalogue
    // and keeps polling until it is stopped.
    media_db_destroy();
    media_library_set_change_hook(announceChange);
    int32_t before = currentSystemUpdateId();
    ASSERT_EQ(media_library_start(), 0);
    EXPECT_EQ(media_library_start(), 0); // already running: nothing more is started
    bool built = false;
    for (int i = 0; i < 250 && !built; i++) {
        media_db_read_lock();
        built = media_db_top().root != nullptr;
        media_db_read_unlock();
        if (!built) {
            platformSleepMs(20);
        }
    }
    media_library_stop();
    EXPECT_TRUE(built);
    EXPECT_GE(currentSystemUpdateId(), before + 1);
    media_library_stop(); // a second stop is harmless
    ASSERT_EQ(media_library_start(), 0);
    media_library_stop();
    media_library_set_change_hook(nullptr);
    media_db_destroy();
}

} // namespace
