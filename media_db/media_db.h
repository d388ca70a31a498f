// The in-memory catalogue: a tree of MediaObject records, published in versions.
//
// Lifecycle. A version (MediaCatalogue) is one complete tree with its own indexes. The watcher
// builds the next version aside, from the library and the version it replaces, and publishes
// it with one pointer swap, so a reader sees the old tree or the new one, never a mix.
// References: the published slot holds one; every reader pins the version it starts with
// (media_db_acquire, or media_db_read_lock for this thread) and unpins it when done. Pinning
// takes a short mutex, never a lock held across a reader's output. A version is freed by
// whoever drops its last reference: the publisher when no reader holds it, else the last
// reader. Track texts live in TrackRecords shared by every version that lists the same
// unchanged file, each record freed with its last version; the texts many tracks repeat
// (artist, album, genre, year, folder) are kept once for all records. A version's objects come from
// blocks it owns and go with it: an object belongs to the version it was made in.
//
// Writers: the watcher is the catalogue's writer; it never edits a published tree. Tests and
// tools may still fill the published tree in place under media_db_lock, which waits until no
// reader holds it and keeps new readers out meanwhile. Every function below other than the
// lock, pin, build, destroy and clear calls must be called by a thread that holds a pin, the
// read lock or the write lock; they act on that thread's version.
//
// ObjectIDs: a signed 64-bit number per object, from a counter that only grows, so a number
// never names two objects. A new version keeps the ids of the version before it: a track by
// its file path (and which occurrence of that path in the library, for a path listed twice),
// a grouping container by its title, a reference by its container and track, a playlist by
// its title and its entries by path and occurrence. The root is 0; the five top containers
// keep fixed numbers.
#pragma once

#include <cstddef>
#include <cstdint>

// A reference is only the head and `target`: it is allocated with kMediaReferenceSize bytes, so
// nothing past `target` may be read from an object of kind 'r'. Its title, texts and numbers
// are its target's (see member_item). An item is allocated with kMediaItemSize bytes: it has
// no children array.
struct MediaObject {
    // Head, all kinds.
    char kind;                // 'c' container, 'i' item, 'r' reference
    char shared_texts;        // item: 1 when its texts lie in a shared TrackRecord (not owned)
    char album_artist_tagged; // item: 1 when the tag named the album artist (filing only)
    int32_t update_id;        // container: raised when a published version changed its children
    MediaObject* parent;      // nullptr for the root
    MediaObject* next_sibling;
    int64_t handle; // the ObjectID (the root's is published as 0)

    // Reference.
    MediaObject* target; // an item under All Tracks; not owned

    // Container.
    MediaObject* first_child;
    int32_t child_count;

    // Container and item.
    char* title;
    const char* upnp_class; // one of the shared class texts; compare by pointer or text

    // Item (absent texts are nullptr and read as empty). An album container keeps its album
    // artist in `artist`.
    char* artist;
    char* album;
    char* genre;
    char* date; // "YYYY-01-01"
    // Always present; read the path with media_db_item_path. An item of a shared record keeps
    // only the file name here (its folder is the record's, kept once for the folder's tracks);
    // an item owning its texts keeps its whole path.
    char* path_tail;
    char* duration; // "H:MM:SS.mmm"
    int32_t size;
    int32_t track_number;
    int32_t disc_number;    // 0 when the tag names none
    uint8_t picture_format; // PictureFormat of the picture served for it; kPictureNone for none
    uint8_t audio_profile;  // Mp3AudioProfile of its first audio frame

    // Container only, private to media_db: the children, for media_db_child_at. In list order
    // when children_appended is 1 (playlists, and every container once ordered), else in
    // reverse list order, which is the order of addition. children_packed is 1 when the array
    // lies in its version's packed block (not owned; see media_db_pack_version);
    // holds_containers is 1 once a container was linked beneath it.
    MediaObject** children;
    int32_t children_capacity;
    uint8_t children_appended;
    uint8_t children_packed;
    uint8_t holds_containers;
};

// Bytes of a reference: a catalogue holds three per track, so they carry no container or item
// fields.
constexpr size_t kMediaReferenceSize = offsetof(MediaObject, first_child);
// Bytes of an item: it carries no children array.
constexpr size_t kMediaItemSize = offsetof(MediaObject, children);

extern const char kClassContainer[];         // "object.container"
extern const char kClassPlaylistContainer[]; // "object.container.playlistContainer"
extern const char kClassMusicAlbum[];        // "object.container.album.musicAlbum"
extern const char kClassMusicArtist[];       // "object.container.person.musicArtist"
extern const char kClassMusicGenre[];        // "object.container.genre.musicGenre"
extern const char kClassMusicTrack[];        // "object.item.audioItem.musicTrack"

// The root and its five top containers; all nullptr before the first build.
struct MediaTop {
    MediaObject* root;
    MediaObject* all_tracks;
    MediaObject* albums;
    MediaObject* artists;
    MediaObject* genres;
    MediaObject* playlists;
    int32_t track_count;
};
// The top of this thread's version (see the lifecycle above).
MediaTop media_db_top();

// One published version of the catalogue.
struct MediaCatalogue;

// Pins the published version (never nullptr; its root is nullptr before the first build) and
// returns it; release it with media_db_release. Never waits for a rebuild.
MediaCatalogue* media_db_acquire();
void media_db_release(MediaCatalogue* version);
MediaTop media_db_version_top(const MediaCatalogue* version);

// A container whose children changed when a version was published, with its new update id.
struct MediaChange {
    int64_t id;
    int32_t update_id;
};
// The containers that changed between the version before `version` and `version` (none for
// the first version); *count receives how many.
const MediaChange* media_db_version_changes(const MediaCatalogue* version, int32_t* count);

// Read lock: pins the published version for this thread until the matching unlock; the calls
// below then act on it. Re-entrant; inside the write lock it pins the version being written.
void media_db_read_lock();
void media_db_read_unlock();
// Write lock: edits the published version in place (tests and tools). Exclusive and
// re-entrant; waits until no reader holds the version and keeps new readers waiting.
void media_db_lock();
void media_db_unlock();

// The live object with this handle, without walking the tree; nullptr when none. Handle 0 is
// the root (nullptr before the first build).
MediaObject* media_db_find(int64_t handle);

// The ObjectID to publish: 0 for the root, else the handle.
int64_t media_db_object_id(const MediaObject* object);

// The index-th child of a container in list order (as first_child/next_sibling walk it), in
// constant time; nullptr when out of range.
MediaObject* media_db_child_at(const MediaObject* container, int32_t index);

// Parses a leading signed decimal number ("123.mp3" gives 123) and returns that item (or a
// reference's target); nullptr for a container, the root, no digits or a number that names no
// live object. The caller copies what it needs before unlocking.
const MediaObject* media_db_item_for_id(const char* text);
// An item's whole file path: writes it with its NUL to `out` when it fits `capacity`, and
// returns its length (without the NUL) either way, so a caller whose buffer was too small can
// retry with a larger one. 0 for nullptr.
size_t media_db_item_path(const MediaObject* item, char* out, size_t capacity);
// Whether the item's whole path is `path`.
bool media_db_item_path_equals(const MediaObject* item, const char* path);
// Orders two items' paths as strcmp orders the whole texts.
int media_db_item_path_compare(const MediaObject* a, const MediaObject* b);

// Primitives (writer only, lock held); they act on the version this thread writes.
MediaObject* make_container(const char* title, const char* upnpClass);
MediaObject* make_item(const char* path, const char* upnpClass);
MediaObject* make_reference(MediaObject* item);
MediaObject* add_child_container(const char* title, MediaObject* parent, const char* upnpClass);
void add_child_reference(MediaObject* container, MediaObject* item);
// Links an item as last child of a container (playlist order).
void media_db_append_child(MediaObject* container, MediaObject* child);
MediaObject* find_child_by_title(const char* text, MediaObject* container);
// The album container under Albums with this title and album artist; nullptr when none.
MediaObject* media_db_find_album(const char* title, const char* albumArtist);
// Makes an album container under Albums (title, album artist); nullptr on short memory.
MediaObject* media_db_add_album(const char* title, const char* albumArtist);
// Unlinks one child from its container and frees it with everything beneath it.
void media_db_remove_child(MediaObject* container, MediaObject* child);

// Publishes a new version holding the empty skeleton (root and five top containers).
void media_db_build();
// Files one MP3 under All Tracks and groups it under Albums, Artists and Genres.
void media_db_add_track(const char* path);
// Adds one M3U playlist as a playlist container under Playlists.
void media_db_read_m3u(const char* path, const char* name);
// Puts every container's children in the order listed when no SortCriteria is given: All
// Tracks, Albums, Artists and Genres by title, an album by disc and track number then title,
// an artist or genre by album then disc and track; playlists keep the host's order and their
// files'. Ties keep the order of addition. Call once the tracks and playlists of a build are
// in; takes the writer lock itself.
void media_db_order_catalogue();
// Frees every playlist under Playlists.
void media_db_clear_playlists();
// Publishes an unbuilt version (no root) and forgets what the builder knew of the library;
// each old version is freed when its last reader lets it go.
void media_db_destroy();
