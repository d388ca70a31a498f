#include "catalogue_fixture.h"

#include <cstdlib>
#include <cstring>

#include "media_db/media_db_internal.h"

namespace {

char* copyOrAbsent(const std::string& text, bool absent) {
    return absent ? nullptr : strdup(text.c_str());
}

MediaObject* makeTrack(const TrackSpec& shape, int number) {
    std::string path =
        shape.path.empty() ? "/music/" + std::to_string(number) + ".mp3" : shape.path;
    MediaObject* item = make_item(path.c_str(), kClassMusicTrack);
    item->title = copyOrAbsent(shape.title, shape.absentTexts);
    item->artist = copyOrAbsent(shape.artist, shape.absentTexts);
    item->album = copyOrAbsent(shape.album, shape.absentTexts);
    item->genre = copyOrAbsent(shape.genre, shape.absentTexts);
    item->date = copyOrAbsent(shape.date, shape.absentTexts);
    item->duration = copyOrAbsent(shape.duration, shape.absentTexts);
    item->size = shape.size;
    item->track_number = shape.track;
    item->disc_number = shape.disc;
    item->picture_format = static_cast<uint8_t>(shape.art);
    item->audio_profile = static_cast<uint8_t>(shape.audio);
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
    for (const TrackSpec& shape : tracks) {
        MediaObject* item = makeTrack(shape, number++);
        media_db_append_child(top.all_tracks, item);
        fileUnder(top.artists, item->artist, kClassMusicArtist, item);
        media_db_file_album(item, shape.albumArtist.empty() ? nullptr : shape.albumArtist.c_str());
        fileUnder(top.genres, item->genre, kClassMusicGenre, item);
    }
    for (const PlaylistSpec& playlist : playlists) {
        MediaObject* container =
            add_child_container(playlist.name.c_str(), top.playlists, kClassPlaylistContainer);
        for (const TrackSpec& shape : playlist.entries) {
            media_db_append_child(container, makeTrack(shape, number++));
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
