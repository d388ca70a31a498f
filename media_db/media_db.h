// The in-memory catalogue: one tree of MediaObject records under one lock.
//
// Locking: readers (Browse, Search, streaming's path lookup) hold media_db_read_lock for their
// whole walk and output; readers share it, so one slow client does not stall the others. The
// import thread, the only writer, takes media_db_lock, which is exclusive and re-entrant for
// that thread. Every function below other than the lock calls, media_db_build,
// media_db_destroy and media_db_clear_playlists must be called with one of the two locks held.
//
// ObjectIDs: every object gets a handle from a 64-bit counter that only grows, so a number
// kept from before a rebuild never names another object. The root is published as "0".
#pragma once

#include <cstdint>

struct MediaObject {
    // Head, all kinds.
    char kind;                // 'c' container, 'i' item, 'r' reference
    char album_artist_tagged; // item: 1 when the tag named the album artist (filing only)
    MediaObject* parent;      // nullptr for the root
    MediaObject* next_sibling;
    int64_t handle; // the ObjectID (the root's is published as 0)

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
    char* date;     // "YYYY-01-01"
    char* path;     // always present
    char* duration; // "H:MM:SS.mmm"
    int32_t size;
    int32_t track_number;
    int32_t has_album_art;
    int32_t disc_number; // 0 when the tag names none

    // Reference.
    MediaObject* target; // an item under All Tracks; not owned

    // Private to media_db: the children, for media_db_child_at. In list order when
    // children_appended is 1 (playlists, and every container once ordered), else in reverse
    // list order, which is the order of addition.
    MediaObject** children;
    int32_t children_capacity;
    int32_t children_appended;
};

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
MediaTop media_db_top();

// Shared lock for readers; exclusive re-entrant lock for the writer.
void media_db_read_lock();
void media_db_read_unlock();
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

// Parses a leading signed decimal number ("123.mp3" gives 123) and returns the file path of
// that item (or of a reference's target); nullptr for a container, the root, no digits or a
// number that names no live object. The caller copies the path before unlocking.
const char* media_db_path_for_id(const char* text);

// Primitives (writer only, lock held).
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

// Replaces the catalogue by the empty skeleton (root and five top containers).
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
// Frees the whole catalogue.
void media_db_destroy();
