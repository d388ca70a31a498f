// The device description and the service descriptions.
#pragma once

#include "platform/platform.h"

// Each sends the 200 head and the document; with headOnly (HEAD) the head alone.
void sendDeviceDescription(PlatformSocket socket, const char* version, const char* urlBase,
                           bool headOnly = false);
void sendConnectionManagerDescription(PlatformSocket socket, const char* version,
                                      bool headOnly = false);
void sendContentDirectoryDescription(PlatformSocket socket, const char* version,
                                     bool headOnly = false);
// The media-receiver registrar's SCPD: three actions, eight state variables.
void sendRegistrarDescription(PlatformSocket socket, const char* version, bool headOnly = false);
