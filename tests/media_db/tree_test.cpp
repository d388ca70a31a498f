// The catalogue tree: skeleton, ObjectIDs and their lookups, list order, freeing, locking.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "media_db/media_db.h"
#include "media_db/media_db_internal.h"
#include "platform/platform.h"
#include "support/fixtures_media.h"

namespace {

std::string idText(const MediaObject* object) {
    return std::to_string(media_db_object_id(object));
}

// Adds an item with the given path under a container, as the catalogue's writers do.
MediaObject* addItem(MediaObject* container, const char* path, bool atEnd = false) {
    MediaObject* item = make_item(path, kClassMusicTrack);
    if (atEnd) {
        media_db_append_child(container, item);
    } else {
        media_db_prepend_child(container, item);
    }
    return item;
}

std::vector<std::string> listTitles(const MediaObject* container) {
    std::vector<std::string> titles;
    for (const MediaObject* c = container->first_child; c != nullptr; c = c->next_sibling) {
        titles.push_back(c->title != nullptr ? c->title
                         : c->kind == 'i'    ? fixtures::itemPath(c)
                                             : "?");
    }
    return titles;
}

class TreeTest : public ::testing::Test {
  protected:
    void SetUp() override { media_db_build(); }
    void TearDown() override { media_db_destroy(); }
};

TEST_F(TreeTest, BuildMakesFiveTopContainersInListOrder) {
    media_db_read_lock();
    MediaTop top = media_db_top();
    ASSERT_NE(top.root, nullptr);
    EXPECT_EQ(top.track_count, 0);
    EXPECT_EQ(top.root->child_count, 5);
    EXPECT_EQ(listTitles(top.root),
              (std::vector<std::string>{"All Tracks", "Albums", "Artists", "Genres", "Playlists"}));
    EXPECT_STREQ(top.root->title, "root");
    EXPECT_EQ(top.playlists->upnp_class, kClassPlaylistContainer);
    EXPECT_EQ(top.albums->upnp_class, kClassContainer);
    EXPECT_EQ(media_db_object_id(top.root), 0);
    EXPECT_EQ(media_db_find(0), top.root);
    EXPECT_EQ(top.all_tracks->parent, top.root);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(media_db_child_at(top.root, i),
                  media_db_find(media_db_object_id(media_db_child_at(top.root, i))));
    }
    EXPECT_EQ(media_db_child_at(top.root, 0), top.all_tracks);
    EXPECT_EQ(media_db_child_at(top.root, 4), top.playlists);
    EXPECT_EQ(media_db_child_at(top.root, 5), nullptr);
    EXPECT_EQ(media_db_child_at(top.root, -1), nullptr);
    media_db_read_unlock();
}

TEST_F(TreeTest, PathForIdAcceptsOnlyLiveItemsAndReferences) {
    media_db_lock();
    MediaTop top = media_db_top();
    MediaObject* item = addItem(top.all_tracks, "/music/a.mp3");
    MediaObject* album = add_child_container("X", top.albums, kClassMusicAlbum);
    add_child_reference(album, item);
    MediaObject* reference = album->first_child;
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(reference->kind, 'r');
    EXPECT_EQ(reference->target, item);

    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(idText(item).c_str())), "/music/a.mp3");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id((idText(item) + ".mp3").c_str())),
              "/music/a.mp3");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(("  +" + idText(item) + "x").c_str())),
              "/music/a.mp3");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id((idText(reference) + ".jpg").c_str())),
              "/music/a.mp3");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(idText(album).c_str())), "");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id("0")), "");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id("abc")), "");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id("")), "");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(nullptr)), "");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(("-" + idText(item)).c_str())), "");
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id("99999999999999999999999")), "");
    EXPECT_EQ(media_db_find(media_db_object_id(item) + 1000000), nullptr);
    media_db_unlock();
}

TEST_F(TreeTest, ItemIdsFromBeforeAFreshBuildNameNothingAfterIt) {
    media_db_lock();
    std::vector<int64_t> before;
    for (int i = 0; i < 50; i++) {
        char path[32];
        std::snprintf(path, sizeof path, "/m/%d.mp3", i);
        before.push_back(media_db_object_id(addItem(media_db_top().all_tracks, path)));
    }
    int64_t oldAlbums = media_db_object_id(media_db_top().albums);
    media_db_build(); // re-entrant: the writer already holds the lock
    for (int i = 0; i < 50; i++) {
        addItem(media_db_top().all_tracks, "/m/new.mp3");
    }
    for (int64_t id : before) {
        EXPECT_EQ(media_db_find(id), nullptr) << id;
        EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(std::to_string(id).c_str())), "") << id;
    }
    // The top containers keep their fixed ids across builds.
    EXPECT_EQ(media_db_find(oldAlbums), media_db_top().albums);
    EXPECT_EQ(media_db_object_id(media_db_top().all_tracks), 6);
    media_db_unlock();
}

TEST_F(TreeTest, ChildAtFollowsListOrderForPrependedAndAppendedChildren) {
    media_db_lock();
    MediaTop top = media_db_top();
    MediaObject* playlist = add_child_container("P", top.playlists, kClassPlaylistContainer);
    const char* paths[] = {"/1.mp3", "/2.mp3", "/3.mp3"};
    for (const char* path : paths) {
        addItem(top.all_tracks, path);
        addItem(playlist, path, true);
    }
    EXPECT_EQ(listTitles(top.all_tracks), (std::vector<std::string>{"/3.mp3", "/2.mp3", "/1.mp3"}));
    EXPECT_EQ(listTitles(playlist), (std::vector<std::string>{"/1.mp3", "/2.mp3", "/3.mp3"}));
    for (const MediaObject* container : {static_cast<const MediaObject*>(top.all_tracks),
                                         static_cast<const MediaObject*>(playlist)}) {
        int i = 0;
        for (MediaObject* c = container->first_child; c != nullptr; c = c->next_sibling, i++) {
            EXPECT_EQ(media_db_child_at(container, i), c) << i;
            EXPECT_EQ(c->parent, container);
        }
        EXPECT_EQ(i, container->child_count);
    }
    media_db_unlock();
}

TEST_F(TreeTest, TitlesCompareByteForByteWithAndWithoutTheIndex) {
    media_db_lock();
    MediaTop top = media_db_top();
    MediaObject* lower = add_child_container("abbey road", top.albums, kClassMusicAlbum);
    MediaObject* upper = add_child_container("Abbey Road", top.albums, kClassMusicAlbum);
    EXPECT_NE(lower, upper);
    EXPECT_EQ(find_child_by_title("abbey road", top.albums), lower);
    EXPECT_EQ(find_child_by_title("Abbey Road", top.albums), upper);
    EXPECT_EQ(find_child_by_title("Abbey Road ", top.albums), nullptr);
    EXPECT_EQ(find_child_by_title(nullptr, top.albums), nullptr);
    // Many titles: the index must grow without losing any.
    for (int i = 0; i < 2000; i++) {
        add_child_container(("Artist " + std::to_string(i)).c_str(), top.artists,
                            kClassMusicArtist);
    }
    for (int i = 0; i < 2000; i += 37) {
        MediaObject* found =
            find_child_by_title(("Artist " + std::to_string(i)).c_str(), top.artists);
        ASSERT_NE(found, nullptr) << i;
        EXPECT_STREQ(found->title, ("Artist " + std::to_string(i)).c_str());
    }
    // An unindexed container is walked.
    MediaObject* playlist = add_child_container("Mix", top.playlists, kClassPlaylistContainer);
    EXPECT_EQ(find_child_by_title("Mix", top.playlists), playlist);
    EXPECT_EQ(add_child_container(nullptr, top.albums, kClassMusicAlbum), nullptr);
    EXPECT_EQ(add_child_container("x", nullptr, kClassMusicAlbum), nullptr);
    EXPECT_EQ(top.albums->child_count, 2);
    media_db_unlock();
}

TEST_F(TreeTest, ClearingPlaylistsKeepsTracksAndForgetsPlaylistIds) {
    media_db_lock();
    MediaTop top = media_db_top();
    MediaObject* track = addItem(top.all_tracks, "/t.mp3");
    MediaObject* album = add_child_container("A", top.albums, kClassMusicAlbum);
    add_child_reference(album, track);
    MediaObject* playlist = add_child_container("P", top.playlists, kClassPlaylistContainer);
    MediaObject* entry = addItem(playlist, "/t.mp3", true);
    int64_t trackId = media_db_object_id(track);
    int64_t playlistId = media_db_object_id(playlist);
    int64_t entryId = media_db_object_id(entry);
    media_db_unlock();

    media_db_clear_playlists();

    media_db_read_lock();
    top = media_db_top();
    EXPECT_EQ(top.playlists->child_count, 0);
    EXPECT_EQ(top.playlists->first_child, nullptr);
    EXPECT_EQ(media_db_child_at(top.playlists, 0), nullptr);
    EXPECT_EQ(media_db_find(playlistId), nullptr);
    EXPECT_EQ(media_db_find(entryId), nullptr);
    EXPECT_EQ(media_db_find(trackId), track);
    EXPECT_EQ(top.all_tracks->child_count, 1);
    EXPECT_EQ(album->first_child->target, track);
    media_db_read_unlock();
}

TEST_F(TreeTest, DestroyLeavesNoRootAndNoLiveIds) {
    media_db_lock();
    MediaObject* track = addItem(media_db_top().all_tracks, "/t.mp3");
    int64_t id = media_db_object_id(track);
    media_db_unlock();
    media_db_destroy();
    media_db_read_lock();
    EXPECT_EQ(media_db_top().root, nullptr);
    EXPECT_EQ(media_db_top().all_tracks, nullptr);
    EXPECT_EQ(media_db_find(0), nullptr);
    EXPECT_EQ(media_db_find(id), nullptr);
    EXPECT_EQ(fixtures::itemPath(media_db_item_for_id(std::to_string(id).c_str())), "");
    media_db_read_unlock();
}

TEST(HandleIndexTest, RemovalKeepsEveryOtherEntryReachable) {
    // Backward-shift deletion must never strand an entry behind a hole in its probe run.
    HandleIndex index{};
    std::vector<MediaObject> objects(3000);
    for (int64_t i = 0; i < 3000; i++) {
        objects[static_cast<size_t>(i)].handle = i * 64 + 1;
        ASSERT_TRUE(handle_index_insert(&index, &objects[static_cast<size_t>(i)]));
    }
    for (int64_t i = 0; i < 3000; i += 3) {
        handle_index_remove(&index, i * 64 + 1);
    }
    handle_index_remove(&index, 7); // absent: no change
    for (int64_t i = 0; i < 3000; i++) {
        MediaObject* found = handle_index_find(&index, i * 64 + 1);
        EXPECT_EQ(found, i % 3 == 0 ? nullptr : &objects[static_cast<size_t>(i)]) << i;
    }
    EXPECT_EQ(index.used, 2000u);
    handle_index_clear(&index);
    EXPECT_EQ(handle_index_find(&index, 65), nullptr);
}

TEST(CatalogueLockTest, LocksAreReentrantForTheirHolder) {
    media_db_lock();
    media_db_lock();
    media_db_read_lock(); // the writer may also read
    media_db_read_unlock();
    media_db_unlock();
    media_db_unlock();
    media_db_read_lock();
    media_db_read_lock();
    media_db_read_unlock();
    media_db_read_unlock();
    // A read hold taken inside a write hold may outlive it without touching the shared lock.
    media_db_lock();
    media_db_read_lock();
    media_db_unlock();
    media_db_read_unlock();
    // Both locks are free again: a writer on this thread gets in at once.
    media_db_lock();
    media_db_unlock();
}

struct ReaderState {
    std::atomic<int> stop{0};
    std::atomic<long> lookups{0};
    std::atomic<long> wrong{0};
};

// Reads paths of whatever is in All Tracks while the writer rebuilds; under ASan a reader that
// touched a freed object fails the test.
void readerBody(void* arg) {
    auto* state = static_cast<ReaderState*>(arg);
    while (state->stop.load() == 0) {
        media_db_read_lock();
        MediaTop top = media_db_top();
        if (top.all_tracks != nullptr) {
            for (int i = 0; i < top.all_tracks->child_count; i++) {
                MediaObject* item = media_db_child_at(top.all_tracks, i);
                std::string path =
                    fixtures::itemPath(media_db_item_for_id(std::to_string(item->handle).c_str()));
                if (path.compare(0, 3, "/r/") != 0) {
                    state->wrong++;
                }
                state->lookups++;
            }
        }
        media_db_read_unlock();
    }
}

TEST(CatalogueLockTest, ReadersNeverSeeAHalfRebuiltOrFreedTree) {
    ReaderState state;
    PlatformThread readers[3];
    for (PlatformThread& reader : readers) {
        ASSERT_EQ(platformThreadStart(&reader, readerBody, &state), 0);
    }
    // At least 200 rebuilds, and on until the readers have looked a while, so that reads and
    // rebuilds overlap however the threads are scheduled (bounded by the round count).
    for (int round = 0; round < 200 || (state.lookups.load() < 2000 && round < 100000); round++) {
        media_db_build();
        for (int i = 0; i < 20; i++) {
            media_db_lock();
            addItem(media_db_top().all_tracks, "/r/x.mp3");
            media_db_unlock();
        }
    }
    state.stop = 1;
    for (PlatformThread reader : readers) {
        platformThreadJoin(reader);
    }
    EXPECT_EQ(state.wrong.load(), 0);
    EXPECT_GT(state.lookups.load(), 0);
    media_db_destroy();
}

struct OverlapState {
    std::atomic<int> writerDone{0};
    std::atomic<int> readersFinished{0};
};

// Holds the shared lock 2 ms at a time, back to back, until the writer got in (at most 2,000
// passes), so that two of these keep a reader inside the lock nearly all the time.
void overlappingReader(void* arg) {
    auto* state = static_cast<OverlapState*>(arg);
    for (int pass = 0; pass < 2000 && state->writerDone.load() == 0; pass++) {
        media_db_read_lock();
        platformSleepMs(2);
        media_db_read_unlock();
    }
    state->readersFinished++;
}

TEST(CatalogueLockTest, AWaitingWriterGoesBeforeNewReaders) {
    OverlapState state;
    PlatformThread readers[2];
    for (PlatformThread& reader : readers) {
        ASSERT_EQ(platformThreadStart(&reader, overlappingReader, &state), 0);
    }
    platformSleepMs(20);
    media_db_lock();
    int finishedBeforeWriter = state.readersFinished.load();
    state.writerDone = 1;
    media_db_unlock();
    for (PlatformThread reader : readers) {
        platformThreadJoin(reader);
    }
    // A lock that prefers readers lets the writer in only once both readers have given up.
    EXPECT_EQ(finishedBeforeWriter, 0);
}

} // namespace
