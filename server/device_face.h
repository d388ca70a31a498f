// What control points and browsers show of the device besides its content: its icons and its
// presentation page. Connection threads.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "server/presentation_page.h"

// Answers a GET (or, with `headOnly`, a HEAD) of an icon path: 200 with the picture, or 404
// for a path that names no icon.
void serveDeviceIcon(PlatformSocket socket, const char* version, const char* path, bool headOnly);

// The server's state as the presentation page shows it, read now.
void gatherPresentationStatus(PresentationStatus* status);

// Answers the presentation page for a request that arrived on `localAddress` (network order).
// An address the server does not serve (any more) gets no answer.
void servePresentationPage(PlatformSocket socket, const char* version, uint32_t localAddress,
                           bool headOnly);
