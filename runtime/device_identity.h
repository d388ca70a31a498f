// The values that identify the device on the network.
#pragma once

#include <cstdint>

// "Windows NT/5.0, UPnP/1.0, KestrelBloom SDK/1.0": the SERVER header text.
extern const char serverString[];

struct UdnText {
    char text[64];
};

// "uuid:<adapter piece>-<12 hex digits>-kestrelbloom-mediaserver" from the first network
// adapter, or "uuid:12345678-4321" when there is none. The adapter query costs more than a whole
// description answer, so its result is kept for kUdnRefreshMs: a change of adapters shows
// within that time, as the restart that follows an address change does.
UdnText deviceUdn();

// The product version, as the device description's modelNumber and the status page show it.
constexpr char kDeviceVersion[] = "1.0";

struct FriendlyNameText {
    char text[300];
};

// "KestrelBloom Media Server [<host name>]", the host name as deviceHostName gives it (not
// escaped).
FriendlyNameText deviceFriendlyName();

struct HostNameText {
    char text[256];
};

// The machine's name as the system gives it (empty when it cannot be had). Kept for
// kUdnRefreshMs like the UDN: every request asks for it, and a renamed computer shows within
// that time.
HostNameText deviceHostName();

constexpr uint32_t kUdnRefreshMs = 1000;
