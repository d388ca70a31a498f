// Streams a track's MP3 file and the JPEG picture embedded in its ID3v2 tag.
#pragma once

#include "platform/platform.h"

// `path` is the request target; the ObjectID follows its first "disk/" (or "virtual/").
void httpServeTrack(PlatformSocket socket, const char* version, const char* path);
void httpServeAlbumArt(PlatformSocket socket, const char* version, const char* path);
