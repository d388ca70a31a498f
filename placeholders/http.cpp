// Weak stand-ins for the handlers the HTTP router reaches, until their owners land.
#include "eventing/notify.h"
#include "http/streaming.h"
#include "platform/platform.h"
#include "soap/soap_dispatch.h"

__attribute__((weak)) void soap_dispatch(PlatformSocket, const char*, const char*, const char*,
                                         char*) {}
__attribute__((weak)) void httpServeTrack(PlatformSocket, const char*, const char*) {}
__attribute__((weak)) void httpServeAlbumArt(PlatformSocket, const char*, const char*) {}
__attribute__((weak)) void genaNotify(int, int, int) {}
__attribute__((weak)) uint32_t platformNetmaskOf(uint32_t) {
    return 0xFFFFFFFFu;
}
