// The device's icon, as control points show it beside the server's name: PNG and JPEG at 48x48
// and 120x120, drawn at build time by tools/make_icons.py and embedded as constant tables.
#pragma once

#include <cstdint>

struct DeviceIcon {
    const char* path;     // the URL path it is served under, e.g. "/icons/kestrelbloom-48.png"
    const char* mimeType; // "image/png" or "image/jpeg"
    int32_t width;
    int32_t height;
    const unsigned char* bytes;
    int32_t size;
};

// Every icon, PNGs first (control points tend to take the first one they can show).
extern const DeviceIcon kDeviceIcons[];
extern const int32_t kDeviceIconCount;

// The icon served under exactly this path; nullptr for any other path.
const DeviceIcon* deviceIconForPath(const char* path);
