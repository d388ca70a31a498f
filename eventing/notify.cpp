// Property-change events: one NOTIFY per event on a fresh connection to the subscriber's
// callback, and the ContentDirectory's SystemUpdateID.
#include "eventing/notify.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "mp3/dlna_info.h"
#include "runtime/diagnostics.h"

// Raised by announceContentChange (watcher thread), read by any thread.
static std::atomic<int32_t> gSystemUpdateId{0};

constexpr uint32_t kConnectTimeoutMs = 3000;
constexpr int kMessageSize = 1024; // at most 1,023 bytes on the wire

constexpr const char kContentDirectoryBody[] =
    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n"
    "<e:property>\n"
    "<SystemUpdateID>%d</SystemUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<ContainerUpdateIDs></ContainerUpdateIDs>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<TransferIDs></TransferIDs>\n"
    "</e:property>\n"
    "</e:propertyset>\n";

constexpr const char kConnectionManagerBody[] =
    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n"
    "<e:property>\n"
    "<SourceProtocolInfo>%s</SourceProtocolInfo>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<SinkProtocolInfo></SinkProtocolInfo>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<CurrentConnectionIDs>0</CurrentConnectionIDs>\n"
    "</e:property>\n"
    "</e:propertyset>\n";

// The registrar's variables never change: its subscribers get them once, in their first event.
constexpr const char kRegistrarBody[] =
    "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">\n"
    "<e:property>\n"
    "<AuthorizationGrantedUpdateID>0</AuthorizationGrantedUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<AuthorizationDeniedUpdateID>0</AuthorizationDeniedUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<ValidationSucceededUpdateID>0</ValidationSucceededUpdateID>\n"
    "</e:property>\n"
    "<e:property>\n"
    "<ValidationRevokedUpdateID>0</ValidationRevokedUpdateID>\n"
    "</e:property>\n"
    "</e:propertyset>\n";

// The whole NOTIFY message for one stored URL of `target`. False when head and body do not fit
// in 1,023 bytes, or the URL was cut off the copied callback text: a message is never cut,
// since its CONTENT-LENGTH would no longer match.
static bool buildMessage(const GenaCallbackUrl& url, const GenaEventTarget& target,
                         const char* body, char* message) {
    int32_t copied = static_cast<int32_t>(std::strlen(target.callback));
    if (url.pathStart + url.pathLength > copied || url.hostStart + url.hostLength > copied) {
        return false;
    }
    const char* path = url.pathLength > 0 ? target.callback + url.pathStart : "/";
    int pathLength = url.pathLength > 0 ? url.pathLength : 1;
    int length = std::snprintf(message, kMessageSize,
                               "NOTIFY %.*s HTTP/1.1\r\n"
                               "HOST: %.*s\r\n"
                               "CONTENT-TYPE: text/xml\r\n"
                               "CONTENT-LENGTH: %d\r\n"
                               "NT: upnp:event\r\n"
                               "NTS: upnp:propchange\r\n"
                               "SID: uuid:%d\r\n"
                               "SEQ: %d\r\n"
                               "\r\n"
                               "%s",
                               pathLength, path, static_cast<int>(url.hostLength),
                               target.callback + url.hostStart, static_cast<int>(std::strlen(body)),
                               target.sid, target.seq, body);
    return length > 0 && length < kMessageSize;
}

// Connects to the address (3 s time-out) and writes `message`. True when written.
static bool sendTo(uint32_t address, uint16_t port, const char* message) {
    PlatformSocket socket = platformSocketTcp();
    if (socket == kPlatformInvalidSocket) {
        return false;
    }
    if (platformSocketConnect(socket, address, port, kConnectTimeoutMs) != 0) {
        platformSocketClose(socket);
        return false;
    }
    platformSocketSetTimeouts(socket, kConnectTimeoutMs, kConnectTimeoutMs);
    int length = static_cast<int>(std::strlen(message));
    for (int sent = 0; sent < length;) {
        int n = platformSocketSend(socket, message + sent, length - sent);
        if (n <= 0) {
            break;
        }
        sent += n;
    }
    verbosePrint("### EVENT send\n%s", message);
    platformSocketClose(socket);
    return true;
}

// Delivers the event to the first stored URL that accepts it, at the address and port checked
// when the subscription was made.
static void deliver(const GenaEventTarget& target, const char* body) {
    char message[kMessageSize];
    for (int32_t i = 0; i < target.urlCount && i < kGenaMaxCallbackUrls; i++) {
        const GenaCallbackUrl& url = target.urls[i];
        if (genaCallbackAddressAllowed(&target.peer, url.address) &&
            buildMessage(url, target, body, message) && sendTo(url.address, url.port, message)) {
            return;
        }
    }
}

bool genaSendMessage(const char* host, int port, const char* message, const GenaPeer* peer) {
    uint32_t address = 0;
    if (host == nullptr || message == nullptr || port <= 0 || port > 65535 ||
        platformResolveIpv4(host, &address) != 0) {
        return false;
    }
    if (peer != nullptr && !genaCallbackAddressAllowed(peer, address)) {
        return false;
    }
    return sendTo(address, static_cast<uint16_t>(port), message);
}

void genaNotify(int index, int notifyContentDirectory, int notifyConnectionManager) {
    int first = index < 0 ? 0 : index;
    int last = index < 0 ? kGenaTableSize - 1 : index;
    char contentDirectoryBody[512];
    char source[512];
    char connectionManagerBody[sizeof source + sizeof kConnectionManagerBody];
    std::snprintf(connectionManagerBody, sizeof connectionManagerBody, kConnectionManagerBody,
                  dlna_source_protocols(source, sizeof source));
    for (int i = first; i <= last; i++) {
        // The copy is taken, and the entry's seq raised, in one step under the table's guard;
        // the delivery below runs without it.
        GenaEventTarget target;
        if (!genaTakeEventTarget(i, notifyContentDirectory != 0, notifyConnectionManager != 0,
                                 &target)) {
            continue;
        }
        target.callback[sizeof target.callback - 1] = '\0';
        const char* body = target.isRegistrar ? kRegistrarBody : connectionManagerBody;
        if (target.isContentDirectory) {
            std::snprintf(contentDirectoryBody, sizeof contentDirectoryBody, kContentDirectoryBody,
                          gSystemUpdateId.load(std::memory_order_relaxed));
            body = contentDirectoryBody;
        }
        deliver(target, body);
    }
}

void announceContentChange() {
    gSystemUpdateId.fetch_add(1, std::memory_order_relaxed);
    genaNotify(-1, 1, 0);
}

int32_t currentSystemUpdateId() {
    return gSystemUpdateId.load(std::memory_order_relaxed);
}
