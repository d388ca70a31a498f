// Filling the catalogue: one MP3 track filed under All Tracks and grouped by album (see
// albums.cpp), artist and genre, and the shared records that hold a track's texts.
#include "media_db/media_db.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "media_db/media_db_internal.h"
#include "media_db/shared_texts.h"
#include "mp3/mp3_info.h"
#include "platform/platform.h"

namespace {

int32_t textBytes(const char* text) {
    return text != nullptr ? static_cast<int32_t>(std::strlen(text)) + 1 : 0;
}

// Copies a text to the record's block at *at; whether it was present.
uint8_t place(char* block, int32_t* at, const char* text) {
    if (text == nullptr) {
        return 0;
    }
    int32_t bytes = textBytes(text);
    std::memcpy(block + *at, text, static_cast<size_t>(bytes));
    *at += bytes;
    return 1;
}

// The record's own text that follows `text` in its block.
char* nextText(char* text) {
    return text + std::strlen(text) + 1;
}

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

} // namespace

TrackRecord* track_record_make(const char* path, Mp3Info* info, int64_t fileSize,
                               int64_t modifiedNs) {
    // The folder is kept once for all its tracks; the record keeps the file name.
    size_t folderLength = path_folder_length(path);
    const char* name = path + folderLength;
    int32_t bytes = textBytes(name) + textBytes(info->title) + textBytes(info->duration);
    void* block = std::malloc(sizeof(TrackRecord) + static_cast<size_t>(bytes));
    const char* repeated[kRecordSharedCount] = {info->artist, info->album,        info->genre,
                                                info->date,   info->album_artist, nullptr};
    size_t lengths[kRecordSharedCount] = {};
    for (int i = 0; i < kRecordFolder; i++) {
        lengths[i] = repeated[i] != nullptr ? std::strlen(repeated[i]) : 0;
    }
    if (folderLength > 0) {
        repeated[kRecordFolder] = path;
        lengths[kRecordFolder] = folderLength;
    }
    const char* shared[kRecordSharedCount];
    if (block == nullptr ||
        !shared_texts_take_sized(repeated, lengths, kRecordSharedCount, shared)) {
        std::free(block);
        mp3_info_release(info);
        return nullptr;
    }
    auto* record = new (block) TrackRecord{};
    record->refs.store(1, std::memory_order_relaxed);
    std::memcpy(record->shared, shared, sizeof shared);
    record->file_size = fileSize;
    record->modified_ns = modifiedNs;
    record->size = info->size;
    record->track_number = info->track_number;
    record->disc_number = info->disc_number;
    record->picture_format = info->picture_format;
    record->audio_profile = info->audio_profile;
    char* texts = reinterpret_cast<char*>(record + 1);
    int32_t at = 0;
    place(texts, &at, name);
    record->has_title = place(texts, &at, info->title);
    record->has_duration = place(texts, &at, info->duration);
    mp3_info_release(info);
    return record;
}

void track_record_retain(TrackRecord* record) {
    record->refs.fetch_add(1, std::memory_order_relaxed);
}

void track_record_release(TrackRecord* record) {
    if (record != nullptr && record->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        shared_texts_drop(record->shared, kRecordSharedCount);
        record->~TrackRecord();
        std::free(record);
    }
}

TrackRecord* track_record_of(const MediaObject* item) {
    if (item == nullptr || !item->shared_texts || item->path_tail == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<TrackRecord*>(item->path_tail) - 1;
}

const char* track_record_album_artist(const MediaObject* item) {
    TrackRecord* record = track_record_of(item);
    return record != nullptr ? record->shared[kRecordAlbumArtist] : nullptr;
}

MediaObject* track_record_item(TrackRecord* record, int64_t handle) {
    MediaObject* item = media_db_new_object('i', handle);
    if (item == nullptr) {
        return nullptr;
    }
    track_record_retain(record);
    item->shared_texts = 1;
    item->upnp_class = kClassMusicTrack;
    char* text = reinterpret_cast<char*>(record + 1);
    item->path_tail = text;
    text = nextText(text);
    item->title = record->has_title ? text : nullptr;
    text = record->has_title ? nextText(text) : text;
    // The item shows the texts but never frees them (shared_texts set).
    item->artist = const_cast<char*>(record->shared[kRecordArtist]);
    item->album = const_cast<char*>(record->shared[kRecordAlbum]);
    item->genre = const_cast<char*>(record->shared[kRecordGenre]);
    item->date = const_cast<char*>(record->shared[kRecordDate]);
    item->duration = record->has_duration ? text : nullptr;
    item->size = record->size;
    item->track_number = record->track_number;
    item->disc_number = record->disc_number;
    item->picture_format = record->picture_format;
    item->audio_profile = record->audio_profile;
    item->album_artist_tagged = record->shared[kRecordAlbumArtist] != nullptr ? 1 : 0;
    return item;
}

void media_db_file_track(MediaObject* item) {
    MediaTop top = media_db_top();
    if (media_db_prepend_child(top.all_tracks, item)) {
        fileUnder(top.artists, item->artist, kClassMusicArtist, item);
        media_db_file_album(item, track_record_album_artist(item));
        fileUnder(top.genres, item->genre, kClassMusicGenre, item);
        media_db_count_track();
    }
}

void media_db_add_track(const char* path) {
    if (path == nullptr) {
        return;
    }
    // The file is read before the lock is taken: readers wait only for the linking, never for
    // the disk.
    PlatformFileStatus status{};
    bool exists = platformFileStatus(path, &status) == 0;
    Mp3Info info{};
    mp3_read_info(path, &info, exists ? status.size : -1);
    TrackRecord* record =
        track_record_make(path, &info, exists ? status.size : -1, exists ? status.modifiedNs : 0);
    if (record == nullptr) {
        return;
    }
    media_db_lock();
    MediaObject* item = media_db_top().all_tracks != nullptr
                            ? track_record_item(record, media_db_next_handle())
                            : nullptr;
    if (item != nullptr) {
        media_db_file_track(item);
    }
    media_db_unlock();
    track_record_release(record);
}
