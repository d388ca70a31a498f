// Property-change events: one NOTIFY per event on a fresh connection to the subscriber's
// callback, and the ContentDirectory's SystemUpdateID.
#include "eventing/notify.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mp3/dlna_info.h"
#include "runtime/diagnostics.h"

namespace {

// Raised by announceContentChange (watcher thread), read by any thread.
std::atomic<int32_t> gSystemUpdateId{0};

constexpr uint32_t kConnectTimeoutMs = 3000;
constexpr int kMessageSize = 1024; // at most 1,023 bytes on the wire
constexpr int kHostSize = 256;

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

// One callback URL cut into the pieces a NOTIFY needs.
struct CallbackUrl {
    char host[kHostSize]; // name to connect to
    int port;
    const char* hostField; // host and port as written, up to the path
    int hostFieldLength;
    const char* path; // from the '/' up to the '>' or the end
    int pathLength;
};

// Parses the URL whose "http:" starts at `http`. Sets *next to where the search for the next
// URL continues. Returns 1 for a usable URL, 0 for one to skip (host name too long), -1 when
// the URL has no path, which ends the walk.
int parseUrl(const char* http, CallbackUrl* url, const char** next) {
    // The host starts after "http://"; the two slashes are skipped whatever they are.
    const char* hostStart = http + 5;
    for (int i = 0; i < 2 && *hostStart != '\0'; i++) {
        hostStart++;
    }
    const char* colon = nullptr;
    const char* slash = nullptr;
    const char* p = hostStart;
    for (; *p != '\0' && *p != '>'; p++) {
        if (*p == ':' && colon == nullptr) {
            colon = p;
        } else if (*p == '/' && slash == nullptr) {
            slash = p;
        }
    }
    *next = p;
    if (slash == nullptr) {
        return -1;
    }
    url->port = colon != nullptr ? std::atoi(colon + 1) : 80;
    const char* hostEnd = colon != nullptr ? colon : slash;
    if (hostEnd < hostStart || hostEnd - hostStart >= kHostSize) {
        return 0;
    }
    std::memcpy(url->host, hostStart, static_cast<size_t>(hostEnd - hostStart));
    url->host[hostEnd - hostStart] = '\0';
    url->hostField = hostStart;
    url->hostFieldLength = static_cast<int>(slash - hostStart);
    url->path = slash;
    url->pathLength = static_cast<int>(p - slash);
    return 1;
}

// The whole NOTIFY message for one URL. False when head and body do not fit in 1,023 bytes: a
// message is never cut, since its CONTENT-LENGTH would no longer match.
bool buildMessage(const CallbackUrl& url, const GenaEventTarget& target, const char* body,
                  char* message) {
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
                               url.pathLength, url.path, url.hostFieldLength, url.hostField,
                               static_cast<int>(std::strlen(body)), target.sid, target.seq, body);
    return length > 0 && length < kMessageSize;
}

// Delivers the event to the first URL of the callback text that accepts it.
void deliver(const GenaEventTarget& target, const char* body) {
    char message[kMessageSize];
    const char* position = target.callback;
    for (;;) {
        const char* http = std::strstr(position, "http:");
        if (http == nullptr) {
            return;
        }
        CallbackUrl url;
        int parsed = parseUrl(http, &url, &position);
        if (parsed < 0) {
            return;
        }
        if (parsed > 0 && buildMessage(url, target, body, message) &&
            genaSendMessage(url.host, url.port, message, &target.peer)) {
            return;
        }
    }
}

} // namespace

bool genaSendMessage(const char* host, int port, const char* message, const GenaPeer* peer) {
    uint32_t address = 0;
    if (host == nullptr || message == nullptr || port <= 0 || port > 65535 ||
        platformResolveIpv4(host, &address) != 0) {
        return false;
    }
    if (peer != nullptr && !genaCallbackAddressAllowed(peer, address)) {
        return false;
    }
    PlatformSocket socket = platformSocketTcp();
    if (socket == kPlatformInvalidSocket) {
        return false;
    }
    if (platformSocketConnect(socket, address, static_cast<uint16_t>(port), kConnectTimeoutMs) !=
        0) {
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
        const char* body = connectionManagerBody;
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
