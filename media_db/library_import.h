// The media-library watcher: follows the host library files and rebuilds the catalogue.
#pragma once

#include <cstdint>

#include "media_db/media_db.h"

// Watcher thread body (arg unused). Runs until media_library_stop.
void media_library_import(void* arg);

// Called on the watcher thread after each pass that published a changed catalogue, with the
// containers whose children changed (upper containers first), so a higher layer can announce
// the change without the catalogue knowing who listens. Install it before
// media_library_start; nullptr (the default) announces nothing.
using MediaLibraryChangeHook = void (*)(const MediaChange* changes, int32_t count);
void media_library_set_change_hook(MediaLibraryChangeHook hook);

// Starts the watcher thread. Returns 0 on success.
int media_library_start();

// Tells the watcher to stop, wakes it and waits for it to end.
void media_library_stop();

// When the watcher last read the library into the catalogue, as seconds since 1970 (UTC); 0
// before the first read. Any thread.
int64_t media_library_read_at();
