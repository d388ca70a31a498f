// The device description and the service descriptions.
#pragma once

#include "platform/platform.h"

void sendDeviceDescription(PlatformSocket socket, const char* version, const char* urlBase);
void sendConnectionManagerDescription(PlatformSocket socket, const char* version);
void sendContentDirectoryDescription(PlatformSocket socket, const char* version);
// The media-receiver registrar's SCPD: three actions, eight state variables.
void sendRegistrarDescription(PlatformSocket socket, const char* version);
