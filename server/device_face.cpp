#include "server/device_face.h"

#include <cstdio>
#include <cstring>

#include "eventing/notify.h"
#include "eventing/subscriptions.h"
#include "http/http_writers.h"
#include "media_db/library_import.h"
#include "media_db/media_db.h"
#include "runtime/device_icons.h"
#include "runtime/device_identity.h"
#include "server/http_server.h"

static void gatherCounts(PresentationStatus* status) {
    media_db_read_lock();
    MediaTop top = media_db_top();
    status->tracks = top.all_tracks != nullptr ? top.all_tracks->child_count : 0;
    status->albums = top.albums != nullptr ? top.albums->child_count : 0;
    status->artists = top.artists != nullptr ? top.artists->child_count : 0;
    status->genres = top.genres != nullptr ? top.genres->child_count : 0;
    status->playlists = top.playlists != nullptr ? top.playlists->child_count : 0;
    media_db_read_unlock();
}

static void gatherSubscriptions(PresentationStatus* status) {
    GenaSubscriptionView views[kPresentationMaxSubscriptions];
    int count = genaListSubscriptions(views, kPresentationMaxSubscriptions);
    status->subscriptionCount = count;
    for (int i = 0; i < count; i++) {
        platformAddressText(views[i].peerAddress, status->subscriptions[i].host);
        status->subscriptions[i].secondsLeft = views[i].secondsLeft;
        status->subscriptions[i].service = views[i].isRegistrar          ? "MediaReceiverRegistrar"
                                           : views[i].isContentDirectory ? "ContentDirectory"
                                                                         : "ConnectionManager";
    }
}

void gatherPresentationStatus(PresentationStatus* status) {
    Ipv4Endpoint listeners[kPresentationMaxAddresses];
    int count = httpListeningEndpoints(listeners, kPresentationMaxAddresses);
    status->serving = count > 0;
    status->addressCount = count;
    for (int i = 0; i < count; i++) {
        char address[16];
        std::snprintf(status->addresses[i], sizeof status->addresses[i], "http://%s:%u/",
                      platformAddressText(listeners[i].address, address),
                      static_cast<unsigned>(listeners[i].port));
    }
    gatherCounts(status);
    status->libraryReadAt = media_library_read_at();
    status->systemUpdateId = static_cast<uint32_t>(currentSystemUpdateId());
    gatherSubscriptions(status);
}

void serveDeviceIcon(PlatformSocket socket, const char* version, const char* path, bool headOnly) {
    const DeviceIcon* icon = deviceIconForPath(path);
    if (icon == nullptr) {
        httpSendNotFound(socket, version, path);
        return;
    }
    httpSendOk(socket, version, icon->size, icon->mimeType, false);
    if (!headOnly) {
        httpSendAll(socket, reinterpret_cast<const char*>(icon->bytes), icon->size);
    }
}

static bool served(uint32_t localAddress) {
    Ipv4Endpoint listeners[kHttpMaxListeners];
    int count = httpListeningEndpoints(listeners, kHttpMaxListeners);
    for (int i = 0; i < count; i++) {
        if (listeners[i].address == localAddress) {
            return true;
        }
    }
    return false;
}

void servePresentationPage(PlatformSocket socket, const char* version, uint32_t localAddress,
                           bool headOnly) {
    if (!served(localAddress)) {
        return;
    }
    PresentationStatus status{};
    FriendlyNameText name = deviceFriendlyName();
    status.name = name.text;
    status.version = kDeviceVersion;
    gatherPresentationStatus(&status);
    TextBuffer* page = presentationPageBuild(&status);
    if (page == nullptr) {
        return;
    }
    httpSendOk(socket, version, page->length, "text/html; charset=utf-8", false);
    if (!headOnly) {
        httpSendAll(socket, page->text, page->length);
    }
    textBufferFree(page);
}
