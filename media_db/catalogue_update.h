// Builds the next version of the catalogue aside and publishes it when it differs from the
// published one (see media_db.h for the versions' lifecycle).
#pragma once

#include <atomic>
#include <cstdint>

struct FolderWatch;

struct CatalogueInput {
    // The library's track paths in file order, unless keepTracks: then the published
    // version's tracks stay as they are (only the playlists changed).
    const char* const* paths;
    int32_t count;
    bool keepTracks;
    // Whether the playlists' source changed; unchanged tracks and playlists publish nothing.
    bool playlistsChanged;
    // Adds the playlists to the version being written (media_db_read_m3u per playlist).
    void (*readPlaylists)(void* context);
    void* context;
    // Raised at quit: the update ends early and publishes nothing.
    const std::atomic<int32_t>* stop;
    // The folders known unchanged, whose files' status is then not asked again; nullptr asks
    // every file. The update commits what it checked (folder_watch_commit).
    FolderWatch* watch;
};

enum class CatalogueResult {
    Unchanged, // the published version stays, with the same ids and update ids
    Published, // a new version is published; its changes say which containers changed
    Stopped,
    Failed, // short of memory; the published version stays
};

CatalogueResult catalogue_update(const CatalogueInput& input);
