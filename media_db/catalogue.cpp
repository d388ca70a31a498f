// Filling the catalogue: one MP3 track filed under All Tracks and grouped by album (see
// albums.cpp), artist and genre.
#include "media_db/media_db.h"

#include <cstdlib>

#include "media_db/media_db_internal.h"
#include "mp3/mp3_info.h"

namespace {

// Files a reference to the item under the grouping container titled `title`, making the
// container when it is new.
void fileUnder(MediaObject* groups, const char* title, const char* upnpClass, MediaObject* item) {
    if (groups == nullptr || title == nullptr) {
        return;
    }
    MediaObject* group = find_child_by_title(title, groups);
    if (group == nullptr) {
        group = add_child_container(title, groups, upnpClass);
    }
    add_child_reference(group, item);
}

void takeInfo(MediaObject* item, Mp3Info* info) {
    item->title = info->title;
    item->artist = info->artist;
    item->album = info->album;
    item->genre = info->genre;
    item->date = info->date;
    item->duration = info->duration;
    item->size = info->size;
    item->track_number = info->track_number;
    item->has_album_art = info->has_album_art;
    item->disc_number = info->disc_number;
    *info = Mp3Info{};
}

} // namespace

void media_db_add_track(const char* path) {
    if (path == nullptr) {
        return;
    }
    // The file is read before the lock is taken: readers wait only for the linking, never for
    // the disk.
    Mp3Info info;
    mp3_read_info(path, &info);

    media_db_lock();
    MediaTop top = media_db_top();
    MediaObject* item = top.all_tracks != nullptr ? make_item(path, kClassMusicTrack) : nullptr;
    if (item == nullptr) {
        mp3_info_release(&info);
        media_db_unlock();
        return;
    }
    char* albumArtist = info.album_artist;
    info.album_artist = nullptr;
    takeInfo(item, &info);
    if (media_db_prepend_child(top.all_tracks, item)) {
        fileUnder(top.artists, item->artist, kClassMusicArtist, item);
        media_db_file_album(item, albumArtist);
        fileUnder(top.genres, item->genre, kClassMusicGenre, item);
        media_db_count_track();
    }
    std::free(albumArtist);
    media_db_unlock();
}
