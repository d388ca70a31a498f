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

// The product version, as the device description's modelNumber and the status page show it.
constexpr char kDeviceVersion[] = "1.0";

struct FriendlyNameText {
    char text[300];
};

// "KestrelBloom Media Server [<host name>]", the host name as the system gives it (not
// escaped). Worked out afresh at every call.
FriendlyNameText deviceFriendlyName();
