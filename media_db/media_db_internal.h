// Indexes private to the catalogue: handle to live object, and title to child container for
// the three grouping containers. Both are open-addressing tables with linear probing, owned by
// the catalogue and changed only by the writer under the exclusive lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media_db/media_db.h"

struct HandleIndex {
    struct Slot {
        int64_t handle;
        MediaObject* object; // nullptr marks a free slot
    };
    Slot* slots;
    size_t mask; // capacity - 1; capacity is a power of two, 0 when unallocated
    size_t used;
};

// Adds an entry; false (index unchanged) when growing fails.
bool handle_index_insert(HandleIndex* index, int64_t handle, MediaObject* object);
void handle_index_remove(HandleIndex* index, int64_t handle);
MediaObject* handle_index_find(const HandleIndex* index, int64_t handle);
// Frees the table; the index is empty and unallocated afterwards.
void handle_index_clear(HandleIndex* index);

struct TitleIndex {
    MediaObject** slots;
    size_t mask;
    size_t used;
};

// Adds a container under its title (and its artist, which only album containers have); false
// when growing fails.
bool title_index_insert(TitleIndex* index, MediaObject* container);
MediaObject* title_index_find(const TitleIndex* index, const char* title, const char* artist);
void title_index_remove(TitleIndex* index, const MediaObject* container);
void title_index_clear(TitleIndex* index);

// Writer helpers shared by the catalogue's own files (exclusive lock held).
// Links a made object first in the container; on failure frees it and returns false.
bool media_db_prepend_child(MediaObject* container, MediaObject* child);
// Frees an object that was made but never linked.
void media_db_free_unlinked(MediaObject* object);
// Counts one more track added since the last build.
void media_db_count_track();

// Files the item under its album (title and album artist; `albumArtist` is the tag's, or
// nullptr to work it out among the tracks of the same title in the same folder).
void media_db_file_album(MediaObject* item, const char* albumArtist);
// Forgets the album-artist bookkeeping of the tracks filed so far (the tree is being freed).
void media_db_albums_reset();

// What a watched file looked like at the last pass. A missing file is a state of its own, so
// its appearance or disappearance is a change like any other.
struct SeenFile {
    bool seen;
    bool exists;
    int64_t size;
    int64_t modifiedNs;
};

struct LibraryWatchState {
    SeenFile library;
    SeenFile settings;
};

// One pass of the media-library watcher over the host folder `folder` (the thread calls it once
// a second): a changed library file rebuilds everything, a changed settings file the playlists;
// any change is announced once. Returns whether it announced.
bool media_library_pass(const char* folder, LibraryWatchState* state);
