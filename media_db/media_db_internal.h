// Private to the catalogue: the version record and its indexes (handle to live object, title
// to child container for the three grouping containers; open-addressing tables with linear
// probing, owned by their version and changed only while it is being written), the shared
// track records, and the writer's helpers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "media_db/media_db.h"

// Open addressing over the objects themselves: a slot holds only the object, whose `handle` is
// its key, so the table costs one pointer per slot. Any capacity works (no power of two), so
// a reserved table is sized to its content.
struct HandleIndex {
    MediaObject** slots; // nullptr marks a free slot
    size_t capacity;     // 0 when unallocated
    size_t used;
};

// Adds the object under its `handle`, which must not change while it is indexed (see
// media_db_rekey); false (index unchanged) when growing fails.
bool handle_index_insert(HandleIndex* index, MediaObject* object);
void handle_index_remove(HandleIndex* index, int64_t handle);
// Grows the table at once to hold `entries` (false, unchanged, when growing fails).
bool handle_index_reserve(HandleIndex* index, size_t entries);
MediaObject* handle_index_find(const HandleIndex* index, int64_t handle);
// Shrinks the table to the size its content asks (unchanged when that fails or gains nothing).
void handle_index_fit(HandleIndex* index);
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
// Once a version is built: moves its children arrays, each cut to its length, into one block
// the version owns, and sizes its handle index to its content. Later in-place writes still
// work (a packed array moves out when it must grow).
void media_db_pack_version(MediaCatalogue* version);
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

struct FolderWatch;
struct LibraryWatchState {
    SeenFile library;
    SeenFile settings;
    FolderWatch* folders; // made by the first pass; freed by media_library_state_release
    uint32_t settleMs;    // a changed file seen before is read once its status held still this
                          // long (the watcher thread's setting; 0 reads at once)
};

// Frees what the passes kept in the state (the folder watch), leaving it as new.
void media_library_state_release(LibraryWatchState* state);

// One pass of the media-library watcher over the host folder `folder` (the thread calls it once
// a second): a changed library file rebuilds everything, a changed settings file the playlists;
// any change is announced once. Returns whether it announced.
bool media_library_pass(const char* folder, LibraryWatchState* state);

// The blocks a version's objects are made from (see object_slab.cpp); written only by the
// version's writer.
struct SlabBlock;
constexpr int kSlabClasses = 3; // references, items, containers
struct ObjectSlab {
    SlabBlock* blocks;
    // Per class, the free room of its newest block (next up to end) and the next block's size.
    char* next[kSlabClasses];
    char* end[kSlabClasses];
    size_t block_bytes[kSlabClasses];
    void* free_lists[kSlabClasses]; // freed objects, per class
};

// A zeroed object of this kind's size ('r', 'i', or a container); nullptr on short memory.
MediaObject* object_slab_take(ObjectSlab* slab, char kind);
// Hands an object of the slab back for reuse (its kind must be unchanged).
void object_slab_give(ObjectSlab* slab, MediaObject* object);
// Frees every block: every object of the slab is gone.
void object_slab_clear(ObjectSlab* slab);

// Fixed ObjectIDs of the top containers; the counter for all other objects starts above them.
constexpr int64_t kIdPlaylists = 2;
constexpr int64_t kIdGenres = 3;
constexpr int64_t kIdArtists = 4;
constexpr int64_t kIdAlbums = 5;
constexpr int64_t kIdAllTracks = 6;
constexpr int64_t kFirstFreeId = 7;

struct MediaCatalogue {
    int32_t refs; // guarded by the version mutex: the published slot's, pins, a writer's
    MediaTop top;
    ObjectSlab objects; // every object of its tree
    HandleIndex handles;
    TitleIndex albumTitles;
    TitleIndex artistTitles;
    TitleIndex genreTitles;
    MediaChange* changes; // containers changed against the version before; owned
    int32_t change_count;
    // The items of All Tracks in the library file's order (All Tracks itself lists them in its
    // own order), for matching the next build's paths; owned, nullptr for a version not built
    // by the watcher.
    MediaObject** file_order;
    int32_t file_order_count;
    // The children arrays of its containers in one block once built (media_db_pack_children);
    // owned, nullptr until then.
    MediaObject** packed_children;
    // Tells versions apart for their whole life: new for each version and for each in-place
    // change, never reused.
    uint64_t serial;
    // Built on the first Search (see search_index.h); dropped when written in place.
    std::atomic<struct SearchIndex*> search_index;
    std::atomic<bool> search_index_failed;
};

// The texts a track record shares with other tracks (see shared_texts.h).
enum RecordSharedText {
    kRecordArtist,
    kRecordAlbum,
    kRecordGenre,
    kRecordDate,
    kRecordAlbumArtist,
    kRecordFolder, // the path up to and with its last separator; nullptr for none
    kRecordSharedCount
};

// The texts and figures of one track file as last read, with the file's size and time at that
// read. Immutable once made; shared by every version whose item lists it. Its own texts follow
// the record in the same block, the file name first, so an item's path_tail leads back to its
// record; the texts many tracks repeat, its folder among them, are kept once for all records.
struct TrackRecord {
    std::atomic<int32_t> refs;
    int32_t size;
    int64_t file_size; // -1 when the file was missing
    int64_t modified_ns;
    int32_t track_number;
    int32_t disc_number;
    // Its own texts follow the record: the file name, then the title and the duration when
    // present.
    uint8_t has_title, has_duration;
    uint8_t picture_format;
    uint8_t audio_profile;
    const char* shared[kRecordSharedCount]; // nullptr when absent
};
static_assert(sizeof(TrackRecord) % 8 == 0, "texts follow the record at 8-byte alignment");

struct Mp3Info;
// A new record (refs 1) for `path` with the texts of *info (released) and the file status;
// nullptr on short memory.
TrackRecord* track_record_make(const char* path, Mp3Info* info, int64_t fileSize,
                               int64_t modifiedNs);
void track_record_retain(TrackRecord* record);
void track_record_release(TrackRecord* record);
// The record an item's texts lie in; nullptr for an item that owns its texts.
TrackRecord* track_record_of(const MediaObject* item);
// The album artist the tag of the item's record named; nullptr when none or not shared.
const char* track_record_album_artist(const MediaObject* item);
// An item (with this handle) showing the record's texts; it takes one reference.
MediaObject* track_record_item(TrackRecord* record, int64_t handle);

// An item's path in two parts, read as their concatenation: the folder (its record's, with the
// separator that ends it; empty for an item owning its texts, which keeps the whole path in
// `name`) and the rest.
struct PathParts {
    const char* folder;
    size_t folder_length;
    const char* name;
};
PathParts media_db_path_parts(const MediaObject* item);
// Orders two paths given in parts as their whole texts would be ordered by strcmp.
int path_parts_compare(const PathParts& a, const PathParts& b);
// The length of the folder part of a path: up to and with its last separator; 0 for none.
size_t path_folder_length(const char* path);

// Versions being written aside. begin makes an unpublished skeleton and makes it this thread's
// version to write (waiting for any in-place writer); publish swaps it in (dropping the old
// version's reference) and ends the writing; discard frees it instead.
MediaCatalogue* media_db_begin_version();
void media_db_publish_version(MediaCatalogue* version);
void media_db_discard_version(MediaCatalogue* version);
// The version this thread reads or writes (the published one, unpinned, when neither).
MediaCatalogue* media_db_current();
// Whether this thread writes a version (in place or aside).
bool media_db_writing();
// A new object of this kind with a chosen handle (0: the next from the counter).
MediaObject* media_db_new_object(char kind, int64_t handle);
// The next handle from the counter.
int64_t media_db_next_handle();
// Changes an object's handle and its entry in the version's index.
void media_db_rekey(MediaCatalogue* version, MediaObject* object, int64_t handle);
// Files a made item first under All Tracks and under its artist, album and genre, making
// grouping containers as needed; counts the track.
void media_db_file_track(MediaObject* item);
// The title index of a top grouping container of the version; nullptr for other containers.
TitleIndex* media_db_title_index(MediaCatalogue* version, const MediaObject* container);
