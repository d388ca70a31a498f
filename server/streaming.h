// Streams a track's MP3 file and the picture embedded in its ID3v2 tag: whole or by byte range,
// with the DLNA headers renderers ask for.
#pragma once

#include "platform/platform.h"
#include "server/http_route.h"

// One GET or HEAD of a media URL.
struct MediaRequest {
    const char* version;
    const char* path; // the request target; the ObjectID follows its first "disk/" or "virtual/"
    HttpMediaHeaders headers;
    bool headOnly; // HEAD: the same status line and headers, no body
};

// Both write their whole answer and leave the socket open for the caller to close. A body
// whose reader stalls is given up after a pause of kMediaStallMs.
void httpServeTrack(PlatformSocket socket, const MediaRequest& request);
void httpServeAlbumArt(PlatformSocket socket, const MediaRequest& request);

// How long a media body waits for a reader that has stopped reading (a paused renderer) before
// the connection is closed.
constexpr uint32_t kMediaStallMs = 10 * 60 * 1000;
