// The media-library watcher: follows the host library files and rebuilds the catalogue.
#pragma once

// Watcher thread body (arg unused). Runs until media_library_stop.
void media_library_import(void* arg);

// Starts the watcher thread. Returns 0 on success.
int media_library_start();

// Tells the watcher to stop, wakes it and waits for it to end.
void media_library_stop();
