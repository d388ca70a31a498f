// The values that identify the device on the network.
#pragma once

// "Windows NT/5.0, UPnP/1.0, KestrelBloom SDK/1.0": the SERVER header text.
extern const char serverString[];

struct UdnText {
    char text[64];
};

// "uuid:<adapter piece>-<12 hex digits>-kestrelbloom-mediaserver" from the first network
// adapter, or "uuid:12345678-4321" when there is none. Worked out afresh at every call.
UdnText deviceUdn();
