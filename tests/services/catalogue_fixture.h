// Small catalogues built straight from the tree primitives, shaped as the importer shapes
// them: All Tracks items, with references under Albums (filed as the importer files them),
// Artists and Genres, and playlists that hold items of their own.
#pragma once

#include <string>
#include <vector>

#include "media_db/media_db.h"

struct TrackSpec {
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    int track = 0;
    int art = 0; // PictureFormat of the picture served for it (true gives a JPEG)
    std::string date = "2001-01-01";
    std::string duration = "0:03:05.000";
    int size = 1000;
    bool absentTexts = false; // leave title, artist, album, genre, date and duration absent
    std::string path{};       // the file; "/music/N.mp3" by position when empty
    int audio = 1;            // Mp3AudioProfile (1: MP3)
    int disc = 0;
    std::string albumArtist{}; // none: worked out as the importer does (all tracks share a folder)
};

struct PlaylistSpec {
    std::string name;
    std::vector<TrackSpec> entries;
};

// Replaces the catalogue, tracks and playlists in the order given, unordered (see
// media_db_order_catalogue). Takes and releases the writer lock itself.
void buildCatalogue(const std::vector<TrackSpec>& tracks,
                    const std::vector<PlaylistSpec>& playlists = {});

// The first object (depth first from the root) whose title is `title` and whose kind is
// `kind`; nullptr when none. Takes the read lock for the walk.
MediaObject* findByTitle(const std::string& title, char kind);

// The ObjectID text of an object.
std::string idOf(const MediaObject* object);
