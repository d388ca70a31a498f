#include "catalogue_fixture.h"

#include <cstdlib>
#include <cstring>

namespace {

char* copyOrAbsent(const std::string& text, bool absent) {
    return absent ? nullptr : strdup(text.c_str());
}

MediaObject* makeTrack(const TrackSpec& spec, int number) {
    std::string path = "/music/" + std::to_string(number) + ".mp3";
    MediaObject* item = make_item(path.c_str(), kClassMusicTrack);
    item->title = copyOrAbsent(spec.title, spec.absentTexts);
    item->artist = copyOrAbsent(spec.artist, spec.absentTexts);
    item->album = copyOrAbsent(spec.album, spec.absentTexts);
    item->genre = copyOrAbsent(spec.genre, spec.absentTexts);
    item->date = copyOrAbsent(spec.date, spec.absentTexts);
    item->duration = copyOrAbsent(spec.duration, spec.absentTexts);
    item->size = spec.size;
    item->track_number = spec.track;
    item->has_album_art = spec.art ? 1 : 0;
    return item;
}

void fileUnder(MediaObject* groups, const char* title, const char* upnpClass, MediaObject* item) {
    if (title == nullptr) {
        return;
    }
    MediaObject* group = find_child_by_title(title, groups);
    if (group == nullptr) {
        group = add_child_container(title, groups, upnpClass);
    }
    add_child_reference(group, item);
}

MediaObject* findIn(MediaObject* list, const std::string& title, char kind) {
    for (MediaObject* object = list; object != nullptr; object = object->next_sibling) {
        const MediaObject* named = object->kind == 'r' ? object->target : object;
        if (object->kind == kind && named->title != nullptr && title == named->title) {
            return object;
        }
        if (object->kind == 'c') {
            MediaObject* found = findIn(object->first_child, title, kind);
            if (found != nullptr) {
                return found;
            }
        }
    }
    return nullptr;
}

} // namespace

void buildCatalogue(const std::vector<TrackSpec>& tracks,
                    const std::vector<PlaylistSpec>& playlists) {
    media_db_build();
    media_db_lock();
    MediaTop top = media_db_top();
    int number = 0;
    for (const TrackSpec& spec : tracks) {
        MediaObject* item = makeTrack(spec, number++);
        media_db_append_child(top.all_tracks, item);
        fileUnder(top.artists, item->artist, kClassMusicArtist, item);
        fileUnder(top.albums, item->album, kClassMusicAlbum, item);
        fileUnder(top.genres, item->genre, kClassMusicGenre, item);
    }
    for (const PlaylistSpec& playlist : playlists) {
        MediaObject* container =
            add_child_container(playlist.name.c_str(), top.playlists, kClassPlaylistContainer);
        for (const TrackSpec& spec : playlist.entries) {
            media_db_append_child(container, makeTrack(spec, number++));
        }
    }
    media_db_unlock();
}

MediaObject* findByTitle(const std::string& title, char kind) {
    media_db_read_lock();
    MediaObject* root = media_db_top().root;
    MediaObject* found = nullptr;
    if (root != nullptr) {
        found = title == "root" && kind == 'c' ? root : findIn(root->first_child, title, kind);
    }
    media_db_read_unlock();
    return found;
}

std::string idOf(const MediaObject* object) {
    return std::to_string(media_db_object_id(object));
}
